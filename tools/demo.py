"""Writes an example capture in each ValtoCrane format and shows, through
the real TShark with the plugin loaded, each frame's capture file time
beside the device time the plugin makes the frame's time."""

import argparse
import shutil
from pathlib import Path

from vctools import captures
from vctools.tshark import TShark, mode_args

FRAME1 = (1700000000, 0)  # the capture file's time of frame 1


def frames():
    for i in range(4):
        yield captures.ipv4_udp_frame(b"example payload %d" % i + b"." * 20, ident=i)


def examples():
    """(title, mode, records): four frames each, written by a capture host
    whose clock runs a little apart from the device's."""
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--plugin", required=True, help="the built valtocrane.so")
    parser.add_argument("--examples", required=True, help="folder to keep the captures in")
    opts = parser.parse_args()

    host = TShark(plugin=opts.plugin)
    try:
        print("TShark loaded valtocrane.so %s (%s)\n" % host.plugin)
        keep = Path(opts.examples)
        keep.mkdir(parents=True, exist_ok=True)
        for title, mode, name, records in examples():
            capture = captures.write_capture(host.capture_path(name), records)
            shutil.copy(capture, keep / name)
            print("== %s: -o valtocrane.ts_type:%s, %s" % (title, mode, keep / name))
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
    finally:
        host.cleanup()


if __name__ == "__main__":
    main()
