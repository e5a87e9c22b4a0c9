#!/bin/sh
# Runs the whole test suite against the Wireshark series of another Debian
# release, in a root of that release made with debootstrap and reused on
# later runs:
#   scripts/test-debian.sh trixie    # Debian 13, Wireshark 4.4
#   scripts/test-debian.sh forky     # Debian testing, Wireshark 4.6
# With a command after the release, runs that instead of scripts/test.sh, in
# the same copy of the working tree (scripts/test-package.sh builds the
# package so). The root is VALTOCRANE_HOSTS_DIR/RELEASE (by default
# /var/tmp/valtocrane-hosts/RELEASE); the packages come from the Debian
# mirror this machine's apt is configured with. Needs root.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)

if [ $# -lt 1 ] || ! expr "$1" : '[a-z][a-z]*$' >/dev/null; then
    echo "usage: $0 trixie|forky [command...]" >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    exec sudo ${VALTOCRANE_HOSTS_DIR:+VALTOCRANE_HOSTS_DIR="$VALTOCRANE_HOSTS_DIR"} "$0" "$@"
fi
release=$1
shift
[ $# -gt 0 ] || set -- scripts/test.sh

. "$src/scripts/debian-roots.sh"
VALTOCRANE_EXTRA_PACKAGES=debootstrap scripts/setup.sh

root=$hosts_dir/$release
lock_root "$root"
make_root_from_clean "$release" "$root"

copy=$(tree_in_root "$src")
copy_source "$src" "$root$copy"
echo "$release: running $* in $root$copy"
in_root "$root" /usr/bin/env -C "$copy" "$@"
