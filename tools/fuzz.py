"""In-process coverage-guided fuzzing of the plugin (libFuzzer, AddressSanitizer,
UndefinedBehaviorSanitizer): builds tests/fuzz/valtocrane-fuzz.cpp with
clang++ in a build folder of its own, writes the seed corpus, runs the
target for the given time and reports executions, corpus size, the plugin's
edges covered of its total, and any crash with the input saved.

The corpus grows in BUILD/corpus/FORMAT across runs (--fresh starts it
anew); crashing inputs are saved in BUILD/crashes/. Exit status 1 when the
target crashed or could not run, 77 when there is no clang++.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
FORMATS = ("any", "disabled", "valtocrane-q3-graphite", "valtocrane-proprietary-headers",
           "valtocrane-pcapng")


def find_clangxx():
    """The distribution's default clang++, else the newest versioned one."""
    found = shutil.which("clang++")
    if found:
        return found
    versions = sorted((int(m.group(1)), str(p)) for p in Path("/usr/bin").glob("clang++-*")
                      if (m := re.fullmatch(r"clang\+\+-(\d+)", p.name)))
    return versions[-1][1] if versions else None


def build(build_dir, cxx, jobs):
    subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(build_dir),
                    "-DCMAKE_CXX_COMPILER=%s" % cxx, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DVALTOCRANE_FUZZ=ON", "-DBUILD_TESTING=OFF", "-DVALTOCRANE_WERROR=ON"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "valtocrane-fuzz",
                    "valtocrane-fuzz-edges", "--parallel", str(jobs)],
                   check=True, stdout=subprocess.DEVNULL)
    return build_dir / "tests" / "fuzz" / "valtocrane-fuzz"


def parse(output):
    """Figures from libFuzzer's output."""
    figures = {}
    total = re.search(r"Loaded 1 modules\s+\((\d+) inline 8-bit counters\)", output)
    figures["edges"] = int(total.group(1)) if total else None
    progress = re.findall(r"^#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/(\S+)", output, re.M)
    if progress:
        _, cov, ft, corp, corp_size = progress[-1]
        figures.update(covered=int(cov), features=int(ft), corpus=int(corp), corpus_size=corp_size)
    for key in ("number_of_executed_units", "average_exec_per_sec", "peak_rss_mb"):
        stat = re.search(r"stat::%s:\s+(\d+)" % key, output)
        figures[key] = int(stat.group(1)) if stat else None
    figures["crashes"] = re.findall(r"Test unit written to (\S+)", output)
    # The harness's own finding (a frame that kept a device time), or the
    # sanitizer's.
    figures["summary"] = re.findall(r"^(?:frame \d+ .*|SUMMARY: .*)$", output, re.M)
    figures["uncovered"] = sorted(set(re.findall(r"UNCOVERED_PC: (\S+)", output)),
                                  key=lambda s: (s.rsplit(":", 1)[0], int(s.rsplit(":", 1)[1])))
    return figures


