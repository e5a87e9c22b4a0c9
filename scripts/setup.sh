#!/bin/sh
# Installs the Debian packages that building and testing the plugin need,
# where they are missing. Safe to run again; asks no questions. Says one
# line a step; apt's own output goes to build/setup.log, whose end is shown
# when a step fails.
set -eu
cd "$(dirname "$0")/.."

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

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || {
        echo "These packages are missing and installing them needs root:$missing" >&2
        exit 1
    }
    sudo="sudo"
fi
mkdir -p build
log=build/setup.log
: >"$log"

# Runs one step, its output into the log; on failure shows the log's end.
step() {
    _what=$1
    shift
    echo "setup: $_what"
    echo "== $*" >>"$log"
    "$@" >>"$log" 2>&1 || {
        echo "setup: failed: $*" >&2
        tail -20 "$log" | sed 's/^/  /' >&2
        echo "setup: the whole log is $log" >&2
        exit 1
    }
}

echo "setup: the Debian packages missing:$missing (apt's output goes to $log)"
# tshark asks whether non-root users may capture; the default answer is kept.
step "updating the package lists" $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086
step "installing them and what they need (a minute or more)" \
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
echo "setup: done"
