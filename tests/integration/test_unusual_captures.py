"""Captures at the edges of what the host reads: a microsecond file in the
tick-counter format, Ethernet carried inside a device's Ethernet frame, and
file times beyond what the C library can show as a date."""

import struct
import subprocess

import pytest

from vctools import captures
from vctools.tshark import MODES

UDP = captures.ipv4_udp_frame(b"u" * 26)  # 68 bytes, UDP length 34
TICKS_PER_S = 200000000


def test_tick_counter_frames_of_a_microsecond_file_carry_nanoseconds(tshark, write_capture):
    """Frame 1 keeps its file time but, like every frame with a counter,
    with nanoseconds; frame 2 lies 0.2 s + 35 ns of ticks after it, in the
    same second as its own file time; the frame without a counter keeps the
    file's microseconds."""
    nano = write_capture([((1600000000, 123000000), UDP + captures.tick_trailer(10 * TICKS_PER_S)),
                          ((1600000000, 500000000),
                           UDP + captures.tick_trailer(10 * TICKS_PER_S + TICKS_PER_S // 5 + 7)),
                          ((1600000001, 0), b"\x01\x02\x03\x04")], file_type="pcap")
    micro = nano.with_suffix(".usec.pcapng")
    subprocess.run(["editcap", "-F", "pcapng", str(nano), str(micro)], check=True)
    micro.chmod(0o644)
    expected = ["1600000000.123000000", "1600000000.323000035", "1600000001.000000"]
    for args in ([], ["-2"]):
        rows = tshark.packet_list(micro, "valtocrane-q3-graphite", args=args)
        assert [r["time"] for r in rows] == expected, args


def rpcap_packet(frame):
    """A remote capture's packet message (RPCAP over UDP) carrying frame."""
    return struct.pack(">BBHI", 0, 7, 0, 20 + len(frame)) + \
        struct.pack(">IIIII", 1600000000, 0, len(frame), len(frame), 1) + frame


# The frame carried: a capture header in front and 5A 00 00 00 80 00 00 00
# at its end, something for every format to take for a time.
INNER = captures.with_header(UDP + captures.fraction_trailer(0x5A000000, 0x80000000),
                             1700000000, 0x80000000)
# The device's frame around it, and that frame as the device's format leaves
# it for Ethernet: mode -> (frame, frame without the device's bytes, time).
CARRIER = captures.ipv4_udp_frame(rpcap_packet(INNER))
OUTER = {
    "valtocrane-q3-graphite": (CARRIER + captures.tick_trailer(TICKS_PER_S), CARRIER,
                               "1600000000.000000000"),
    "valtocrane-proprietary-headers": (CARRIER + captures.fraction_trailer(1700000001, 0),
                                       CARRIER, "1700000001.000000000"),
    "valtocrane-pcapng": (captures.with_header(CARRIER, 1700000002, 0), CARRIER,
                          "1700000002.000000000"),
}
REMOTE_ETHERNET = ["-o", "rpcap.linktype:1"]


@pytest.mark.parametrize("mode", MODES[1:])
def test_ethernet_inside_a_device_frame_passes_through(tshark, bare_tshark, write_capture, mode):
    """The host dissects a remote capture's Ethernet frame through the same
    link-type table, inside the device's frame: only the outer frame has a
    device time; the inner one goes to the host's Ethernet dissector whole,
    as the host alone dissects it inside the outer frame stripped."""
    frame, stripped, time = OUTER[mode]
    capture = write_capture([((1600000000, 0), frame)])
    fields = ["frame.protocols", "eth.dst", "udp.length", "data.len"]
    ours = tshark.fields(capture, ["_ws.col.Time", "valtocrane.capture_offset"] + fields, mode,
                         ["-t", "e"] + REMOTE_ETHERNET)
    assert ours[0][0] == time
    assert ours[0][1] and "," not in ours[0][1]  # one device time, the outer frame's
    alone = bare_tshark.fields(write_capture([((1600000000, 0), stripped)]), fields,
                               args=REMOTE_ETHERNET)
    protocols, *rest = ours[0][2:]
    assert protocols.startswith("valtocrane:eth:") and "pcap_pktdata:valtocrane:eth:" in protocols
    assert [protocols[len("valtocrane:"):].replace(":valtocrane:eth:", ":eth:")] + rest == alone[0]


def test_times_past_what_the_c_library_can_show(tshark):
    """File times of 10^17 s (year 3 billion): tied to them, the counter
    times are past what the C library breaks down into a date, so neither
    Timestamp item is shown; the difference to the file time is still
    exact (frame 2: 1.5 s of ticks after frame 1, 5 s of file time)."""
    # An interface that counts time in whole seconds (if_tsresol 0), with
    # 64-bit timestamps.
    path = captures.write_pcapng(tshark.capture_path("seconds.pcapng"), [
        captures.pcapng_section(), captures.pcapng_interface(tsresol=0)] + [
        captures.pcapng_packet(0, (secs, 0), frame, tsresol=0) for secs, frame in [
            (10 ** 17, UDP + captures.tick_trailer(10 * TICKS_PER_S)),
            (10 ** 17 + 5, UDP + captures.tick_trailer(11 * TICKS_PER_S + TICKS_PER_S // 2))]])
    rows = tshark.fields(path, ["valtocrane.ts", "valtocrane.ts_utc", "valtocrane.capture_offset",
                                "udp.length"], "valtocrane-q3-graphite", tz="XST-5:30")
    assert rows == [["", "", "0.000000000", "34"], ["", "", "-3.500000000", "34"]]
