"""valtocrane-latency's outputs beyond the report, on captures worked out by
hand: the figures by flow, the time series, the rows for a database, the
capture of lost frames; captures given as sets of files; and the same
results with any number of jobs."""

import csv
import io
import re
import subprocess

import pytest

from vctools import captures as c
from test_latency import BASE, BASE_NS, PORTS, header_time, latency  # noqa: F401

A, B = "interface 0 (dev0), Port A", "interface 0 (dev0), Port B"


def udp(n, dst_port=7000):
    return c.ipv4_udp_frame(b"payload %d" % n, ident=n, dst_port=dst_port)


def ports_file(path, frames, first=0, name="dev0"):
    """One interface, dev0 by default; frames are (port, device ns, frame);
    record times 1 s apart from BASE + first s (a ring buffer's files
    follow on)."""
    blocks = [c.pcapng_section(), c.pcapng_interface(name=name)]
    for i, (port, ns, frame) in enumerate(frames):
        blocks.append(c.pcapng_packet(0, (BASE + first + i, 0),
                                      c.with_header(frame, *header_time(ns), port=PORTS[port])))
    return c.write_pcapng(path, blocks)


# Two flows, to ports 7000 and 7001: 7000 copied after 1 and 3 us, 7001
# after 2 and 20 us and one frame lost; intervals of 10 us by the time at A.
FRAMES = [("A", 0, udp(1)), ("B", 1000, udp(1)),
          ("A", 2000, udp(2, 7001)), ("B", 4000, udp(2, 7001)),
          ("A", 12000, udp(3)), ("B", 15000, udp(3)),
          ("A", 15500, udp(4, 7001)),
          ("A", 16000, udp(5, 7001)), ("B", 36000, udp(5, 7001))]


@pytest.fixture
def capture(tmp_path):
    return ports_file(tmp_path / "flows.pcapng", FRAMES)


def test_by_flow_worst_p99_first(latency, capture):
    proc = latency("-f", "valtocrane-pcapng", "--by", "flow", capture)
    assert proc.returncode == 0, proc.stderr
    # Percentiles at the middle of their bucket, within min and max: 2000 ns
    # in 2000 to 2015, 1000 in 1000 to 1007, 3000 in 2976 to 3007; all in us.
    table = proc.stdout.split("By flow, the worst p99 first")[1].splitlines()[2:4]
    assert [line.split()[-5:] for line in table] == [["2", "1", "2.007", "20.000", "20.000"],
                                                      ["2", "0", "1.003", "2.991", "3.000"]]
    assert table[0].startswith("UDP 192.0.2.1:40000 -> 192.0.2.2:7001  %s -> %s" % (A, B))
    assert table[1].startswith("UDP 192.0.2.1:40000 -> 192.0.2.2:7000  ")


def test_interval_series_by_the_time_at_the_first_point(latency, capture, tmp_path):
    proc = latency("-f", "valtocrane-pcapng", "--interval", "10e-6", "--series",
                   tmp_path / "series.csv", capture)
    assert proc.returncode == 0, proc.stderr
    rows = list(csv.reader((tmp_path / "series.csv").open()))
    assert rows[0] == ["interval_start_ns", "interval_start_utc", "from", "to", "copies", "lost",
                       "min_ns", "p50_ns", "p99_ns", "max_ns"]
    assert [r[:1] + r[2:] for r in rows[1:]] == [
        [str(BASE_NS), A, B, "2", "0", "1000", "1003", "2000", "2000"],
        [str(BASE_NS + 10000), A, B, "2", "1", "3000", "3000", "20000", "20000"]]
    assert rows[1][1] == "2023-11-14T22:13:20.000000000Z"


def test_rows_for_a_database_in_integer_nanoseconds(latency, capture, tmp_path):
    proc = latency("-f", "valtocrane-pcapng", "--export", "-", capture)
    assert proc.returncode == 0, proc.stderr
    rows = list(csv.DictReader(io.StringIO(proc.stdout)))
    assert len(rows) == 5 and "Capture point" in proc.stderr
    assert rows[0] == {
        "kind": "pair", "from_point": A, "to_point": B, "earlier_file": str(capture),
        "earlier_frame": "1", "later_file": str(capture), "later_frame": "2",
        "earlier_time_ns": str(BASE_NS), "later_time_ns": str(BASE_NS + 1000),
        "latency_ns": "1000", "protocol": "17", "src": "192.0.2.1", "dst": "192.0.2.2",
        "src_port": "40000", "dst_port": "7000", "vlan": "-1", "frame_length": "51"}
    lost = [r for r in rows if r["kind"] == "lost"]
    assert [(r["earlier_frame"], r["earlier_time_ns"], r["to_point"], r["latency_ns"])
            for r in lost] == [("7", str(BASE_NS + 15500), B, "0")]
    assert all(re.fullmatch(r"-?\d+", r[k]) for r in rows
               for k in ("earlier_time_ns", "later_time_ns", "latency_ns"))


