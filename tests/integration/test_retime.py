"""valtocrane-retime: captures re-timed for tools without the plugin, read
back by the host alone and compared with what TShark shows with the plugin
and with the host's own copy (editcap). Expected times and bytes are worked
out by hand."""

import calendar
import hashlib
import json
import os
import pty
import random
import re
import shutil
import signal
import socket
import stat
import subprocess
import time
from decimal import Decimal
from pathlib import Path

import pytest

from vctools import captures as c
from conftest import VERSION
from vctools.tshark import NOBODY

UDP = c.ipv4_udp_frame(b"t" * 26)             # 68 bytes
UDP2 = c.ipv4_udp_frame(b"u" * 26, ident=2)
ONE_SECOND = 200000000                         # ticks of 5 ns
FRAME1 = (1600000000, 123456000)               # whole microseconds: the same in pcap

# (file time, frame as captured, device time or None, bytes written)
CASES = {
    "valtocrane-q3-graphite": [
        (FRAME1, UDP + c.tick_trailer(ONE_SECOND), "1600000000.123456000", UDP),
        ((1700000000, 0), UDP2 + c.tick_trailer(ONE_SECOND + 200, 0xFF), "1600000000.123457000",
         UDP2),
        ((1700000001, 0), UDP + c.tick_trailer(0), "1599999999.123456000", UDP),
        ((1700000002, 0), b"\x01\x02\x03", None, b"\x01\x02\x03"),
        ((1700000003, 0), UDP + c.tick_trailer(3 * ONE_SECOND), "1600000002.123456000", UDP),
    ],
    "valtocrane-proprietary-headers": [
        (FRAME1, UDP + c.fraction_trailer(0x5A000000, 0x80000000), "1509949440.500000000", UDP),
        ((1700000000, 0), UDP2 + c.fraction_trailer(0x5A000000, 0xFFFFFFFF),
         "1509949440.999999999", UDP2),
        ((1700000001, 0), UDP + c.fraction_trailer(0xFFFFFFFF, 0), "4294967295.000000000", UDP),
        ((1700000002, 0), bytes(7), None, bytes(7)),
        ((1700000003, 0), UDP + c.fraction_trailer(1700000000, 0x40000000),
         "1700000000.250000000", UDP),
    ],
    "valtocrane-pcapng": [
        (FRAME1, c.with_header(UDP, 1600000000, 0x80000000), "1600000000.500000000", UDP),
        ((1700000000, 0), c.with_header(UDP2, 1600000001, 0xFFFFFFFF, port=1),
         "1600000002.000000000", UDP2),
        ((1700000001, 0), UDP, None, UDP),
        ((1700000002, 0), c.capture_header(1, 2)[:10], None, c.capture_header(1, 2)[:10]),
        ((1700000003, 0), b"\x06\x00\x00", None, b"\x06\x00\x00"),
        ((1700000004, 0), c.with_header(UDP, 1600000000, 1), "1600000000.000000000", UDP),
    ],
}


# Per format, what the output of CASES holds beyond times and bytes: each
# frame's interface (the capture header's ports A and B get interfaces of
# their own after the input's), the interfaces in the file, re-timed frames
# more than a day off their file time, and frames earlier than the frame
# before them (reordercap's count).
WRITTEN = {
    "valtocrane-q3-graphite": (["0"] * 5, 1, 3, 2),
    "valtocrane-proprietary-headers": (["0"] * 5, 1, 3, 2),
    "valtocrane-pcapng": (["1", "2", "0", "0", "0", "1"], 3, 2, 1),
}

# What the tool adds to the description of an interface whose frames lost
# their device bytes; the plugin leaves such frames alone.
NOTE = "[device times applied by valtocrane-retime, device bytes removed]"
KEPT = "[device times applied by valtocrane-retime, device bytes kept]"


def noted(capture, note=NOTE):
    """The note on an interface the tool re-timed, and the input it names."""
    return "%s [input %s]" % (note, Path(capture).name)


def expected_times(cases):
    return [Decimal(t or "%d.%09d" % when) for when, _, t, _ in cases]


@pytest.fixture(scope="session")
def retime(tshark):
    """Runs the tool: retime(*args, as_nobody=False, **subprocess args)."""
    built = os.environ.get("VALTOCRANE_RETIME")
    if not built or not Path(built).is_file():
        pytest.exit("VALTOCRANE_RETIME must name the built valtocrane-retime", returncode=2)
    tool = tshark.workdir / "valtocrane-retime"   # where the user nobody can run it too
    shutil.copy(built, tool)
    os.chmod(tool, 0o755)

    def run(*args, as_nobody=False, **kwargs):
        cmd = [str(tool)] + [str(a) for a in args]
        if as_nobody and os.geteuid() == 0:
            cmd = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + cmd
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.run(cmd, **kwargs)
        proc.stderr = proc.stderr.decode() if proc.stderr is not None else None
        for arg in args[-1:]:
            if isinstance(arg, Path) and arg.is_file():
                os.chmod(arg, 0o644)
        return proc
    run.path = tool
    return run


def times(host, capture, mode=None, args=()):
    return [Decimal(t) for t, in host.fields(capture, ["frame.time_epoch"], mode, args)]


def epoch(text):
    """A time as seconds since 1970: the host's JSON has "seconds.fraction"
    before 4.6 and an ISO 8601 date in UTC from then on."""
    if "T" not in text:
        return Decimal(text)
    date, _, fraction = text.rstrip("Z").partition(".")
    return calendar.timegm(time.strptime(date, "%Y-%m-%dT%H:%M:%S")) + Decimal("0." + fraction)


def read_back(host, capture):
    """Each frame's time, bytes and interface number as the host reads them,
    in one run (TShark's start-up is most of what these tests cost)."""
    packets = json.loads(host.run("-r", capture, "-T", "json", "-x").stdout)
    frames = [p["_source"]["layers"] for p in packets]
    return ([epoch(f["frame"]["frame.time_epoch"]) for f in frames],
            [bytes.fromhex(f.get("frame_raw", [""])[0]) for f in frames],
            [f["frame"].get("frame.interface_id") for f in frames])


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


