#!/bin/sh
# Cost per frame of the plugin against the host alone. Without arguments:
# wall time over 200,000-frame captures. With --callgrind: instructions a
# frame under valgrind. With --retime: valtocrane-retime against editcap on
# a capture of over 1 GB in each format (wall time and peak memory). With
# --latency: valtocrane-latency against valtocrane-retime on a two-port capture
# of over 1 GB, and its peak memory at a tenth of that size. With --sort:
# valtocrane-retime --sort against the reordercap of Wireshark 4.4 (in the
# Debian 13 root scripts/test-debian.sh trixie makes; as root) on a capture
# of over 1 GB out of device-time order, and both at a tenth of that size.
# With --clickhouse: the latency capture's export loaded into ClickHouse and
# the queries of docs/clickhouse.md, against the tool's own report (Debian 12).
# Other options: tools/benchmark.py --help.
set -eu
cd "$(dirname "$0")/.."
extra="valgrind time"
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ "$release" != bookworm ] || extra="$extra clickhouse-server clickhouse-client"
VALTOCRANE_EXTRA_PACKAGES=$extra scripts/setup.sh
scripts/build.sh >/dev/null
cmake --build build --target valtocrane-fixed-seed >/dev/null
exec /usr/bin/python3 tools/benchmark.py --plugin build/plugins/valtocrane/valtocrane.so \
    --fixed-seed build/tools/fixed-seed.so \
    --retime-tool build/retime/valtocrane-retime \
    --latency-tool build/latency/valtocrane-latency "$@"
