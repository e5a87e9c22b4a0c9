#!/bin/sh
# Pictures of the plugin in Wireshark's GUI for the README (docs/images/),
# taken under Xvfb; with --check, instead, the GUI's times after changing
# the format and after Edit > Time Shift are checked (pictures in
# build/gui-check/). Installs what it needs and builds the plugin first.
set -eu
cd "$(dirname "$0")/.."
VALTOCRANE_EXTRA_PACKAGES="${VALTOCRANE_EXTRA_PACKAGES:-} wireshark-qt xvfb xdotool imagemagick optipng" \
    scripts/setup.sh
scripts/build.sh
if [ "${1:-}" = "--check" ]; then
    set -- --check --evidence build/gui-check
else
    set -- --out docs/images "$@"
fi
exec /usr/bin/python3 tools/screenshots.py --plugin build/plugins/valtocrane/valtocrane.so "$@"
