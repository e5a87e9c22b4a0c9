#!/bin/sh
# Installs the Debian packages that building and testing the plugin need,
# where they are missing. Safe to run again; asks no questions.
set -eu

# VALTOCRANE_PACKAGES replaces the list (scripts/package.sh needs no test
# frameworks); VALTOCRANE_EXTRA_PACKAGES adds to it.
packages=${VALTOCRANE_PACKAGES:-"cmake make g++ pkg-config wireshark-dev libwireshark-dev tshark
          python3 python3-pytest googletest libgtest-dev binutils util-linux"}
packages="$packages ${VALTOCRANE_EXTRA_PACKAGES:-}"

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || {
        echo "These packages are missing and installing them needs root:$missing" >&2
        exit 1
    }
    sudo="sudo"
fi
# tshark asks whether non-root users may capture; the default answer is kept.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
