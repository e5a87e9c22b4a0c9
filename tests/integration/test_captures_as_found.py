"""Captures as users have them: frames that keep their FCS, files that
valtocrane-retime wrote, device times that cannot be right, and the
device's own intervals in one TShark pass. Values are worked out by hand."""

import pytest

from vctools import captures as c

UDP = c.ipv4_udp_frame(b"f" * 26)     # 68 bytes, UDP length 34
FCS = c.ethernet_fcs(UDP)             # the FCS the frame had on the wire
GOOD = "1"                            # eth.fcs.status: Good
FRACTION = "valtocrane-proprietary-headers"
TICKS = "valtocrane-q3-graphite"
HEADER = "valtocrane-pcapng"
ONE_SECOND = 200000000                # ticks of 5 ns


def pcapng(tshark, name, frames, fcslen=None, description=None):
    """One Ethernet interface; frames are (seconds, bytes captured, bytes on the wire)."""
    return c.write_pcapng(tshark.capture_path(name), [
        c.pcapng_section(), c.pcapng_interface(fcslen=fcslen, description=description)] + [
        c.pcapng_packet(0, (secs, 0), data, wire_len=wire) for secs, data, wire in frames])


def whole(*frames):
    return [(1600000000 + i, f, len(f)) for i, f in enumerate(frames)]


FRACTION_TRAILER = c.fraction_trailer(1700000000, 0x80000000)
SHORT_IP = UDP[:16] + b"\x00\x1c" + UDP[18:]
# name, format, frames, pcapng if_fcslen (or "pcap" for the link-type FCS
# bits), tshark arguments, then per frame: the time, eth.fcs.status, udp.length
FCS_CASES = [
    ("pcapng if_fcslen 4", FRACTION, whole(UDP + FRACTION_TRAILER + FCS), 4, [],
     [("1700000000.500000000", GOOD, "34")]),
    ("pcap FCS bits", TICKS,
     whole(UDP + c.tick_trailer(ONE_SECOND) + FCS, UDP + c.tick_trailer(3 * ONE_SECOND) + FCS),
     "pcap", [], [("1600000000.000000000", GOOD, "34"), ("1600000002.000000000", GOOD, "34")]),
    ("eth.fcs always, the file says nothing", FRACTION, whole(UDP + FRACTION_TRAILER + FCS), None,
     ["-o", "eth.fcs:always"], [("1700000000.500000000", GOOD, "34")]),
    ("the capture header's frame keeps its FCS", HEADER,
     whole(c.with_header(UDP + FCS, 1700000001, 0)), 4, [], [("1700000001.000000000", GOOD, "34")]),
    # Cut by the snap length inside the FCS: the trailer is whole.
    ("cut inside the FCS", FRACTION, [(1600000000, (UDP + FRACTION_TRAILER + FCS)[:-2], 80)], 4,
     [], [("1700000000.500000000", "", "34")]),
    # Cut inside the trailer: no device time; the frame is cut short.
    ("cut inside the trailer", FRACTION, [(1600000000, (UDP + FRACTION_TRAILER + FCS)[:-7], 80)],
     4, [], [("1600000000.000000000", "", "34")]),
    # IPv4 says 28 bytes, UDP 34: the host's UDP dissector once reported a
    # dissector bug on the buffer the plugin handed it.
    ("UDP longer than its IPv4 datagram", FRACTION,
     whole(SHORT_IP + FRACTION_TRAILER + c.ethernet_fcs(SHORT_IP)), 4, [],
     [("1700000000.500000000", GOOD, "34")]),
]


@pytest.mark.parametrize("case", FCS_CASES, ids=[case[0] for case in FCS_CASES])
def test_frames_that_keep_their_fcs(tshark, case):
    name, mode, frames, fcslen, args, expected = case
    if fcslen == "pcap":
        path = c.with_pcap_fcs(c.write_capture(
            tshark.capture_path("fcs.pcap"), [((secs, 0), data) for secs, data, _ in frames],
            file_type="pcap"))
    else:
        path = pcapng(tshark, "fcs-%s.pcapng" % name.replace(" ", "-"), frames, fcslen)
    rows = tshark.fields(path, ["_ws.col.Time", "eth.fcs.status", "udp.length"], mode,
                         ["-t", "e", "-o", "eth.check_fcs:TRUE"] + args)
    assert [tuple(r) for r in rows] == expected