@pytest.mark.parametrize("file_type", ["pcap", "pcapng"])
@pytest.mark.parametrize("mode", list(CASES))
def test_retimed_capture_holds_what_the_plugin_shows(tshark, bare_tshark, retime, write_capture,
                                                     mode, file_type):
    cases = CASES[mode]
    capture = write_capture([(when, frame) for when, frame, _, _ in cases], file_type)
    out = capture.with_suffix(".retimed.pcapng")
    proc = retime("--format", mode, capture, out)
    assert proc.returncode == 0, proc.stderr
    retimed = sum(1 for case in cases if case[2])
    assert "%d frames read, %d re-timed" % (len(cases), retimed) in proc.stderr

    written_times, written_bytes, written_interfaces = read_back(bare_tshark, out)
    assert written_times == expected_times(cases)
    assert times(tshark, capture, mode, ["-2"]) == expected_times(cases)
    # The plugin leaves the frames that lost their device bytes alone.
    assert times(tshark, out, mode, ["-2"]) == expected_times(cases)
    assert written_bytes == [written for *_, written in cases]
    # In nanoseconds, whatever the input's resolution.
    interface_ids, interfaces, implausible, out_of_order = WRITTEN[mode]
    assert written_interfaces == interface_ids
    info = subprocess.run(["capinfos", out], text=True, stdout=subprocess.PIPE).stdout
    assert "interfaces in file: %d" % interfaces in info
    assert info.count("Time precision = nanoseconds (9)") == interfaces
    assert "device time more than 86400 s away from the capture file time: %d (is the format " \
           "right, is the device clock set?)" % implausible in proc.stderr
    assert "frames earlier than the frame written before them: %d (by up to " % out_of_order \
           in proc.stderr
    assert "sort with: valtocrane-retime --sort -f %s %s SORTED.pcapng)" % (mode, capture) \
           in proc.stderr
    # reordercap counts alike (before 4.4 it cannot read the interfaces of
    # ports first seen after the first frame).
    if mode != "valtocrane-pcapng" or bare_tshark.series >= (4, 4):
        proc = subprocess.run(["reordercap", out, out.with_suffix(".sorted.pcapng")], text=True,
                              stdout=subprocess.PIPE)
        assert proc.returncode == 0 and "%d out of order" % out_of_order in proc.stdout


def ethernet_layers(packet):
    """Every field from the Ethernet layer down, positions from its start."""
    protos = [p for p in packet.findall("proto")
              if p.get("name") not in ("geninfo", "frame", "valtocrane")]
    base = int(protos[0].get("pos"))
    return [(f.get("name"), f.get("show"), f.get("value"), f.get("size"),
             f.get("pos") and int(f.get("pos")) - base) for p in protos for f in p.iter()]


@pytest.mark.parametrize("mode", list(CASES))
def test_ethernet_sees_what_the_plugin_hands_it(tshark, bare_tshark, retime, write_capture, mode):
    cases = [case for case in CASES[mode] if case[2]]
    capture = write_capture([(when, frame) for when, frame, _, _ in cases])
    out = capture.with_suffix(".retimed.pcapng")
    assert retime("-f", mode, capture, out).returncode == 0
    ours = [ethernet_layers(p) for p in bare_tshark.pdml(out)]
    assert ours == [ethernet_layers(p) for p in tshark.pdml(capture, mode)]
    assert all(any(f[0] == "udp.length" for f in layers) for layers in ours)


@pytest.mark.parametrize("mode", list(CASES))
def test_kept_device_bytes_give_the_plugin_the_same_times(tshark, bare_tshark, retime,
                                                          write_capture, mode):
    cases = CASES[mode]
    capture = write_capture([(when, frame) for when, frame, _, _ in cases])
    out = capture.with_suffix(".kept.pcapng")
    assert retime("--keep-device-bytes", "-f", mode, capture, out).returncode == 0
    assert read_back(bare_tshark, out)[:2] == (expected_times(cases),
                                               [frame for _, frame, _, _ in cases])
    assert times(tshark, out, mode, ["-2"]) == expected_times(cases)
    # The device bytes are there: no interface says they were removed.
    assert all(NOTE not in d for d, in bare_tshark.fields(out, ["frame.interface_description"]))


FIELDS = ["frame.interface_id", "frame.interface_name", "frame.interface_description",
          "frame.encap_type", "frame.comment", "frame.packet_flags", "frame.drop_count"]


def mixed_capture(path):
    """Two interfaces (Ethernet in microseconds, raw IP in nanoseconds), the
    seconds-and-fraction trailer, options on every block, names, secrets."""
    trailer = c.fraction_trailer(1600000000, 0x80000000)
    return c.write_pcapng(path, [
        c.pcapng_section(["from the device"]),
        c.pcapng_interface(c.LINKTYPE_ETHERNET, 6, "eth0", "port A"),
        c.pcapng_interface(c.LINKTYPE_RAW, 9, "ip0"),
        c.pcapng_names([(bytes([192, 0, 2, 1]), "alpha.example")]),
        c.pcapng_secrets(b"CLIENT_RANDOM 00 11\n"),
        c.pcapng_packet(0, (1700000000, 123456000), UDP + trailer, tsresol=6, comment="one",
                        flags=1, drops=3),
        c.pcapng_packet(1, (1700000001, 5), UDP[14:], comment="not Ethernet"),
        c.pcapng_packet(0, (1700000002, 0), (UDP + trailer)[:40], wire_len=76, tsresol=6),
        c.pcapng_packet(0, (1700000003, 0), UDP + trailer, wire_len=60, tsresol=6),  # damaged
        c.pcapng_packet(0, (1700000004, 0), UDP2 + c.fraction_trailer(1600000001, 0), tsresol=6,
                        flags=2),
    ])


