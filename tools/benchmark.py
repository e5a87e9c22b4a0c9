"""What the plugin costs per frame, against the host's own floor.

Writes captures of the same Ethernet/IPv4/UDP frames (mixed sizes) plain and
in each of the three ValtoCrane layouts, and runs TShark over them: the host
alone over the plain frames is the floor, the cost of dissecting these frames
at all. Every figure is reported as a ratio to the floor measured in the same
run, in a pass without a protocol tree (plain -r) and in a tree pass
(-T fields with a few fields).

Wall time (default): several rounds, configurations interleaved, median.
Instructions (--callgrind): each configuration under valgrind's callgrind at
two capture sizes; the difference divided by the difference in frames is the
cost of one more frame, with start-up cancelled out. The host seeds its hash
tables at random in every process, which moves the count of the same run by
up to 2%; with --fixed-seed (tools/fixed-seed.cpp, preloaded) every run uses
a fixed seed, so that the counts repeat, and the figures are the median over
several seeds, the same seeds for every configuration.

Re-timing (--retime): valtocrane-retime against the host's own copy through
the same library, editcap -F pcapng, on the same capture of at least 1 GB
(1.5 million frames by default, written here directly as pcapng) in each
device format: wall time, CPU time and peak memory (maximum resident set
size; both by GNU time), several interleaved rounds, median.

Sorting (--sort): valtocrane-retime --sort against the reordercap of
another Wireshark series (4.4, in the Debian root scripts/test-debian.sh
makes; run there with chroot, as root) on the same capture file, the
re-timing capture in the capture header format written in the order a
capture host gets the device's frames (HOST_MODELS), its own times the
device times (which reordercap sorts by): wall time, CPU time
and peak memory, interleaved rounds, median, and both again on a capture a
tenth that size, to show how memory grows. First, how far out of order
each of HOST_MODELS leaves the frames, as valtocrane-retime counts them.

Latency (--latency): valtocrane-latency against valtocrane-retime on the
same capture of at least 1 GB in the capture header format (1.5 million
frames by default), most frames seen on port A and again on port B a few
microseconds later: wall time, CPU time and peak memory, the same rounds
interleaved, median; then the latency tool's peak memory on a capture a
tenth that size, to show that memory does not grow with the capture.

ClickHouse (--clickhouse): the same capture's export (--export) loaded into
the two ClickHouse servers of docs/clickhouse.md (Debian 12's package) and
queried by the page's queries, against valtocrane-latency's own report of
the capture: the export to a file, the load of that file, the export piped
into the load (wall time, CPU time of the tool and the client, the server's
CPU time; rows and MB of CSV a second), interleaved rounds, median; then
each query's time as the client reports it.
"""

import argparse
import concurrent.futures
import heapq
import os
import random
import re
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from vctools import captures, clickhouse
from vctools.tshark import TShark, mode_args

# Frame sizes on the wire, mixed 7:4:1 as in the usual Internet mix.
FRAME_SIZES = [64] * 7 + [594] * 4 + [1518]
UDP_OVERHEAD = 14 + 20 + 8

FORMATS = ["plain", "tick", "fraction", "header", "copies"]
NO_MATCHING = ("-o", "valtocrane.latency_window_us:0")

# name, with the plugin, mode, capture format, more TShark arguments
CONFIGS = [
    ("host alone (floor)", False, None, "plain", ()),
    ("Disabled", True, "disabled", "plain", ()),
    ("tick-counter trailer", True, "valtocrane-q3-graphite", "tick", ()),
    ("seconds-and-fraction trailer", True, "valtocrane-proprietary-headers", "fraction", ()),
    ("capture header", True, "valtocrane-pcapng", "header", ()),
    ("capture header, no latency matching", True, "valtocrane-pcapng", "header", NO_MATCHING),
    ("every frame on both ports", True, "valtocrane-pcapng", "copies", ()),
    ("every frame on both ports, no matching", True, "valtocrane-pcapng", "copies", NO_MATCHING),
    ("every frame on both ports, -z valtocrane,latency", True, "valtocrane-pcapng", "copies",
     ("-z", "valtocrane,latency")),
    ("host alone, tick-counter trailer", False, None, "tick", ()),
    ("host alone, seconds-and-fraction trailer", False, None, "fraction", ()),
    ("host alone, capture header", False, None, "header", ()),
]
PLUGIN_CONFIGS = CONFIGS[:9]
# The statistics report against the same pass without it. (With -q and no
# report TShark does not dissect at all.)
Z_REPORT = (CONFIGS[8][0], CONFIGS[6][0])

PASSES = {
    "no tree": [],
    "tree": ["-T", "fields", "-e", "frame.number", "-e", "ip.src", "-e", "udp.dstport",
             "-e", "frame.time_epoch"],
}


