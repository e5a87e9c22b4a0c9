"""Writes the seed corpus of the in-process fuzz target: short captures in
the target's input layout (see valtocrane-fuzz.cpp), one a file, built from
the frames and edge values of the unit and integration tests: every format
with valid frames, frames too short, cut by a snap length, without the
capture header's marker, Ethernet inside PPI, times before 1970 and past
2038, Time Shift, and the GUI's re-dissections after a format change.

Usage: seeds.py [--regressions] FOLDER
"""

import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

from vctools import captures  # noqa: E402

DISABLED, TICKS, FRACTION, HEADER = range(4)
# Record flags (byte 0) and more flags (byte 1), as valtocrane-fuzz.cpp reads them.
SELECT, DRAW, CUT, SHIFT, PPI, REDISSECT, SWITCH, STOP = (1 << i for i in range(8))
USEC, NEW_CAPTURE, FILTER, UNDO = 0x04, 0x08, 0x10, 0x80
# Read filters (byte 0, bits 6-7) and display filters (byte 1, bits 5-6).
NO_READ_FILTER, READ_VALTOCRANE, READ_NOT_TS, READ_UDP = range(4)
SHOW_ALL, SHOW_VALTOCRANE, SHOW_ETH, SHOW_TS = range(4)

UDP = captures.ipv4_udp_frame(b"t" * 26)
ONE_SECOND = 200000000  # ticks of 5 ns


FCS_NONE, FCS_FOUR, RETIMED_INTERFACE = 1, 2, 0x04


def record(frame, secs=1600000000, nsecs=0, flags=SELECT | DRAW, more=0, cut=0, shift=(0, 0),
           switch_to=0, display_filter=None, frame_flags=0):
    """One frame record: 20 bytes of header, then the captured bytes (cut
    bytes more were on the wire)."""
    if cut:
        flags |= CUT
    if shift != (0, 0):
        flags |= SHIFT
    if flags & SWITCH:
        more |= switch_to
    if display_filter is not None:
        more |= FILTER | display_filter << 5
    return struct.pack("<BBHHHiIhH", flags, more, frame_flags, len(frame), max(cut - 1, 0), secs,
                       nsecs, *shift) + frame


def capture(fmt, *records, time_format=2, read_filter=NO_READ_FILTER):
    """Byte 0: the format opened with, the packet list's time format and
    the read filter."""
    return bytes([fmt | time_format << 2 | read_filter << 6]) + b"".join(records)


def numbered(records):
    return [record(frame, secs, nsecs, **extra) for frame, (secs, nsecs), extra in records]


