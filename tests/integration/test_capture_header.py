"""The 28-byte capture header ("valtocrane-pcapng"). Expected times are
worked out by hand: the fraction scales so that 0xFFFFFFFF is one second."""

import pytest

from support import assert_times_in_every_view
from vctools import captures

MODE = "valtocrane-pcapng"
UDP = captures.ipv4_udp_frame(b"h" * 26)  # 68 bytes, UDP length 34


def header(secs, fraction, port=0, marker=6):
    return captures.capture_header(secs, fraction, port, captured_length=60,
                                   packet_length=1514, marker=marker)


# frame bytes, device time (None: the capture file's time stays), interface,
# malformed (None: not ours, the frame is left to the host)
CASES = [
    (header(1700000000, 0x80000000, port=0) + UDP, "1700000000.500000000", "Port A", False),
    (header(1700000000, 0x7FFFFFFF, port=1) + UDP, "1700000000.499999999", "Port B", False),
    (header(1700000000, 3000000000, port=2) + UDP, "1700000000.698491931", "Unknown", False),
    # A whole second of fraction is carried into the seconds.
    (header(1700000000, 0xFFFFFFFF, port=0xFFFFFFFF) + UDP, "1700000001.000000000", "Unknown",
     False),
    (header(0xFFFFFFFF, 0) + UDP, "4294967295.000000000", "Port A", False),  # 2106, unsigned
    (header(1700000000, 0, marker=5) + UDP, None, None, None),
    (header(1700000000, 0, marker=7) + UDP, None, None, None),
    (UDP, None, None, None),
    (b"\x06\x00\x00", None, None, True),  # too short for the marker
    (header(1700000000, 0x80000000)[:27], None, None, True),
    (header(1700000000, 0x80000000)[:20], None, None, True),
    # A header and nothing behind it: Ethernet gets no bytes.
    (header(1700000002, 0), "1700000002.000000000", "Port A", True),
    (header(1700000003, 0x40000000, port=1) + UDP, "1700000003.250000000", "Port B", False),
]


@pytest.fixture(scope="module")
def capture(write_capture):
    return write_capture([((1600000000 + i, 7), case[0]) for i, case in enumerate(CASES)])


def test_device_time_in_every_view(tshark, capture):
    assert_times_in_every_view(tshark, capture, MODE, [
        case[1] or "%d.000000007" % (1600000000 + i) for i, case in enumerate(CASES)])


def test_header_fields_and_the_frame_behind_it(tshark, bare_tshark, capture):
    rows = tshark.fields(capture, ["valtocrane.interface", "valtocrane.length",
                                   "valtocrane.captured_length", "udp.length", "_ws.malformed"],
                         MODE)
    for i, (frame, device_time, interface, malformed) in enumerate(CASES):
        iface, pktlen, caplen, udplen, bad = rows[i]
        assert (iface, pktlen, caplen) == ((interface, "1514", "60") if interface
                                           else ("", "", "")), i
        if malformed is not None:
            assert bool(bad) == malformed, i
        if device_time and not malformed:
            assert udplen == "34", i
    # Frames without the marker are the host's alone.
    ours, bare = tshark.packet_list(capture, MODE), bare_tshark.packet_list(capture)
    assert [ours[i] for i in (5, 6, 7)] == [bare[i] for i in (5, 6, 7)]


def test_items_in_order_with_byte_ranges_local_time_and_utc(tshark, capture):
    # Five and a half hours east of UTC, a zone the C library needs no data for.
    packet = tshark.pdml(capture, MODE, ["-Y", "frame.number == 1"], tz="XST-5:30")[0]
    assert [p.get("name") for p in packet.findall("proto")][:4] == \
        ["geninfo", "frame", "valtocrane", "eth"]
    ours = packet.find("proto[@name='valtocrane']")
    assert (ours.get("pos"), ours.get("size"), ours.get("showname")) == ("0", "28", "ValtoCrane")
    # From 4.6 on, PDML shows absolute times in ISO 8601.
    assert [(f.get("name"), f.get("pos"), f.get("size"), f.get("show")) for f in ours] == [
        ("valtocrane.ts", "12", "8", tshark.for_series({
            (4, 0): "Nov 15, 2023 03:43:20.500000000 XST",
            (4, 6): "2023-11-15T03:43:20.500000000+0530"})),
        ("valtocrane.ts_utc", "12", "8", tshark.for_series({
            (4, 0): "Nov 14, 2023 22:13:20.500000000 UTC",
            (4, 6): "2023-11-14T22:13:20.500000000Z"})),
        ("valtocrane.capture_time", "0", "0", tshark.for_series({
            (4, 0): "Sep 13, 2020 12:26:40.000000007 UTC",
            (4, 6): "2020-09-13T12:26:40.000000007Z"})),
        ("valtocrane.capture_offset", "0", "0", "100000000.499999993"),
        ("valtocrane.time_relative", "0", "0", "0.000000000"),
        ("valtocrane.time_delta", "0", "0", "0.000000000"),
        ("valtocrane.interface", "8", "4", "Port A"),
        ("valtocrane.length", "24", "4", "1514"),
        ("valtocrane.captured_length", "20", "4", "60"),
        ("_ws.expert", "0", "0", None),  # the device 100000000 s from the capture file
    ]
    assert packet.find("proto[@name='eth']").get("pos") == "28"


@pytest.mark.parametrize("display_filter, frames", [
    ("valtocrane", [1, 2, 3, 4, 5, 12, 13]),
    ("valtocrane.ts", [1, 2, 3, 4, 5, 12, 13]),
    ("valtocrane.ts_utc", [1, 2, 3, 4, 5, 12, 13]),
    ('valtocrane.interface == "Port B"', [2, 13]),
    ('valtocrane.ts_utc > "2023-11-14 22:13:20.6" && valtocrane.ts_utc < "2023-11-14 22:13:22"',
     [3, 4]),
])
def test_display_filters(tshark, capture, display_filter, frames):
    rows = tshark.fields(capture, ["frame.number"], MODE, ["-Y", display_filter])
    assert [int(r[0]) for r in rows] == frames
