#!/bin/sh
# The whole test suite: installs what it needs, builds, and runs the unit
# tests and the integration tests against the real TShark.
set -eu
cd "$(dirname "$0")/.."
# clang and its libFuzzer runtime for the in-process fuzz target's brief run.
VALTOCRANE_EXTRA_PACKAGES="clang libclang-rt-dev" scripts/setup.sh
scripts/build.sh
ctest --test-dir build --parallel 2 --output-on-failure --no-tests=error