def test_mixed_capture_keeps_all_but_times_and_device_bytes(bare_tshark, retime, tshark):
    capture = mixed_capture(tshark.capture_path("mixed.pcapng"))
    out, copy = tshark.capture_path("mixed.retimed.pcapng"), tshark.capture_path("mixed.copy.pcapng")
    proc = retime("-f", "valtocrane-proprietary-headers", capture, out)
    assert proc.returncode == 0, proc.stderr
    subprocess.run(["editcap", "-F", "pcapng", capture, copy], check=True)
    os.chmod(copy, 0o644)

    # The damaged record (76 bytes captured of 60 on the wire) is read as the
    # host's frame dissector reads it, 76 bytes long, as the plugin does.
    written_times, written_bytes, _ = read_back(bare_tshark, out)
    assert written_times == [Decimal(t) for t in [
        "1600000000.5", "1700000001.000000005", "1700000002", "1600000000.5", "1600000001"]]
    assert written_times == times(tshark, capture, "valtocrane-proprietary-headers", ["-2"])
    assert [len(b) for b in written_bytes] == [68, 54, 40, 68, 68]
    assert bare_tshark.fields(out, ["frame.len"]) == [["68"], ["54"], ["76"], ["68"], ["68"]]
    # All as editcap copies it, but the re-timed Ethernet interface's
    # description, which says that its frames lost their device bytes.
    ours, editcaps = bare_tshark.fields(out, FIELDS), bare_tshark.fields(copy, FIELDS)
    port_a = "port A " + noted(capture)
    assert [f[2] for f in ours] == [port_a, "", port_a, port_a, port_a]
    assert [f[:2] + f[3:] for f in ours] == [f[:2] + f[3:] for f in editcaps]
    assert c.pcapng_block_types(out) == c.pcapng_block_types(copy)
    names = [bare_tshark.run("-r", f, "-q", "-z", "hosts").stdout.splitlines()[3:]
             for f in (out, copy)]
    assert names[0] == names[1]
    comments = subprocess.run(["capinfos", "-k", out], text=True, stdout=subprocess.PIPE).stdout
    assert "from the device" in comments and "valtocrane-retime %s" % VERSION in comments
    for line in ["5 frames read, 3 re-timed, 2 left unchanged", "other link type than Ethernet: 1",
                 "trailer cut off by the snap length: 1",
                 "device time minus capture file time: -100000003.000000000 s to "
                 "-99999999.623456000 s"]:
        assert line in proc.stderr


def test_tick_counter_anchor_and_times_before_1970(bare_tshark, retime, write_capture):
    capture = write_capture([
        ((10, 0), b"\x01\x02\x03"),                                  # no counter
        ((5, 0), UDP + c.tick_trailer(10 * ONE_SECOND)),            # anchor: 5 s - 10 s
        ((6, 0), UDP + c.tick_trailer(1 * ONE_SECOND)),             # -4 s: kept as it was
        ((7, 0), UDP + c.tick_trailer(12 * ONE_SECOND + 1)),        # 7.000000005 s
    ])
    out = capture.with_suffix(".retimed.pcapng")
    proc = retime("-f", "valtocrane-q3-graphite", capture, out)
    assert proc.returncode == 0
    written_times, written_bytes, _ = read_back(bare_tshark, out)
    assert written_times == [Decimal(t) for t in ["10", "5", "6", "7.000000005"]]
    assert [len(b) for b in written_bytes] == [3, 68, 76, 68]
    assert "device time before 1970, which pcapng cannot hold: 1" in proc.stderr


def test_pipes_through_standard_input_and_output(bare_tshark, retime, write_capture):
    mode = "valtocrane-pcapng"
    capture = write_capture([(when, frame) for when, frame, _, _ in CASES[mode]], "pcap")
    with open(capture, "rb") as stdin:
        proc = retime("-f", mode, "-", "-", stdin=stdin)
    assert proc.returncode == 0 and "\r" not in proc.stderr     # no progress off a terminal
    read = subprocess.run(bare_tshark.command(["-r", "-", "-T", "fields", "-e", "frame.time_epoch"]),
                          input=proc.stdout, stdout=subprocess.PIPE, check=True)
    assert [Decimal(t.decode()) for t in read.stdout.split()] == expected_times(CASES[mode])


@pytest.mark.parametrize("file_type,cut", [("pcap", 10), ("pcapng", 10), ("pcapng", 40)])
def test_input_cut_short_keeps_every_whole_frame(bare_tshark, retime, write_capture, file_type,
                                                 cut):
    mode = "valtocrane-proprietary-headers"
    cases = CASES[mode]
    capture = write_capture([(when, frame) for when, frame, _, _ in cases], file_type)
    os.truncate(capture, capture.stat().st_size - cut)   # inside the last frame
    out = capture.with_suffix(".retimed.pcapng")
    proc = retime("-f", mode, capture, out)
    assert proc.returncode == 4
    assert "ends inside frame 5" in proc.stderr and "holds the 4 whole frames" in proc.stderr
    assert times(bare_tshark, out) == expected_times(cases)[:4]


def test_damaged_input_writes_nothing(retime, tshark):
    blocks = [c.pcapng_section(), c.pcapng_interface(),
              c.pcapng_packet(0, (1, 0), UDP + c.fraction_trailer(2, 0)),
              c.pcapng_packet(0, (3, 0), UDP + c.fraction_trailer(4, 0))]
    bad = bytearray(b"".join(blocks))
    at = sum(len(b) for b in blocks[:3]) + 4    # the second frame's block length
    bad[at:at + 4] = (0x7FFFFFF0).to_bytes(4, "little")
    capture = tshark.capture_path("damaged.pcapng")
    capture.write_bytes(bad)
    out = tshark.capture_path("damaged-out")
    out.mkdir()
    (out / "old.pcapng").write_bytes(b"old")
    proc = retime("-f", "valtocrane-proprietary-headers", capture, out / "old.pcapng")
    assert proc.returncode == 2 and "frame 2" in proc.stderr
    assert os.listdir(out) == ["old.pcapng"] and (out / "old.pcapng").read_bytes() == b"old"


