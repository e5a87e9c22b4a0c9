"""The tick counter is tied to the capture's clock at the first frame that
carries a readable counter, whatever frame 1 is, and the same packet gets
the same time whichever frames a read filter keeps."""

import pytest

from support import assert_times_in_every_view
from vctools import captures

MODE = "valtocrane-q3-graphite"
UDP = captures.ipv4_udp_frame(b"a" * 26)
TICKS_PER_S = 200000000

# The first frame with a counter (10 s of ticks, file time 1600000005.000000111)
# keeps its file time; the next lies 1.5 s of ticks after it.
ANCHORED = [
    ((1600000005, 111), UDP + captures.tick_trailer(10 * TICKS_PER_S)),
    ((1600000099, 0), UDP + captures.tick_trailer(11 * TICKS_PER_S + TICKS_PER_S // 2)),
]
ANCHORED_TIMES = ["1600000005.000000111", "1600000006.500000111"]


def frame_one_without_counter(tshark, kind):
    """A capture whose frame 1 (file time 1600000000) carries no readable
    counter, followed by the two ANCHORED frames."""
    path = tshark.capture_path
    rest = captures.write_capture(path("rest-%s.pcapng" % kind), ANCHORED)
    if kind == "short":
        first = captures.write_capture(path("first-short.pcapng"),
                                       [((1600000000, 0), b"\x00\x00\x00\x0b")])
    elif kind == "other link type":
        # An IPv4 packet on an interface of link type raw IP.
        first = captures.write_capture(path("first-raw.pcapng"),
                                       [((1600000000, 0), UDP[14:])], link_type=101)
    else:  # trailer cut off by the capture's snap length
        whole = captures.write_capture(path("first-whole.pcapng"),
                                       [((1600000000, 0), UDP + captures.tick_trailer(5))])
        first = captures.truncate_capture(whole, path("first-cut.pcapng"), 60)
    return captures.merge_captures(path("no-counter-%s.pcapng" % kind.replace(" ", "-")),
                                   first, rest, in_order=True)


@pytest.mark.parametrize("kind", ["short", "other link type", "cut by the snap length"])
def test_anchor_is_the_first_frame_with_a_readable_counter(tshark, kind):
    capture = frame_one_without_counter(tshark, kind)
    assert_times_in_every_view(tshark, capture, MODE, ["1600000000.000000000"] + ANCHORED_TIMES)
    # A frame too short for a trailer is malformed and takes no later frame with it.
    rows = tshark.fields(capture, ["_ws.malformed", "udp.length"], MODE)
    assert [(bool(bad), length) for bad, length in rows] == [
        (kind == "short", "" if kind == "short" else "34"), (False, "34"), (False, "34")]


def test_read_filter_does_not_move_the_anchor(tshark, write_capture):
    """With -2 -R the frames a read filter drops are still read in the first
    pass: the packet that carries the first counter anchors it even when the
    filter drops it."""
    capture = write_capture([
        ((1600000000, 0), captures.ipv4_udp_frame(b"b" * 26, ident=1)
         + captures.tick_trailer(TICKS_PER_S)),
        ((1600000001, 0), captures.ipv4_udp_frame(b"b" * 26, ident=2)
         + captures.tick_trailer(3 * TICKS_PER_S)),
        ((1600000002, 0), captures.ipv4_udp_frame(b"b" * 26, ident=3)
         + captures.tick_trailer(4 * TICKS_PER_S + 7)),
    ])
    fields = ["ip.id", "frame.time_epoch"]
    unfiltered = tshark.fields(capture, fields, MODE, ["-2"])
    filtered = tshark.fields(capture, fields, MODE, ["-2", "-R", "ip.id != 1"])
    assert unfiltered == [["0x0001", "1600000000.000000000"], ["0x0002", "1600000002.000000000"],
                          ["0x0003", "1600000003.000000035"]]
    assert filtered == unfiltered[1:]

