#!/bin/sh
# Coverage-guided fuzzing of the plugin in-process with libFuzzer and
# sanitizers, built with clang in build/fuzz:
#   scripts/fuzz.sh SECONDS [--format NAME|all] ...
# Other options: tools/fuzz.py --help.
set -eu
cd "$(dirname "$0")/.."
# llvm: llvm-symbolizer, for source lines in crash reports and --uncovered.
VALTOCRANE_EXTRA_PACKAGES="clang libclang-rt-dev llvm" scripts/setup.sh
exec /usr/bin/python3 tools/fuzz.py "$@"
