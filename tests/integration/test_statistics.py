"""The latency statistics of the plugin (tshark -z valtocrane,latency, the
Statistics table) against valtocrane-latency's report of the same capture,
and the frames that waited in vain (valtocrane.copy_missing)."""

import csv
import io
import random
import re

import pytest

from vctools import captures as c
from test_latency import CLOCKS, ONE_CAPTURE, latency, ports_capture  # noqa: F401
from test_latency_outputs import FRAMES, ports_file

MODE = "valtocrane-pcapng"


def random_frames(seed, count=400):
    """Frames on port A, most seen again on port B 1 to 900 us later, in
    the order a capture host sees them; a few never come out."""
    rng = random.Random(seed)
    seen = []
    for i in range(count):
        frame = c.ipv4_udp_frame(b"r%d" % i, ident=i, dst_port=7000 + i % 5)
        sent = i * 50000 + rng.randrange(1000)
        seen.append(("A", sent, frame))
        if rng.random() < 0.9:
            seen.append(("B", sent + rng.randrange(1000, 900000), frame))
    return sorted(seen, key=lambda f: f[1])


CAPTURES = {
    "flows": FRAMES,
    "both ways": ONE_CAPTURE["ports A and B, both ways"][1],
    "a step back": CLOCKS["a step back of an hour"][0],
    "random": random_frames(7),
}


def report(text):
    """The points and directions of a report, and its other sections."""
    text = text.split("\n\n", 1)[1].split("\n=====")[0]
    return re.sub(r"\nNo copies matched.*?(\n\n|$)", r"\1", text, flags=re.S)


@pytest.mark.parametrize("args", [[], ["-2"]])
@pytest.mark.parametrize("name", list(CAPTURES))
def test_the_plugin_reports_what_the_tool_reports(tshark, latency, name, args):
    capture = ports_file(tshark.capture_path("stats-%s.pcapng" % name.replace(" ", "-")),
                         CAPTURES[name])
    tool = latency("-f", MODE, "--by", "flow", capture)
    assert tool.returncode == 0, tool.stderr
    z = tshark.run("-r", capture, "-q", "-o", "valtocrane.ts_type:%s" % MODE, *args, "-z",
                   "valtocrane,latency,by=flow").stdout
    tool_text = tool.stdout.split("\nSteps of a device clock")[0]
    assert report(z).strip() == report(tool_text).strip()


def test_the_display_filter_selects_the_frames_that_count(tshark):
    capture = ports_file(tshark.capture_path("filter.pcapng"), FRAMES)
    for args in ([], ["-2"]):
        z = tshark.run("-r", capture, "-q", "-o", "valtocrane.ts_type:%s" % MODE, *args, "-z",
                       "valtocrane,latency,udp.dstport == 7001").stdout
        assert "Port A -> interface 0 (dev0), Port B: 2 copies, 1 lost" in z
        assert re.search(r"^  max +20\.000 us$", z, re.M)


def test_the_time_series_of_the_plugin_and_the_tool(tshark, latency, tmp_path):
    capture = ports_file(tshark.capture_path("series.pcapng"), CAPTURES["random"])
    tool = latency("-f", MODE, "--interval", "0.002", "--series", tmp_path / "s.csv", capture)
    assert tool.returncode == 0
    z = tshark.run("-r", capture, "-q", "-o", "valtocrane.ts_type:%s" % MODE, "-z",
                   "valtocrane,latency,interval=0.002").stdout
    rows = z.split("By interval of 2 ms of device time:\n")[1].split("=====")[0]
    assert rows == (tmp_path / "s.csv").read_text()


def test_frames_that_waited_in_vain_are_those_the_tool_lost(tshark, latency):
    capture = ports_file(tshark.capture_path("missing.pcapng"), CAPTURES["random"])
    exported = latency("-f", MODE, "--export", "-", capture).stdout
    lost = [[r["earlier_frame"]] for r in csv.DictReader(io.StringIO(exported))
            if r["kind"] == "lost"]
    assert len(lost) > 10
    assert tshark.fields(capture, ["frame.number"], MODE,
                         ["-2", "-Y", "valtocrane.copy_missing"]) == lost
    # In one pass a frame's copy may come after it: never flagged then.
    assert tshark.fields(capture, ["frame.number"], MODE, ["-Y", "valtocrane.copy_missing"]) == []


def test_the_statistics_are_registered(tshark):
    listed = tshark.run("-z", "help", check=False).stdout + tshark.run("-z", "help",
                                                                        check=False).stderr
    assert "valtocrane,latency" in listed and "valtocrane,tables" in listed
    # The tables name the points by port alone: every one is on the same
    # interface, whose name holds a comma.
    tables = tshark.run("-r", ports_file(tshark.capture_path("tables.pcapng"), FRAMES,
                                         name="span, rack 4"), "-q",
                        "-2", "-o", "valtocrane.ts_type:%s" % MODE, "-z",
                        "valtocrane,tables").stdout
    assert re.search(r"^Port A -> Port B +\| +4 \| +1 \| +1\.000 \| +6\.500 \| +2\.007 \|", tables,
                     re.M)