def run(binary, build_dir, fmt, seconds, seed, fresh, runs=None, uncovered=False, log=None,
        corpus=None, time_check=True):
    seeds = build_dir / "seeds"
    subprocess.run([sys.executable, str(SOURCE / "tests" / "fuzz" / "seeds.py"), str(seeds)],
                   check=True)
    corpus = Path(corpus) / fmt if corpus else build_dir / "corpus" / fmt
    if fresh and corpus.exists():
        shutil.rmtree(corpus)
    corpus.mkdir(parents=True, exist_ok=True)
    crashes = build_dir / "crashes"
    crashes.mkdir(exist_ok=True)
    regressions = SOURCE / "tests" / "fuzz" / "regressions"

    inputs = [str(corpus), str(seeds)] + ([str(regressions)] if regressions.is_dir() else [])
    cmd = [str(binary), "-seed=%d" % seed, "-print_final_stats=1",
           "-dict=%s" % (SOURCE / "tests" / "fuzz" / "valtocrane.dict"),
           "-artifact_prefix=%s/%s-" % (crashes, fmt),
           # The host keeps what it allocates for a capture until the
           # capture is closed: counted per input, that is no leak.
           "-detect_leaks=0",
           # The host keeps some 10 MB at every new session (see the
           # target); a shared machine can stall an input for seconds.
           "-rss_limit_mb=8192", "-timeout=120"]
    cmd += ["-runs=%d" % runs] if runs is not None else ["-max_total_time=%d" % seconds]
    cmd += inputs
    env = dict(os.environ)
    env.pop("VALTOCRANE_FUZZ_FORMAT", None)
    env["VALTOCRANE_FUZZ_TIME_CHECK"] = "1" if time_check else "0"
    if fmt != "any":
        env["VALTOCRANE_FUZZ_FORMAT"] = fmt
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    started = time.monotonic()
    proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace")
    figures = parse(proc.stdout)
    figures["seconds"] = time.monotonic() - started
    figures["exit"] = proc.returncode
    if log:
        Path(log).write_text(proc.stdout)
    if proc.returncode != 0 and not figures["crashes"]:
        sys.stderr.write(proc.stdout[-4000:])

    # The plugin's own edges that the corpus reaches, without the
    # undefined-behaviour checks' edges (taken only by a failed check).
    replay = subprocess.run([str(binary) + "-edges", "-runs=0", "-detect_leaks=0"]
                            + (["-print_coverage=1"] if uncovered else []) + inputs,
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace")
    plain = parse(replay.stdout)
    figures["plain_edges"], figures["plain_covered"] = plain["edges"], plain.get("covered")
    figures["uncovered"] = plain["uncovered"]
    return figures


def crashes_without_plugin(binary, crash):
    """Whether the input crashes the target with the host alone: every
    format "disabled", so that the plugin never takes link type Ethernet."""
    env = dict(os.environ, VALTOCRANE_FUZZ_FORMAT="host", VALTOCRANE_FUZZ_TIME_CHECK="0")
    return subprocess.run([str(binary), "-detect_leaks=0", str(crash)], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0


def report(fmt, f):
    print("| %s | %.0f s | %s | %s | %s (%s) | %s of %s | %s of %s | %d |" % (
        fmt, f["seconds"], f["number_of_executed_units"], f["average_exec_per_sec"],
        f.get("corpus"), f.get("corpus_size"), f.get("plain_covered"), f.get("plain_edges"),
        f.get("covered"), f.get("edges"), len(f["crashes"])))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("seconds", type=int, help="how long to fuzz each format")
    parser.add_argument("--format", default="any", choices=FORMATS + ("all",),
                        help="the format every input is opened in; 'any': the input chooses "
                             "(default); 'all': each of the four in turn")
    parser.add_argument("--build-dir", default=str(SOURCE / "build" / "fuzz"))
    parser.add_argument("--cxx", default=os.environ.get("VALTOCRANE_CLANGXX") or find_clangxx())
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--runs", type=int, help="stop after this many inputs instead")
    parser.add_argument("--fresh", action="store_true", help="start the corpus anew")
    parser.add_argument("--corpus", help="folder of the corpora (default BUILD/corpus)")
    parser.add_argument("--uncovered", action="store_true",
                        help="list the plugin's source lines with an edge never reached")
    parser.add_argument("--no-time-check", action="store_true",
                        help="leave out the check that every frame has its file time back "
                             "after a new dissection in Disabled (for a plugin with a known "
                             "fault there)")
    parser.add_argument("--jobs", type=int, default=2)
    opts = parser.parse_args()
    if not opts.cxx:
        print("no clang++ found (Debian packages clang and libclang-rt-dev)", file=sys.stderr)
        sys.exit(77)

    build_dir = Path(opts.build_dir).resolve()
    binary = build(build_dir, opts.cxx, opts.jobs)
    formats = FORMATS[1:] if opts.format == "all" else (opts.format,)
    results = {}
    for fmt in formats:
        results[fmt] = run(binary, build_dir, fmt, opts.seconds, opts.seed, opts.fresh, opts.runs,
                           opts.uncovered, log=build_dir / ("fuzz-%s.log" % fmt),
                           corpus=opts.corpus, time_check=not opts.no_time_check)
    version = subprocess.run([opts.cxx, "--version"], stdout=subprocess.PIPE, text=True)
    print("\nIn-process fuzzing, %s, seed %d%s\n" % (
        version.stdout.splitlines()[0], opts.seed,
        ", without the file-time check" if opts.no_time_check else ""))
    print("| format | time | executions | exec/s | corpus (size) | plugin edges covered "
          "| with sanitizer checks | crashes |")
    print("|---|---|---|---|---|---|---|---|")
    for fmt, f in results.items():
        report(fmt, f)
    failed = False
    for fmt, f in results.items():
        if opts.uncovered and not f["uncovered"] and f.get("plain_covered") != f.get("plain_edges"):
            print("\n%s: no source lines to show (llvm-symbolizer, Debian package llvm, "
                  "is needed)" % fmt)
        if opts.uncovered and f["uncovered"]:
            print("\n%s: lines with an edge the corpus never reaches:\n  %s" % (fmt, "\n  ".join(
                u.replace(str(SOURCE) + "/", "") for u in f["uncovered"])))
        for crash in f["crashes"]:
            print("\n%s: crash, input saved as %s\n  %s" % (fmt, crash, "\n  ".join(f["summary"])))
            if crashes_without_plugin(binary, crash):
                print("  The host alone crashes on it too (the same frames and steps, the "
                      "plugin never holding link type Ethernet): a fault of the host's own.")
        if f["exit"] != 0 or f["crashes"] or f.get("covered") is None:
            failed = True
            print("\n%s: libFuzzer exited %d (log: %s)" % (
                fmt, f["exit"], build_dir / ("fuzz-%s.log" % fmt)))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
