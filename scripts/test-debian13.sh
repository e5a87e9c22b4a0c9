#!/bin/sh
# Runs the whole test suite against the host series of Debian 13 (Wireshark
# 4.4) in a Debian 13 root made with debootstrap, reused when it is already
# there. The root lives outside the source tree (VALTOCRANE_DEBIAN13_ROOT,
# by default /var/tmp/valtocrane-hosts/trixie); the packages come from the
# Debian mirror this machine's apt is configured with. Needs root.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
root=${VALTOCRANE_DEBIAN13_ROOT:-/var/tmp/valtocrane-hosts/trixie}

if [ "$(id -u)" -ne 0 ]; then
    exec sudo VALTOCRANE_DEBIAN13_ROOT="$root" "$0" "$@"
fi

VALTOCRANE_EXTRA_PACKAGES=debootstrap scripts/setup.sh

# The main Debian archive among the sources apt reads here.
debian_mirror() {
    apt-get indextargets --format '$(REPO_URI)|$(RELEASE)|$(ORIGIN)|$(LABEL)|$(IDENTIFIER)' |
        awk -F'|' '$2 !~ /-/ && $3 == "Debian" && $4 == "Debian" && $5 == "Packages" \
                   { print $1; exit }'
}

if [ ! -e "$root/.valtocrane-root-ready" ]; then
    mirror=$(debian_mirror)
    if [ -z "$mirror" ]; then
        apt-get update -q >/dev/null
        mirror=$(debian_mirror)
    fi
    [ -n "$mirror" ] || { echo "no Debian archive among apt's sources" >&2; exit 1; }
    echo "Making a Debian 13 root in $root from $mirror"
    rm -rf "$root"
    mkdir -p "$(dirname "$root")"
    debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
        tail -20 "$root.debootstrap.log" >&2
        exit 1
    }
    touch "$root/.valtocrane-root-ready"
fi

# The working tree as git sees it: tracked files and new ones not ignored.
rm -rf "$root/src/valtocrane"
mkdir -p "$root/src/valtocrane"
git ls-files -z --cached --others --exclude-standard |
    (cd "$src" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
    xargs -0 cp --parents -t "$root/src/valtocrane"
cp /etc/resolv.conf "$root/etc/resolv.conf"

mount -t proc proc "$root/proc"
trap 'umount "$root/proc"' EXIT
chroot "$root" /bin/sh -c 'cd /src/valtocrane && scripts/test.sh'
