"""The two 8-byte trailers, decoded on every pass whether or not a protocol
tree is built. Expected times are worked out by hand."""

import pytest

from vctools import captures

Q3 = "valtocrane-q3-graphite"
Q5 = "valtocrane-proprietary-headers"
UDP = captures.ipv4_udp_frame(b"t" * 26)  # 68 bytes, UDP length 34
ONE_SECOND = 200000000  # ticks of 5 ns

# Seconds-and-fraction trailer: frame bytes, device time (None: the capture
# file's time stays), malformed.
FRACTION_CASES = [
    (UDP + bytes.fromhex("5A00000080000000"), "1509949440.500000000", False),
    (UDP + captures.fraction_trailer(0x5A000000, 0xFFFFFFFF), "1509949440.999999999", False),
    (UDP + captures.fraction_trailer(0x5A000000, 1), "1509949440.000000000", False),
    # Seconds are unsigned: 2106-02-07.
    (UDP + captures.fraction_trailer(0xFFFFFFFF, 0), "4294967295.000000000", False),
    (b"\x01\x02\x03", None, True),
    (bytes.fromhex("5A000000800000"), None, True),
    # Nothing but a trailer: the Ethernet dissector gets no bytes.
    (captures.fraction_trailer(0x5A000001, 0), "1509949441.000000000", True),
    (UDP + captures.fraction_trailer(1700000000, 0x40000000), "1700000000.250000000", False),
]

