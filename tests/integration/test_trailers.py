"""The two 8-byte trailers, decoded on every pass whether or not a tree is
built. Expected times are worked out by hand."""

import pytest

from support import assert_times_in_every_view
from vctools import captures

UDP = captures.ipv4_udp_frame(b"t" * 26)  # 68 bytes, UDP length 34
ONE_SECOND = 200000000  # ticks of 5 ns

# frame bytes, device time (None: the capture file's time stays)
FRACTION_CASES = [
    (UDP + bytes.fromhex("5A00000080000000"), "1509949440.500000000"),
    (UDP + captures.fraction_trailer(0x5A000000, 0xFFFFFFFF), "1509949440.999999999"),
    (UDP + captures.fraction_trailer(0x5A000000, 1), "1509949440.000000000"),
    (UDP + captures.fraction_trailer(0xFFFFFFFF, 0), "4294967295.000000000"),  # 2106, unsigned
    (b"\x01\x02\x03", None),
    (b"\x5A\x00\x00\x00", None),
    (bytes.fromhex("5A000000800000"), None),
    # Nothing but a trailer: Ethernet gets no bytes.
    (captures.fraction_trailer(0x5A000001, 0), "1509949441.000000000"),
    (UDP + captures.fraction_trailer(1700000000, 0x40000000), "1700000000.250000000"),
]

# Frame 1 keeps its capture file time, FRAME1; every other frame is FRAME1
# plus its tick difference to frame 1, whatever its own file time.
FRAME1 = (1600000000, 123456789)
TICK_CASES = [
    (UDP + bytes.fromhex("0000000BEBC20077"), "1600000000.123456789"),  # 1 s of ticks
    (UDP + captures.tick_trailer(ONE_SECOND + 200), "1600000000.123457789"),
    (UDP + captures.tick_trailer(ONE_SECOND + 1, 0xFF), "1600000000.123456794"),
    (UDP + captures.tick_trailer(0), "1599999999.123456789"),  # before frame 1
    # 2^56 - 1 ticks = 360287970.189639675 s, less frame 1's second.
    (UDP + b"\xff" * 8, "1960287969.313096464"),
    (b"\x01\x02\x03", None),
    (b"\x00\x00\x00\x0B", None),
    (captures.tick_trailer(3 * ONE_SECOND), "1600000002.123456789"),
    (UDP + captures.tick_trailer(ONE_SECOND + 5 * ONE_SECOND // 2), "1600000002.623456789"),
]

FORMATS = {
    "valtocrane-proprietary-headers": (FRACTION_CASES, "ValtoCrane"),
    "valtocrane-q3-graphite": (TICK_CASES, "ValtoCrane-Q3"),
}


def file_time(i):
    return FRAME1 if i == 0 else (1700000000 + 17 * i, 500)


@pytest.fixture(scope="module", params=list(FORMATS))
def trailer(request, write_capture):
    """(mode, cases, protocol column, capture)"""
    cases, protocol = FORMATS[request.param]
    capture = write_capture([(file_time(i), frame) for i, (frame, _) in enumerate(cases)])
    return request.param, cases, protocol, capture


def test_device_time_in_every_view(tshark, trailer):
    mode, cases, _, capture = trailer
    assert_times_in_every_view(tshark, capture, mode, [
        time or "%d.%09d" % file_time(i) for i, (_, time) in enumerate(cases)])


def test_trailer_is_stripped_and_short_frames_are_malformed(tshark, trailer):
    mode, cases, protocol, capture = trailer
    rows = tshark.fields(capture, ["valtocrane.ts_utc", "eth.trailer", "eth.padding", "eth.fcs",
                                   "udp.length", "_ws.malformed"], mode)
    for (frame, time), (ts_utc, eth_trailer, padding, fcs, udp_length, bad) in zip(cases, rows):
        assert bool(ts_utc) == bool(time), frame
        assert (eth_trailer, padding, fcs) == ("", "", ""), frame
        assert udp_length == ("34" if len(frame) > 8 else ""), frame
        assert bool(bad) == (len(frame) <= 8), frame
    # Our column stays where the frame is too short for Ethernet to set one.
    columns = [r["protocol"] for r in tshark.packet_list(capture, mode)]
    assert columns == ["Ethernet" if len(f) == 8 else protocol if len(f) < 8 else "UDP"
                       for f, _ in cases]


def test_items_cover_the_last_eight_bytes(tshark, trailer):
    mode, _, _, capture = trailer
    packet = tshark.pdml(capture, mode, ["-Y", "frame.number == 2"])[0]
    ours = packet.find("proto[@name='valtocrane']")
    assert (ours.get("pos"), ours.get("size")) == ("68", "8")
    assert [(f.get("name"), f.get("pos"), f.get("size")) for f in ours][:6] == [
        ("valtocrane.ts", "68", "8"), ("valtocrane.ts_utc", "68", "8"),
        ("valtocrane.capture_time", "68", "0"), ("valtocrane.capture_offset", "68", "0"),
        ("valtocrane.time_relative", "68", "0"), ("valtocrane.time_delta", "68", "0")]
    assert packet.find("proto[@name='eth']").get("pos") == "0"


def test_frames_whose_trailer_was_not_captured_keep_their_file_time(tshark, trailer):
    """Where a snap length cut the trailer off, the bytes at the end are
    frame bytes, not a time: the frame keeps its capture file time, an
    expert note says why, and what was captured is dissected as Ethernet."""
    mode, cases, _, capture = trailer
    short = captures.truncate_capture(capture, capture.with_suffix(".snap.pcapng"), 60)
    rows = tshark.fields(short, ["frame.number", "_ws.col.Time", "_ws.expert.message",
                                 "ip.src", "udp.length", "valtocrane.ts"], mode, ["-t", "e"])
    for (frame, time), (number, shown, expert, ip_src, udp_length, ts) in zip(cases, rows):
        i = int(number) - 1
        if len(frame) > 60:
            assert (shown, ts) == ("%d.%09d" % file_time(i), ""), number
            assert "The device trailer was not captured" in expert, number
            assert (ip_src, udp_length) == ("192.0.2.1", "34"), number
        else:
            assert "not captured" not in expert, number
