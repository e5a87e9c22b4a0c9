"""Pictures of the plugin in Wireshark's own GUI, for the README.

Wireshark runs under Xvfb, in a window of fixed size, with TZ=UTC, as the
unprivileged user TShark runs as in the tests (the host ignores personal
plugins for root), with the built plugin in that user's personal plugin
folder (vctools.tshark sets the HOME up) and the example captures of
tools/demo.py. tools/gui-driver.lua, loaded into Wireshark, reports what
every frame holds; xdotool types and clicks what a user would (the driver's
menu item, Go to Packet, the detail pane).

One picture per format in --out: the packet list with the device times and
the ValtoCrane tree of frame 2, taken once every frame is seen to hold its
device time. Exits non-zero, with no picture, when a frame holds a wrong
time or the GUI does not answer in time. (What the GUI shows after the
steps a user takes with a capture open is the host tests' part.)
"""

import argparse
import csv
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import demo
from vctools import captures
from vctools.tshark import NOBODY, TShark, mode_args

DRIVER = Path(__file__).resolve().parent / "gui-driver.lua"

# What a fresh open shows for the example captures of tools/demo.py, worked
# out by hand from the frames it writes (times as seconds.nanoseconds).
#
# The capture file's own times: frame i (from 0) at 1700000000 + i s and
# 1000 * i ns.
FILE_TIMES = ["1700000000.000000000", "1700000001.000001000",
              "1700000002.000002000", "1700000003.000003000"]
# Capture header: 1700000000 s and a fraction of 0x20000000 * i + 12345 in
# units of 2^-32 s: i / 8 s plus 12345 / 2^32 s = 2874.2 ns, cut to 2874 ns.
HEADER_TIMES = ["1700000000.000002874", "1700000000.125002874",
                "1700000000.250002874", "1700000000.375002874"]
# Seconds-and-fraction trailer: 1700000000 + i s and a fraction of
# 0x10000000 * (i + 1), that is (i + 1) / 16 s.
FRACTION_TIMES = ["1700000000.062500000", "1700000001.125000000",
                  "1700000002.187500000", "1700000003.250000000"]
# Tick-counter trailer: 123456789012 + 250 i + 37 i^2 ticks of 5 ns, tied to
# frame 1's file time: 0, 287, 648 and 1083 ticks after it.
TICK_TIMES = ["1700000000.000000000", "1700000000.000001435",
              "1700000000.000003240", "1700000000.000005415"]

CAPTURES = {
    "valtocrane-q3-graphite": ("tick-counter-trailer.pcapng", TICK_TIMES),
    "valtocrane-proprietary-headers": ("seconds-fraction-trailer.pcapng", FRACTION_TIMES),
    "valtocrane-pcapng": ("capture-header.pcapng", HEADER_TIMES),
}

PICTURE_SIZE = (1000, 470)   # the pictures for the README
STEP_TIMEOUT = 20            # seconds a step of the GUI may take
OPEN_TIMEOUT = 60            # seconds Wireshark may take to open a capture


class GuiError(RuntimeError):
    """The GUI did not do what it was asked in time, or showed a wrong time."""


def ns(text):
    """Nanoseconds of a "seconds.nanoseconds" time (either sign)."""
    negative = text.startswith("-")
    secs, frac = text.lstrip("-").split(".")
    value = int(secs) * 10 ** 9 + int(frac)
    return -value if negative else value


