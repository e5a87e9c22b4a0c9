"""valtocrane-latency over captures whose copies and latencies are worked
out by hand: the device's two ports in one capture, two interfaces, two
captures, what a router or a switch changes, duplicates, the window, frames
without a device time, captures valtocrane-retime wrote, and the tool's
errors. The pairs are read from --csv - (the report then goes to standard
error)."""

import csv
import io
import os
import re
import subprocess
from decimal import Decimal
from pathlib import Path

import pytest

from conftest import VERSION
from vctools import captures as c

BASE = 1700000000           # the device's second at 0 ns below
BASE_NS = BASE * 10**9
PORTS = {"A": 0, "B": 1, "7": 7}
RETIMED_NOTE = "[device times applied by valtocrane-retime, device bytes removed]"


def udp(n, **kwargs):
    return c.ipv4_udp_frame(b"payload %d" % n, ident=n, **kwargs)


def header_time(ns):
    """The capture header's seconds and fraction for BASE s + ns."""
    return BASE + ns // 10**9, c.header_fraction(ns % 10**9)


def routed(frame):
    """The frame as a router sends it on: other MAC addresses, a VLAN tag,
    the TTL one less, another IPv4 checksum."""
    ip = bytearray(frame[14:])
    ip[8] -= 1
    ip[10:12] = b"\xbe\xef"
    return b"\x02\x00\x00\x00\x00\x09" * 2 + b"\x81\x00\x00\x05\x08\x00" + bytes(ip)


F = [udp(i) for i in range(6)]
ARP = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01" + b"\x08\x06" + bytes(28)
OTHER_MAC = b"\x02\x00\x00\x00\x00\x07" + F[1][6:]


def ports_capture(path, frames, name="dev0"):
    """One interface, dev0 by default; frames are (port, device ns, frame)
    in capture order, port None for a frame without a capture header."""
    blocks = [c.pcapng_section(), c.pcapng_interface(name=name)]
    for i, (port, ns, frame) in enumerate(frames):
        data = frame if port is None else c.with_header(frame, *header_time(ns), port=PORTS[port])
        blocks.append(c.pcapng_packet(0, (BASE + 50, i), data))
    return c.write_pcapng(path, blocks)


@pytest.fixture(scope="session")
def latency():
    """Runs the tool: latency(*args, **subprocess args), text output."""
    tool = os.environ.get("VALTOCRANE_LATENCY")
    if not tool or not Path(tool).is_file():
        pytest.exit("VALTOCRANE_LATENCY must name the built valtocrane-latency", returncode=2)

    def run(*args, **kwargs):
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        return subprocess.run([tool] + [str(a) for a in args], text=True, **kwargs)
    return run


def pairs(output):
    """(earlier frame, later frame, latency) of each CSV row."""
    rows = list(csv.DictReader(io.StringIO(output)))
    return [(int(r["earlier_frame"]), int(r["later_frame"]), int(r["latency_ns"])) for r in rows]


def points(report):
    """label: (frames read, with a device time, unmatched), from the report."""
    table = report.split("Capture point", 1)[1].split("\n\n", 1)[0].splitlines()[1:]
    return {m[1]: tuple(map(int, m.groups()[1:]))
            for m in (re.match(r"(.+?) +(\d+) +(\d+) +(\d+)$", line) for line in table)}


def figures(report):
    return dict(re.findall(r"^  (min|mean|p50|p90|p99|p99\.9|max) +(\S+ \w+)$", report, re.M))


A, B = "interface 0 (dev0), Port A", "interface 0 (dev0), Port B"