@pytest.fixture
def small_filesystem(tmp_path):
    """A 64 kB tmpfs (root only)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a full file system needs root")
    folder = tmp_path / "small"
    folder.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder], check=True)
    yield folder
    subprocess.run(["umount", folder], check=True)


def big_capture(write_capture, frames=400):
    return write_capture([((1700000000 + i, 0), c.with_header(UDP, 1600000000 + i, 0))
                          for i in range(frames)])


def test_output_into_a_full_or_read_only_place_leaves_all_as_it_was(retime, write_capture, tshark,
                                                                    small_filesystem):
    capture = big_capture(write_capture)                  # about 50 kB a copy
    read_only = tshark.capture_path("read-only")
    read_only.mkdir()
    for folder in (small_filesystem, read_only):
        (folder / "out.pcapng").write_bytes(b"x" * 30000)
    os.chmod(read_only, 0o555)
    for folder, as_nobody in [(small_filesystem, False), (read_only, True)]:
        before = digest(folder / "out.pcapng")
        proc = retime("-f", "valtocrane-pcapng", capture, folder / "out.pcapng",
                      as_nobody=as_nobody)
        assert proc.returncode == 3, (folder, proc.stderr)
        assert "the file already there is unchanged" in proc.stderr
        assert os.listdir(folder) == ["out.pcapng"] and digest(folder / "out.pcapng") == before
    os.chmod(read_only, 0o755)
    proc = retime("-f", "valtocrane-pcapng", capture, small_filesystem / "new.pcapng")
    assert proc.returncode == 3 and "new.pcapng not written\n" in proc.stderr
    assert os.listdir(small_filesystem) == ["out.pcapng"]
    # Large: a write fails while frames are written; small: only when the
    # output is closed.
    small = write_capture([((1700000000, 0), c.with_header(UDP, 1600000000, 0))])
    for each in (capture, small):
        with open("/dev/full", "wb") as full:
            proc = retime("-f", "valtocrane-pcapng", each, "-", stdout=full)
        assert proc.returncode == 3 and "No space left on device" in proc.stderr


def test_refuses_to_write_over_its_input(retime, write_capture, tshark):
    capture = write_capture([(FRAME1, UDP + c.tick_trailer(0))])
    folder = tshark.capture_path("links")
    folder.mkdir()
    os.link(capture, folder / "hard.pcapng")
    os.symlink(capture, folder / "soft.pcapng")
    before = digest(capture)
    args = ["-f", "valtocrane-q3-graphite"]
    with open(capture, "rb") as stdin, open(capture, "ab") as append:
        for proc in [retime(*args, capture, capture),
                     retime(*args, capture, folder / "hard.pcapng"),
                     retime(*args, capture, folder / "soft.pcapng"),
                     retime(*args, "-", capture, stdin=stdin),
                     retime(*args, capture, "-", stdout=append)]:
            assert proc.returncode == 1 and "refusing to write over the input" in proc.stderr
    assert digest(capture) == before


def test_interrupted_run_leaves_no_temporary_file(retime, tshark):
    folder = tshark.capture_path("interrupted")
    folder.mkdir()
    (folder / "out.pcapng").write_bytes(b"old")
    head = b"".join([c.pcapng_section(), c.pcapng_interface()]
                    + [c.pcapng_packet(0, (1700000000 + i, 0), c.with_header(UDP, 1600000000, i))
                       for i in range(3)])
    for sig, out in [(signal.SIGINT, folder / "out.pcapng"), (signal.SIGTERM, folder / "out.pcapng"),
                     (signal.SIGTERM, "-")]:
        tool = subprocess.Popen([retime.path, "-f", "valtocrane-pcapng", "-", out],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        tool.stdin.write(head)
        tool.stdin.flush()               # the input stays open: a capture still running
        if out == "-":
            time.sleep(0.5)
        else:
            deadline = time.monotonic() + 30
            while len(os.listdir(folder)) < 2 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert len(os.listdir(folder)) == 2, "no temporary output appeared"
        tool.send_signal(sig)
        assert tool.wait(30) == -sig
        tool.stdin.close()
        assert os.listdir(folder) == ["out.pcapng"]
        assert (folder / "out.pcapng").read_bytes() == b"old"


def test_progress_shown_on_a_terminal_only(retime, tshark):
    frame = c.with_header(c.ipv4_udp_frame(), 1600000000, 0)
    capture = c.write_pcapng(tshark.capture_path("progress.pcapng"), [
        c.pcapng_section(), c.pcapng_interface()]
        + [c.pcapng_packet(0, (1700000000, i), frame) for i in range(40000)])
    out = tshark.capture_path("progress.retimed.pcapng")
    try:
        main, terminal = pty.openpty()
    except OSError as e:                 # a root without /dev/pts mounted
        pytest.skip("no terminal to show the progress on: %s" % e)
    try:
        proc = retime("-f", "valtocrane-pcapng", capture, out, stderr=terminal)
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:              # the terminal's other end is closed
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(main)
        if terminal is not None:
            os.close(terminal)
    assert proc.returncode == 0
    size_mb = os.path.getsize(capture) >> 20
    progress = re.findall(rb"\rvaltocrane-retime: +(\d+)% read \((\d+) of (\d+) MB\)", shown)
    # A line when the share read has changed, looked at every 16,384 frames
    # (41% and 82% of the frames); the share is of the bytes the library has
    # read, and it reads ahead (4.4 the whole of this file at once).
    shares = [int(p) for p, _, _ in progress]
    assert 1 <= len(shares) <= 2 and shares == sorted(set(shares)) and 41 <= shares[0] <= 100
    assert all(int(total) == size_mb for _, _, total in progress)
    assert b"40000 frames read, 40000 re-timed" in shown
    proc = retime("-f", "valtocrane-pcapng", capture, out)
    assert "% read" not in proc.stderr and "40000 frames read" in proc.stderr


def test_records_other_than_packets_pass_unchanged(bare_tshark, retime, tshark):
    capture = c.write_pcapng(tshark.capture_path("journal.pcapng"), [
        c.pcapng_section(), c.pcapng_interface(),
        c.pcapng_packet(0, (1700000000, 0), c.with_header(UDP, 1600000000, 0)),
        c.pcapng_journal_entry([("__REALTIME_TIMESTAMP", "1700000001000002"),
                                ("MESSAGE", "link up")]),
    ])
    out = tshark.capture_path("journal.retimed.pcapng")
    proc = retime("-f", "valtocrane-pcapng", capture, out)
    assert proc.returncode == 0, proc.stderr
    assert "not a packet (an event or other record): 1" in proc.stderr
    assert bare_tshark.fields(out, ["frame.time_epoch", "systemd_journal.message"]) == [
        ["1600000000.000000000", ""], ["1700000001.000002000", "link up"]]

    # Nothing re-timed: no range of differences to show.
    plain = c.write_pcapng(tshark.capture_path("plain.pcapng"), [
        c.pcapng_section(), c.pcapng_interface(), c.pcapng_packet(0, (1700000000, 0), UDP)])
    proc = retime("-f", "valtocrane-pcapng", plain, out)
    assert proc.returncode == 0
    assert "1 frames read, 0 re-timed" in proc.stderr and "minus" not in proc.stderr


@pytest.mark.parametrize("args,code,text", [
    (["--help"], 0, "4  input ends inside a record"),
    (["--version"], 0, "valtocrane-retime %s" % VERSION),
    (["in", "out"], 1, "--format NAME is required"),
    (["-f", "disabled", "/nonexistent", "out"], 2, "cannot read /nonexistent"),
    (["-f", "Disabled", "in", "out"], 1, "unknown format 'Disabled' (disabled, valtocrane-q3"),
    (["-f", "valtocrane-pcapng", "in"], 1, "INFILE and OUTFILE are required"),
    (["--frobnicate"], 1, "unknown option '--frobnicate'"),
    (["--format"], 1, "option '--format' needs a value"),
    (["-f", "valtocrane-pcapng", "in", "/"], 3, "/ is a folder, not a file name"),
    (["-f", "valtocrane-pcapng", "/nonexistent", "out"], 2, "cannot read /nonexistent"),
    (["--sort", "0.5", "-f", "disabled", "in", "out"], 1,
     "--sort takes its window joined to it: --sort=0.5"),
    (["--sort=5ms", "-f", "disabled", "in", "out"], 1, "--sort=5ms: the window is not a number"),
    (["--sort=0", "-f", "disabled", "in", "out"], 1, "--sort=0: the window must be more than 0 s"),
])
def test_command_line(retime, args, code, text):
    proc = retime(*args, stdout=subprocess.PIPE)
    assert proc.returncode == code
    assert text in proc.stdout.decode() + proc.stderr


def header_capture(path, file_type):
    """Frames of two Ethernet interfaces with the capture header: ports A, B
    and 7, a frame without the header and one with the header cut short."""
    frames = [(0, c.with_header(UDP, 1600000000, 0, port=0)),
              (0, c.with_header(UDP, 1600000001, 0, port=1)),
              (0, UDP),
              (0, c.with_header(UDP, 1600000002, 0, port=7)),
              (1, c.with_header(UDP2, 1600000003, 0, port=1)),
              (0, c.with_header(UDP2, 1600000004, 0, port=0)),
              (0, c.capture_header(1, 2)[:10])]
    if file_type == "pcap":      # one unnamed interface
        return c.write_pcap(path, [((1700000000 + n, 0), frame, None)
                                   for n, (i, frame) in enumerate(frames) if i == 0])
    return c.write_pcapng(path, [c.pcapng_section(),
                                 c.pcapng_interface(name="eth0", description="uplink"),
                                 c.pcapng_interface(name="eth1")]
                          + [c.pcapng_packet(i, (1700000000 + n, 0), frame)
                             for n, (i, frame) in enumerate(frames)])


# (input, --keep-device-bytes, each frame's output interface: number, name,
# description, "{note}" standing for the tool's note and the input's name).
# The input interfaces keep their numbers and the frames without a readable
# header; each port seen gets the next number.
PORT_INTERFACES = [
    ("pcapng", False, [("2", "eth0 Port A", "uplink {note}"),
                       ("3", "eth0 Port B", "uplink {note}"), ("0", "eth0", "uplink"),
                       ("4", "eth0 Unknown", "uplink {note}"), ("5", "eth1 Port B", "{note}"),
                       ("2", "eth0 Port A", "uplink {note}"), ("0", "eth0", "uplink")]),
    ("pcapng", True, [("2", "eth0 Port A", "uplink {note}"), ("3", "eth0 Port B", "uplink {note}"),
                      ("0", "eth0", "uplink"), ("4", "eth0 Unknown", "uplink {note}"),
                      ("5", "eth1 Port B", "{note}"), ("2", "eth0 Port A", "uplink {note}"),
                      ("0", "eth0", "uplink")]),
    # An interface without a name: the host shows "unknown".
    ("pcap", False, [("1", "Port A", "{note}"), ("2", "Port B", "{note}"), ("0", "unknown", ""),
                     ("3", "Unknown", "{note}"), ("1", "Port A", "{note}"),
                     ("0", "unknown", "")]),
]


@pytest.mark.parametrize("file_type,keep,written", PORT_INTERFACES)
def test_each_port_on_an_interface_of_its_own(bare_tshark, retime, tshark, file_type, keep,
                                              written):
    capture = header_capture(tshark.capture_path("ports-%s.%s" % (keep, file_type)), file_type)
    out = capture.with_suffix(".retimed.pcapng")
    proc = retime("-f", "valtocrane-pcapng", *(["-k"] if keep else []), capture, out)
    assert proc.returncode == 0, proc.stderr
    fields = ["frame.interface_id", "frame.interface_name", "frame.interface_description"]
    note = noted(capture, KEPT if keep else NOTE)
    assert [tuple(f) for f in bare_tshark.fields(out, fields)] == [
        (i, name, description.format(note=note)) for i, name, description in written]
    # Both kinds of output filter alike.
    port_a = bare_tshark.fields(out, ["frame.number"], args=[
        "-Y", 'frame.interface_name contains "Port A"'])
    assert port_a == [[str(n + 1)] for n, w in enumerate(written) if "Port A" in w[1]]


FRAME_FCS = UDP + c.ethernet_fcs(UDP)          # 72 bytes on the wire


# The trailer lies between the frame and its FCS; frames whose file keeps
# the FCS lose the trailer and keep the FCS (what was captured of it). Per
# format: the trailers of three frames, and the first two frames' times.
FCS_TRAILERS = {
    "valtocrane-proprietary-headers": ([c.fraction_trailer(1700000100, 0x80000000),
                                        c.fraction_trailer(1700000101, 0x40000000),
                                        c.fraction_trailer(1, 0)],
                                       ["1700000100.5", "1700000101.25"]),
    "valtocrane-q3-graphite": ([c.tick_trailer(ONE_SECOND), c.tick_trailer(3 * ONE_SECOND),
                                c.tick_trailer(0)], ["1700000000", "1700000002"]),
}


@pytest.mark.parametrize("file_type", ["pcapng", "pcap"])
@pytest.mark.parametrize("mode", list(FCS_TRAILERS))
def test_frames_keep_their_fcs(bare_tshark, retime, tshark, mode, file_type):
    trailers, device_times = FCS_TRAILERS[mode]
    # Whole; cut by the snap length inside the FCS; inside the trailer.
    frames = [(UDP + t + c.ethernet_fcs(UDP))[:cut] for t, cut in zip(trailers, (80, 78, 72))]
    records = [((1700000000 + i, 0), frame, 80) for i, frame in enumerate(frames)]
    path = tshark.capture_path("fcs-%s.%s" % (mode, file_type))
    if file_type == "pcap":
        capture = c.with_pcap_fcs(c.write_pcap(path, records))
    else:
        capture = c.write_pcapng(path, [c.pcapng_section(), c.pcapng_interface(fcslen=4)] + [
            c.pcapng_packet(0, when, data, wire_len) for when, data, wire_len in records])
    out = capture.with_suffix(".retimed.pcapng")
    proc = retime("-f", mode, capture, out)
    assert proc.returncode == 0, proc.stderr
    assert "3 frames read, 2 re-timed" in proc.stderr
    written_times, written_bytes, _ = read_back(bare_tshark, out)
    assert written_times == [Decimal(t) for t in device_times + ["1700000002"]]
    assert times(tshark, capture, mode, ["-2"]) == written_times
    assert written_bytes == [FRAME_FCS, FRAME_FCS[:70], frames[2]]
    # (FCS status 1: Good.)
    assert bare_tshark.fields(out, ["frame.len", "eth.fcs.status", "frame.interface_description"],
                              args=["-o", "eth.check_fcs:TRUE"]) == [
        ["72", "1", noted(capture)], ["72", "", noted(capture)], ["80", "", noted(capture)]]


def test_format_disabled_copies_in_nanoseconds(bare_tshark, retime, write_capture):
    cases = CASES["valtocrane-pcapng"]
    capture = write_capture([(when, frame) for when, frame, _, _ in cases], "pcap")
    out = capture.with_suffix(".copy.pcapng")
    proc = retime("--format", "disabled", capture, out)
    assert proc.returncode == 0, proc.stderr
    assert "6 frames read, 0 re-timed, 6 left unchanged\n  unchanged, format disabled: 6\n" \
           "  frames earlier than the frame written before them: 0\n" in proc.stderr
    assert read_back(bare_tshark, out)[:2] == ([Decimal("%d.%09d" % when) for when, *_ in cases],
                                               [frame for _, frame, _, _ in cases])
    assert bare_tshark.fields(out, ["frame.interface_id", "frame.interface_description"]) == \
        [["0", ""]] * len(cases)
    info = subprocess.run(["capinfos", out], text=True, stdout=subprocess.PIPE).stdout
    assert "Time precision = nanoseconds (9)" in info


# OUTFILE as editcap treats it: a regular file (through links) replaced when
# complete, with its permissions (new ones: 0666 less the umask, 027 here);
# anything else written straight into. (what is there, what OUTFILE is, what
# is found there afterwards: kind, mode)
def test_outfile_of_every_kind(retime, write_capture, tshark):
    capture = write_capture([(when, frame) for when, frame, _, _ in CASES["valtocrane-pcapng"]])
    folder = tshark.capture_path("outfiles")
    (folder / "data").mkdir(parents=True)
    as_root = os.geteuid() == 0

    def run(out, **kwargs):
        proc = retime("-f", "valtocrane-pcapng", capture, str(out),
                      preexec_fn=lambda: os.umask(0o027), **kwargs)
        assert proc.returncode == 0, (out, proc.stderr)
        return proc.stdout

    run(folder / "new.pcapng")
    written = (folder / "new.pcapng").read_bytes()
    for name in ("private.pcapng", "data/x.pcapng"):
        (folder / name).write_bytes(b"old")
        os.chmod(folder / name, 0o600)
        if as_root:
            os.chown(folder / name, NOBODY, NOBODY)
    os.symlink("data/x.pcapng", folder / "latest.pcapng")
    os.symlink("data/fresh.pcapng", folder / "fresh.pcapng")
    os.mkfifo(folder / "fifo")
    # The pipe's reading end is open before the tool runs, so the tool does
    # not wait for a reader and the test for a writer: the capture (under
    # 1 kB) waits in the pipe, and a tool that never writes there fails the
    # test at once.
    fifo = os.open(folder / "fifo", os.O_RDONLY | os.O_NONBLOCK)
    rows = [("new.pcapng", None, stat.S_IFREG, 0o640),
            ("private.pcapng", None, stat.S_IFREG, 0o600),
            ("latest.pcapng", "data/x.pcapng", stat.S_IFLNK, 0o600),
            ("fresh.pcapng", "data/fresh.pcapng", stat.S_IFLNK, 0o640),
            ("fifo", None, stat.S_IFIFO, None)]
    if as_root:
        os.mknod(folder / "null", stat.S_IFCHR, os.makedev(1, 3))
        os.chmod(folder / "null", 0o666)
        rows.append(("null", None, stat.S_IFCHR, 0o666))
    for name, target, kind, mode in rows[1:]:
        run(folder / name)
        st = os.lstat(folder / name)
        assert stat.S_IFMT(st.st_mode) == kind, name
        if target:
            assert os.readlink(folder / name) == target
            st = os.stat(folder / target)
            assert (folder / target).read_bytes() == written
        if mode is not None:
            assert stat.S_IMODE(st.st_mode) == mode, name
        if mode == 0o600 and as_root:
            assert (st.st_uid, st.st_gid) == (NOBODY, NOBODY)
    with open(fifo, "rb") as pipe:
        assert pipe.read() == written
    assert (folder / "private.pcapng").read_bytes() == written
    assert sorted(os.listdir(folder)) == sorted(["data"] + [r[0] for r in rows])
    assert sorted(os.listdir(folder / "data")) == ["fresh.pcapng", "x.pcapng"]

    # This process's own descriptors: a pipe, a socket.
    assert run("/dev/stdout", stdout=subprocess.PIPE) == written
    pipe_r, pipe_w = os.pipe()
    ours, theirs = socket.socketpair()
    for fd in (pipe_w, theirs.fileno()):
        run("/dev/fd/%d" % fd, pass_fds=(fd,))
    os.close(pipe_w)
    theirs.close()
    with open(pipe_r, "rb") as pipe, ours.makefile("rb") as sock:
        assert pipe.read() == written and sock.read() == written
    ours.close()

    # A file its user may not write is not replaced (editcap cannot open it).
    folder = tshark.capture_path("read-only-file")
    folder.mkdir(mode=0o777)
    os.chmod(folder, 0o777)
    (folder / "out.pcapng").write_bytes(b"old")
    os.chmod(folder / "out.pcapng", 0o444)
    if as_root:
        os.chown(folder / "out.pcapng", NOBODY, NOBODY)
    proc = retime("-f", "valtocrane-pcapng", capture, str(folder / "out.pcapng"), as_nobody=True)
    assert proc.returncode == 3 and "Permission denied" in proc.stderr
    assert os.listdir(folder) == ["out.pcapng"] and (folder / "out.pcapng").read_bytes() == b"old"


def test_what_the_library_cannot_write_is_named(retime, tshark):
    folder = tshark.capture_path("unwritable")
    folder.mkdir()
    ethernet = c.pcapng_packet(0, (1700000000, 0), c.with_header(UDP, 1600000000, 0))
    # An interface of a link type the library does not know: nothing written.
    capture = c.write_pcapng(folder / "in.pcapng", [
        c.pcapng_section(), c.pcapng_interface(), ethernet, c.pcapng_interface(linktype=1023),
        c.pcapng_packet(1, (1700000001, 0), UDP)])
    proc = retime("-f", "valtocrane-pcapng", capture, folder / "out.pcapng")
    assert proc.returncode == 3
    assert "cannot write %s: frame 2 needs input interface 1 (Unknown), whose description " \
           "cannot be written: Packets with that network type can't be saved in that format" \
           % (folder / "out.pcapng") in proc.stderr
    assert os.listdir(folder) == ["in.pcapng"]
    # Decryption secrets before the first interface (4.0's writer refused
    # them when the output was opened before the interface was read).
    capture = c.write_pcapng(folder / "in.pcapng", [
        c.pcapng_section(), c.pcapng_secrets(b"CLIENT_RANDOM 00 11\n"), c.pcapng_interface(),
        ethernet])
    proc = retime("-f", "valtocrane-pcapng", capture, folder / "out.pcapng")
    assert proc.returncode == 0, proc.stderr
    assert c.pcapng_block_types(folder / "out.pcapng").count(0x0A) == 1


def test_sections_keep_their_interfaces(bare_tshark, retime, tshark):
    """Interfaces numbered per section: as editcap numbers them."""
    capture = c.write_pcapng(tshark.capture_path("sections.pcapng"), [
        c.pcapng_section(), c.pcapng_interface(name="first"),
        c.pcapng_packet(0, (1700000000, 0), UDP),
        c.pcapng_section(), c.pcapng_interface(name="second"), c.pcapng_interface(name="third"),
        c.pcapng_packet(1, (1700000001, 0), UDP), c.pcapng_packet(0, (1700000002, 0), UDP)])
    out, copy = capture.with_suffix(".retimed.pcapng"), capture.with_suffix(".copy.pcapng")
    assert retime("-f", "disabled", capture, out).returncode == 0
    subprocess.run(["editcap", "-F", "pcapng", capture, copy], check=True)
    os.chmod(copy, 0o644)
    names = [bare_tshark.fields(f, ["frame.interface_name"]) for f in (out, copy)]
    assert names[0] == names[1]


# A file the tool wrote, run through again (a pipeline step run twice):
# (first run's options, second run's options). Re-timed interfaces whose
# device bytes are gone, or are to stay, are copied as they are; device
# bytes kept by the first run are removed by a second without -k.
AGAIN = [([], []), (["-k"], ["-k"]), (["-k"], [])]


@pytest.mark.parametrize("first,second", AGAIN)
@pytest.mark.parametrize("mode", list(CASES))
def test_a_file_it_wrote_run_through_again(bare_tshark, retime, write_capture, mode, first,
                                           second):
    cases = CASES[mode]
    capture = write_capture([(when, frame) for when, frame, _, _ in cases])
    once, twice = capture.with_suffix(".once.pcapng"), capture.with_suffix(".twice.pcapng")
    direct = capture.with_suffix(".direct.pcapng")
    assert retime("-f", mode, *first, capture, once).returncode == 0
    proc = retime("-f", mode, *second, once, twice)
    assert proc.returncode == 0, proc.stderr
    assert retime("-f", mode, *second, capture, direct).returncode == 0
    fields = ["frame.time_epoch", "frame.interface_name", "frame.interface_description"]
    assert bare_tshark.fields(twice, fields) == bare_tshark.fields(direct, fields)
    assert read_back(bare_tshark, twice)[1] == read_back(bare_tshark, direct)[1]
    # Every frame of a trailer format's interface, the capture header's
    # ports' frames.
    again = len(cases) if mode != "valtocrane-pcapng" else sum(1 for case in cases if case[2])
    if first == second:
        assert "re-timed by valtocrane-retime before (its interface says so): %d" % again \
            in proc.stderr
    assert all(d.count("valtocrane-retime") <= 1 and d.count("[input") <= 1
               for d, in bare_tshark.fields(twice, ["frame.interface_description"]))


def test_equal_device_times_are_in_order(retime, write_capture):
    stamp = c.fraction_trailer(1600000000, 0x80000000)
    capture = write_capture([((1700000000, 0), UDP + stamp), ((1700000001, 0), UDP2 + stamp)])
    proc = retime("-f", "valtocrane-proprietary-headers", capture, capture.with_suffix(".r.pcapng"))
    assert "frames earlier than the frame written before them: 0\n" in proc.stderr


def test_a_file_written_over_keeps_every_mode_bit(retime, write_capture, tshark):
    if os.geteuid() != 0:
        pytest.skip("setting the set-group-ID bit on a file of another group needs root")
    capture = write_capture([(FRAME1, UDP + c.tick_trailer(0))])
    out = tshark.capture_path("modes.pcapng")
    out.write_bytes(b"old")
    os.chmod(out, 0o3750)               # set-group-ID and sticky
    assert retime("-f", "valtocrane-q3-graphite", capture, str(out)).returncode == 0
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o3750 and out.read_bytes() != b"old"


def test_frames_without_a_header_before_any_port_keep_their_interface(bare_tshark, retime,
                                                                        tshark):
    capture = c.write_pcapng(tshark.capture_path("no-header-first.pcapng"), [
        c.pcapng_section(), c.pcapng_interface(name="eth0"), c.pcapng_interface(name="eth1"),
        c.pcapng_packet(1, (1700000000, 0), UDP),
        c.pcapng_packet(0, (1700000001, 0), c.with_header(UDP, 1600000000, 0, port=0)),
        c.pcapng_packet(1, (1700000002, 0), UDP2),
        c.pcapng_packet(0, (1700000003, 0), UDP2)])
    out = capture.with_suffix(".retimed.pcapng")
    assert retime("-f", "valtocrane-pcapng", capture, out).returncode == 0
    assert bare_tshark.fields(out, ["frame.interface_id", "frame.interface_name"]) == [
        ["1", "eth1"], ["2", "eth0 Port A"], ["1", "eth1"], ["0", "eth0"]]


# --sort: frames 10 us apart in device time, read in an order shuffled by
# up to half the window (a capture host's batching, two ports interleaved
# by arrival), each port on an interface of its own; untimed frames and
# journal entries stay after what was read before them.
WINDOW_NS = 1000000
JUMBO = c.ipv4_udp_frame(b"j" * 8958)           # 9000 bytes


def shuffled_capture(path, mode, seed, frames=300, offset_ns=0):
    """The capture, and (device time, length written) of its frames as read;
    every 50th frame is a jumbo frame."""
    rng = random.Random(seed)
    order = sorted(range(frames), key=lambda i: i * 10000 + rng.randrange(WINDOW_NS // 2))
    blocks, written = [c.pcapng_section(), c.pcapng_interface(name="eth0")], []
    for n, i in enumerate(order):
        ns, body = i * 10000 + offset_ns, UDP if i % 50 else JUMBO
        device = Decimal(1600000000) + Decimal(ns) / 10**9
        if mode == "valtocrane-pcapng":
            frame = c.with_header(body, 1600000000, c.header_fraction(ns), port=i % 2)
        elif mode == "valtocrane-proprietary-headers":   # (the fraction read is truncated)
            frame = body + c.fraction_trailer(1600000000, -(-ns * 2**32 // 10**9))
        else:   # tied at the first frame read, whose file time is 1700000000
            frame = body + c.tick_trailer(ns // 5)
            device = Decimal(1700000000) + Decimal((i - order[0]) * 10000) / 10**9
        blocks.append(c.pcapng_packet(0, (1700000000, n * 1000), frame))
        written.append((device, len(body)))
    return c.write_pcapng(path, blocks), written


@pytest.mark.parametrize("mode", list(CASES))
def test_sort_within_the_window(bare_tshark, retime, tshark, mode):
    capture, device = shuffled_capture(tshark.capture_path("shuffled-%s.pcapng" % mode), mode, 7)
    unsorted = retime("-f", mode, capture, capture.with_suffix(".r.pcapng"))
    assert "frames earlier than the frame written before them: 0" not in unsorted.stderr
    out = capture.with_suffix(".sorted.pcapng")
    proc = retime("--sort=0.001", "-f", mode, capture, out)
    assert proc.returncode == 0, proc.stderr
    assert "sorted by device time within 1 ms" in proc.stderr
    assert "frames earlier than the frame written before them: 0\n" in proc.stderr
    written = bare_tshark.fields(out, ["frame.time_epoch", "frame.len"])
    assert [(Decimal(t), int(n)) for t, n in written] == sorted(device)
    # Each interface described before its first frame: the host reads them all.
    ports = {"valtocrane-pcapng": ["eth0 Port A", "eth0 Port B"]}.get(mode, ["eth0"])
    assert sorted(set(n for n, in bare_tshark.fields(out, ["frame.interface_name"]))) == ports


def test_sort_beyond_the_window_and_what_has_no_device_time(bare_tshark, retime, tshark):
    # Device times in ms, window 10 ms. Frame 9 (3 ms) comes when 16 ms is
    # written already, 27 ms behind the clock (30 ms): written at once.
    # Frame 3 (no capture header) and 10 (a journal entry) stay after what
    # was read before them; port B's interface comes before its frame 4.
    def header(ms, port=0):
        return c.with_header(UDP, 1600000000, c.header_fraction(ms * 1000000), port)
    frames = [header(0), header(4), UDP2, header(8, 1), header(12), header(16), header(30),
              header(40), header(3)]
    capture = c.write_pcapng(tshark.capture_path("late.pcapng"), [
        c.pcapng_section(), c.pcapng_interface(name="eth0")]
        + [c.pcapng_packet(0, (1700000000, n), f) for n, f in enumerate(frames)]
        + [c.pcapng_journal_entry([("__REALTIME_TIMESTAMP", "1700000001000000"),
                                   ("MESSAGE", "link up")]),
           c.pcapng_packet(0, (1700000002, 0), header(45))])
    out = capture.with_suffix(".sorted.pcapng")
    proc = retime("--sort=0.01", "-f", "valtocrane-pcapng", capture, out)
    assert proc.returncode == 0, proc.stderr
    assert "frames out of order by more than the window, written as they came: 1 (the first, " \
           "frame 9, by 27 ms; the farthest by 27 ms: --sort=0.027 sorts them in)" in proc.stderr
    # Earlier than the frame before: frame 4 (after frame 3's file time), 9, 11.
    assert "frames earlier than the frame written before them: 3 (by up to " in proc.stderr
    a, b = "eth0 Port A", "eth0 Port B"
    assert bare_tshark.fields(out, ["frame.time_epoch", "frame.interface_name"]) == [
        ["1600000000.000000000", a], ["1600000000.004000000", a], ["1700000000.000000002", "eth0"],
        ["1600000000.008000000", b], ["1600000000.012000000", a], ["1600000000.016000000", a],
        ["1600000000.003000000", a], ["1600000000.030000000", a], ["1600000000.040000000", a],
        ["1700000001.000000000", ""], ["1600000000.045000000", a]]
    proc = retime("--sort=0.027", "-f", "valtocrane-pcapng", capture, out)
    assert "by more than the window" not in proc.stderr


def test_readme_recipe_sorts_then_merges(bare_tshark, retime, tshark):
    """The README's recipe with the host's own mergecap: two devices whose
    frames interleave 5 us apart, each capture shuffled within the window."""
    a, device_a = shuffled_capture(tshark.capture_path("recipe-a.pcapng"), "valtocrane-pcapng", 1)
    b, device_b = shuffled_capture(tshark.capture_path("recipe-b.pcapng"),
                                   "valtocrane-proprietary-headers", 2, offset_ns=5000)
    for capture, mode in [(a, "valtocrane-pcapng"), (b, "valtocrane-proprietary-headers")]:
        proc = retime("--sort", "-f", mode, capture, capture.with_suffix(".sorted.pcapng"))
        assert "sorted by device time within 100 ms" in proc.stderr
    both = tshark.capture_path("recipe-both.pcapng")
    proc = subprocess.run(["mergecap", "-w", both, a.with_suffix(".sorted.pcapng"),
                           b.with_suffix(".sorted.pcapng")], stderr=subprocess.PIPE, text=True)
    assert proc.returncode == 0, proc.stderr
    os.chmod(both, 0o644)
    assert times(bare_tshark, both) == sorted(t for t, _ in device_a + device_b)
    # Both inputs' interfaces kept apart: a's own, its ports, b's.
    info = subprocess.run(["capinfos", both], text=True, stdout=subprocess.PIPE).stdout
    assert "interfaces in file: 4" in info
    if bare_tshark.series >= (4, 4):
        proc = subprocess.run(["reordercap", both, both.with_suffix(".re.pcapng")], text=True,
                              stdout=subprocess.PIPE)
        assert proc.returncode == 0 and "600 frames, 0 out of order" in proc.stdout