def text(value):
    """The "seconds.nanoseconds" form Wireshark's Lua gives times in."""
    sign = "-" if value < 0 else ""
    return "%s%d.%09d" % (sign, abs(value) // 10 ** 9, abs(value) % 10 ** 9)


def expected_rows(times):
    """What every frame should hold: the device time as the frame's time
    (what the Time column and Frame > Arrival Time show), no Time Shift, and
    the ValtoCrane tree's device time, capture file time and their
    difference."""
    return [dict(frame=str(i + 1), time=t, shift=text(0), device=t, file=FILE_TIMES[i],
                 difference=text(ns(t) - ns(FILE_TIMES[i]))) for i, t in enumerate(times)]


def compare(label, seen, expected):
    """Differences between what the GUI showed and what it should, one line each."""
    faults = []
    if len(seen) != len(expected):
        faults.append("%s: %d frames reported, %d expected" % (label, len(seen), len(expected)))
    for got, want in zip(seen, expected):
        for key, value in want.items():
            if got.get(key) != value:
                faults.append("%s: frame %s %s is %s, expected %s"
                              % (label, want["frame"], key, got.get(key), value))
    return faults


class Display:
    """An Xvfb screen of the given size, on a display number it picks, open
    to every local user (the GUI runs as another user than this script)."""

    def __init__(self, width, height):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset", "-ac"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(write_end)
        # The number, then a newline in a write of its own: closing the
        # pipe before the newline is through makes the server give up.
        said = b""
        deadline = time.monotonic() + 20
        while not said.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 1)
            chunk = os.read(read_end, 64) if ready else b""
            if ready and not chunk:
                break
            said += chunk
        os.close(read_end)
        number = said.decode().strip()
        if not number.isdigit():
            self.close()
            raise GuiError("Xvfb did not start")
        self.name = ":" + number
        # The server names its display a moment before it lets clients in.
        wait_for("Xvfb to accept clients",
                 lambda: self.run("xdotool", "getdisplaygeometry").returncode == 0, 20)

    def run(self, *args, timeout=STEP_TIMEOUT):
        proc = subprocess.run(list(args), env=dict(os.environ, DISPLAY=self.name),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=timeout)
        return proc

    def xdotool(self, *args):
        proc = self.run("xdotool", *args)
        if proc.returncode != 0 and args[0] != "search":
            raise GuiError("xdotool %s: %s" % (" ".join(args), proc.stderr.strip()))
        return proc.stdout

    def windows(self, name):
        """Ids of the visible windows whose title matches name (a regex)."""
        return self.xdotool("search", "--onlyvisible", "--name", name).split()

    def screenshot(self, path, size):
        """The top left corner of the screen, where the window is."""
        proc = self.run("import", "-window", "root", "-crop", "%dx%d+0+0" % size, "+repage",
                        str(path))
        if proc.returncode != 0:
            raise GuiError("import: %s" % proc.stderr.strip())

    def close(self):
        stop(self.proc)


