"""valtocrane-retime: captures re-timed for tools without the plugin, read
back by the host alone and compared with what TShark shows with the plugin
and with the host's own copy (editcap). Expected times and bytes are worked
out by hand."""

import hashlib
import json
import os
import pty
import re
import shutil
import signal
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


def frame_bytes(host, capture):
    packets = json.loads(host.run("-r", capture, "-T", "json", "-x").stdout)
    return [bytes.fromhex(p["_source"]["layers"].get("frame_raw", [""])[0]) for p in packets]


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

    assert times(bare_tshark, out) == expected_times(cases)
    assert times(tshark, capture, mode, ["-2"]) == expected_times(cases)
    assert frame_bytes(bare_tshark, out) == [written for *_, written in cases]
    # One interface, in nanoseconds, whatever the input's resolution.
    assert bare_tshark.fields(out, ["frame.interface_id"]) == [["0"]] * len(cases)
    info = subprocess.run(["capinfos", out], text=True, stdout=subprocess.PIPE).stdout
    assert "interfaces in file: 1" in info and "Time precision = nanoseconds (9)" in info


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
    assert times(bare_tshark, out) == expected_times(cases)
    assert frame_bytes(bare_tshark, out) == [frame for _, frame, _, _ in cases]
    assert times(tshark, out, mode, ["-2"]) == expected_times(cases)


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
    assert times(bare_tshark, out) == [Decimal(t) for t in [
        "1600000000.5", "1700000001.000000005", "1700000002", "1600000000.5", "1600000001"]]
    assert times(bare_tshark, out) == times(tshark, capture, "valtocrane-proprietary-headers",
                                            ["-2"])
    assert [len(b) for b in frame_bytes(bare_tshark, out)] == [68, 54, 40, 68, 68]
    assert bare_tshark.fields(out, ["frame.len"]) == [["68"], ["54"], ["76"], ["68"], ["68"]]
    assert bare_tshark.fields(out, FIELDS) == bare_tshark.fields(copy, FIELDS)
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
    assert times(bare_tshark, out) == [Decimal(t) for t in ["10", "5", "6", "7.000000005"]]
    assert [len(b) for b in frame_bytes(bare_tshark, out)] == [3, 68, 76, 68]
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


def test_mergecap_orders_two_devices_by_device_time(bare_tshark, retime, write_capture, tshark):
    # Host clocks 100 s apart; the devices' frames alternate about 47 ns apart.
    def frame(i):
        return c.ipv4_udp_frame(src_port=i)
    a = write_capture([((1700000100 + i, 0), c.with_header(frame(i), 50, 200 * i))
                       for i in (1, 3, 5)])
    b = write_capture([((1700000000 + i, 0), frame(i) + c.fraction_trailer(50, 200 * i))
                       for i in (2, 4)])
    merged = tshark.capture_path("merged.pcapng")
    for capture, mode in [(a, "valtocrane-pcapng"), (b, "valtocrane-proprietary-headers")]:
        assert retime("-f", mode, capture, capture.with_suffix(".r.pcapng")).returncode == 0
    subprocess.run(["mergecap", "-w", merged, a.with_suffix(".r.pcapng"),
                    b.with_suffix(".r.pcapng")], check=True)
    os.chmod(merged, 0o644)
    assert bare_tshark.fields(merged, ["udp.srcport"]) == [["1"], ["2"], ["3"], ["4"], ["5"]]


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
    (["-f", "disabled", "in", "out"], 1, "unknown format 'disabled'"),
    (["-f", "valtocrane-pcapng", "in"], 1, "INFILE and OUTFILE are required"),
    (["--frobnicate"], 1, "unknown option '--frobnicate'"),
    (["--format"], 1, "option '--format' needs a value"),
    (["-f", "valtocrane-pcapng", "in", "/"], 3, "/ is a folder, not a file name"),
    (["-f", "valtocrane-pcapng", "/nonexistent", "out"], 2, "cannot read /nonexistent"),
])
def test_command_line(retime, args, code, text):
    proc = retime(*args, stdout=subprocess.PIPE)
    assert proc.returncode == code
    assert text in proc.stdout.decode() + proc.stderr
