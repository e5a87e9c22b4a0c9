#!/bin/sh
# Builds the Debian package (scripts/package.sh) for each Debian release
# named and tests it in a clean root of that release:
#   scripts/test-package.sh bookworm trixie forky   # Wireshark 4.0, 4.4, 4.6
# A release's package is built on this machine when it runs that release,
# else in the test suite's root of that release (scripts/test-debian.sh).
# Each test runs tests/package/check-package.sh in a fresh copy of a bare
# root of the release (VALTOCRANE_HOSTS_DIR/RELEASE-clean): apt installs the
# package, root's TShark loads it from the system plugin folder and decodes
# a capture of each format, remove and purge leave nothing behind, and apt
# refuses the packages built for the other releases named. The packages
# are kept in dist/RELEASE/. Before that, tests/package/remove-root-test.sh
# checks that no folder but a root this project made is ever deleted.
# Needs root.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)

if [ $# -lt 1 ]; then
    echo "usage: $0 RELEASE... (bookworm, trixie, forky)" >&2
    exit 2
fi
for release; do
    expr "$release" : '[a-z][a-z]*$' >/dev/null || { echo "not a release: $release" >&2; exit 2; }
done
if [ "$(id -u)" -ne 0 ]; then
    exec sudo ${VALTOCRANE_HOSTS_DIR:+VALTOCRANE_HOSTS_DIR="$VALTOCRANE_HOSTS_DIR"} "$0" "$@"
fi

. "$src/scripts/debian-roots.sh"
# The captures are written here, with the host's text2pcap.
VALTOCRANE_EXTRA_PACKAGES=debootstrap scripts/setup.sh
here=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

for release; do
    rm -rf "dist/$release"
    mkdir -p "dist/$release"
    if [ "$release" = "$here" ]; then
        scripts/package.sh
        built=$src/build-deb
    else
        scripts/test-debian.sh "$release" scripts/package.sh
        built=$hosts_dir/$release$(tree_in_root "$src")/build-deb
    fi
    cp "$built"/*.deb "$built/lintian.log" "dist/$release/"
done

failed="" passed=0 failures=0
# Adds the "N passed, M failed" line that ends a check's log to the totals;
# a log without one counts as a failure (the check itself broke).
add_counts() {
    local _last _n _m
    _last=$(tail -1 "$1")
    _n=$(echo "$_last" | sed -n 's/^\([0-9]*\) passed, [0-9]* failed$/\1/p')
    _m=$(echo "$_last" | sed -n 's/^[0-9]* passed, \([0-9]*\) failed$/\1/p')
    passed=$((passed + ${_n:-0}))
    failures=$((failures + ${_m:-1}))
}

# First, that the scripts delete no folder but the roots they made.
sh tests/package/remove-root-test.sh >"dist/remove-root.log" 2>&1 || failed=" remove_root"
cat dist/remove-root.log
add_counts dist/remove-root.log
for release; do
    root=$hosts_dir/$release-pkgtest
    lock_root "$root"
    make_clean_root "$release" "$hosts_dir/$release-clean"
    remove_root "$root"
    cp -a --reflink=auto "$hosts_dir/$release-clean" "$root"
    mkdir "$root/valtocrane"
    cp tests/package/check-package.sh "$root/valtocrane/"
    /usr/bin/python3 tests/package/write-captures.py "$root/valtocrane"
    deb=$(cd "dist/$release" && ls wireshark-plugin-valtocrane_*.deb)
    cp "dist/$release/$deb" "$root/valtocrane/"
    others=""
    for other in "$@"; do
        [ "$other" = "$release" ] && continue
        cp "dist/$other/$deb" "$root/valtocrane/$other-$deb"
        others="$others /valtocrane/$other-$deb"
    done
    echo "== $release: $deb in a clean root"
    # shellcheck disable=SC2086
    in_root "$root" /bin/sh /valtocrane/check-package.sh "/valtocrane/$deb" /valtocrane $others \
        >"dist/$release/check.log" 2>&1 || failed="$failed $release"
    sed 's/^/  /' "dist/$release/check.log"
    add_counts "dist/$release/check.log"
    remove_root "$root"
done
[ -z "$failed" ] || echo "package tests failed for:$failed" >&2
echo "package tests: $passed passed, $failures failed"
[ -z "$failed" ]
