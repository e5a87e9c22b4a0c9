#!/bin/sh
# Pictures of the plugin in Wireshark's GUI for the README (docs/images/),
# taken under Xvfb, and a latency time series drawn by gnuplot. Installs
# what it needs and builds the plugin first.
set -eu
cd "$(dirname "$0")/.."
VALTOCRANE_EXTRA_PACKAGES="${VALTOCRANE_EXTRA_PACKAGES:-} wireshark-qt xvfb xdotool imagemagick optipng gnuplot-nox" \
    scripts/setup.sh
scripts/build.sh
exec /usr/bin/python3 tools/screenshots.py --plugin build/plugins/valtocrane/valtocrane.so \
    --out docs/images \
    --latency-tool build/latency/valtocrane-latency "$@"
