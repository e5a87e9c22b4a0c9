#!/bin/sh
# Mutated captures through every mode and pass. Without arguments: 20,000
# frames a mode. --long: a million frames a mode. --memcheck: also valgrind's
# memcheck in each mode. Other options: tools/fuzz.py --help.
#
# --inprocess SECONDS [--format NAME|all] ...: coverage-guided fuzzing of the
# plugin in-process with libFuzzer and sanitizers, built with clang in
# build/fuzz. Other options: tools/inprocess_fuzz.py --help.
set -eu
cd "$(dirname "$0")/.."
if [ "${1:-}" = --inprocess ]; then
    shift
    # llvm: llvm-symbolizer, for source lines in crash reports and --uncovered.
    VALTOCRANE_EXTRA_PACKAGES="clang libclang-rt-dev llvm" scripts/setup.sh
    exec /usr/bin/python3 tools/inprocess_fuzz.py "$@"
fi
VALTOCRANE_EXTRA_PACKAGES=valgrind scripts/setup.sh
scripts/build.sh >/dev/null
exec /usr/bin/python3 tools/fuzz.py --plugin build/plugins/valtocrane/valtocrane.so "$@"