def records(count, layout):
    base = (1700000000, 0)
    for i in range(count):
        frame = captures.ipv4_udp_frame(bytes(FRAME_SIZES[i % len(FRAME_SIZES)] - UDP_OVERHEAD),
                                        ident=i, src_port=49152 + i % 64)
        when = (base[0] + i // 100000, (i % 100000) * 10000)
        if layout == "tick":
            frame += captures.tick_trailer(123456789 + 2000 * i)
        elif layout == "fraction":
            frame += captures.fraction_trailer(1700000000 + i // 100000, (i % 100000) * 42949)
        elif layout == "header":
            frame = captures.with_header(frame, 1700000000 + i // 100000, (i % 100000) * 42949,
                                         port=i % 2)
        elif layout == "copies":
            # Each datagram on port A, then 3 us later on port B.
            frame = captures.ipv4_udp_frame(
                bytes(FRAME_SIZES[i // 2 % len(FRAME_SIZES)] - UDP_OVERHEAD), ident=i // 2,
                src_port=49152 + i // 2 % 64)
            frame = captures.with_header(frame, 1700000000 + i // 200000,
                                         (i // 2 % 100000) * 42949 + (i % 2) * 12885, port=i % 2)
        yield when, frame


def write_captures(host, count):
    return {layout: captures.write_capture(host.capture_path("%s-%d.pcapng" % (layout, count)),
                                           records(count, layout))
            for layout in FORMATS}


def tshark_args(mode, capture, pass_args, more=()):
    return ["-r", capture] + mode_args(mode) + list(more) + pass_args


def wall_times(hosts, files, rounds, seed):
    """Median wall seconds by (config, pass), configurations interleaved."""
    runs = [(c, p) for c in CONFIGS for p in PASSES]
    samples = {run: [] for run in runs}
    order = random.Random(seed)
    for r in range(rounds):
        order.shuffle(runs)
        for config, pass_name in runs:
            _, plugin, mode, layout, more = config
            args = tshark_args(mode, files[layout], PASSES[pass_name], more)
            start = time.perf_counter()
            hosts[plugin].run(*args, stdout=subprocess.DEVNULL)
            samples[(config, pass_name)].append(time.perf_counter() - start)
        print("  round %d of %d done" % (r + 1, rounds), file=sys.stderr)
    return {(c[0], p): statistics.median(v) for (c, p), v in samples.items()}


def instructions(host, args, out_file, env):
    """Instructions callgrind counts for one tshark run."""
    wrapper = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out_file]
    proc = host.run(*args, wrapper=wrapper, env=env, stdout=subprocess.DEVNULL)
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def marginal_instructions(hosts, sizes, files_by_size, seeds, fixed_seed, jobs, keep):
    """Instructions of one more frame by (config, pass): the median over
    the seeds, and the value for each seed."""
    small, large = sizes
    tasks = [(config, pass_name, size, seed) for config in PLUGIN_CONFIGS
             for pass_name in PASSES for size in sizes for seed in range(1, seeds + 1)]

    def run(task):
        (name, plugin, mode, layout, more), pass_name, size, seed = task
        tag = re.sub(r"\W+", "-", "%s-%s-%d-seed%d" % (name, pass_name, size, seed)).strip("-")
        out = hosts[plugin].home / ("callgrind.%s.out" % tag)
        env = ["LD_PRELOAD=%s" % fixed_seed, "VALTOCRANE_HASH_SEED=%d" % seed] if fixed_seed else []
        count = instructions(hosts[plugin], tshark_args(mode, files_by_size[size][layout],
                                                        PASSES[pass_name], more), out, env)
        if keep:
            shutil.copy(out, Path(keep) / out.name)
        out.unlink()
        return count

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        counts = dict(zip(tasks, pool.map(run, tasks)))
    result = {}
    for config in PLUGIN_CONFIGS:
        for pass_name in PASSES:
            samples = [(counts[(config, pass_name, large, seed)]
                        - counts[(config, pass_name, small, seed)]) / (large - small)
                       for seed in range(1, seeds + 1)]
            result[(config[0], pass_name)] = (statistics.median(samples), samples)
    return result


# Frame sizes of the re-timing capture: more large frames than the usual
# Internet mix, so that 1.5 million frames make more than 1 GB.
RETIME_FRAME_SIZES = [64, 594, 1518]
RETIME_FORMATS = {
    "valtocrane-q3-graphite": "tick",
    "valtocrane-proprietary-headers": "fraction",
    "valtocrane-pcapng": "header",
}


def write_retime_capture(path, count, layout, arrivals=None):
    """A pcapng capture of count Ethernet/IPv4/UDP frames in the layout, one
    interface in nanoseconds, written block by block (text2pcap would take
    minutes). Only the time bytes differ from frame to frame. Frame i is
    stamped i * 10 us after the first; the capture header's frames are on
    ports A and B in turn. arrivals, where given, yields (capture file time
    in ns from the first frame's, i) in the order the frames are written;
    else they are written in order, the file time the device's."""
    bodies = [captures.ipv4_udp_frame(bytes(size - UDP_OVERHEAD)) for size in RETIME_FRAME_SIZES]
    epb = struct.Struct("<IIIIIII")
    base = 1700000000 * 1000000000
    with open(path, "wb", buffering=1 << 20) as f:
        f.write(captures.pcapng_section() + captures.pcapng_interface())
        for at, i in arrivals or ((i * 10000, i) for i in range(count)):
            body = bodies[i % len(bodies)]
            secs, nsecs = 1700000000 + i // 100000, (i % 100000) * 10000
            if layout == "tick":
                frame = body + captures.tick_trailer(123456789 + 2000 * i)
            elif layout == "fraction":
                frame = body + captures.fraction_trailer(secs, nsecs * 4)
            else:
                frame = captures.capture_header(secs, captures.header_fraction(nsecs), i % 2,
                                                len(body), len(body)) + body
            pad = -len(frame) % 4
            ts = base + at
            length = 32 + len(frame) + pad
            f.write(epb.pack(6, length, 0, ts >> 32, ts & 0xFFFFFFFF, len(frame), len(frame)))
            f.write(frame + bytes(pad) + struct.pack("<I", length))
    return path


def measured_run(cmd, report):
    """Wall seconds, peak resident memory (kB) and CPU seconds (user and
    system) of one command, the last two by GNU time: the maximum resident
    set size a parent reads for its child includes what the child was before
    exec (here, a copy of Python)."""
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", "-o", report] + cmd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError("%s exited %d:\n%s" % (" ".join(map(str, cmd)), proc.returncode,
                                                    proc.stderr.decode(errors="replace")))
    peak, user, system = Path(report).read_text().split()[-3:]
    return elapsed, int(peak), float(user) + float(system)


def shuffled_rounds(commands, rounds, seed, measure):
    """Each command once per round, in a shuffled order, after a sync:
    measure(name) gives a tuple of figures. The samples by command."""
    samples = {name: [] for name in commands}
    order = random.Random(seed)
    names = list(commands)
    for r in range(rounds):
        order.shuffle(names)
        for name in names:
            subprocess.run(["sync"], check=True)
            samples[name].append(measure(name))
        print("  round %d of %d done" % (r + 1, rounds), file=sys.stderr)
    return samples


def interleaved(commands, rounds, seed, workdir, out):
    """Each command once per round, in a shuffled order, the output file
    removed after each. Medians of wall time, peak memory (kB) and CPU
    time by command, and the spread of wall times."""
    def measure(name):
        figures = measured_run(commands[name], workdir / "time.txt")
        if out.exists():
            out.unlink()
        return figures

    samples = shuffled_rounds(commands, rounds, seed, measure)
    wall, peak, cpu = ({n: statistics.median(s[i] for s in v) for n, v in samples.items()}
                       for i in range(3))
    spread = {n: "%.2f to %.2f s" % (min(s[0] for s in v), max(s[0] for s in v))
              for n, v in samples.items()}
    return wall, peak, cpu, spread


def retime_benchmark(opts):
    tool = Path(opts.retime_tool).resolve()
    workdir = Path(tempfile.mkdtemp(prefix="valtocrane-retime-bench-", dir=opts.workdir))
    version = subprocess.run(["editcap", "--version"], text=True, stdout=subprocess.PIPE).stdout
    version = re.sub(r" \(Git .*", "", version.splitlines()[0])
    rows = []
    try:
        for mode in opts.retime_formats:
            layout = RETIME_FORMATS[mode]
            print("Writing %d frames (%s)" % (opts.retime_frames, mode), file=sys.stderr)
            capture = write_retime_capture(workdir / ("%s.pcapng" % layout), opts.retime_frames,
                                           layout)
            out = workdir / "out.pcapng"
            commands = {"editcap": ["editcap", "-F", "pcapng", capture, out],
                        "retime": [tool, "--format", mode, capture, out]}
            wall, peak, cpu, spread = interleaved(commands, opts.rounds, opts.seed, workdir, out)
            rows.append([mode, "%.0f MB" % (capture.stat().st_size / 1e6),
                         "%.2f s" % wall["editcap"], "%.2f s" % wall["retime"],
                         "%.3f" % (wall["retime"] / wall["editcap"]),
                         "%.2f s" % cpu["editcap"], "%.2f s" % cpu["retime"],
                         "%.3f" % (cpu["retime"] / cpu["editcap"]),
                         "%.1f MB" % (peak["editcap"] / 1024), "%.1f MB" % (peak["retime"] / 1024),
                         "%+.1f MB" % ((peak["retime"] - peak["editcap"]) / 1024)])
            print("  wall time, editcap %s, retime %s" % (spread["editcap"], spread["retime"]),
                  file=sys.stderr)
            capture.unlink()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("\nvaltocrane-retime against editcap -F pcapng (%s), %d frames, median of %d "
          "interleaved rounds\n" % (version, opts.retime_frames, opts.rounds))
    print(table(["format", "capture", "editcap", "retime", "time ratio", "editcap CPU",
                 "retime CPU", "CPU ratio", "editcap peak", "retime peak", "memory difference"],
                rows))


# How a capture host gets the capture header device's frames, for --sort:
# (name, the most frames a hand-over, the longest wait in us before one,
# one hand-over in so many held up, by up to so many us), or None.
HOST_MODELS = [
    ("one receive queue: the device's own order", None),
    ("a receive queue a port, handed over at 64 frames or after 100 us", (64, 100, 0, 0)),
    ("as above, and one hand-over in 1,000 held up by up to 10 ms", (64, 100, 1000, 10000)),
]


def host_arrivals(count, model, seed):
    """(capture file time in ns, i) of write_retime_capture's frames, in the
    order a capture host gets them. Each port's frames come through a
    receive queue of its own, handed over when it holds the most frames a
    hand-over or its first has waited the longest wait (interrupt
    moderation); some hand-overs are held up longer (a host busy
    elsewhere), and the ones after them wait for them. The two queues'
    hand-overs interleave by time; a hand-over's frames get its time."""
    if model is None:
        return ((i * 10000, i) for i in range(count))
    most, wait_us, one_in, held_up_us = model
    rng = random.Random(seed)

    def queue(port):
        handed = 0
        i = port
        while i < count:
            first = i * 10000
            frames = []
            while i < count and len(frames) < most and i * 10000 <= first + wait_us * 1000:
                frames.append(i)
                i += 2
            ready = frames[-1] * 10000 if len(frames) == most else first + wait_us * 1000
            if one_in and rng.randrange(one_in) == 0:
                ready += rng.randrange(held_up_us * 1000)
            handed = max(handed, ready)
            for f in frames:
                yield handed, port, f

    return ((at, i) for at, _, i in heapq.merge(queue(0), queue(1)))


def sort_benchmark(opts):
    """valtocrane-retime --sort against the reordercap of the Debian root's
    Wireshark (run there with chroot), on the same capture file inside the
    root."""
    tool = Path(opts.retime_tool).resolve()
    root = Path(opts.sort_root).resolve()
    workdir = Path(tempfile.mkdtemp(prefix="valtocrane-sort-bench-", dir=root / "tmp"))
    os.chmod(workdir, 0o755)

    def inside(path):
        return "/" + str(path.relative_to(root))

    version = subprocess.run(["chroot", root, "reordercap", "-v"], text=True,
                             stdout=subprocess.PIPE).stdout.split("\n")[0]
    load = os.getloadavg()
    out = workdir / "out.pcapng"
    try:
        print("Writing %d frames in each way a host gets them" % (opts.retime_frames // 10),
              file=sys.stderr)
        extents = []
        for name, model in HOST_MODELS:
            capture = write_retime_capture(workdir / "model.pcapng", opts.retime_frames // 10,
                                           "header", host_arrivals(opts.retime_frames // 10,
                                                                   model, opts.seed))
            proc = subprocess.run([tool, "-f", "valtocrane-pcapng", capture, out], text=True,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
            found = re.search(r"before them: (\d+)(?: \(by up to ([^;]+);)?", proc.stderr)
            extents.append([name, found.group(1), found.group(2) or "-"])

        sizes = [opts.retime_frames, opts.retime_frames // 10]
        print("Writing %d and %d frames" % tuple(sizes), file=sys.stderr)
        # The frames' own times are the device times too, so that reordercap
        # sorts by the same times.
        files = {n: write_retime_capture(workdir / ("sort-%d.pcapng" % n), n, "header",
                                         ((i * 10000, i) for _, i in
                                          host_arrivals(n, HOST_MODELS[-1][1], opts.seed)))
                 for n in sizes}
        sort = [tool, "--sort", "-f", "valtocrane-pcapng"]
        commands = {
            "reordercap": ["chroot", root, "reordercap", inside(files[sizes[0]]), inside(out)],
            "retime --sort": sort + [files[sizes[0]], out],
            "retime": [tool, "-f", "valtocrane-pcapng", files[sizes[0]], out],
            "reordercap, a tenth": ["chroot", root, "reordercap", inside(files[sizes[1]]),
                                    inside(out)],
            "retime --sort, a tenth": sort + [files[sizes[1]], out],
        }
        ours = subprocess.run(sort + [files[sizes[0]], out], text=True, check=True,
                              stderr=subprocess.PIPE).stderr
        theirs = subprocess.run(commands["reordercap"], text=True, check=True,
                                stdout=subprocess.PIPE).stdout
        wall, peak, cpu, spread = interleaved(commands, opts.rounds, opts.seed, workdir, out)
        size_mb = {n: f.stat().st_size / 1e6 for n, f in files.items()}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print("\nHow far out of order the frames come (valtocrane-retime's summary, %d frames, "
          "10 us apart, ports A and B in turn)\n" % (opts.retime_frames // 10))
    print(table(["how the host gets them", "frames earlier than the one before", "by up to"],
                extents))
    print("\nvaltocrane-retime --sort (default window) against %s on the same capture (%s), "
          "median of %d interleaved rounds; load average %.2f, %.2f, %.2f before\n"
          % (version, HOST_MODELS[-1][0], opts.rounds, *load))
    rows = []
    for name in commands:
        base = "reordercap, a tenth" if "tenth" in name else "reordercap"
        n = sizes[1] if "tenth" in name else sizes[0]
        rows.append([name, "%d (%.0f MB)" % (n, size_mb[n]), "%.2f s" % wall[name],
                     "%.3f" % (wall[name] / wall[base]), "%.2f s" % cpu[name],
                     "%.3f" % (cpu[name] / cpu[base]), "%.1f MB" % (peak[name] / 1024),
                     "%.3f" % (peak[name] / peak[base])])
    print(table(["command", "frames", "wall", "vs reordercap", "CPU", "vs reordercap",
                 "peak memory", "vs reordercap"], rows))
    print("\nWall time spread: %s" % "; ".join("%s %s" % item for item in spread.items()))
    print("\nreordercap: %s" % theirs.strip())
    print("valtocrane-retime --sort:\n%s" % ours.rstrip())


# Device times that lie, for the memory of the matching: the first frame's
# a year ahead, an hour back from the middle frame on, or every frame's
# anywhere in a year (the capture host's times stay as they were).
WILD_TIMES = {
    "first frame a year ahead": lambda ns, i, count: ns + 365 * 86400 * 10**9 if i == 0 else ns,
    "a step back of an hour": lambda ns, i, count: ns - 3600 * 10**9 if i >= count // 2 else ns,
    "times in random order": lambda ns, i, count: (i * 2654435761 % 2**32) * 7342 * 1000,
}


def write_latency_capture(path, count, wild=None):
    """A pcapng capture of count frames in the capture header format, one
    interface in nanoseconds, in device-time order: pairs of the same
    Ethernet/IPv4/UDP frame (a different IP identification each) seen on
    port A and 3 to 8 us later on port B, a pair every 2 us, so that a few
    frames wait for their copy at any time; every 50th frame on port A has
    no copy. wild names a WILD_TIMES: the device times lie so."""
    bodies = [bytearray(captures.ipv4_udp_frame(bytes(size - UDP_OVERHEAD)))
              for size in RETIME_FRAME_SIZES]
    epb = struct.Struct("<IIIIIII")
    header = struct.Struct("<7I")
    base = 1700000000 * 1000000000
    later = []   # (device ns, pair) of the copies still to come on port B

    def frame(ns, pair, port):
        body = bodies[pair % len(bodies)]
        body[18:20] = struct.pack(">H", pair & 0xFFFF)   # IP identification
        body[46:50] = struct.pack(">I", pair)            # first payload bytes
        device = WILD_TIMES[wild](ns, written, count) if wild else ns
        secs, nsecs = divmod(base + device, 1000000000)
        fraction = captures.header_fraction(nsecs)
        data = header.pack(6, 0, port, secs, fraction, len(body), len(body)) + body
        pad = -len(data) % 4
        ts = base + ns
        length = 32 + len(data) + pad
        return (epb.pack(6, length, 0, ts >> 32, ts & 0xFFFFFFFF, len(data), len(data)) + data
                + bytes(pad) + struct.pack("<I", length))

    written = 0
    pair = 0
    with open(path, "wb", buffering=1 << 20) as f:
        f.write(captures.pcapng_section() + captures.pcapng_interface())
        while written < count:
            ns = pair * 2000
            while later and later[0][0] <= ns and written < count:
                when, copy = heapq.heappop(later)
                f.write(frame(when, copy, 1))
                written += 1
            if written == count:
                break
            f.write(frame(ns, pair, 0))
            written += 1
            if pair % 50 != 49:
                heapq.heappush(later, (ns + 3000 + (pair * 7919) % 5001, pair))
            pair += 1
    return path


def report_body(text):
    """A latency report's points and directions: what follows its first
    line (the program, its version) and the file line."""
    body = text.split("\n\n", 1)[1]
    return body.split("\n=====")[0].strip()


# Files the latency capture is cut into, as a ring buffer writes them.
LATENCY_FILE_SET = 8


def latency_benchmark(opts):
    retime = Path(opts.retime_tool).resolve()
    tool = Path(opts.latency_tool).resolve()
    workdir = Path(tempfile.mkdtemp(prefix="valtocrane-latency-bench-", dir=opts.workdir))
    load = os.getloadavg()
    try:
        sizes = [opts.latency_frames, opts.latency_frames // 10]
        print("Writing %d and %d frames" % tuple(sizes), file=sys.stderr)
        files = {n: write_latency_capture(workdir / ("ports-%d.pcapng" % n), n) for n in sizes}
        capture = files[sizes[0]]
        out = workdir / "out.pcapng"
        # The same frames as a ring buffer's set of files (editcap -c).
        pieces = -(-sizes[0] // LATENCY_FILE_SET)
        subprocess.run(["editcap", "-c", str(pieces), capture, workdir / "ring.pcapng"],
                       check=True)
        ring = ",".join(str(p) for p in sorted(workdir.glob("ring_*.pcapng")))
        latency = [tool, "--format", "valtocrane-pcapng"]
        flows = ["--by", "flow", "--interval", "1", "--series", workdir / "series.csv"]
        files_set = "%d files" % LATENCY_FILE_SET
        # --jobs by default: the processors there are (at most 4).
        commands = {"retime": [retime, "--format", "valtocrane-pcapng", capture, out],
                    "latency --jobs 1": latency + ["--jobs", "1", capture],
                    "latency": latency + [capture],
                    "latency --by flow --interval 1 --jobs 1": latency + flows + [
                        "--jobs", "1", capture],
                    "latency --by flow --interval 1": latency + flows + [capture],
                    "latency --jobs 1, " + files_set: latency + ["--jobs", "1", ring],
                    "latency, " + files_set: latency + [ring],
                    "latency, a tenth": latency + [files[sizes[1]]]}
        if opts.latency_baseline:
            commands["latency (baseline)"] = [Path(opts.latency_baseline).resolve(), "--format",
                                              "valtocrane-pcapng", capture]
        wall, peak, cpu, spread = interleaved(commands, opts.rounds, opts.seed, workdir, out)
        report = subprocess.run(commands["latency"], text=True, stdout=subprocess.PIPE,
                                check=True).stdout
        # The plugin's -z report of the same capture: the same figures.
        host = TShark(plugin=opts.plugin)
        try:
            os.chmod(workdir, 0o755)
            os.chmod(capture, 0o644)
            z = host.run("-r", capture, "-q", "-o", "valtocrane.ts_type:valtocrane-pcapng",
                         "-z", "valtocrane,latency").stdout
        finally:
            host.cleanup()
        agree = report_body(z) == report_body(report)
        size_mb = {n: f.stat().st_size / 1e6 for n, f in files.items()}
        for f in files.values():
            f.unlink()
        # Peak memory over captures whose device times lie, at a tenth and
        # at the whole size.
        wild_peak = {}
        wild_sizes = [sizes[1] // 5, sizes[1]]
        tools = {"": tool}
        if opts.latency_baseline:
            tools[" (baseline)"] = Path(opts.latency_baseline).resolve()
        for name in WILD_TIMES:
            for n in wild_sizes:
                path = write_latency_capture(workdir / "wild.pcapng", n, name)
                for which, binary in tools.items():
                    _, peak_kb, _ = measured_run([binary, "--format", "valtocrane-pcapng", path],
                                                 workdir / "time.txt")
                    wild_peak[name + which, n] = peak_kb
                path.unlink()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("\nvaltocrane-latency against valtocrane-retime on the same capture (capture header, "
          "two ports, %.0f MB, %d frames), median of %d interleaved rounds; load average %.2f, "
          "%.2f, %.2f before\n" % ((size_mb[sizes[0]], sizes[0], opts.rounds) + load))
    rows = []
    print("valtocrane-latency with --jobs by default: %d (the processors it runs on, at most 4)\n"
          % min(os.cpu_count() or 1, 4))
    for name in commands:
        if name == "latency, a tenth":
            continue
        rows.append([name, "%.2f s" % wall[name], "%.3f" % (wall[name] / wall["retime"]),
                     "%.2f s" % cpu[name], "%.3f" % (cpu[name] / cpu["retime"]),
                     "%.1f MB" % (peak[name] / 1024)])
    print(table(["command", "wall", "vs retime", "CPU", "CPU vs retime", "peak memory"], rows))
    print("\nvaltocrane-latency's peak memory: %.1f MB over %d frames (%.0f MB), %.1f MB over %d "
          "frames (%.0f MB)" % (peak["latency, a tenth"] / 1024, sizes[1], size_mb[sizes[1]],
                                peak["latency"] / 1024, sizes[0], size_mb[sizes[0]]))
    print("\nPeak memory over captures whose device times lie:\n")
    print(table(["device times"] + ["%d frames" % n for n in wild_sizes],
                [[name + which] + ["%.1f MB" % (wild_peak[name + which, n] / 1024)
                                   for n in wild_sizes]
                 for name in WILD_TIMES for which in tools]))
    print("Wall time spread: %s" % "; ".join("%s %s" % item for item in spread.items()))
    print("\ntshark -z valtocrane,latency on the large capture %s the tool's report, point by "
          "point and direction by direction." % ("agrees with" if agree else "DIFFERS from"))
    print("\nThe latency tool's report on the large capture:\n")
    print(report)


def server_cpu(server):
    """CPU seconds a ClickHouse server has used so far, every thread."""
    fields = Path("/proc/%d/stat" % server.proc.pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed_rounds(commands, rounds, seed, workdir, server):
    """Each command once per round, in a shuffled order: medians of wall
    time, CPU time of the command and its children, and the server's CPU
    time meanwhile, by command."""
    def measure(name):
        before = server_cpu(server)
        wall, _, cpu = measured_run(commands[name], workdir / "time.txt")
        return wall, cpu, server_cpu(server) - before

    samples = shuffled_rounds(commands, rounds, seed, measure)
    return {name: [statistics.median(s[i] for s in v) for i in range(3)]
            for name, v in samples.items()}


def time_queries(server, queries, rounds, seed):
    """Each query once per round, in a shuffled order: the median of the
    time the client reports for it (--time: from sending the query to the
    last row, without the client's start), and the server's CPU time."""
    samples = {name: [] for name in queries}
    order = random.Random(seed)
    names = list(queries)
    for _ in range(rounds):
        order.shuffle(names)
        for name in names:
            before = server_cpu(server)
            proc = server.client(["--time", "--format", "Null", "--query", queries[name]],
                                 text=True)
            if proc.returncode != 0:
                raise RuntimeError("%s failed: %s" % (name, proc.stderr))
            samples[name].append((float(proc.stderr.split()[-1]), server_cpu(server) - before))
    return {name: [statistics.median(s[i] for s in v) for i in range(2)]
            for name, v in samples.items()}


def clickhouse_benchmark(opts):
    """valtocrane-latency's export of the latency capture of at least 1 GB,
    loaded into and queried from ClickHouse as docs/clickhouse.md does it,
    against the tool's own report of the same capture."""
    usable, why = clickhouse.availability()
    if not usable:
        sys.exit("ClickHouse: %s" % why)
    tool = str(Path(opts.latency_tool).resolve())
    workdir = Path(tempfile.mkdtemp(prefix="valtocrane-clickhouse-bench-", dir=opts.workdir))
    load = os.getloadavg()
    page = clickhouse.Page()
    try:
        print("Writing %d frames" % opts.latency_frames, file=sys.stderr)
        capture = str(write_latency_capture(workdir / "ports.pcapng", opts.latency_frames))
        export = [tool, "-f", "valtocrane-pcapng", "--export"]
        rows_csv = workdir / "rows.csv"
        subprocess.run(export + [rows_csv, capture], check=True, stdout=subprocess.DEVNULL)
        with open(rows_csv) as f:
            rows = sum(1 for _ in f) - 1
        size, capture_size = rows_csv.stat().st_size, Path(capture).stat().st_size
        with clickhouse.cluster(workdir, page) as servers:
            insert = servers[0].client_args() + ["--query", page.insert]
            commands = {
                "report (the baseline)": [tool, "-f", "valtocrane-pcapng", capture],
                "export to a file": export + [str(workdir / "out.csv"), capture],
                "load the file": ["sh", "-c", "%s < %s" % (shlex.join(insert), rows_csv)],
                "export piped into the load": [
                    "bash", "-o", "pipefail", "-c",
                    "%s | %s" % (shlex.join(export + ["-", capture]), shlex.join(insert))],
            }
            steps = timed_rounds(commands, opts.rounds, opts.seed, workdir, servers[0])
            # The queries over one load of the rows, its parts merged.
            servers[0].query("TRUNCATE TABLE valtocrane.latency_local")
            subprocess.run(commands["load the file"], check=True)
            servers[0].query("OPTIMIZE TABLE valtocrane.latency_local FINAL")
            queries = {}
            for title in ("By direction", "By flow, the worst p99 first", "By hour"):
                queries[title] = page.sql[title]
                queries[title + ", nearest rank"] = page.with_nearest_rank(page.sql[title])
            query_times = time_queries(servers[0], queries, opts.rounds, opts.seed)
            version = servers[0].query("SELECT version()").splitlines()[1]
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    base = steps["report (the baseline)"][0]
    print("\nvaltocrane-latency's export of %d frames (%.0f MB) into ClickHouse %s: %d rows, "
          "%.0f MB of CSV; median of %d interleaved rounds; load average %.2f, %.2f, %.2f "
          "before\n" % ((opts.latency_frames, capture_size / 1e6, version, rows, size / 1e6,
                         opts.rounds) + load))
    print(table(["step", "wall", "vs report", "CPU (tool, client)", "server CPU", "rows/s",
                 "CSV MB/s"],
                [[name, "%.2f s" % wall, "%.3f" % (wall / base), "%.2f s" % cpu,
                  "%.2f s" % server] + (["%.0f" % (rows / wall), "%.1f" % (size / 1e6 / wall)]
                                        if wall != base else ["", ""])
                 for name, (wall, cpu, server) in steps.items()]))
    print("\nThe page's queries through the Distributed table over the %d rows (all on shard "
          "1, its parts merged), as clickhouse-client --time reports them:\n" % rows)
    print(table(["query", "time", "vs report", "server CPU"],
                [[name, "%.3f s" % wall, "%.3f" % (wall / base), "%.2f s" % server]
                 for name, (wall, server) in query_times.items()]))


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
                     + [line(r) for r in rows])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plugin", required=True, help="the built valtocrane.so")
    parser.add_argument("--frames", type=int, default=200000, help="frames a capture (wall time)")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (wall time)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--callgrind", action="store_true",
                        help="count instructions under callgrind instead of timing")
    parser.add_argument("--sizes", type=int, nargs=2, default=[2000, 6000],
                        help="the two capture sizes of --callgrind")
    parser.add_argument("--fixed-seed", metavar="SO",
                        help="with --callgrind, the built fixed-seed.so, for counts that repeat")
    parser.add_argument("--seeds", type=int, default=3,
                        help="with --callgrind, runs of each configuration and size")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="callgrind runs at once (counts do not depend on it)")
    parser.add_argument("--keep-profiles", metavar="DIR",
                        help="with --callgrind, keep the callgrind files for callgrind_annotate")
    parser.add_argument("--retime", action="store_true",
                        help="time valtocrane-retime against editcap instead of the plugin")
    parser.add_argument("--retime-tool", default="build/retime/valtocrane-retime",
                        help="with --retime, the built valtocrane-retime")
    parser.add_argument("--retime-frames", type=int, default=1500000,
                        help="with --retime, frames of the capture (1.5 million: over 1 GB)")
    parser.add_argument("--retime-formats", nargs="+", default=list(RETIME_FORMATS),
                        choices=list(RETIME_FORMATS), help="with --retime, the formats to time")
    parser.add_argument("--workdir", help="with --retime, --latency or --clickhouse, where the "
                        "captures are written")
    parser.add_argument("--sort", action="store_true",
                        help="time valtocrane-retime --sort against reordercap instead, on a "
                        "capture of --retime-frames shuffled as a capture host gets them")
    parser.add_argument("--sort-root", default="/var/tmp/valtocrane-hosts/trixie",
                        help="with --sort, the Debian root whose reordercap to run (chroot)")
    parser.add_argument("--latency", action="store_true",
                        help="time valtocrane-latency against valtocrane-retime instead")
    parser.add_argument("--latency-tool", default="build/latency/valtocrane-latency",
                        help="with --latency, the built valtocrane-latency")
    parser.add_argument("--latency-frames", type=int, default=1500000,
                        help="with --latency or --clickhouse, frames of the capture (1.5 "
                        "million: over 1 GB)")
    parser.add_argument("--clickhouse", action="store_true",
                        help="time valtocrane-latency's export into ClickHouse and the queries "
                        "of docs/clickhouse.md against its report instead")
    parser.add_argument("--latency-baseline", metavar="TOOL",
                        help="with --latency, another valtocrane-latency (an earlier build), timed "
                        "on the same capture and measured over the captures with wild device "
                        "times too")
    opts = parser.parse_args()

    if opts.retime:
        retime_benchmark(opts)
        return
    if opts.latency:
        latency_benchmark(opts)
        return
    if opts.sort:
        sort_benchmark(opts)
        return
    if opts.clickhouse:
        clickhouse_benchmark(opts)
        return

    hosts = {True: TShark(plugin=opts.plugin), False: TShark()}
    try:
        version = hosts[False].version()
        if opts.keep_profiles:
            os.makedirs(opts.keep_profiles, exist_ok=True)

        if opts.callgrind:
            sizes = sorted(opts.sizes)
            print("Writing captures of %d and %d frames" % tuple(sizes), file=sys.stderr)
            files = {size: write_captures(hosts[True], size) for size in sizes}
            fixed_seed = None
            if opts.fixed_seed:
                fixed_seed = hosts[True].workdir / "fixed-seed.so"
                shutil.copy(opts.fixed_seed, fixed_seed)
                os.chmod(fixed_seed, 0o755)
            cost = marginal_instructions(hosts, sizes, files, opts.seeds, fixed_seed, opts.jobs,
                                         opts.keep_profiles)
            rows = []
            for name, *_ in PLUGIN_CONFIGS:
                row = [name]
                for pass_name in PASSES:
                    floor = cost[("host alone (floor)", pass_name)][0]
                    ours, samples = cost[(name, pass_name)]
                    row += ["%.0f" % ours, "%.0f to %.0f" % (min(samples), max(samples)),
                            "%+.2f%%" % (100.0 * (ours / floor - 1))]
                rows.append(row)
            print("\n%s, instructions a frame (callgrind; marginal between %d and %d frames; "
                  "median of %d %s)\n" % (version, sizes[0], sizes[1], opts.seeds,
                                          "fixed hash seeds" if fixed_seed else "runs"))
            print(table(["configuration", "no tree", "by seed", "vs floor",
                         "tree", "by seed", "vs floor"], rows))
            print("\n-z valtocrane,latency against the same pass without it: %s" % ", ".join(
                "%.3f (%s)" % (cost[(Z_REPORT[0], p)][0] / cost[(Z_REPORT[1], p)][0], p)
                for p in PASSES))
        else:
            print("Writing captures of %d frames" % opts.frames, file=sys.stderr)
            files = write_captures(hosts[True], opts.frames)
            median = wall_times(hosts, files, opts.rounds, opts.seed)
            rows = []
            for name, *_ in CONFIGS:
                row = [name]
                for pass_name in PASSES:
                    secs = median[(name, pass_name)]
                    row += ["%.2f s" % secs, "%.0f" % (opts.frames / secs),
                            "%.3f" % (secs / median[("host alone (floor)", pass_name)])]
                rows.append(row)
            print("\n%s, %d frames, median of %d interleaved rounds\n"
                  % (version, opts.frames, opts.rounds))
            print(table(["configuration", "no tree", "frames/s", "vs floor",
                         "tree", "frames/s", "vs floor"], rows))
            print("\n-z valtocrane,latency against the same pass without it: %s" % ", ".join(
                "%.3f (%s)" % (median[(Z_REPORT[0], p)] / median[(Z_REPORT[1], p)], p)
                for p in PASSES))
    finally:
        for host in hosts.values():
            host.cleanup()


if __name__ == "__main__":
    main()
