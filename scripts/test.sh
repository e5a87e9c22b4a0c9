#!/bin/sh
# The whole test suite: installs what it needs, builds, and runs the unit
# tests and the integration tests against the real TShark.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build --parallel 2 --output-on-failure
