"""What a device time looks like once it is the frame's time: nanoseconds
whatever the file's resolution, times before 1970, and the time every later
protocol of the frame computes with."""

import subprocess

from vctools import captures

UDP = captures.ipv4_udp_frame(b"v" * 26)


def test_retimed_frames_show_nanoseconds_in_a_microsecond_file(tshark, write_capture):
    """pcapng as dumpcap and tcpdump write it by default keeps microseconds."""
    nano = write_capture([((1600000000, 123000), UDP + captures.fraction_trailer(1700000000, 7)),
                          ((1600000001, 0), b"\x01\x02\x03\x04")], file_type="pcap")
    micro = nano.with_suffix(".usec.pcapng")
    subprocess.run(["editcap", "-F", "pcapng", str(nano), str(micro)], check=True)
    micro.chmod(0o644)
    rows = tshark.packet_list(micro, "valtocrane-proprietary-headers")
    # 7 / 2^32 s is 1.6 ns: the device's nanoseconds; the malformed frame
    # keeps the file's microseconds.
    assert [r["time"] for r in rows] == ["1700000000.000000001", "1600000001.000000"]


def test_tick_counter_times_before_1970(tshark, write_capture):
    """Frame 1 at a quarter second past 1970; frame 2's counter lies 0.75 s
    before frame 1's: half a second before 1970, nanoseconds counted up from
    the second before."""
    ticks = 10 * 200000000
    capture = write_capture([((0, 250000000), UDP + captures.tick_trailer(ticks)),
                             ((5, 0), UDP + captures.tick_trailer(ticks - 150000000))])
    expected = tshark.for_series({
        (4, 0): ["1969-12-31 23:59:59.500000000", "Dec 31, 1969 23:59:59.500000000 UTC"],
        (4, 6): ["1969-12-31 23:59:59.500000000Z", "1969-12-31T23:59:59.500000000Z"]})
    for args in ([], ["-2"]):
        rows = tshark.fields(capture, ["_ws.col.Time", "valtocrane.ts_utc",
                                       "valtocrane.capture_offset"],
                             "valtocrane-q3-graphite", ["-t", "ud"] + args)
        assert rows[1] == expected + ["-5.500000000"], args


def dns(ident, response):
    """A DNS query for a.example (or its response) over UDP."""
    flags = 0x8180 if response else 0x0100
    header = ident.to_bytes(2, "big") + flags.to_bytes(2, "big") + \
        bytes([0, 1, 0, 1 if response else 0, 0, 0, 0, 0])
    question = b"\x01a\x07example\x00\x00\x01\x00\x01"
    answer = b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\xc0\x00\x02\x63" if response \
        else b""
    ports = dict(src_port=53, dst_port=40000) if response else dict(src_port=40000, dst_port=53)
    return captures.ipv4_udp_frame(header + question + answer, reply=response, **ports)


def test_later_protocols_time_the_frame_by_the_device(tshark, write_capture):
    """DNS times a response from its query: the device saw them 1.234567 ms
    apart, the capture host 5 s apart."""
    capture = write_capture([
        ((1600000000, 0), captures.with_header(dns(0x1234, False), 1700000000, 0)),
        ((1600000005, 0), captures.with_header(dns(0x1234, True), 1700000000, 5302425)),
    ])
    for args in ([], ["-2"]):
        rows = tshark.fields(capture, ["dns.time"], "valtocrane-pcapng", args)
        assert rows == [[""], ["0.001234567"]], args


def test_views_tshark_fills_before_the_plugin_runs(tshark, write_capture):
    """The README's table of views: device times 2 s apart, file times 1 s
    apart, the device 100000000.25 s ahead. Absolute formats show the
    device; TShark's relative times count from frame 1's file time."""
    capture = write_capture([((1600000000 + i, 0), captures.with_header(
        UDP, 1700000000 + 2 * i, 0x40000000)) for i in range(4)])
    device = ["1700000000.250000000", "1700000002.250000000", "1700000004.250000000",
              "1700000006.250000000"]
    column = {"ad": ["2023-11-14 22:13:2%d.250000000" % s for s in (0, 2, 4, 6)], "e": device}
    column["a"] = [t[11:] for t in column["ad"]]
    column["ud"] = [t + tshark.for_series({(4, 0): "", (4, 6): "Z"}) for t in column["ad"]]
    for passes in ([], ["-2"]):
        for fmt, expected in column.items():
            rows = tshark.fields(capture, ["_ws.col.Time"], "valtocrane-pcapng",
                                 ["-t", fmt] + passes)
            assert [r[0] for r in rows] == expected, (fmt, passes)
    rows = tshark.fields(capture, ["frame.time_epoch", "frame.time_delta",
                                   "frame.time_relative"], "valtocrane-pcapng", ["-2"])
    assert [r[0] for r in rows] == device
    assert [r[1] for r in rows][2:] == ["2.000000000", "2.000000000"]
    assert [r[2] for r in rows] == ["100000000.250000000", "100000002.250000000",
                                    "100000004.250000000", "100000006.250000000"]
