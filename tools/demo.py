"""Writes an example capture in each ValtoCrane format and shows, through
the real TShark with the plugin loaded, each frame's capture file time
beside the device time the plugin makes the frame's time. Then a capture of
frames seen on the device's Port A and again on Port B a few microseconds
later: the latency the plugin shows for each copy, and valtocrane-latency's
report on it."""

import argparse
import filecmp
import shutil
import subprocess
import textwrap
from pathlib import Path

from vctools import captures
from vctools.tshark import TShark, how_to_remove, mode_args, users_own_plugin

FRAME1 = (1700000000, 0)  # the capture file's time of frame 1


def frames():
    for i in range(4):
        yield captures.ipv4_udp_frame(b"example payload %d" % i + b"." * 20, ident=i)


def say(text):
    print(textwrap.fill(text, 100, break_on_hyphens=False, break_long_words=False))


def examples():
    """(title, mode, file name, records): four frames each, written by a
    capture host whose clock runs a little apart from the device's."""
    tick = []
    for i, f in enumerate(frames()):
        ticks = 123456789012 + i * 250 + (i * i * 37)
        tick.append(((FRAME1[0] + i, 1000 * i), f + captures.tick_trailer(ticks, 0x5C)))
    fraction = []
    for i, f in enumerate(frames()):
        fraction.append(((FRAME1[0] + i, 1000 * i),
                         f + captures.fraction_trailer(1700000000 + i, 0x10000000 * (i + 1))))
    header = []
    for i, f in enumerate(frames()):
        header.append(((FRAME1[0] + i, 1000 * i),
                       captures.with_header(f, 1700000000, 0x20000000 * i + 12345, port=i % 2)))
    return [
        ("Tick-counter trailer", "valtocrane-q3-graphite", "tick-counter-trailer.pcapng", tick),
        ("Seconds-and-fraction trailer", "valtocrane-proprietary-headers",
         "seconds-fraction-trailer.pcapng", fraction),
        ("Capture header", "valtocrane-pcapng", "capture-header.pcapng", header),
    ]


# What each example's table shows, in a sentence.
EXPLAINED = {
    "valtocrane-q3-graphite":
        "The counter runs free, so the plugin ties it to the capture's clock at the first "
        "frame: frame 1's device time is its file time, and every later frame lies its count "
        "of 5 ns ticks after frame 1.",
    "valtocrane-proprietary-headers":
        "The trailer holds the device's own clock, seconds since 1970 and a fraction: each "
        "frame's device time is read as it is, here up to a quarter of a second ahead of the "
        "capture host's.",
    "valtocrane-pcapng":
        "The header in front of each frame holds the device time and the port that saw the "
        "frame: the device stamped a frame every 125 ms, on Port A and Port B in turn, which "
        "the capture host wrote a second apart.",
}


# Bursts of two datagrams, a second apart: each datagram's time on Port A
# (us after its burst began), its UDP port, and how long the system under
# test took to put it out on Port B (None: it never came out).
LATENCY_BURSTS = [
    [(0.0, 40001, 3.2), (2.0, 40002, 3.5)],
    [(0.0, 40001, 4.1), (2.0, 40002, None)],
    [(0.0, 40001, 3.3), (2.0, 40002, 12.8)],
    [(0.0, 40001, 3.4), (2.0, 40002, 3.6)],
    [(0.0, 40001, 250.0), (2.0, 40002, 3.9)],
    [(0.0, 40001, 3.1), (2.0, 40002, 3.3)],
]


