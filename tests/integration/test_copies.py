"""The same frame seen twice, on Port A and Port B of a device's capture
header: valtocrane.latency and valtocrane.latency_frame on the later copy,
with latencies worked out by hand."""

import pytest

from vctools import captures as c

MODE = "valtocrane-pcapng"
ROUTER = dict(src=b"\x02\x00\x00\x00\x00\x0a", dst=b"\x02\x00\x00\x00\x00\x0b", ttl=63)


def udp(ident, **changes):
    return c.ipv4_udp_frame(b"q" * 20, ident=ident, **changes)


# port, frame, device time in ns after 100 s (None: no capture header)
FRAMES = [
    (0, udp(1), 0),                    # 1
    (1, udp(1, **ROUTER), 5000),       # 2: routed (MACs, TTL, checksum): a copy of 1
    (0, udp(2), 10000),                # 3
    (0, udp(2), 12000),                # 4: sent again on the same port: no copy
    (1, udp(2), 20000),                # 5: a copy of 3, the oldest
    (1, udp(2), 21000),                # 6: a copy of 4
    (0, udp(3), 30000),                # 7
    (1, udp(3), 2000000),              # 8: 1.97 ms later: outside the window
    (None, udp(9), None),              # 9: no capture header, no device time
    (1, udp(4), 3000000),              # 10
    (0, udp(4), 3003500),              # 11: B to A, a copy of 10
]


@pytest.fixture(scope="module")
def capture(write_capture):
    return write_capture([((1700000000 + i, 0), frame if port is None else
                           c.with_header(frame, 100, (ns * 2 ** 32 + 10 ** 9 - 1) // 10 ** 9
                                         if ns else 0, port=port))
                          for i, (port, frame, ns) in enumerate(FRAMES)])


def copies(tshark, capture, args=()):
    """frame number -> (latency, earlier frame), for frames that have a copy."""
    rows = tshark.fields(capture, ["frame.number", "valtocrane.latency",
                                   "valtocrane.latency_frame"], MODE, list(args))
    return {int(n): (lat, int(frame)) for n, lat, frame in rows if frame}


@pytest.mark.parametrize("args, expected", [
    ([], {2: ("0.000005000", 1), 5: ("0.000010000", 3), 6: ("0.000009000", 4),
          11: ("0.000003500", 10)}),
    (["-2"], {2: ("0.000005000", 1), 5: ("0.000010000", 3), 6: ("0.000009000", 4),
              11: ("0.000003500", 10)}),
    (["-o", "valtocrane.latency_match:frame"],  # a switch: the routed frame is no copy
     {5: ("0.000010000", 3), 6: ("0.000009000", 4), 11: ("0.000003500", 10)}),
    (["-o", "valtocrane.latency_window_us:2000"],
     {2: ("0.000005000", 1), 5: ("0.000010000", 3), 6: ("0.000009000", 4),
      8: ("0.001970000", 7), 11: ("0.000003500", 10)}),
    (["-o", "valtocrane.latency_window_us:0"], {}),
])
def test_copies_and_their_latency(tshark, capture, args, expected):
    assert copies(tshark, capture, args) == expected


def test_latency_filters_and_counts_as_a_number(tshark, capture):
    for args in ([], ["-2"]):
        rows = tshark.fields(capture, ["frame.number"], MODE,
                             args + ["-Y", "valtocrane.latency > 0.000005"])
        assert rows == [["5"], ["6"]], args
    stats = tshark.run("-r", capture, "-q", "-o", "valtocrane.ts_type:%s" % MODE,
                       "-z", "io,stat,0,MAX(valtocrane.latency)valtocrane.latency").stdout
    assert "0.000010" in stats
