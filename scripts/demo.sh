#!/bin/sh
# Builds the plugin, loads it into TShark and shows the device times it
# decodes from example captures in each of the three formats.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
/usr/bin/python3 tools/demo.py --plugin build/plugins/valtocrane/valtocrane.so \
    --examples build/examples