def test_lost_frames_in_a_capture_of_their_own(tshark, latency, tmp_path):
    capture = ports_file(tshark.capture_path("lost-in.pcapng"), FRAMES)
    lost = tshark.capture_path("lost.pcapng")
    proc = latency("-f", "valtocrane-pcapng", "--unmatched", lost, capture)
    assert proc.returncode == 0, proc.stderr
    assert "1 frames without a copy written to %s" % lost in proc.stdout
    lost.chmod(0o644)
    assert tshark.fields(lost, ["frame.time_epoch", "frame.interface_name", "ip.id",
                                "frame.len"]) == [["%d.000015500" % BASE, A, "0x0004", "51"]]
    # The plugin leaves them alone, in any format.
    assert tshark.fields(lost, ["frame.time_epoch"], "valtocrane-pcapng") == \
        [["%d.000015500" % BASE]]


def sets(folder, frames, split, prefix="ring"):
    """The frames in two files of a ring buffer, the second first on the
    command line: file 1 holds frames[:split]."""
    first = ports_file(folder / ("%s_00001.pcapng" % prefix), frames[:split])
    second = ports_file(folder / ("%s_00002.pcapng" % prefix), frames[split:], first=split)
    return "%s,%s" % (second, first), first, second


def pairs_of(output):
    return [tuple(r) for r in csv.reader(io.StringIO(output))][1:]


def test_a_set_of_files_is_one_capture(latency, tmp_path):
    one = ports_file(tmp_path / "one.pcapng", FRAMES)
    whole = latency("-f", "valtocrane-pcapng", "--csv", "-", one)
    # Split between frame 3 and its copy, frame 4.
    files, first, second = sets(tmp_path, FRAMES, 3)
    proc = latency("-f", "valtocrane-pcapng", "--csv", "-", "--export", tmp_path / "x.csv", files)
    assert proc.returncode == 0, proc.stderr
    assert pairs_of(proc.stdout) == pairs_of(whole.stdout)
    assert ("3", "4") in [p[:2] for p in pairs_of(proc.stdout)]
    exported = list(csv.DictReader((tmp_path / "x.csv").open()))
    assert (exported[1]["earlier_file"], exported[1]["earlier_frame"],
            exported[1]["later_file"], exported[1]["later_frame"]) == (
        str(first), "3", str(second), "1")
    assert "%s,%s: 9 frames read" % (first, second) in proc.stderr


def test_two_points_given_as_sets(latency, tmp_path):
    def point(name, frames):
        """Two files of two frames each, the later first on the command line."""
        paths = []
        for i in range(2):
            blocks = [c.pcapng_section(), c.pcapng_interface(name=name)]
            for ns, frame in frames[2 * i:2 * i + 2]:
                blocks.append(c.pcapng_packet(0, (BASE + ns // 10**9, ns % 10**9), frame))
            paths.append(c.write_pcapng(tmp_path / ("%s_%d.pcapng" % (name, i)), blocks))
        return "%s,%s" % (paths[1], paths[0])
    a = point("a", [(0, udp(1)), (10**9, udp(2)), (2 * 10**9, udp(3)), (3 * 10**9, udp(4))])
    b = point("b", [(700, udp(1)), (10**9 + 800, udp(2)), (2 * 10**9 + 900, udp(3)),
                    (3 * 10**9 + 50, udp(9))])
    proc = latency("-f", "disabled", "--csv", "-", a, b)
    assert proc.returncode == 0, proc.stderr
    assert [p[-1] for p in pairs_of(proc.stdout)] == ["700", "800", "900"]
    assert "A -> B: 3 copies, 1 lost" in proc.stderr


@pytest.mark.parametrize("shape", ["one file", "a set of files", "two captures"])
def test_any_number_of_jobs_gives_the_same_results(latency, tmp_path, shape):
    files, first, second = sets(tmp_path, FRAMES * 3, 10)
    inputs = {"one file": [first], "a set of files": [files],
              "two captures": [files, sets(tmp_path, FRAMES * 2, 7, "b")[0]]}[shape]
    outputs = []
    out = tmp_path
    for jobs in ("1", "2", "3"):
        proc = latency("-f", "valtocrane-pcapng", "--jobs", jobs, "--by", "flow", "--window",
                       "0.00002", "--interval", "0.00001", "--series", out / "series.csv",
                       "--csv", out / "pairs.csv", "--export", out / "export.csv",
                       "--unmatched", out / "lost.pcapng", *inputs)
        assert proc.returncode == 0, proc.stderr
        outputs.append([proc.stdout] + [(out / f).read_bytes() for f in
                                         ("series.csv", "pairs.csv", "export.csv", "lost.pcapng")])
    assert outputs[1] == outputs[0] and outputs[2] == outputs[0]
