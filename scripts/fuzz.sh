#!/bin/sh
# Mutated captures through every mode and pass. Without arguments: 20,000
# frames a mode. --long: a million frames a mode. --memcheck: also valgrind's
# memcheck in each mode. Other options: tools/fuzz.py --help.
set -eu
cd "$(dirname "$0")/.."
VALTOCRANE_EXTRA_PACKAGES=valgrind scripts/setup.sh
scripts/build.sh >/dev/null
exec /usr/bin/python3 tools/fuzz.py --plugin build/plugins/valtocrane/valtocrane.so "$@"
