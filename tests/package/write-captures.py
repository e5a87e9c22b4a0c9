"""Writes one capture of each format for the package test
(tests/package/check-package.sh holds what each must decode to):
header.pcapng, fraction.pcapng, ticks.pcapng in the folder named."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

from vctools import captures  # noqa: E402

UDP = captures.ipv4_udp_frame(b"p" * 26)  # UDP length 34
ONE_SECOND = 200000000  # ticks of 5 ns

folder = Path(sys.argv[1])
captures.write_capture(folder / "header.pcapng", [
    ((1600000000, 7), captures.with_header(UDP, 1700000000, 0x80000000, port=0)),
    ((1600000001, 7), captures.with_header(UDP, 1700000003, 0x40000000, port=1)),
])
captures.write_capture(folder / "fraction.pcapng", [
    ((1600000000, 7), UDP + captures.fraction_trailer(0x5A000000, 0x80000000)),
    ((1600000001, 7), UDP + captures.fraction_trailer(1700000000, 0x40000000)),
])
captures.write_capture(folder / "ticks.pcapng", [
    ((1600000000, 123456789), UDP + captures.tick_trailer(ONE_SECOND)),
    ((1700000000, 0), UDP + captures.tick_trailer(ONE_SECOND + 5 * ONE_SECOND // 2)),
])