def seeds():
    out = {}
    frac = captures.fraction_trailer
    tick = captures.tick_trailer
    head = captures.capture_header

    # Seconds-and-fraction trailer: the integration tests' frames.
    fraction_frames = [UDP + frac(0x5A000000, 0x80000000), UDP + frac(0x5A000000, 0xFFFFFFFF),
                       UDP + frac(0x5A000000, 1), UDP + frac(0xFFFFFFFF, 0), b"\x01\x02\x03",
                       b"\x5A\x00\x00\x00", bytes.fromhex("5A000000800000"),
                       frac(0x5A000001, 0), UDP + frac(1700000000, 0x7FFFFFFF)]
    out["fraction-trailer"] = capture(FRACTION, *numbered(
        [(f, (1700000000 + 17 * i, 500), {}) for i, f in enumerate(fraction_frames)]))
    # The tick counter, anchored at a frame the read filter drops.
    out["tick-read-filter"] = capture(TICKS, *numbered(
        [(UDP + tick(ONE_SECOND), (1600000000, 0), {}),
         (UDP + tick(3 * ONE_SECOND), (1600000001, 0), {}),
         (b"\x01\x02\x03\x04\x05\x06\x07\x08\x09", (1600000002, 0), {"flags": STOP}),
         (UDP + tick(4 * ONE_SECOND), (1600000003, 0),
          {"more": NEW_CAPTURE, "flags": SELECT | REDISSECT | STOP})]),
        read_filter=READ_NOT_TS)

    # Tick counter: anchor at frame 1, earlier counts, 2^56 - 1 ticks.
    tick_frames = [UDP + bytes.fromhex("0000000BEBC20077"), UDP + tick(ONE_SECOND + 200),
                   UDP + tick(ONE_SECOND + 1, 0xFF), UDP + tick(0), UDP + b"\xff" * 8,
                   b"\x01\x02\x03", b"\x00\x00\x00\x0B", tick(3 * ONE_SECOND)]
    out["tick-trailer"] = capture(TICKS, *numbered(
        [(f, (1600000000, 123456789) if i == 0 else (1700000000 + 17 * i, 500), {})
         for i, f in enumerate(tick_frames)]))

    # Capture header: ports, carried whole second, marker not 6, cut headers.
    def header(secs, fraction, port=0, marker=6):
        return head(secs, fraction, port, captured_length=60, packet_length=1514, marker=marker)
    header_frames = [header(1700000000, 0x80000000) + UDP,
                     header(1700000000, 0x7FFFFFFF, port=1) + UDP,
                     header(1700000000, 3000000000, port=2) + UDP,
                     header(1700000000, 0xFFFFFFFF, port=0xFFFFFFFF) + UDP,
                     header(0xFFFFFFFF, 0) + UDP, header(1700000000, 0, marker=5) + UDP,
                     UDP, b"\x06\x00\x00", header(1700000000, 0x80000000)[:27],
                     header(1700000002, 0)]
    out["capture-header"] = capture(HEADER, *numbered(
        [(f, (1600000000 + i, 7), {}) for i, f in enumerate(header_frames)]))

    # Disabled: frames of every kind the plugin could take for its own.
    out["disabled"] = capture(DISABLED, *numbered(
        [(f, (1600000000 + i, 1000 * i), {}) for i, f in enumerate(
            [UDP, UDP + tick(ONE_SECOND, 0x77), UDP + frac(0x5A000000, 0x80000000),
             captures.with_header(UDP, 1700000000, 0x80000000), b"\x06\x00\x00"])]))

    # The anchor is the first frame with a readable counter: frame 1 short,
    # Ethernet inside PPI, or its trailer cut by the snap length.
    anchored = [(UDP + tick(10 * ONE_SECOND), (1600000005, 111), {}),
                (UDP + tick(11 * ONE_SECOND + ONE_SECOND // 2), (1600000099, 0), {})]
    for name, first in [("short", (b"\x00\x00\x00\x0b", (1600000000, 0), {})),
                        ("ppi", (UDP + tick(5), (1600000000, 0), {"flags": SELECT | PPI})),
                        ("cut", (UDP[:60], (1600000000, 0), {"cut": len(UDP) + 8 - 60}))]:
        out["tick-anchor-" + name] = capture(TICKS, *numbered([first] + anchored))

    # Before 1970, and a file time before 1970 itself.
    out["tick-before-1970"] = capture(TICKS, *numbered(
        [(UDP + tick(10 * ONE_SECOND), (0, 250000000), {}),
         (UDP + tick(10 * ONE_SECOND - 150000000), (5, 0), {}),
         (UDP + tick(0), (-86400, 999999999), {})]), time_format=8)

    # Nested Ethernet in every format.
    nested = captures.with_header(UDP + frac(1700000000, 0x80000000), 1700000000, 0x80000000)
    for fmt in (TICKS, FRACTION, HEADER):
        out["ppi-%d" % fmt] = capture(fmt, record(nested, flags=SELECT | DRAW | PPI))

    # An Ethernet frame that carries another (a remote capture's packet,
    # RPCAP over UDP): only the outer one is the device's.
    for fmt in (TICKS, FRACTION, HEADER):
        inner = UDP + frac(1700000000, 0x80000000)
        rpcap = struct.pack(">BBHI", 0, 7, 0, 20 + len(inner)) + \
            struct.pack(">IIIII", 1600000000, 0, len(inner), len(inner), 1) + inner
        outer = captures.ipv4_udp_frame(rpcap) + frac(1700000001, 0)
        if fmt == HEADER:
            outer = captures.with_header(captures.ipv4_udp_frame(rpcap), 1700000001, 0)
        out["rpcap-%d" % fmt] = capture(fmt, record(outer), record(outer, flags=0))

    # Frames that keep their FCS (told by the file), a re-timed interface.
    fcs = captures.ethernet_fcs(UDP)
    for fmt in (TICKS, FRACTION, HEADER):
        frame = captures.with_header(UDP + fcs, 1700000000, 0) if fmt == HEADER else \
            UDP + frac(1700000000, 0x80000000) + fcs
        out["fcs-%d" % fmt] = capture(fmt, *numbered(
            [(frame, (1600000000, 0), {"frame_flags": FCS_FOUR}),
             (frame[:-2], (1600000001, 0), {"frame_flags": FCS_FOUR, "cut": 2}),
             (frame[:-7], (1600000002, 0), {"frame_flags": FCS_FOUR, "cut": 7}),
             (frame, (1600000003, 0), {"frame_flags": FCS_NONE}),
             (UDP, (1600000004, 0), {"frame_flags": RETIMED_INTERFACE})]))

    # Microsecond files, Time Shift both ways and undone, display filters.
    out["usec-shift"] = capture(FRACTION, *numbered(
        [(UDP + frac(1700000000, 7), (1600000000, 123000), {"more": USEC}),
         (b"\x01\x02\x03\x04", (1600000001, 0), {"more": USEC, "shift": (3600, 0)}),
         (UDP + frac(1700000000, 0x40000000), (1600000002, 0), {"shift": (-2, 32768)}),
         (UDP + frac(1700000001, 0), (1600000003, 0), {"flags": 0, "display_filter": SHOW_TS}),
         (UDP + frac(1700000002, 0), (1600000004, 0),
          {"flags": DRAW | REDISSECT, "more": UNDO, "display_filter": SHOW_ETH})]),
        time_format=6)

    # The GUI: a format chosen, then "Disabled" and a new dissection (every
    # frame gets its file time back); trailer to tick counter; Time Shift.
    header_capture = [(header(1700000000 + i, 0x80000000) + UDP, (1000 + i, 0), {})
                      for i in range(3)]
    last = dict(flags=SELECT | DRAW | SWITCH | STOP, switch_to=DISABLED)
    out["gui-header-then-disabled"] = capture(HEADER, *numbered(
        header_capture[:2] + [header_capture[2][:2] + (last,)]))
    fraction_capture = [(UDP + frac(0x5A000000 + i, 0x80000000), (1600000000 + i, 0), {})
                        for i in range(3)]
    last = dict(flags=SELECT | DRAW | SWITCH | STOP, switch_to=TICKS)
    out["gui-fraction-then-ticks"] = capture(FRACTION, *numbered(
        fraction_capture[:2] + [fraction_capture[2][:2] + (last,)]))
    out["gui-time-shift"] = capture(HEADER, *numbered(
        [(f, t, {"shift": (3600, 0)}) for f, t, _ in header_capture[:2]]
        + [(header_capture[2][0], header_capture[2][1],
            dict(flags=SELECT | REDISSECT | STOP, shift=(3600, 0)))]))
    # A new capture opened after one was read, and one opened mid-reading.
    out["new-capture"] = capture(TICKS, *numbered(
        [(UDP + tick(ONE_SECOND), (1600000000, 0), {"flags": SELECT | STOP}),
         (UDP + tick(2 * ONE_SECOND), (1600000010, 0), {"more": NEW_CAPTURE}),
         (UDP + tick(3 * ONE_SECOND), (1600000020, 0), {"more": NEW_CAPTURE}),
         (UDP + tick(5 * ONE_SECOND), (1600000030, 0),
          {"flags": SELECT | SWITCH, "switch_to": DISABLED})]))
    out.update(regressions())
    return out


def regressions():
    """The inputs of tests/fuzz/regressions/ (regressions.txt says what each
    found), written anew by --regressions."""
    header = captures.with_header(UDP, 1600000000, 0x80000000)
    # IPv4's total length says 28 bytes: the UDP header, none of its payload.
    short_ip = UDP[:16] + b"\x00\x1c" + UDP[18:]
    return {
        "live-capture-redissected-then-disabled": capture(HEADER, *numbered([
            (header, (1000, 0), {"flags": SELECT | REDISSECT}),
            (UDP, (1001, 0), {"flags": SELECT | STOP | SWITCH, "switch_to": DISABLED})])),
        "ppi-record-dissected-twice-with-a-read-filter": capture(FRACTION, *numbered([
            (UDP + captures.fraction_trailer(5, 0), (1000, 0), {"flags": SELECT | PPI}),
            (UDP, (1001, 0), {"flags": SWITCH, "switch_to": DISABLED})]),
            read_filter=READ_NOT_TS),
        "fcs-behind-trailer-udp-longer-than-ip": capture(FRACTION, *numbered([
            (short_ip + captures.fraction_trailer(1700000000, 0) + captures.ethernet_fcs(short_ip),
             (1000, 0), {"frame_flags": FCS_FOUR})])),
    }


def main():
    folder = Path(sys.argv[-1])
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in (regressions() if "--regressions" in sys.argv else seeds()).items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