# name: (options, frames, pairs (earlier, later, latency ns), points' counts)
ONE_CAPTURE = {
    "ports A and B, both ways": (
        [], [("A", 0, F[0]), ("B", 4000, F[0]), ("A", 10000, F[1]), ("B", 15500, F[1]),
             ("B", 20000, F[2]), ("A", 20300, F[2]), ("A", 30000, F[3])],
        [(1, 2, 4000), (3, 4, 5500), (5, 6, 300)], {A: (4, 4, 1), B: (3, 3, 0)}),
    "a router: TTL, checksum, MAC addresses, VLAN tag": (
        [], [("A", 0, F[0]), ("B", 2500, routed(F[0]))], [(1, 2, 2500)],
        {A: (1, 1, 0), B: (1, 1, 0)}),
    "the router's frames keyed whole": (
        ["--match", "frame"], [("A", 0, F[0]), ("B", 2500, routed(F[0]))], [],
        {A: (1, 1, 1), B: (1, 1, 1)}),
    "a switch: ARP whole, another MAC address another frame": (
        ["--match", "frame"], [("A", 0, ARP), ("B", 700, ARP), ("A", 1000, F[1]),
                               ("B", 1500, OTHER_MAC)],
        [(1, 2, 700)], {A: (2, 2, 1), B: (2, 2, 1)}),
    "duplicates pair in order": (
        [], [("A", 0, F[0]), ("A", 1000, F[0]), ("B", 5000, F[0]), ("B", 6500, F[0])],
        [(1, 3, 5000), (2, 4, 5500)], {A: (2, 2, 0), B: (2, 2, 0)}),
    "the window: 10 us apart matches, 10.001 us does not": (
        ["--window", "10e-6"], [("A", 0, F[0]), ("B", 10000, F[0]), ("A", 20000, F[1]),
                                ("B", 30001, F[1])],
        [(1, 2, 10000)], {A: (2, 2, 1), B: (2, 2, 1)}),
    "frames without a device time": (
        [], [("A", 0, F[0]), (None, 0, F[0]), (None, 0, c.capture_header(1, 2)[:10]),
             ("B", 3000, F[0])],
        [(1, 4, 3000)], {A: (1, 1, 0), B: (1, 1, 0),
                         "interface 0 (dev0), no device time": (2, 0, 0)}),
    "one port: no copies": (
        [], [("A", 0, F[0]), ("A", 100, F[0])], [], {A: (2, 2, 2)}),
    "any other port value is a point of its own": (
        [], [("A", 0, F[0]), ("7", 250, F[0])], [(1, 2, 250)],
        {A: (1, 1, 0), "interface 0 (dev0), Unknown port": (1, 1, 0)}),
    "a later copy with an earlier device time": (
        [], [("A", 1000, F[0]), ("B", 400, F[0])], [(1, 2, -600)], {A: (1, 1, 0), B: (1, 1, 0)}),
}


@pytest.mark.parametrize("name", list(ONE_CAPTURE))
def test_one_capture(latency, tmp_path, name):
    options, frames, expected, counts = ONE_CAPTURE[name]
    capture = ports_capture(tmp_path / "ports.pcapng", frames)
    proc = latency("-f", "valtocrane-pcapng", *options, "--csv", "-", capture)
    assert proc.returncode == 0, proc.stderr
    assert pairs(proc.stdout) == expected
    assert points(proc.stderr) == counts
    assert ("%d frames read" % len(frames)) in proc.stderr
    if not expected:
        assert "No copies matched" in proc.stderr


def plugin_pairs(tshark, capture, mode, options):
    """The pairs the plugin finds: (earlier, later, latency) from the fields
    valtocrane.latency_frame and valtocrane.latency; the tool's options as
    the plugin's preferences (its window in whole microseconds)."""
    prefs = {"--match": "valtocrane.latency_match:%s",
             "--window": "valtocrane.latency_window_us:%s"}
    args = []
    for option, value in zip(options[::2], options[1::2]):
        if option == "--window":
            value = int(Decimal(value) * 10**6)
        args += ["-o", prefs[option] % value]
    rows = tshark.fields(capture, ["frame.number", "valtocrane.latency_frame",
                                   "valtocrane.latency"], mode, args)
    return [(int(earlier), int(n), int(Decimal(lat) * 10**9)) for n, earlier, lat in rows
            if earlier]