def stop(proc):
    """Ends a process this script started, with its process group."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(5)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(5)


def wait_for(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise GuiError("timed out waiting for %s" % what)
        time.sleep(0.1)


def give_to_nobody(path):
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY)


class Wireshark:
    """One Wireshark window on one capture, with the plugin set to mode, in
    the top left corner of the screen."""

    sessions = 0

    def __init__(self, host, display, capture, mode, size, more=(), io_graph=None):
        Wireshark.sessions += 1
        self.host = host
        self.display = display
        self.size = size
        self.title = Path(capture).name
        # The window's title: the capture's name, after a "*" once the
        # capture has unsaved changes (Time Shift).
        self.title_re = r"^\*?%s$" % re.escape(self.title)
        self.control = host.workdir / ("gui-%d" % Wireshark.sessions)
        self.control.mkdir()
        os.chmod(self.control, 0o755)
        give_to_nobody(self.control)
        runtime = self.control / "runtime"
        runtime.mkdir(mode=0o700)
        give_to_nobody(runtime)
        self.log = self.control / "log"
        self.commands = 0
        self.lost_clicks = 0
        self.write_settings(size, io_graph)
        driver = host.workdir / DRIVER.name
        shutil.copy(DRIVER, driver)
        os.chmod(driver, 0o644)
        command = host.command(
            ["-r", capture, *mode_args(mode), *more, "-X", "lua_script:%s" % driver],
            env=["DISPLAY=%s" % self.display.name, "VALTOCRANE_GUI_CONTROL=%s" % self.control,
                 "XDG_RUNTIME_DIR=%s" % runtime])
        # vctools.tshark knows how the host is run here (user, HOME, time
        # zone); the GUI is run the same way.
        at = len(command) - len(command[command.index("-r"):]) - 1
        assert command[at] == "tshark"
        command[at] = "wireshark"
        self.output = open(self.control / "wireshark.out", "w")
        self.proc = subprocess.Popen(command, stdout=self.output, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        try:
            wait_for("Wireshark to load tools/%s" % DRIVER.name,
                     lambda: self.exited() or self.lines("loaded"), OPEN_TIMEOUT)
            wait_for("Wireshark to read %s" % self.title,
                     lambda: self.exited() or self.lines("pass "), OPEN_TIMEOUT)
            self.window = wait_for("the window of %s" % self.title,
                                   lambda: self.display.windows(self.title_re), OPEN_TIMEOUT)[0]
        except GuiError as error:
            # A message box (a Lua error, say) is a window of its own.
            shown = self.window_names()
            self.close()
            raise GuiError("%s (windows shown: %s)" % (error, ", ".join(shown) or "none"))

    def write_settings(self, size, io_graph):
        """Window and panes of fixed size, UTC date and time in the Time
        column, no bytes pane; no preferences file, so a preference a
        previous window saved does not carry over; the I/O Graphs dialog's
        graph (a row of its table, io_graphs) if given."""
        folder = self.host.home / ".config" / "wireshark"
        folder.mkdir(parents=True, exist_ok=True)
        give_to_nobody(folder)
        (folder / "preferences").unlink(missing_ok=True)
        width, height = size
        files = {
            "recent_common": ["gui.geometry_main_x: 0", "gui.geometry_main_y: 0",
                              "gui.geometry_main_width: %d" % width,
                              "gui.geometry_main_height: %d" % height,
                              "gui.geometry_main_maximized: FALSE",
                              "privs.warn_if_elevated: FALSE", "sys.warn_if_no_capture: FALSE"],
            "recent": ["gui.byte_view_show: FALSE", "gui.packet_diagram_show: FALSE",
                       "gui.time_format: UTC_WITH_YMD", "gui.time_precision: AUTO",
                       "gui.allow_hover_selection: FALSE", "gui.geometry_main_upper_pane: 105",
                       "column.width: %m, 40, %t, 250, %s, 90, %d, 90, %p, 80, %L, 60, %i, 300"],
        }
        if io_graph:
            files["io_graphs"] = [io_graph]
        for name, lines in files.items():
            (folder / name).write_text("\n".join(lines) + "\n")
            give_to_nobody(folder / name)

    def window_names(self, but=None):
        """The titles of the application's visible windows, but one."""
        return [self.display.xdotool("getwindowname", window).strip()
                for window in self.display.xdotool("search", "--onlyvisible", "--class",
                                                   "wireshark").split()
                if window != but]

    def exited(self):
        if self.proc.poll() is not None:
            raise GuiError("Wireshark exited %d on %s:\n%s" % (
                self.proc.returncode, self.title,
                (self.control / "wireshark.out").read_text(errors="replace")))
        return False

    def lines(self, prefix):
        try:
            log = self.log.read_text()
        except FileNotFoundError:
            return []
        return [line for line in log.splitlines() if line.startswith(prefix)]

    def menu_is_open(self):
        """An open menu (or another popup, such as the display filter's
        completions) is a window of its own, of the application's class,
        named after the application."""
        return "Wireshark" in self.window_names(but=self.window)

    def close_popups(self):
        """Closes what a step left open in the window, such as the display
        filter's completions after a filter was set (Escape, as a user
        would), and gives the window the keyboard."""
        for _ in range(10):
            self.focus()
            if not self.menu_is_open():
                return
            self.display.xdotool("key", "Escape")
            time.sleep(0.2)
        raise GuiError("a popup of %s does not close" % self.title)

    def focus(self, window=None):
        self.display.xdotool("windowfocus", "--sync", window or self.window)

    def command(self, text):
        """Has the driver carry out text (see tools/gui-driver.lua) through
        its menu item, Tools > ValtoCrane driver, clicked from the keyboard.
        Returns the log lines the step wrote."""
        self.commands += 1
        number = self.commands
        before = len(self.log.read_text().splitlines())
        (self.control / "command").write_text("%d %s\n" % (number, text))
        done = "done %d " % number
        for attempt in range(3):
            if attempt:
                self.lost_clicks += 1
            self.close_popups()
            self.display.xdotool("key", "alt+t")
            # Keys typed before the menu is up would go to the window (and
            # Return to the menu's first item once it is).
            try:
                wait_for("the Tools menu", self.menu_is_open, STEP_TIMEOUT / 4)
            except GuiError:
                continue
            self.display.xdotool("key", "Up", "Return")  # the last item, the driver's
            try:
                wait_for("the step '%s'" % text, lambda: self.exited() or self.lines(done),
                         STEP_TIMEOUT / 2)
                break
            except GuiError:
                continue
        else:
            raise GuiError("the GUI did not carry out '%s' on %s" % (text, self.title))
        lines = self.log.read_text().splitlines()[before:]
        errors = [line for line in lines if line.startswith("error %d " % number)]
        if errors:
            raise GuiError("'%s' failed: %s" % (text, errors[0]))
        return lines

    def report(self, label):
        """What every frame holds now, as gui-driver.lua reports it."""
        rows = []
        for line in self.command("report " + label):
            if line.startswith("frame "):
                words = line.split()
                rows.append(dict(zip(words[0::2], words[1::2])))
        return rows

    def select_frame(self, number):
        """Go > Go to Packet."""
        self.close_popups()
        self.display.xdotool("key", "ctrl+g")
        time.sleep(0.3)
        self.display.xdotool("type", "--", str(number))
        self.display.xdotool("key", "Return")
        time.sleep(0.5)

    def expand(self):
        """Opens the ValtoCrane tree (the second item of the detail pane)
        from the keyboard after a click into the empty part of the detail
        pane. (A "+" would go to the display filter, where the GUI sends
        what the detail pane does not take.)"""
        width, height = self.size
        # A click while a popup is open only closes the popup (the display
        # filter's completions come up again when the filter has the
        # keyboard), and the keys would go to the filter.
        for _ in range(3):
            self.close_popups()
            self.display.xdotool("mousemove", str(width // 2), str(height - 60), "click", "1")
            time.sleep(0.3)
            if not self.menu_is_open():
                break
        else:
            raise GuiError("the detail pane of %s does not take the keyboard" % self.title)
        self.display.xdotool("key", "Home", "Down", "Right")
        time.sleep(0.3)

    def screenshot(self, path):
        """The window once it has stopped changing, alone."""
        others = self.window_names(but=self.window)
        if others:
            raise GuiError("windows left open on %s: %s" % (self.title, ", ".join(others)))
        width, height = self.size
        self.display.xdotool("mousemove", str(width - 1), str(height - 1))
        previous = None
        for _ in range(10):
            time.sleep(0.5)
            self.display.screenshot(path, self.size)
            picture = Path(path).read_bytes()
            if picture == previous:
                return
            previous = picture
        raise GuiError("the window of %s did not settle for a picture" % self.title)

    def close(self):
        stop(self.proc)
        self.output.close()
        # The window is gone before the next one opens on the same screen.
        wait_for("the window of %s to close" % self.title,
                 lambda: not self.display.windows(self.title_re), STEP_TIMEOUT)


def optimise(path):
    """A smaller PNG of the same picture: a palette of 64 colours is plenty
    for a window of flat colours and anti-aliased text."""
    subprocess.run(["/usr/bin/convert", str(path), "+dither", "-colors", "64",
                    "-strip", "PNG8:%s" % path], check=True, timeout=60)
    subprocess.run(["optipng", "-quiet", "-o2", str(path)], check=True, timeout=120)


def check(label, seen, expected):
    """Prints what the GUI showed wrong; returns it."""
    found = compare(label, seen, expected)
    for fault in found[:6]:
        print("  WRONG  " + fault)
    if len(found) > 6:
        print("  WRONG  %s: %d more" % (label, len(found) - 6))
    if not found:
        print("  ok     %s: all %d frames as expected" % (label, len(expected)))
    return found


def pictures(host, display, paths, out):
    """The README's pictures: each format, frame 2's ValtoCrane tree, taken
    only where every frame holds its device time."""
    faults = []
    for mode, (name, times) in CAPTURES.items():
        gui = Wireshark(host, display, paths[name], mode, PICTURE_SIZE)
        try:
            print("%s, %s" % (name, mode))
            wrong = check("open", gui.report("open"), expected_rows(times))
            faults += wrong
            if wrong:
                continue
            gui.select_frame(2)
            gui.expand()
            picture = out / name.replace(".pcapng", ".png")
            picture.parent.mkdir(parents=True, exist_ok=True)
            gui.screenshot(picture)
            print("  %d clicks lost" % gui.lost_clicks)
        finally:
            gui.close()
        optimise(picture)
        print("  picture %s (%d bytes)" % (picture, picture.stat().st_size))
    return faults


# The I/O Graph's demo: a datagram every 100 ms for a minute, seen on
# Port A and then on Port B 3 to 4.5 us later, with a queue building up
# twice (up to 28 us) and one frame held back 60 us.
GRAPH_SIZE = (1000, 600)
LATENCY_GRAPH = ('"TRUE","Port A to Port B","valtocrane.latency","#1f77b4","Line",'
                 '"MAX(Y Field)","valtocrane.latency","None","1000000"')


def latency_records():
    for i in range(600):
        sent_ns = i * 100000000
        queue = max(0, 25000 - abs(i % 300 - 150) * 400) if i % 300 > 100 else 0
        latency_ns = 3000 + (i * 7919) % 1500 + queue + (60000 if i == 420 else 0)
        frame = captures.ipv4_udp_frame(b"graph %d" % i + b"." * 20, ident=i)
        for port, ns in ((0, sent_ns), (1, sent_ns + latency_ns)):
            secs, nsecs = divmod(ns, 10 ** 9)
            yield ((1700000000 + secs, nsecs),
                   captures.with_header(frame, 1700000000 + secs, captures.header_fraction(nsecs),
                                        port=port))


def io_graph_picture(host, display, out):
    """Statistics > I/O Graphs (wireshark -z io,stat) of the latency from
    Port A to Port B, one point a second, in microseconds."""
    capture = captures.write_capture(host.capture_path("latency-graph.pcapng"), latency_records())
    gui = Wireshark(host, display, capture, "valtocrane-pcapng", GRAPH_SIZE, ["-z", "io,stat"],
                    LATENCY_GRAPH)
    try:
        dialog = wait_for("the I/O Graphs dialog", lambda: display.windows("I/O Graph"),
                          OPEN_TIMEOUT)[0]
        display.xdotool("windowmove", "--sync", dialog, "0", "0")
        display.xdotool("windowsize", "--sync", dialog, str(GRAPH_SIZE[0]), str(GRAPH_SIZE[1]))
        time.sleep(3)  # the graph is drawn once the tap has gone over the frames
        picture = out / "latency-io-graph.png"
        picture.parent.mkdir(parents=True, exist_ok=True)
        display.screenshot(picture, GRAPH_SIZE)
    finally:
        gui.close()
    optimise(picture)
    print("  picture %s (%d bytes)" % (picture, picture.stat().st_size))


# The Statistics window's demo: a minute of datagrams to two UDP ports
# (every fourth to 7001), one every 10 ms, seen on Port A and then on Port B
# 3 to 4.5 us later (one in 97 8 us later still), a queue building up
# twice (up to 28 us) and one frame held back 60 us; one in 137 lost between
# the ports, and every tenth answered from Port B, 1.5 to 2.3 us back.
STATISTICS_SIZE = (1100, 520)


def statistics_records():
    records = []
    for i in range(6000):
        sent_ns = i * 10000000
        t = i / 100
        queue = int(max(0, 25000 - abs(t % 30 - 15) * 4000)) if t % 30 > 10 else 0
        latency_ns = (3000 + (i * 7919) % 1500 + queue + (8000 if i % 97 == 0 else 0)
                      + (60000 if i == 4200 else 0))
        request = captures.ipv4_udp_frame(b"request %d" % i + b"." * 20, ident=i,
                                          dst_port=7001 if i % 4 == 0 else 7000)
        seen = [(0, sent_ns, request)] + ([] if i % 137 == 136 else
                                          [(1, sent_ns + latency_ns, request)])
        if i % 10 == 0:
            reply = captures.ipv4_udp_frame(b"reply %d" % i + b"." * 22, ident=i % 65536,
                                            src_port=7000, dst_port=40000, reply=True)
            back_ns = sent_ns + latency_ns + 50000
            seen += [(1, back_ns, reply), (0, back_ns + 1500 + (i * 37) % 800, reply)]
        records += seen
    for port, ns, frame in sorted(records, key=lambda r: r[1]):
        secs, nsecs = divmod(ns, 10 ** 9)
        yield ((1700000000 + secs, nsecs),
               captures.with_header(frame, 1700000000 + secs, captures.header_fraction(nsecs),
                                    port=port))


def statistics_picture(host, display, capture, out):
    """Statistics > ValtoCrane Latency (wireshark -z valtocrane,tables):
    by direction, by flow and the histogram."""
    gui = Wireshark(host, display, capture, "valtocrane-pcapng", STATISTICS_SIZE,
                    ["-z", "valtocrane,tables"])
    try:
        dialog = wait_for("the ValtoCrane Latency window",
                          lambda: display.windows("ValtoCrane Latency"), OPEN_TIMEOUT)[0]
        display.xdotool("windowmove", "--sync", dialog, "0", "0")
        display.xdotool("windowsize", "--sync", dialog, *map(str, STATISTICS_SIZE))
        time.sleep(3)  # the tables are filled once the tap has gone over the frames
        picture = out / "latency-statistics.png"
        display.screenshot(picture, STATISTICS_SIZE)
    finally:
        gui.close()
    optimise(picture)
    print("  picture %s (%d bytes)" % (picture, picture.stat().st_size))


GNUPLOT = """set terminal pngcairo size 1000,420 font "DejaVu Sans,10"
set output '%(out)s'
set key top left
set xlabel 'device time (s from the first interval)'
set ylabel 'latency, Port A to Port B (us)'
set y2label 'frames lost'
set y2range [0:8]
set y2tics 0, 1, 3
set ytics nomirror
set grid
plot '%(data)s' using 1:4 with steps lw 2 title 'max', \\
     '' using 1:3 with steps lw 2 title 'p99', \\
     '' using 1:2 with steps lw 2 title 'p50', \\
     '' using 1:5 axes x1y2 with impulses lw 6 lc rgb '#d62728' title 'lost'
"""


def series_picture(tool, capture, out, workdir):
    """valtocrane-latency --interval 1 of the Statistics demo, drawn by
    gnuplot: p50, p99 and max a second from Port A to Port B, and the
    frames lost."""
    series = workdir / "series.csv"
    subprocess.run([tool, "--format", "valtocrane-pcapng", "--interval", "1", "--series",
                    series, capture], check=True, stdout=subprocess.DEVNULL, timeout=60)
    with open(series, newline="") as f:
        rows = [r for r in csv.DictReader(f)
                if r["from"].endswith("Port A") and r["to"].endswith("Port B")]
    first = int(rows[0]["interval_start_ns"])
    data = workdir / "series.dat"
    data.write_text("".join(
        "%.0f %s %s %s %s\n" % ((int(r["interval_start_ns"]) - first) / 1e9,
                               *(int(r[c]) / 1000 if r[c] else "NaN"
                                 for c in ("p50_ns", "p99_ns", "max_ns")), r["lost"])
        for r in rows))
    picture = out / "latency-series.png"
    subprocess.run(["gnuplot"], input=GNUPLOT % {"out": picture, "data": data}, text=True,
                   check=True, timeout=60)
    optimise(picture)
    print("  picture %s (%d bytes)" % (picture, picture.stat().st_size))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plugin", required=True, help="the built valtocrane.so")
    parser.add_argument("--out", required=True, help="folder for the README's pictures")
    parser.add_argument("--latency-tool", required=True, help="the built valtocrane-latency")
    opts = parser.parse_args()

    # Ended from outside (a time limit, say): the screen and Wireshark,
    # which run in sessions of their own, are ended on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("ended by SIGTERM"))
    started = time.monotonic()
    host = TShark(plugin=opts.plugin)
    display = None
    faults = []
    keep = False
    try:
        sizes = (PICTURE_SIZE, GRAPH_SIZE, STATISTICS_SIZE)
        display = Display(max(s[0] for s in sizes), max(s[1] for s in sizes))
        print("Wireshark with valtocrane.so %s, TZ=UTC, as %s" % (
            host.plugin[0], "the user nobody" if host.as_root else "this user"))
        paths = {}
        for _, _, name, records in demo.examples():
            paths[name] = captures.write_capture(host.capture_path(name), records)
        faults = pictures(host, display, paths, Path(opts.out))
        io_graph_picture(host, display, Path(opts.out))
        capture = captures.write_capture(host.capture_path("latency-statistics.pcapng"),
                                         statistics_records())
        statistics_picture(host, display, capture, Path(opts.out))
        series_picture(Path(opts.latency_tool).resolve(), capture, Path(opts.out), host.workdir)
    except (GuiError, subprocess.TimeoutExpired) as error:
        keep = True
        print("FAILED: %s\n(Wireshark's HOME, output and the driver's log are kept in %s)"
              % (error, host.workdir), file=sys.stderr)
        return 2
    finally:
        if display:
            display.close()
        if not keep:
            host.cleanup()
    print("%d wrong, %.0f s" % (len(faults), time.monotonic() - started))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
