#!/bin/sh
# Builds the plugin, loads it into TShark and shows the device times it
# decodes from example captures in each of the three formats; then the
# latency from Port A to Port B of a two-port capture, as the plugin shows it
# and as valtocrane-latency reports it.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
/usr/bin/python3 tools/demo.py --plugin build/plugins/valtocrane/valtocrane.so \
    --examples build/examples --latency-tool build/latency/valtocrane-latency
