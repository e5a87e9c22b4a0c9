#!/bin/sh
# Builds a Debian package of the plugin for the Wireshark series of the
# machine (or Debian root) it runs on, and checks it with lintian:
#   build-deb/wireshark-plugin-valtocrane_VERSION_ARCH.deb
# Debian's own tools (debhelper) drive the project's CMake build with the
# system install on, so the package holds what "cmake --install" installs
# then; the dependencies tie it to the host series found
# (packaging/debian/series-depends). Install it with
#   apt-get install ./build-deb/wireshark-plugin-valtocrane_*.deb
# Installs what it needs (debhelper, lintian, the host's development
# packages) where missing.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
out=$src/build-deb
package=wireshark-plugin-valtocrane

VALTOCRANE_PACKAGES="build-essential cmake wireshark-dev libwireshark-dev
                     debhelper dpkg-dev lintian" scripts/setup.sh

version=$(sed -n 's/^ *VERSION \([0-9][0-9.]*\)$/\1/p' CMakeLists.txt | head -1)
copyright=$(sed -n 's/^Copyright \(.*\)$/\1/p' COPYING | head -1)
[ -n "$version" ] || { echo "no project VERSION in CMakeLists.txt" >&2; exit 1; }
[ -n "$copyright" ] || { echo "no Copyright line in COPYING" >&2; exit 1; }
maintainer="${DEBFULLNAME:-The ValtoCrane timestamp plugin developers} <${DEBEMAIL:-maintainers@valtocrane.invalid}>"
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-unstable}")
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"

# The source tree as a source package has it, with packaging/debian as its
# debian/; dpkg-buildpackage writes the package next to it, into build-deb/.
rm -rf "$out"
mkdir -p "$out/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
        xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
        xargs -0 cp --parents -t "$out/src"
else
    tar -cf - --exclude=./build --exclude=./build-deb --exclude=./dist \
        --exclude=__pycache__ . |
        tar -xf - -C "$out/src"
fi
rm -rf "$out/src/debian"
cp -R packaging/debian "$out/src/debian"
sed -i "s|@MAINTAINER@|$maintainer|" "$out/src/debian/control"
cat >"$out/src/debian/changelog" <<END
$package ($version) $release; urgency=medium

  * Release $version of the plugin, built from the project's sources.

 -- $maintainer  $(date -R -u -d "@$SOURCE_DATE_EPOCH")
END
# The copyright file follows from COPYING: same holders, same licence.
cat >"$out/src/debian/copyright" <<END
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: valtocrane
Upstream-Contact: $maintainer

Files: *
Copyright: $copyright
License: GPL-2+

License: GPL-2+
 This program is free software; you can redistribute it and/or modify it
 under the terms of the GNU General Public License as published by the Free
 Software Foundation; either version 2 of the License, or (at your option)
 any later version.
 .
 This program is distributed in the hope that it will be useful, but WITHOUT
 ANY WARRANTY; without even the implied warranty of MERCHANTABILITY or
 FITNESS FOR A PARTICULAR PURPOSE. See the GNU General Public License for
 more details.
 .
 On Debian systems, the complete text of the GNU General Public License
 version 2 can be found in "/usr/share/common-licenses/GPL-2".
END

echo "Building $package $version with debhelper (log: $out/build.log)"
(cd "$out/src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -uc -us) >"$out/build.log" 2>&1 || {
    tail -30 "$out/build.log" >&2
    exit 1
}
deb=$(ls "$out/${package}_${version}_"*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '{ print "  " $NF }'

# The .changes names both packages (the plugin and its debug symbols).
echo "lintian $(lintian --version | sed 's/^Lintian v//'), every tag down to pedantic:"
lintian --display-info --pedantic --fail-on error "$out"/*.changes >"$out/lintian.log" 2>&1 || {
    cat "$out/lintian.log" >&2
    echo "lintian reported errors" >&2
    exit 1
}
sed 's/^/  /' "$out/lintian.log"
echo "$deb"
