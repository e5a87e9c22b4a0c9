"""Robustness of the plugin under mutated captures.

Seed captures mix frames of every layout with short and random ones (among
them short frames that start with the capture header's marker 6). Each is
mutated with the host's own editcap: random byte errors (-E) and, on a copy,
a random snap length (-s) that cuts frames short. Every mutated capture goes
through TShark in all four modes, without a tree, with one (the plugin's
fields requested, so its items are made) and in two passes. A run passes
when TShark exits 0, reports no dissector bug and lists every frame.

--memcheck also runs TShark under valgrind's memcheck in each mode over one
mutated capture and counts the errors whose stack passes through the plugin.
"""

import argparse
import random
import re
import subprocess
import sys

from vctools import captures
from vctools.tshark import MODES, TShark, mode_args

OUR_FIELDS = ["-e", "frame.number", "-e", "valtocrane.ts", "-e", "valtocrane.ts_utc",
              "-e", "valtocrane.interface", "-e", "valtocrane.length",
              "-e", "valtocrane.captured_length", "-e", "_ws.malformed"]
PASSES = {
    "no tree": [],
    "tree": ["-T", "fields"] + OUR_FIELDS,
    "two-pass": ["-2", "-T", "fields"] + OUR_FIELDS,
}


def random_frame(rng):
    kind = rng.randrange(6)
    udp = captures.ipv4_udp_frame(rng.randbytes(rng.randrange(0, 300)), ident=rng.randrange(65536))
    if kind == 0:
        return udp
    if kind == 1:
        return captures.capture_header(rng.getrandbits(32), rng.getrandbits(32),
                                       rng.choice([0, 1, 2, rng.getrandbits(32)]),
                                       rng.getrandbits(32), rng.getrandbits(32)) + udp
    if kind == 2:
        return udp + captures.tick_trailer(rng.getrandbits(56), rng.getrandbits(8))
    if kind == 3:
        return udp + captures.fraction_trailer(rng.getrandbits(32), rng.getrandbits(32))
    if kind == 4:  # a short frame behind the header's marker
        return (b"\x06\x00\x00\x00" + rng.randbytes(40))[:rng.randrange(1, 44)]
    return rng.randbytes(rng.randrange(1, 100))


def mutated_captures(host, rng, count, tag):
    """Two mutated captures of count frames each: byte errors, and byte
    errors with frames cut short by a random snap length."""
    seed = host.capture_path("seed-%s.pcapng" % tag)
    captures.write_capture(seed, (((1600000000 + i, rng.randrange(10 ** 9)), random_frame(rng))
                                  for i in range(count)))
    errors = host.capture_path("errors-%s.pcapng" % tag)
    subprocess.run(["editcap", "-E", "0.02", "--seed", str(rng.getrandbits(31)), str(seed),
                    str(errors)], check=True, stdout=subprocess.DEVNULL)
    short = captures.truncate_capture(errors, host.capture_path("short-%s.pcapng" % tag),
                                      rng.randrange(1, 80))
    seed.unlink()
    errors.chmod(0o644)
    return [errors, short]


def check_run(host, mode, pass_name, capture, frames):
    """Problems of one run: a crash, a dissector bug, frames not listed."""
    cmd = host.command(["-r", capture] + mode_args(mode) + PASSES[pass_name])
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Frames 1, 2, 3... each at the start of a line; a mutated frame can put
    # a line break into its Info column, so lines alone do not count frames.
    listed = 0
    for line in proc.stdout:
        number = re.match(rb"\s*(\d+)\s", line)
        if number and int(number.group(1)) == listed + 1:
            listed += 1
    stderr = proc.stderr.read().decode(errors="replace")
    code = proc.wait()
    problems = {}
    if code != 0:
        problems["crashes" if code < 0 else "errors"] = 1
    if "Dissector bug" in stderr:
        problems["dissector bugs"] = stderr.count("Dissector bug")
    if listed != frames:
        problems["frames missing"] = frames - listed
    if problems:
        problems["detail"] = "%s, %s, %s: exit %d, %d of %d frames listed\n%s" % (
            mode, pass_name, capture.name, code, listed, frames, stderr[-2000:])
    return problems