def test_frames_valtocrane_retime_stripped_are_left_alone(tshark, write_capture):
    """An interface whose description carries valtocrane-retime's note has
    its device times as its file times already and no device bytes left;
    an interface without the note is decoded as usual."""
    note = "[device times applied by valtocrane-retime, device bytes removed]"
    path = c.write_pcapng(tshark.capture_path("retimed.pcapng"), [
        c.pcapng_section(), c.pcapng_interface(description="eth1 " + note),
        c.pcapng_interface(description="eth2"),
        c.pcapng_packet(0, (1700000000, 500000000), UDP),
        c.pcapng_packet(1, (1600000000, 0), UDP + FRACTION_TRAILER)])
    for args in ([], ["-2"]):
        rows = tshark.fields(path, ["_ws.col.Time", "valtocrane.capture_offset", "udp.length"],
                             FRACTION, ["-t", "e"] + args)
        assert rows == [["1700000000.500000000", "", "34"],
                        ["1700000000.500000000", "100000000.500000000", "34"]], args


def test_device_times_that_cannot_be_right_get_a_warning(tshark, write_capture):
    # Device times 3600 s, a day, a day and a second and two days after the
    # file's, and a day and a second before it.
    offsets = [3600, 86400, 86401, 172800, -86401]
    path = write_capture([((1600000000, 0), c.with_header(UDP, 1600000000 + o, 0))
                          for o in offsets])
    for max_offset, warned in [(None, [86401, 172800, 86401]), ("0", []),
                               ("60", [3600, 86400, 86401, 172800, 86401])]:
        args = ["-o", "valtocrane.max_time_offset:%s" % max_offset] if max_offset else []
        rows = tshark.fields(path, ["_ws.expert.message"], HEADER, args)
        assert [m for m, in rows if m] == [
            "device time %d s away from the capture file time: is the format right, "
            "is the device clock set?" % n for n in warned], max_offset


# Capture header: device times 100.5, 101, 100.75 (earlier than the frame
# before), a frame without the marker, 102 s.
DEVICE = [(100, 0x80000000), (101, 0), (100, 0xC0000000), None, (102, 0)]
RELATIVE = ["0.000000000", "0.500000000", "0.250000000", "", "1.500000000"]
DELTA = ["0.000000000", "0.500000000", "-0.250000000", "", "1.250000000"]


def test_device_time_relative_and_delta_in_one_pass(tshark, write_capture):
    path = write_capture([((1700000000 + i, 0), c.with_header(UDP, *d) if d else UDP)
                          for i, d in enumerate(DEVICE)])
    fields = ["frame.number", "valtocrane.time_relative", "valtocrane.time_delta"]
    expected = [[str(n), r, d] for n, r, d in zip(range(1, 6), RELATIVE, DELTA)]
    for args in ([], ["-2"], ["-Y", "frame.number >= 3"], ["-2", "-Y", "frame.number >= 3"]):
        rows = tshark.fields(path, fields, HEADER, args)
        assert rows == expected[2 if "-Y" in args else 0:], args
    assert tshark.fields(path, ["frame.number"], HEADER, ["-Y", "valtocrane.time_delta < 0"]) \
        == [["3"]]
    # The tick counter counts from the frame it is tied at (frame 2; frame 1
    # is too short to carry a counter).
    ticks = write_capture([((1700000000, 0), b"\x01\x02\x03"),
                           ((1700000001, 0), UDP + c.tick_trailer(10 * ONE_SECOND)),
                           ((1700000002, 0), UDP + c.tick_trailer(12 * ONE_SECOND + 7))])
    assert tshark.fields(ticks, fields, TICKS)[1:] == [["2", "0.000000000", "0.000000000"],
                                                      ["3", "2.000000035", "2.000000035"]]
