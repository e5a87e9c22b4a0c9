"""The 28-byte capture header ("valtocrane-pcapng"), with and without a
protocol tree. Expected times are worked out by hand: the fraction scales
so that 0xFFFFFFFF is one whole second."""

import pytest

from vctools import captures

MODE = "valtocrane-pcapng"
UDP = captures.ipv4_udp_frame(b"h" * 26)  # 68 bytes


def header(secs, fraction, port=0, marker=6):
    return captures.capture_header(secs, fraction, port, captured_length=60,
                                   packet_length=1514, marker=marker)


# frame bytes, device time (None: the frame keeps its capture file time),
# interface, malformed (None: not ours to say, the frame is left to the host)
CASES = [
    (header(1700000000, 0x80000000, port=0) + UDP, "1700000000.500000000", "Port A", False),
    (header(1700000000, 0x7FFFFFFF, port=1) + UDP, "1700000000.499999999", "Port B", False),
    (header(1700000000, 3000000000, port=2) + UDP, "1700000000.698491931", "Unknown", False),
    # A whole second of fraction is carried into the seconds.
    (header(1700000000, 0xFFFFFFFF, port=0xFFFFFFFF) + UDP, "1700000001.000000000", "Unknown", False),
    # Seconds are unsigned: 2106-02-07.
    (header(0xFFFFFFFF, 0) + UDP, "4294967295.000000000", "Port A", False),
    # Any other marker: not ours, the frame is left alone.
    (header(1700000000, 0, marker=5) + UDP, None, None, None),
    (header(1700000000, 0, marker=7) + UDP, None, None, None),
    (UDP, None, None, False),
    # Too short to read the marker; a header cut short.
    (b"\x06\x00\x00", None, None, True),
    (header(1700000000, 0x80000000)[:27], None, None, True),
    (header(1700000000, 0x80000000)[:20], None, None, True),
    # A header and nothing behind it: the Ethernet dissector gets no bytes.
    (header(1700000002, 0), "1700000002.000000000", "Port A", True),
    # Later frames are unharmed.
    (header(1700000003, 0x40000000, port=1) + UDP, "1700000003.250000000", "Port B", False),
]


def file_time(i):
    return "%d.%09d" % (1600000000 + i, 7)


def expected_time(i):
    return CASES[i][1] or file_time(i)


@pytest.fixture(scope="module")
def capture(write_capture):
    return write_capture([((1600000000 + i, 7), case[0]) for i, case in enumerate(CASES)])


def test_time_column_without_a_tree(tshark, capture):
    rows = tshark.packet_list(capture, MODE)
    assert [r["time"] for r in rows] == [expected_time(i) for i in range(len(CASES))]
    assert [r["protocol"] for r in rows][:5] == ["UDP"] * 5
    assert rows[-1]["protocol"] == "UDP"
    assert all(("Malformed" in r["info"]) == CASES[i][3] for i, r in enumerate(rows)
               if CASES[i][3] is not None)


@pytest.mark.parametrize("two_pass", [False, True])
def test_items_and_time_with_a_tree(tshark, capture, two_pass):
    args = ["-t", "e"] + (["-2"] if two_pass else [])
    rows = tshark.fields(capture, ["_ws.col.Time", "frame.time_epoch", "valtocrane.interface",
                                   "valtocrane.length", "valtocrane.captured_length",
                                   "udp.length", "_ws.malformed"], MODE, args)
    assert len(rows) == len(CASES)
    for i, (frame, device_time, interface, malformed) in enumerate(CASES):
        col_time, epoch, iface, pktlen, caplen, udplen, bad = rows[i]
        assert col_time == expected_time(i), i
        if two_pass:
            # The second pass reads the frame record the first pass rewrote.
            assert epoch == expected_time(i), i
        assert iface == (interface or ""), i
        assert (pktlen, caplen) == (("1514", "60") if interface else ("", "")), i
        if malformed is not None:
            assert bool(bad) == malformed, i
        if device_time and not malformed:
            assert udplen == "34", i  # the Ethernet frame behind the header


def test_header_items_and_byte_ranges(tshark, capture):
    packet = tshark.pdml(capture, MODE)[0]
    protos = [p.get("name") for p in packet.findall("proto")]
    assert protos[:4] == ["geninfo", "frame", "valtocrane", "eth"]
    ours = packet.find("proto[@name='valtocrane']")
    assert (ours.get("pos"), ours.get("size"), ours.get("showname")) == ("0", "28", "ValtoCrane")
    assert [(f.get("name"), f.get("pos"), f.get("size"), f.get("show")) for f in ours] == [
        ("valtocrane.ts", "12", "8", "Nov 14, 2023 22:13:20.500000000 UTC"),
        ("valtocrane.ts_utc", "12", "8", "Nov 14, 2023 22:13:20.500000000 UTC"),
        ("valtocrane.interface", "8", "4", "Port A"),
        ("valtocrane.length", "24", "4", "1514"),
        ("valtocrane.captured_length", "20", "4", "60"),
    ]
    assert packet.find("proto[@name='eth']").get("pos") == "28"


def test_timestamps_in_local_time_and_utc(tshark, capture):
    # Five and a half hours east of UTC, a zone the C library needs no data for.
    [row] = tshark.fields(capture, ["valtocrane.ts", "valtocrane.ts_utc"], MODE,
                          ["-Y", "frame.number == 1"], tz="XST-5:30")
    assert row == ["Nov 15, 2023 03:43:20.500000000 XST", "Nov 14, 2023 22:13:20.500000000 UTC"]


def test_untouched_frames_as_the_host_alone_shows_them(tshark, bare_tshark, capture):
    ours, bare = tshark.packet_list(capture, MODE), bare_tshark.packet_list(capture)
    for i, case in enumerate(CASES[:-1]):
        if case[1] is None and case[3] is not True:
            assert ours[i] == bare[i], i


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


def test_filtered_two_pass_run_keeps_device_times(tshark, capture):
    rows = tshark.packet_list(capture, MODE, ["-2", "-Y", "frame.number > 1"])
    assert [r["time"] for r in rows] == [expected_time(i) for i in range(1, len(CASES))]