def latency_example():
    """Records of the two-port capture in the order the capture host wrote
    them: each datagram's two copies together (the host's queues hand a
    port's frames over one by one), so that the second datagram of a burst,
    sent before the first came out, follows that copy; the capture host's
    clock runs 1.5 ms behind the device's."""
    records = []
    written = 0
    for burst, datagrams in enumerate(LATENCY_BURSTS):
        for i, (sent, port, took) in enumerate(datagrams):
            ident = 100 + 2 * burst + i
            frame = captures.ipv4_udp_frame(b"burst %d datagram %d" % (burst, i) + b"." * 12,
                                            ident=ident, dst_port=port)
            for side, us in ((0, sent), (1, None if took is None else sent + took)):
                if us is None:
                    continue
                ns = burst * 10 ** 9 + round(us * 1000)
                written = max(written, 1500000 + ns)
                secs, nsecs = divmod(ns, 10 ** 9)
                records.append(((FRAME1[0] + written // 10 ** 9, written % 10 ** 9),
                                captures.with_header(frame, FRAME1[0] + secs,
                                                     captures.header_fraction(nsecs), port=side)))
    return records


LATENCY_CAPTURE = "two-ports.pcapng"


def write_latency_capture(path):
    """The two-port capture, pcapng, on an interface named tap0."""
    return captures.write_pcapng(path, [
        captures.pcapng_section(), captures.pcapng_interface(name="tap0")]
        + [captures.pcapng_packet(0, when, frame) for when, frame in latency_example()])


def show_latency(host, keep, tool):
    name = LATENCY_CAPTURE
    mode = "valtocrane-pcapng"
    capture = write_latency_capture(host.capture_path(name))
    shutil.copy(capture, keep / name)
    print("== Latency from Port A to Port B: -o valtocrane.ts_type:%s, %s" % (mode, keep / name))
    say("Each datagram was seen on Port A and again on Port B, after the system under test: the "
        "plugin gives each copy on Port B its latency and the number of the frame it copies. "
        "One datagram never came out (frame 7, lost), one took 250 us; the second datagram of "
        "each burst was sent before the first came out, so the capture host wrote it after an "
        "earlier copy (its interval to the frame before, the device's, is negative).")
    fields = ["frame.number", "_ws.col.Time", "valtocrane.interface", "ip.id",
              "valtocrane.time_delta", "valtocrane.latency", "valtocrane.latency_frame"]
    out = host.run("-r", capture, *mode_args(mode), "-2", "-t", "e", "-T", "fields",
                   *[arg for field in fields for arg in ("-e", field)]).stdout
    print("No.\tDevice time\tPort\tIP ident\tSince previous\tLatency\tCopy of frame")
    print(out, end="")
    print()
    print("== valtocrane-latency --format %s %s" % (mode, keep / name))
    say("The same pairs as a report: frames and lost frames at each capture point, then the "
        "latency's spread from Port A to Port B.")
    proc = subprocess.run([tool, "--format", mode, str(keep / name)], text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    print(proc.stdout)


def own_plugin_note(host, built):
    """What the user's own tshark loads, outside this demo, and what to do
    where that is not this build."""
    own = users_own_plugin()
    if own is None:
        say("Your own tshark loads no valtocrane.so yet: README.md, Install, says how.")
        return
    version, path = own
    if filecmp.cmp(path, built, shallow=False):
        say("Your own tshark loads this build too, installed as %s." % path)
        return
    aside = " (this demo sets that one aside)" if Path(path) in host.set_aside else ""
    say("Note: your own tshark loads valtocrane.so %s from %s, not this build%s. To use this "
        "build, remove that one, then install this one (README.md, Install):"
        % (version, path, aside))
    print("    " + how_to_remove(path))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--plugin", required=True, help="the built valtocrane.so")
    parser.add_argument("--examples", required=True, help="folder to keep the captures in")
    parser.add_argument("--latency-tool", required=True, help="the built valtocrane-latency")
    opts = parser.parse_args()

    host = TShark(plugin=opts.plugin)
    try:
        print("TShark in this demo loads valtocrane.so %s (%s), the one just built: %s"
              % (host.plugin + (opts.plugin,)))
        own_plugin_note(host, opts.plugin)
        print()
        say("Each table shows every frame's time as the capture file holds it (the capture "
            "host's clock) beside the device time the plugin decoded, which TShark now shows as "
            "the frame's time.")
        print()
        keep = Path(opts.examples)
        keep.mkdir(parents=True, exist_ok=True)
        for title, mode, name, records in examples():
            capture = captures.write_capture(host.capture_path(name), records)
            shutil.copy(capture, keep / name)
            print("== %s: -o valtocrane.ts_type:%s, %s" % (title, mode, keep / name))
            say(EXPLAINED[mode])
            # In a single pass the frame's own fields are filled in before
            # the plugin runs (the capture file's time); the Time column is
            # filled in after it (the device time).
            out = host.run("-r", capture, *mode_args(mode), "-t", "e",
                           "-T", "fields", "-E", "header=y",
                           "-e", "frame.number", "-e", "frame.time_epoch", "-e", "_ws.col.Time",
                           "-e", "valtocrane.ts_utc", "-e", "valtocrane.interface",
                           "-e", "_ws.col.Protocol").stdout
            lines = out.splitlines()
            print("No.\tCapture file time\tDevice time\tDevice time (UTC)\tPort\tProtocol")
            print("\n".join(lines[1:]))
            print()
        show_latency(host, keep, str(Path(opts.latency_tool).resolve()))
    finally:
        host.cleanup()


if __name__ == "__main__":
    main()
