#!/bin/sh
# Builds the plugin, loads it into TShark and shows the device times it
# decodes from example captures in each of the three formats; then the
# latency from Port A to Port B of a two-port capture, as the plugin shows it
# and as valtocrane-latency reports it. The build's output goes to
# build/build.log, whose end is shown if the build fails.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
mkdir -p build
echo "Building the plugin and the tools in build/ (output: build/build.log)"
scripts/build.sh >build/build.log 2>&1 || {
    tail -30 build/build.log >&2
    echo "The build failed; the whole output is in build/build.log" >&2
    exit 1
}
echo
/usr/bin/python3 tools/demo.py --plugin build/plugins/valtocrane/valtocrane.so \
    --examples build/examples --latency-tool build/latency/valtocrane-latency