@pytest.mark.parametrize("name", list(ONE_CAPTURE))
def test_the_plugin_pairs_the_same_frames(tshark, latency, name):
    options, frames, expected, _ = ONE_CAPTURE[name]
    capture = ports_capture(tshark.capture_path("agree-%d.pcapng" % list(ONE_CAPTURE).index(name)),
                            frames)
    assert plugin_pairs(tshark, capture, "valtocrane-pcapng", options) == expected


def test_figures_and_histogram(latency, tmp_path):
    # 100 copies, 100 ns to 10 us apart in steps of 100 ns. Nearest rank:
    # p50 is 5000 ns, in the bucket 4992 to 5055 (64 ns wide from 4096 on),
    # shown as its middle; p90 9000 in 8960 to 9087 (128 ns wide from 8192),
    # p99 9900 in 9856 to 9983, p99.9 10000 in 9984 to 10111, its middle
    # past the greatest latency, so the greatest.
    frames = []
    for k in range(1, 101):
        frames += [("A", k * 100000, udp(k)), ("B", k * 100000 + k * 100, udp(k))]
    capture = ports_capture(tmp_path / "hundred.pcapng", frames)
    proc = latency("-f", "valtocrane-pcapng", capture)
    assert proc.returncode == 0, proc.stderr
    assert "%s -> %s: 100 copies" % (A, B) in proc.stdout
    assert figures(proc.stdout) == {"min": "0.100 us", "mean": "5.050 us", "p50": "5.023 us",
                                    "p90": "9.023 us", "p99": "9.919 us", "p99.9": "10.000 us",
                                    "max": "10.000 us"}
    assert "percentiles within 0.8%" in proc.stdout
    # Rows of 32 buckets, from the one of 96 to 127 ns to the one holding 10 us.
    rows = re.findall(r"^ +(\d+\.\d+) +(\d+\.\d+) +(\d+) +[\d.]+%", proc.stdout, re.M)
    assert len(rows) == 14 and sum(int(n) for *_, n in rows) == 100
    assert rows[0] == ("0.096", "0.127", "1")


def trailer_capture(path, trailer, frames):
    """Interfaces "in" (frames keep a 4-byte FCS, behind the trailer) and
    "out" (no FCS); frames are (interface, file time ns, trailer words)."""
    blocks = [c.pcapng_section(), c.pcapng_interface(name="in", fcslen=4),
              c.pcapng_interface(name="out", fcslen=0)]
    for interface, ns, words in frames:
        data = F[0] + trailer(*words)
        if interface == 0:
            data += c.ethernet_fcs(F[0])
        blocks.append(c.pcapng_packet(interface, (BASE, ns), data))
    return c.write_pcapng(path, blocks)


@pytest.mark.parametrize("mode,trailer,frames", [
    # Ticks of 5 ns, tied to the file time of the first frame: 800 ticks
    # are 4000 ns.
    ("valtocrane-q3-graphite", c.tick_trailer, [(0, 0, (123456,)), (1, 999, (124256,))]),
    # Fractions of 2^-32 s: 17180 is 4000.03 ns, read as 4000 ns.
    ("valtocrane-proprietary-headers", c.fraction_trailer, [(0, 0, (BASE, 0)),
                                                            (1, 999, (BASE, 17180))]),
])
def test_interfaces_are_points_and_the_fcs_no_part_of_the_frame(tshark, latency, mode, trailer,
                                                                frames):
    capture = trailer_capture(tshark.capture_path("trailers-%s.pcapng" % mode), trailer, frames)
    proc = latency("-f", mode, "--match", "frame", "--csv", "-", capture)
    assert proc.returncode == 0, proc.stderr
    assert pairs(proc.stdout) == [(1, 2, 4000)]
    assert points(proc.stderr) == {"interface 0 (in)": (1, 1, 0), "interface 1 (out)": (1, 1, 0)}
    assert plugin_pairs(tshark, capture, mode, ["--match", "frame"]) == [(1, 2, 4000)]


