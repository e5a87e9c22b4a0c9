"""Every command line in the README's shell blocks, run as written, in the
README's order, against the demo's captures (tools/demo.py) under the
README's file names: each must exit 0 and print something, or make the file
it names. Lines that set up, build, install or test (root's, or the suite's
own steps) are left out by rule; a line of any other program fails the
test until it is taught here what that program needs."""

import gzip
import os
import re
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

import demo
from vctools import captures

README = Path(__file__).resolve().parents[2] / "README.md"

# Set-up, build, install and test lines, and the synopsis lines of --help.
NOT_RUN = re.compile(r"^(sudo |scripts/|cmake |ctest )|\[--")
PROGRAMS = {"tshark", "valtocrane-retime", "valtocrane-latency", "mergecap", "zcat", "tcpdump",
            "mkdir", "echo"}


def readme_commands():
    """The README's shell lines, continuation lines joined, comments and
    lines not run left out."""
    lines, block = [], False
    for line in README.read_text().splitlines():
        if line.startswith("```"):
            block = line == "```sh"
            continue
        if block:
            lines.append(line)
    commands, pending = [], ""
    for line in lines:
        pending += line.rstrip("\\").strip() + " "
        if line.endswith("\\"):
            continue
        command, pending = pending.strip(), ""
        if command and not command.startswith("#") and not NOT_RUN.search(command):
            commands.append(command)
    return commands


def programs(command):
    return {words[0] for words in (shlex.split(part, comments=True)
                                   for part in re.split(r"\||&&", command)) if words}


@pytest.fixture(scope="module")
def place(tshark):
    """A folder readable by the user TShark runs as, with the README's
    captures (the demo's, under the README's names) and the programs:
    tshark with the built plugin, the built tools, the host's others."""
    folder = tshark.capture_path("readme")
    folder.mkdir()
    os.chmod(folder, 0o777)
    bin_dir = folder / ".bin"
    examples = folder / "build" / "examples"
    for path in (bin_dir, examples, folder / ".home"):
        path.mkdir(parents=True)
    for _, _, name, records in demo.examples():
        captures.write_capture(examples / name, records)
    ports = demo.write_latency_capture(examples / demo.LATENCY_CAPTURE)
    for name in ("capture.pcapng", "header.pcapng", "ports.pcapng", "a.pcapng"):
        shutil.copy(ports, folder / name)
    shutil.copy(examples / "capture-header.pcapng", folder / "b.pcapng")
    shutil.copy(examples / "seconds-fraction-trailer.pcapng", folder / "trailer.pcapng")
    subprocess.run(["editcap", "-F", "pcap", ports, folder / "capture.pcap"], check=True)
    (folder / "capture.pcapng.gz").write_bytes(
        gzip.compress((examples / "tick-counter-trailer.pcapng").read_bytes()))
    for name, frames in (("ring_00001_20261207.pcapng", "1-12"),
                         ("ring_00002_20261207.pcapng", "13-23")):
        subprocess.run(["editcap", "-r", ports, folder / name, frames], check=True)
    # Two captures taken at two places: each port's frames, re-timed.
    retimed = folder / ".retimed.pcapng"
    subprocess.run([os.environ["VALTOCRANE_RETIME"], "-f", "valtocrane-pcapng", ports, retimed],
                   check=True, stderr=subprocess.DEVNULL)
    for name, port in (("a.retimed.pcapng", "Port A"), ("b.retimed.pcapng", "Port B")):
        tshark.run("-r", retimed, "-Y", 'frame.interface_name contains "%s"' % port,
                   "-w", folder / name)
    wrapper = bin_dir / "tshark"
    # The host's own tshark by its path: the wrapper is the first on PATH.
    command = [shutil.which("tshark") if word == "tshark" else word
               for word in tshark.command([])]
    wrapper.write_text("#!/bin/sh\nexec %s \"$@\"\n" % shlex.join(command))
    wrapper.chmod(0o755)
    for tool, variable in (("valtocrane-retime", "VALTOCRANE_RETIME"),
                           ("valtocrane-latency", "VALTOCRANE_LATENCY")):
        (bin_dir / tool).symlink_to(os.environ[variable])
    return folder


def test_the_readme_has_the_lines_this_test_knows():
    commands = readme_commands()
    assert len(commands) > 15
    unknown = [c for c in commands if not programs(c) <= PROGRAMS]
    assert unknown == [], "teach this test what these need"


@pytest.mark.skipif(shutil.which("tcpdump") is None,
                    reason="tcpdump is not installed (scripts/test.sh installs it)")
def test_every_readme_line_works_on_the_demo_captures(place):
    env = dict(os.environ, PATH="%s:%s" % (place / ".bin", os.environ["PATH"]),
               HOME=str(place / ".home"))
    failed = []
    for command in readme_commands():
        named = [Path(os.path.expanduser(w.replace("~", env["HOME"], 1))) if w.startswith("~")
                 else place / w for w in shlex.split(command, comments=True)
                 if re.search(r"\.(pcapng|pcap|csv)$|/wireshark(/preferences)?$", w)]
        before = {p for p in named if p.exists()}
        proc = subprocess.run(["sh", "-c", command], cwd=place, env=env, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              errors="replace", timeout=120)
        made = [p for p in named if p not in before and p.exists()]
        if proc.returncode != 0 or not (proc.stdout.strip() or made):
            failed.append("%s\n  exit %d: %s" % (command, proc.returncode, proc.stdout[-500:]))
    assert failed == [], "\n".join(failed)