def campaign(host, frames_per_mode, chunk, seed, progress=None):
    """Runs mutated captures until every mode has seen frames_per_mode
    mutated frames in every pass. Returns per mode the frames tried and the
    problem counts, and the details of the first problems."""
    rng = random.Random(seed)
    stats = {mode: {"frames": 0, "runs": 0, "crashes": 0, "errors": 0, "dissector bugs": 0,
                    "frames missing": 0} for mode in MODES}
    details = []
    round_no = 0
    while stats[MODES[0]]["frames"] < frames_per_mode:
        files = mutated_captures(host, rng, chunk, "%d-%d" % (seed, round_no))
        for mode in MODES:
            for pass_name in PASSES:
                for capture in files:
                    problems = check_run(host, mode, pass_name, capture, chunk)
                    stats[mode]["runs"] += 1
                    for key, value in problems.items():
                        if key == "detail":
                            details.append(value)
                        else:
                            stats[mode][key] += value
            stats[mode]["frames"] += chunk * len(files)
        for capture in files:
            capture.unlink()
        round_no += 1
        if progress:
            progress("  %d mutated frames a mode and pass" % stats[MODES[0]]["frames"])
    return stats, details


def memcheck(host, mode, capture):
    """(errors valgrind reported, those whose stack passes through the plugin, excerpt)."""
    wrapper = ["valgrind", "--tool=memcheck", "--leak-check=no", "--num-callers=40",
               "--error-limit=no"]
    proc = host.run("-r", capture, *mode_args(mode), "-V",
                    wrapper=wrapper, stdout=subprocess.DEVNULL)
    blocks = re.split(r"\n==\d+== \n", proc.stderr)
    errors = [b for b in blocks if re.search(r"==\d+== (Invalid|Conditional|Use of|Syscall|"
                                             r"Mismatched|Source and destination|Argument)", b)]
    ours = [b for b in errors if "valtocrane" in b]
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", proc.stderr)
    return int(summary.group(1)) if summary else len(errors), len(ours), "\n\n".join(ours[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plugin", required=True, help="the built valtocrane.so")
    parser.add_argument("--long", action="store_true",
                        help="at least 1,000,000 mutated frames a mode")
    parser.add_argument("--frames", type=int, default=20000,
                        help="mutated frames a mode (default 20,000)")
    parser.add_argument("--chunk", type=int, default=25000, help="frames a seed capture")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--memcheck", action="store_true",
                        help="also run memcheck over one mutated capture in each mode")
    opts = parser.parse_args()
    frames = max(opts.frames, 1000000) if opts.long else opts.frames
    chunk = min(opts.chunk, max(frames // 2, 1))

    host = TShark(plugin=opts.plugin)
    failed = False
    try:
        log = lambda text: print(text, file=sys.stderr, flush=True)
        log("Mutating captures of %d frames until every mode has seen %d" % (chunk, frames))
        stats, details = campaign(host, frames, chunk, opts.seed, log)
        print("\n%s: mutated frames through every mode, without a tree, with one and in "
              "two passes (seed %d)\n" % (host.version(), opts.seed))
        print("| mode | frames tried a pass | tshark runs | crashes | other exits | "
              "dissector bugs | frames not listed |")
        print("|---|---|---|---|---|---|---|")
        for mode in MODES:
            s = stats[mode]
            print("| %s | %d | %d | %d | %d | %d | %d |" % (
                mode, s["frames"], s["runs"], s["crashes"], s["errors"], s["dissector bugs"],
                s["frames missing"]))
        for detail in details[:5]:
            print("\n" + detail)
        failed = bool(details)

        if opts.memcheck:
            rng = random.Random(opts.seed + 1)
            files = mutated_captures(host, rng, 2000, "memcheck")
            print("\nmemcheck, -V over 2,000 mutated frames with byte errors, in each mode\n")
            print("| mode | errors reported | errors in the plugin's code |")
            print("|---|---|---|")
            for mode in MODES:
                total, ours, excerpt = memcheck(host, mode, files[0])
                print("| %s | %d | %d |" % (mode, total, ours))
                if ours:
                    failed = True
                    print(excerpt)
    finally:
        host.cleanup()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