def test_csv_times_before_1970_and_beyond_64_bits_of_nanoseconds(latency, tmp_path):
    # The tick counter tied at 5 s to 10 s of ticks: 1 s of ticks is -4 s,
    # and 100 ticks later -3.9999995 s; 5 s of ticks is 0 s.
    second = 200000000
    ticks = [(0, 5, 10 * second, udp(7)), (0, 6, second, F[0]), (1, 6, second + 100, F[0]),
             (0, 7, 5 * second, F[1]), (1, 7, 5 * second + 3, F[1])]
    capture = c.write_pcapng(tmp_path / "ticks.pcapng", [
        c.pcapng_section(), c.pcapng_interface(name="in"), c.pcapng_interface(name="out")]
        + [c.pcapng_packet(i, (s, 0), f + c.tick_trailer(t)) for i, s, t, f in ticks])
    proc = latency("-f", "valtocrane-q3-graphite", "--window", "1", "--csv", "-", capture)
    assert proc.stdout.splitlines()[1:] == ["2,3,-4000000000,-3999999500,500", "4,5,0,15,15"]
    # Record times of 18,000,000,000 s (the year 2540), past 2^63 ns.
    capture = c.write_pcapng(tmp_path / "far.pcapng", [
        c.pcapng_section(), c.pcapng_interface(name="in"), c.pcapng_interface(name="out"),
        c.pcapng_packet(0, (18000000000, 5), F[0]), c.pcapng_packet(1, (18000000000, 905), F[0])])
    proc = latency("-f", "disabled", "--csv", "-", capture)
    assert proc.stdout.splitlines()[1:] == ["1,2,18000000000000000005,18000000000000000905,900"]