# Tick-counter trailer. Frame 1 is written at FRAME1 and keeps that time;
# every other frame is FRAME1 plus its tick difference to frame 1, whatever
# its own capture file time.
FRAME1 = (1600000000, 123456789)
TICK_CASES = [
    (UDP + bytes.fromhex("0000000BEBC20077"), "1600000000.123456789", False),
    (UDP + captures.tick_trailer(ONE_SECOND + 200), "1600000000.123457789", False),
    (UDP + captures.tick_trailer(ONE_SECOND + 1, 0xFF), "1600000000.123456794", False),
    # Earlier than frame 1: one second before it.
    (UDP + captures.tick_trailer(0), "1599999999.123456789", False),
    # The largest count, 2^56 - 1 ticks = 360287970.189639675 s, less frame 1's 1 s.
    (UDP + b"\xff" * 8, "1960287969.313096464", False),
    (b"\x01\x02\x03", None, True),
    (captures.tick_trailer(ONE_SECOND + 2 * ONE_SECOND), "1600000002.123456789", True),
    (UDP + captures.tick_trailer(ONE_SECOND + 5 * ONE_SECOND // 2), "1600000002.623456789", False),
]


def file_time(i):
    return FRAME1 if i == 0 else (1700000000 + 17 * i, 500)


def expected_times(cases):
    return [case[1] or "%d.%09d" % file_time(i) for i, case in enumerate(cases)]


@pytest.fixture(scope="module")
def fraction_capture(write_capture):
    return write_capture([(file_time(i), case[0]) for i, case in enumerate(FRACTION_CASES)])


@pytest.fixture(scope="module")
def tick_capture(write_capture):
    return write_capture([(file_time(i), case[0]) for i, case in enumerate(TICK_CASES)])


FORMATS = [(Q5, "fraction_capture", FRACTION_CASES, "ValtoCrane"),
           (Q3, "tick_capture", TICK_CASES, "ValtoCrane-Q3")]


@pytest.mark.parametrize("mode, capture_name, cases, protocol", FORMATS)
def test_time_column_without_a_tree(request, tshark, mode, capture_name, cases, protocol):
    capture = request.getfixturevalue(capture_name)
    rows = tshark.packet_list(capture, mode)
    assert [r["time"] for r in rows] == expected_times(cases)
    for row, (frame, _, malformed) in zip(rows, cases):
        assert ("Malformed" in row["info"]) == malformed, row
        # Our column stays where the frame is too short for anything else.
        expected_protocol = protocol if len(frame) < 8 else "Ethernet" if len(frame) == 8 else "UDP"
        assert row["protocol"] == expected_protocol, row
        assert row["length"] == len(frame)


# Every view of the time agrees: one pass with a tree, two passes, and two
# passes with frame 1 filtered out of the display.
VIEWS = [["-t", "e"], ["-t", "e", "-2"], ["-t", "e", "-Y", "frame.number > 1"],
         ["-t", "e", "-2", "-Y", "frame.number > 1"]]


@pytest.mark.parametrize("view", VIEWS, ids=["tree", "two-pass", "filtered", "two-pass-filtered"])
@pytest.mark.parametrize("mode, capture_name, cases, protocol", FORMATS)
def test_time_with_a_tree(request, tshark, mode, capture_name, cases, protocol, view):
    capture = request.getfixturevalue(capture_name)
    rows = tshark.fields(capture, ["frame.number", "_ws.col.Time", "frame.time_epoch",
                                   "valtocrane.ts_utc", "eth.trailer", "eth.padding",
                                   "eth.fcs", "udp.length"], mode, view)
    expected = expected_times(cases)
    if "-Y" in view:
        assert [r[0] for r in rows] == [str(n) for n in range(2, len(cases) + 1)]
    for number, col_time, epoch, ts_utc, eth_trailer, eth_padding, eth_fcs, udp_length in rows:
        i = int(number) - 1
        frame, device_time, malformed = cases[i]
        assert col_time == expected[i], number
        if "-2" in view:
            assert epoch == expected[i], number
        assert bool(ts_utc) == bool(device_time), number
        # The trailer is stripped: nothing of it is left for Ethernet to show.
        assert (eth_trailer, eth_padding, eth_fcs) == ("", "", ""), number
        assert udp_length == ("34" if len(frame) > 8 and not malformed else ""), number


@pytest.mark.parametrize("mode, capture_name, cases, protocol", FORMATS)
def test_trailer_items_cover_the_last_eight_bytes(request, tshark, mode, capture_name,
                                                  cases, protocol):
    capture = request.getfixturevalue(capture_name)
    packet = tshark.pdml(capture, mode, ["-Y", "frame.number == 2"])[0]
    ours = packet.find("proto[@name='valtocrane']")
    assert (ours.get("pos"), ours.get("size")) == ("68", "8")
    assert [(f.get("name"), f.get("pos"), f.get("size")) for f in ours] == [
        ("valtocrane.ts", "68", "8"), ("valtocrane.ts_utc", "68", "8")]
    assert packet.find("proto[@name='eth']").get("pos") == "0"


def test_seconds_and_fraction_items_in_local_time_and_utc(tshark, fraction_capture):
    [row] = tshark.fields(fraction_capture, ["valtocrane.ts", "valtocrane.ts_utc"], Q5,
                          ["-Y", "frame.number == 1"], tz="XST-5:30")
    assert row == ["Nov  6, 2017 11:54:00.500000000 XST", "Nov  6, 2017 06:24:00.500000000 UTC"]


def test_without_the_plugin_the_trailer_is_ethernet_trailer(bare_tshark, fraction_capture):
    # The host takes the last four bytes for a frame check sequence.
    rows = bare_tshark.fields(fraction_capture, ["eth.trailer", "eth.fcs"],
                              args=["-Y", "frame.number == 1"])
    assert rows == [["5a000000", "0x80000000"]]


@pytest.mark.parametrize("mode, capture_name, cases, protocol", FORMATS)
def test_frames_cut_short_by_the_capture_keep_their_file_time(
        request, tshark, mode, capture_name, cases, protocol):
    """Where a snap length cut the trailer off, the bytes at the end are
    frame bytes, not a time: the host reports the frame as cut short."""
    capture = request.getfixturevalue(capture_name)
    short = captures.truncate_capture(capture, capture.with_suffix(".snap.pcapng"), 60)
    rows = tshark.packet_list(short, mode)
    for i, row in enumerate(rows):
        if len(cases[i][0]) > 60:
            assert row["time"] == "%d.%09d" % file_time(i)
            assert row["info"] == "[Packet size limited during capture]"
