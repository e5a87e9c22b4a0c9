#!/bin/sh
# Runs as root inside a clean Debian root (scripts/test-package.sh puts it
# there): installs the package with apt as an administrator would, checks
# that the host loads and uses it, removes and purges it, and checks that
# nothing of it is left. Then each package built for another series must be
# refused. Arguments: the package, the folder holding the captures of
# tests/package/write-captures.py, and any packages of other series.
set -eu
deb=$1
captures=$2
shift 2
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 TZ=UTC
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
passes=0
pass() {
    echo "passed: $*"
    passes=$((passes + 1))
}
package=$(dpkg-deb --field "$deb" Package)
version=$(dpkg-deb --field "$deb" Version)

apt-get update -q >/dev/null
apt-get install -y -q "$deb" >/tmp/install.log 2>&1 || {
    cat /tmp/install.log
    echo "FAILED: apt-get install $deb"
    echo "0 passed, 1 failed"
    exit 1
}
pass "apt-get install $deb, with $(grep -c '^Setting up' /tmp/install.log) packages set up"
dpkg-query -L "$package" >/tmp/files

# Root loads the system plugin folder (only personal plugins are ignored).
plugin=$(grep '/wireshark/plugins/[0-9.]*/epan/valtocrane\.so$' /tmp/files)
listed=$(tshark -G plugins 2>/dev/null | awk -F'\t' '$1 ~ /^valtocrane\.so/')
if [ "$(printf '%s' "$listed" | tr -d ' ')" = "valtocrane.so	$version	dissector	$plugin" ]; then
    pass "tshark -G plugins as root: $plugin"
else
    fail "tshark -G plugins as root lists '$listed', not $plugin"
fi

# Each format: the time column (epoch) and the UDP length behind the
# stripped trailer or header, worked out by hand.
check() {
    mode=$1 file=$2 expected=$3
    got=$(tshark -r "$captures/$file" -o "valtocrane.ts_type:$mode" -t e \
        -T fields -e _ws.col.Time -e udp.length 2>/tmp/tshark.err | tr '\t\n' ' ')
    if [ "$got" = "$expected" ]; then
        pass "$mode: $got"
    else
        fail "$mode: '$got', not '$expected'"
        cat /tmp/tshark.err
    fi
}
check valtocrane-pcapng header.pcapng \
    "1700000000.500000000 34 1700000003.250000000 34 "
check valtocrane-proprietary-headers fraction.pcapng \
    "1509949440.500000000 34 1700000000.250000000 34 "
# Frame 1 keeps its file time; frame 2 is 2.5 s of ticks later.
check valtocrane-q3-graphite ticks.pcapng \
    "1600000000.123456789 34 1600000002.623456789 34 "
check disabled header.pcapng "1600000000.000000007  1600000001.000000007  "

# The statistics the plugin registers: TShark lists both -z names, and the
# report of the capture header capture (its two frames the same frame,
# 2.75 s apart: a 3 s window) names its one copy.
listed=$(tshark -z help 2>&1 | grep -c '^ *valtocrane,\(latency\|tables\)$' || true)
report=$(tshark -r "$captures/header.pcapng" -q -o valtocrane.ts_type:valtocrane-pcapng \
    -o valtocrane.latency_window_us:3000000 -z valtocrane,latency 2>&1 || true)
if [ "$listed" = 2 ] && printf '%s\n' "$report" | grep -q 'Port A -> .*Port B: 1 copy'; then
    pass "tshark -z help lists valtocrane,latency and valtocrane,tables; the report has its copy"
else
    fail "tshark -z help lists $listed of valtocrane,latency and valtocrane,tables, or the report lacks its copy"
    printf '%s\n' "$report"
fi

# The re-timing tool from the system's bin folder, with its manual page:
# the capture it writes holds the device times for the host alone.
tool=$(grep '^/usr/bin/valtocrane-retime$' /tmp/files || true)
if [ -z "$tool" ] || ! grep -q '/man1/valtocrane-retime\.1\.gz$' /tmp/files; then
    fail "the package holds no /usr/bin/valtocrane-retime or no manual page for it"
elif ! "$tool" --format valtocrane-pcapng "$captures/header.pcapng" /tmp/retimed.pcapng \
        2>/tmp/retime.err; then
    fail "valtocrane-retime: $(cat /tmp/retime.err)"
else
    got=$(tshark -r /tmp/retimed.pcapng -o valtocrane.ts_type:disabled -t e \
        -T fields -e _ws.col.Time -e udp.length 2>/dev/null | tr '\t\n' ' ')
    expected="1700000000.500000000 34 1700000003.250000000 34 "
    if [ "$got" = "$expected" ]; then
        pass "$tool: $got"
    else
        fail "$tool wrote '$got', not '$expected'"
    fi
fi

# The latency tool, with its manual page: the capture header capture's two
# frames are the same frame, on Port A at .5 s and on Port B 2.75 s later
# (inside a 3 s window), one pair in its CSV rows.
tool=$(grep '^/usr/bin/valtocrane-latency$' /tmp/files || true)
if [ -z "$tool" ] || ! grep -q '/man1/valtocrane-latency\.1\.gz$' /tmp/files; then
    fail "the package holds no /usr/bin/valtocrane-latency or no manual page for it"
else
    got=$("$tool" --format valtocrane-pcapng --window 3 --csv - "$captures/header.pcapng" \
        2>/tmp/latency.err | tail -n +2)
    expected="1,2,1700000000500000000,1700000003250000000,2750000000"
    if [ "$got" = "$expected" ] && grep -q 'Port A -> .*Port B: 1 copy' /tmp/latency.err; then
        pass "$tool: $got"
    else
        fail "$tool wrote '$got', not '$expected'"
        cat /tmp/latency.err
    fi
fi

# Nothing of the package stays after a remove, nor after a purge of a
# fresh install: no file, and no folder that no other package owns.
leftovers() {
    while IFS= read -r path; do
        if [ "$path" = /. ]; then
            continue
        elif [ -d "$path" ] && [ ! -L "$path" ]; then
            dpkg-query -S "$path" >/dev/null 2>&1 || echo "$path"
        elif [ -e "$path" ] || [ -L "$path" ]; then
            echo "$path"
        fi
    done </tmp/files
}
for step in remove purge; do
    [ "$step" = remove ] || apt-get install -y -q "$deb" >/tmp/install.log 2>&1 ||
        { cat /tmp/install.log; fail "apt-get install $deb again"; }
    apt-get "$step" -y -q "$package" >/tmp/$step.log 2>&1 || { cat /tmp/$step.log; fail "apt-get $step"; }
    left=$(leftovers)
    state=$(dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null || true)
    if [ -n "$left" ]; then
        fail "after apt-get $step:" $left
    elif [ -n "$state" ] && [ "$state" != not-installed ]; then
        fail "after apt-get $step dpkg still has $package as $state"
    elif tshark -G plugins 2>/dev/null | grep -q valtocrane; then
        fail "after apt-get $step tshark still loads the plugin"
    else
        pass "apt-get $step leaves no file behind"
    fi
done

# A package built for another series has that series' libwireshark in its
# dependencies: apt must refuse it.
for other; do
    if apt-get install -y -q --no-install-recommends "$other" >/tmp/other.log 2>&1; then
        fail "apt-get installed $other, built for another series"
        apt-get purge -y -q "$package" >/dev/null 2>&1 || true
    else
        pass "apt-get refuses $other: $(grep -m1 'Depends:' /tmp/other.log | sed 's/^ *//')"
    fi
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