def two_captures(folder, a, b, plain=False, description=None):
    """a.pcapng and b.pcapng; frames are (device ns, frame): with the capture
    header, or plain with the device time as the record time."""
    paths = []
    for name, frames in (("a", a), ("b", b)):
        blocks = [c.pcapng_section(), c.pcapng_interface(name=name, description=description)]
        for ns, frame in frames:
            if plain:
                blocks.append(c.pcapng_packet(0, (BASE + ns // 10**9, ns % 10**9), frame))
            else:
                blocks.append(c.pcapng_packet(0, (BASE + 9, 0),
                                              c.with_header(frame, *header_time(ns))))
        paths.append(c.write_pcapng(folder / ("%s.pcapng" % name), blocks))
    return paths


# A: F0 to F3, then F4 after B saw it; B: F0 to F2 later, F4 first.
TWO_A = [(0, F[0]), (1000, F[1]), (2000, F[2]), (2500, F[3]), (7800, F[4])]
TWO_B = [(4000, F[0]), (5200, F[1]), (6500, F[2]), (7000, F[4])]
TWO_ROWS = [
    ["earlier_capture", "earlier_frame", "later_capture", "later_frame", "earlier_time_ns",
     "later_time_ns", "latency_ns"],
    ["A", "1", "B", "1", str(BASE_NS), str(BASE_NS + 4000), "4000"],
    ["A", "2", "B", "2", str(BASE_NS + 1000), str(BASE_NS + 5200), "4200"],
    ["A", "3", "B", "3", str(BASE_NS + 2000), str(BASE_NS + 6500), "4500"],
    ["B", "4", "A", "5", str(BASE_NS + 7000), str(BASE_NS + 7800), "800"],
]


@pytest.mark.parametrize("mode,plain,description", [
    ("valtocrane-pcapng", False, None),
    # As valtocrane-retime writes them: device times as record times, no
    # device bytes, and its note on the interfaces.
    ("disabled", True, RETIMED_NOTE),
    ("disabled", True, None),
    ("valtocrane-pcapng", True, RETIMED_NOTE),
])
def test_two_captures(latency, tmp_path, mode, plain, description):
    a, b = two_captures(tmp_path, TWO_A, TWO_B, plain, description)
    out = tmp_path / "pairs.csv"
    proc = latency("--format", mode, "--csv", out, a, b)
    assert proc.returncode == 0, proc.stderr
    assert list(csv.reader(out.open())) == TWO_ROWS
    assert points(proc.stdout) == {"A (%s)" % a: (5, 5, 1), "B (%s)" % b: (4, 4, 0)}
    assert "A -> B: 3 copies" in proc.stdout and "B -> A: 1 copy" in proc.stdout
    assert re.search(r"^  max +4\.500 us$", proc.stdout, re.M)


@pytest.mark.parametrize("mode", ["valtocrane-pcapng", "disabled"])
def test_a_capture_valtocrane_retime_wrote(tshark, latency, mode):
    # Each port on an interface of its own, noted as re-timed: the same
    # pairs, from the tool and, with the format still chosen, the plugin.
    options, frames, expected, _ = ONE_CAPTURE["ports A and B, both ways"]
    capture = ports_capture(tshark.capture_path("ports-%s.pcapng" % mode), frames)
    retimed = tshark.capture_path("ports-%s.retimed.pcapng" % mode)
    subprocess.run([os.environ["VALTOCRANE_RETIME"], "-f", "valtocrane-pcapng", capture, retimed],
                   check=True, stderr=subprocess.DEVNULL)
    os.chmod(retimed, 0o644)
    proc = latency("-f", mode, "--csv", "-", retimed)
    assert pairs(proc.stdout) == expected
    if mode != "disabled":
        assert plugin_pairs(tshark, retimed, mode, options) == expected
    assert points(proc.stderr) == {"interface 1 (dev0 Port A)": (4, 4, 1),
                                   "interface 2 (dev0 Port B)": (3, 3, 0)}


def test_two_captures_out_of_device_time_order_are_warned_of(latency, tmp_path):
    a, b = two_captures(tmp_path, TWO_A, [TWO_B[1], TWO_B[0]] + TWO_B[2:])
    proc = latency("-f", "valtocrane-pcapng", a, b)
    assert proc.returncode == 0
    assert "%s is not in device-time order (1 frames earlier" % b in proc.stderr


def test_standard_input_and_the_report_on_standard_output(latency, tmp_path):
    name = "ports A and B, both ways"
    capture = ports_capture(tmp_path / "ports.pcapng", ONE_CAPTURE[name][1])
    with open(capture, "rb") as stdin:
        proc = latency("-f", "valtocrane-pcapng", "-", stdin=stdin)
    assert proc.returncode == 0 and proc.stderr == ""
    assert proc.stdout.startswith("valtocrane-latency %s: format valtocrane-pcapng, match key ip, "
                                  "window 1 ms\nstandard input: 7 frames read" % VERSION)
    assert points(proc.stdout) == ONE_CAPTURE[name][3]


def test_cut_short_counts_every_whole_frame(latency, tmp_path):
    frames = ONE_CAPTURE["ports A and B, both ways"][1]
    capture = ports_capture(tmp_path / "cut.pcapng", frames)
    os.truncate(capture, capture.stat().st_size - 10)     # inside frame 7
    out = tmp_path / "pairs.csv"
    proc = latency("-f", "valtocrane-pcapng", "--csv", out, capture)
    assert proc.returncode == 4
    assert "ends inside frame 7" in proc.stderr and "the 6 whole frames" in proc.stderr
    assert pairs(out.read_text()) == [(1, 2, 4000), (3, 4, 5500), (5, 6, 300)]
    assert points(proc.stdout) == {A: (3, 3, 0), B: (3, 3, 0)}

    a, b = two_captures(tmp_path, TWO_A, TWO_B)
    os.truncate(b, b.stat().st_size - 10)                 # inside B's frame 4
    proc = latency("-f", "valtocrane-pcapng", a, b)
    assert proc.returncode == 4 and "%s ends inside frame 4" % b in proc.stderr
    assert "A -> B: 3 copies" in proc.stdout and "B -> A" not in proc.stdout


def test_damaged_capture_gives_no_report_and_no_csv(latency, tmp_path):
    blocks = [c.pcapng_section(), c.pcapng_interface(),
              c.pcapng_packet(0, (1, 0), c.with_header(F[0], *header_time(0))),
              c.pcapng_packet(0, (2, 0), c.with_header(F[0], *header_time(10), port=1))]
    bad = bytearray(b"".join(blocks))
    at = sum(len(b) for b in blocks[:3]) + 4               # the second frame's block length
    bad[at:at + 4] = (0x7FFFFFF0).to_bytes(4, "little")
    capture = tmp_path / "damaged.pcapng"
    capture.write_bytes(bad)
    (tmp_path / "old.csv").write_text("old")
    proc = latency("-f", "valtocrane-pcapng", "--csv", tmp_path / "old.csv", capture)
    assert proc.returncode == 2 and "damaged.pcapng is damaged (frame 2)" in proc.stderr
    assert proc.stdout == ""
    assert sorted(os.listdir(tmp_path)) == ["damaged.pcapng", "old.csv"]
    assert (tmp_path / "old.csv").read_text() == "old"


def test_csv_that_cannot_be_written(latency, tmp_path):
    capture = ports_capture(tmp_path / "ports.pcapng", ONE_CAPTURE["ports A and B, both ways"][1])
    proc = latency("-f", "valtocrane-pcapng", "--csv", "/dev/full", capture)
    assert proc.returncode == 3 and "No space left on device" in proc.stderr
    assert "Port B: 2 copies" in proc.stdout                     # the report all the same
    proc = latency("-f", "valtocrane-pcapng", "--csv", tmp_path / "no-such-folder" / "pairs.csv",
                   capture)
    assert proc.returncode == 3 and "pairs.csv not written" in proc.stderr


@pytest.mark.parametrize("args,code,text", [
    (["--help"], 0, "4  a capture ends inside a record"),
    (["--version"], 0, "valtocrane-latency %s" % VERSION),
    (["c"], 1, "--format NAME is required"),
    (["-f", "valtocrane-q5", "c"], 1, "unknown format 'valtocrane-q5' (disabled, "),
    (["-f", "disabled"], 1, "one CAPTURE or two"),
    (["-f", "disabled", "a", "b", "c"], 1, "one CAPTURE or two"),
    (["-f", "disabled", "a", "-"], 1, "standard input ('-') can be only the first capture"),
    (["-f", "disabled", "--window", "0", "c"], 1, "'0' must be more than 0 s"),
    (["-f", "disabled", "--window", "-1e-3", "c"], 1, "'-1e-3' must be more than 0 s"),
    (["-f", "disabled", "--window", "1ms", "c"], 1, "'1ms' is not a number of seconds"),
    (["-f", "disabled", "--window", "1e-10", "c"], 1, "is not a whole number of nanoseconds"),
    (["-f", "disabled", "--window", "86401", "c"], 1, "'86401' is more than a day"),
    (["-f", "disabled", "--match", "mac", "c"], 1, "--match takes ip or frame, not 'mac'"),
    (["-f", "disabled", "--csv", "/", "c"], 3, "/ is a folder, not a file name"),
    (["-f", "disabled", "/nonexistent"], 2, "cannot read /nonexistent"),
    (["--frobnicate"], 1, "unknown option '--frobnicate'"),
    (["--window"], 1, "option '--window' needs a value"),
])
def test_command_line(latency, args, code, text):
    proc = latency(*args)
    assert proc.returncode == code
    assert text in proc.stdout + proc.stderr


def test_refuses_to_write_over_a_capture(latency, tmp_path):
    capture = ports_capture(tmp_path / "ports.pcapng", [("A", 0, F[0])])
    os.symlink(capture, tmp_path / "link.pcapng")
    before = capture.read_bytes()
    for csv_file in (capture, tmp_path / "link.pcapng"):
        proc = latency("-f", "valtocrane-pcapng", "--csv", csv_file, capture)
        assert proc.returncode == 1 and "refusing to write over a capture" in proc.stderr
    assert capture.read_bytes() == before


# Device clocks that jump and times that lie (device ns after BASE): after a
# step back of an hour, matching goes on at once; a frame a year ahead is
# given up and changes nothing. The tool and the plugin pair the same frames.
HOUR, YEAR = 3600 * 10**9, 365 * 86400 * 10**9
CLOCKS = {
    "a step back of an hour": (
        [("A", 0, F[0]), ("B", 4000, F[0]), ("A", 10000, F[1]), ("B", 14000, F[1]),
         ("A", 20000, F[2]), ("A", -HOUR, F[3]), ("B", -HOUR + 3000, F[3]),
         ("A", -HOUR + 10000, F[4]), ("B", -HOUR + 12500, F[4])],
        [(1, 2, 4000), (3, 4, 4000), (6, 7, 3000), (8, 9, 2500)], {A: (5, 5, 1), B: (4, 4, 0)}),
    "one frame a year ahead": (
        [("A", 0, F[0]), ("B", 4000, F[0]), ("A", YEAR, F[5]), ("A", 10000, F[1]),
         ("B", 14000, F[1]), ("A", 20000, F[2]), ("B", 21000, F[2])],
        [(1, 2, 4000), (4, 5, 4000), (6, 7, 1000)], {A: (4, 4, 1), B: (3, 3, 0)}),
}


@pytest.mark.parametrize("name", list(CLOCKS))
def test_clocks_that_step_and_times_that_lie(tshark, latency, name):
    frames, expected, counts = CLOCKS[name]
    # An interface whose name holds a comma, as text2pcap's do.
    capture = ports_capture(tshark.capture_path("clock-%d.pcapng" % list(CLOCKS).index(name)),
                            frames, name="dev0, rack 4")
    proc = latency("-f", "valtocrane-pcapng", "--csv", "-", capture)
    assert proc.returncode == 0, proc.stderr
    assert pairs(proc.stdout) == expected
    assert points(proc.stderr) == {k.replace("(dev0)", "(dev0, rack 4)"): v
                                   for k, v in counts.items()}
    assert plugin_pairs(tshark, capture, "valtocrane-pcapng", []) == expected
    step = "interface 0 (dev0, rack 4): at frame 6, -3600.0" in proc.stderr
    assert step == name.startswith("a step")
    # The plugin notes the step on the first frame after it, once it knows.
    noted = tshark.fields(capture, ["frame.number"], "valtocrane-pcapng",
                          ["-2", "-Y", "valtocrane.clock_step"])
    assert noted == ([["6"]] if step else [])


@pytest.mark.parametrize("target", ["/dev/stdout", "/proc/self/fd/1"])
def test_csv_to_standard_output_under_any_name_sends_the_report_to_standard_error(
        latency, tmp_path, target):
    capture = ports_capture(tmp_path / "ports.pcapng", ONE_CAPTURE["ports A and B, both ways"][1])
    proc = latency("-f", "valtocrane-pcapng", "--csv", target, capture)
    assert proc.returncode == 0, proc.stderr
    assert pairs(proc.stdout) == ONE_CAPTURE["ports A and B, both ways"][2]
    assert "Capture point" not in proc.stdout and "Capture point" in proc.stderr


def tick_captures(folder, host_b_ahead_ns):
    """a.pcapng and b.pcapng of one device's tick counter: frames F0 to F2
    at A, each at B 37 ticks (185 ns) later; B's capture host's clock runs
    host_b_ahead_ns ahead of A's."""
    paths = []
    for name, later_ticks, ahead in (("a", 0, 0), ("b", 37, host_b_ahead_ns)):
        blocks = [c.pcapng_section(), c.pcapng_interface(name=name)]
        for i in range(3):
            ticks = 1000000 + i * 200000 + later_ticks
            host = BASE_NS + ticks * 5 + ahead
            blocks.append(c.pcapng_packet(0, (host // 10**9, host % 10**9),
                                          F[i] + c.tick_trailer(ticks)))
        paths.append(c.write_pcapng(folder / ("%s.pcapng" % name), blocks))
    return paths


def test_two_tick_counter_captures_tied_to_one_counter(latency, tmp_path):
    a, b = tick_captures(tmp_path, 2000000)
    proc = latency("-f", "valtocrane-q3-graphite", "--window", "0.01", "--csv", "-", a, b)
    assert [r[2] for r in pairs(proc.stdout)] == [2000185] * 3
    assert "include the difference between the two hosts' clocks" in proc.stderr
    proc = latency("-f", "valtocrane-q3-graphite", "--window", "0.01", "--same-counter",
                   "--csv", "-", a, b)
    assert [r[2] for r in pairs(proc.stdout)] == [185] * 3
    assert "hosts' clocks" not in proc.stderr


def test_captures_retimed_and_merged_with_mergecaps_defaults(latency, tmp_path):
    # Each retimed capture's interfaces name their input, so mergecap's
    # default (-I all) keeps the two capture points apart.
    a, b = two_captures(tmp_path, TWO_A, TWO_B)
    for capture in (a, b):
        subprocess.run([os.environ["VALTOCRANE_RETIME"], "-f", "valtocrane-pcapng", capture,
                        capture.with_suffix(".r.pcapng")], check=True, stderr=subprocess.DEVNULL)
    merged = tmp_path / "merged.pcapng"
    subprocess.run(["mergecap", "-w", merged, a.with_suffix(".r.pcapng"),
                    b.with_suffix(".r.pcapng")], check=True)
    proc = latency("-f", "disabled", merged)
    assert proc.returncode == 0, proc.stderr
    assert "interface 1 (a Port A) -> interface 3 (b Port A): 3 copies, 1 lost" in proc.stdout
    assert "interface 3 (b Port A) -> interface 1 (a Port A): 1 copy" in proc.stdout


def test_when_nothing_matched_the_report_says_what_to_check(latency, tmp_path):
    capture = ports_capture(tmp_path / "one.pcapng", [("A", 0, F[0]), ("A", 100, F[1])])
    proc = latency("-f", "valtocrane-pcapng", capture)
    assert "No copies matched. What to check:" in proc.stdout
    assert "one capture point, interface 0 (dev0), Port A" in proc.stdout
    assert "mergecap's default (-I all)" in proc.stdout
    far = ports_capture(tmp_path / "far.pcapng", [("A", 0, F[0]), ("B", 10**9, F[0])])
    proc = latency("-f", "valtocrane-pcapng", far)
    assert "device clocks are not synchronised" in proc.stdout and "The window (1 ms)" \
        in proc.stdout


def test_cut_short_and_a_csv_that_cannot_be_written_is_the_csv_error(latency, tmp_path):
    capture = ports_capture(tmp_path / "cut.pcapng", ONE_CAPTURE["ports A and B, both ways"][1])
    os.truncate(capture, capture.stat().st_size - 10)
    proc = latency("-f", "valtocrane-pcapng", "--csv", "/dev/full", capture)
    assert proc.returncode == 3 and "ends inside frame 7" in proc.stderr


def test_two_captures_at_the_same_nanosecond_pair_a_to_b(latency, tmp_path):
    a, b = two_captures(tmp_path, [(1000, F[0])], [(1000, F[0])])
    proc = latency("-f", "valtocrane-pcapng", "--csv", "-", a, b)
    assert proc.stdout.splitlines()[1:] == ["A,1,B,1,%d,%d,0" % (BASE_NS + 1000, BASE_NS + 1000)]
