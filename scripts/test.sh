#!/bin/sh
# The whole test suite: installs what it needs, builds, and runs the unit
# tests and the integration tests against the real TShark.
set -eu
cd "$(dirname "$0")/.."
# clang and its libFuzzer runtime for the in-process fuzz target's brief run.
extra="clang libclang-rt-dev tcpdump"
# ClickHouse for tests/integration/test_clickhouse.py (and the time zone it
# runs the servers in): Debian 12 has it; later releases have no package,
# and there the test says so and is skipped.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ "$release" != bookworm ] || extra="$extra clickhouse-server clickhouse-client tzdata"
VALTOCRANE_EXTRA_PACKAGES=$extra scripts/setup.sh
scripts/build.sh
ctest --test-dir build --parallel 2 --output-on-failure --no-tests=error
