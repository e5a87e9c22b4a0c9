"""TShark run as the host ships it, with the built plugin in a personal
plugin folder of its own or without it.

The host ignores personal plugins when it runs with special privileges, and
root counts as such: as root, TShark runs as the unprivileged user nobody,
in a world-readable temporary folder that holds its HOME and the captures.

The host loads the system plugin folder first and skips a plugin of the
same file name in the personal folder (saying so on standard error only):
a valtocrane.so installed system-wide, by the package or "cmake --install",
would be loaded instead of the one given. Where there is one, TShark runs
with a copy of the system plugin folder without it (WIRESHARK_PLUGIN_DIR,
which the host honours for unprivileged users): every other plugin of the
host is there, and the one given is the one loaded."""

import os
import re
import shutil
import subprocess
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

NOBODY = 65534

MODES = ("disabled", "valtocrane-q3-graphite", "valtocrane-proprietary-headers",
         "valtocrane-pcapng")

# The packet list's columns: number, time, protocol, length, info. None of
# them needs a protocol tree; "-T tabs" separates them by tabs.
PACKET_LIST_COLUMNS = ('gui.column.format:"No.","%m","Time","%t","Protocol","%p",'
                       '"Length","%L","Info","%i"')


class HostSetupError(RuntimeError):
    """TShark did not load the plugin it was given, or loaded one without
    being given it."""


def mode_args(mode):
    return ["-o", "valtocrane.ts_type:%s" % mode] if mode else []


def parse_plugins(listing):
    """Name -> (version, type, file) of every plugin in tshark -G plugins."""
    plugins = {}
    for line in listing.splitlines():
        cols = [c.strip() for c in line.split("\t")]
        if len(cols) >= 4:
            plugins[cols[0]] = (cols[1], cols[2], cols[3])
    return plugins


def owner(path):
    """The Debian package a file belongs to, or None."""
    try:
        proc = subprocess.run(["dpkg-query", "-S", str(path)], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    except OSError:                      # not a Debian system
        return None
    return proc.stdout.split(":")[0] if proc.returncode == 0 and proc.stdout else None


def how_to_remove(path):
    """The command that removes an installed valtocrane.so: through its
    package, or else through the list of files that "cmake --install" wrote
    into the build folder (README.md, Uninstall)."""
    package = owner(path)
    if package:
        return "sudo apt-get remove %s" % package
    sudo = "" if os.access(os.path.dirname(path), os.W_OK) else "sudo "
    return "%sxargs rm -v < build/install_manifest.txt" % sudo


def users_own_plugin():
    """(version, file) of the valtocrane.so that tshark loads when this user
    runs it, or None."""
    proc = subprocess.run(["tshark", "-G", "plugins"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, errors="replace",
                          env=dict(os.environ, LC_ALL="C.UTF-8"))
    found = parse_plugins(proc.stdout).get("valtocrane.so")
    return (found[0], found[2]) if found else None


def _copy_without(source, copy, name):
    """A copy of the folder source made of symbolic links to its files,
    every file called name left out."""
    for folder, _, files in os.walk(source):
        into = Path(copy) / Path(folder).relative_to(source)
        into.mkdir(parents=True, exist_ok=True)
        os.chmod(into, 0o755)
        for f in files:
            if f != name:
                os.symlink(Path(folder) / f, into / f)


class TShark:
    """One TShark setup: a HOME of its own (holding the plugin, if given), a
    folder for captures, and the time zone its runs use. self.plugin is the
    (version, type) the host lists for valtocrane.so; a setup whose host did
    not load the plugin given, or loaded one when none was given, raises
    HostSetupError. self.set_aside lists the valtocrane.so files installed
    in the system plugin folder that this setup keeps TShark from loading."""

    def __init__(self, plugin=None, tz="UTC", workdir=None):
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="valtocrane-"))
        self.workdir.mkdir(parents=True, exist_ok=True)
        os.chmod(self.workdir, 0o755)
        self.home = self.workdir / "home"
        self.home.mkdir(exist_ok=True)
        self.captures = self.workdir / "captures"
        self.captures.mkdir(exist_ok=True)
        os.chmod(self.captures, 0o755)
        self.tz = tz
        self.as_root = os.geteuid() == 0
        self.env = []
        folders = self.folders()
        # "Global Plugins" is the series' folder (X.Y); the variable names
        # the folder that holds it.
        system = Path(folders["Global Plugins"])
        self.set_aside = sorted(system.rglob("valtocrane.so"))
        if self.set_aside:
            copy = self.workdir / "system-plugins"
            _copy_without(system.parent, copy, "valtocrane.so")
            self.env = ["WIRESHARK_PLUGIN_DIR=%s" % copy]
        given = None
        if plugin is not None:
            folder = Path(folders["Personal Plugins"]) / "epan"
            folder.mkdir(parents=True, exist_ok=True)
            given = folder / "valtocrane.so"
            shutil.copy(plugin, given)
        if self.as_root:
            for dirpath, _, files in os.walk(self.home):
                os.chown(dirpath, NOBODY, NOBODY)
                for f in files:
                    os.chown(os.path.join(dirpath, f), NOBODY, NOBODY)
        loaded = parse_plugins(self.run("-G", "plugins").stdout).get("valtocrane.so")
        self.plugin = loaded[:2] if loaded else None
        if loaded and (not given or os.path.realpath(loaded[2]) != os.path.realpath(given)):
            self.cleanup()
            raise HostSetupError(
                "TShark loaded valtocrane.so %s from %s%s; remove that one: %s" % (
                    loaded[0], loaded[2], ", not the one given, %s" % plugin if plugin else "",
                    how_to_remove(loaded[2])))
        if given and not loaded:
            self.cleanup()
            raise HostSetupError("TShark did not load %s from %s" % (plugin, folder))

    def command(self, args, tz=None, wrapper=(), env=()):
        """The command line that runs tshark with args, under wrapper (a
        profiler, say) if given, with env (NAME=value) added."""
        environment = ["env", "HOME=%s" % self.home, "TZ=%s" % (tz or self.tz),
                       "LC_ALL=C.UTF-8"] + self.env + list(env)
        cmd = environment + list(wrapper) + ["tshark"] + [str(a) for a in args]
        if self.as_root:
            return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
                    "--clear-groups"] + cmd
        return cmd

    def run(self, *args, check=True, tz=None, wrapper=(), env=(), stdout=subprocess.PIPE):
        """Runs tshark; a non-zero exit (with check) or a dissector bug
        reported by the host fails."""
        proc = subprocess.run(self.command(args, tz, wrapper, env), stdout=stdout,
                              stderr=subprocess.PIPE, text=True, errors="replace")
        command = "tshark " + " ".join(map(str, args))
        if check and proc.returncode != 0:
            raise AssertionError("%s exited %d:\n%s" % (command, proc.returncode, proc.stderr))
        if "Dissector bug" in proc.stderr:
            raise AssertionError("%s reported a dissector bug:\n%s" % (command, proc.stderr))
        return proc

    def version(self):
        """The host's own name and version, as its first line says them."""
        return self.run("--version").stdout.splitlines()[0].rstrip(".")

    @property
    def series(self):
        """The host's series as a tuple, (4, 0) say."""
        if not hasattr(self, "_series"):
            found = re.search(r"\b(\d+)\.(\d+)\.\d+", self.version())
            if not found:
                raise HostSetupError("no version in %r" % self.version())
            self._series = (int(found.group(1)), int(found.group(2)))
        return self._series

    def for_series(self, forms):
        """What this host shows where series differ: forms maps the first
        series that shows a thing one way, (4, 6) say, to that form; the
        form of the newest such series not newer than this host's is taken."""
        usable = [first for first in forms if first <= self.series]
        if not usable:
            raise HostSetupError("no expected form for series %d.%d" % self.series)
        return forms[max(usable)]

    def folders(self):
        out = self.run("-G", "folders").stdout
        return dict(re.split(r":\s+", line.strip(), maxsplit=1)
                    for line in out.splitlines() if ":" in line)

    def loaded_plugins(self):
        """Name -> (version, type) of every plugin this host loaded."""
        return {name: found[:2] for name, found in
                parse_plugins(self.run("-G", "plugins").stdout).items()}

    def write_preferences(self, text):
        """Stores text as this HOME's Wireshark preferences file."""
        folder = self.home / ".config" / "wireshark"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "preferences").write_text(text)
        if self.as_root:
            for path in (self.home / ".config", folder, folder / "preferences"):
                os.chown(path, NOBODY, NOBODY)

    def packet_list(self, capture, mode=None, args=(), tz=None):
        """The packet list with epoch times, as dicts of number, time,
        protocol, length and info."""
        out = self.run("-r", capture, "-T", "tabs", "-t", "e", "-o", PACKET_LIST_COLUMNS,
                       *mode_args(mode), *args, tz=tz).stdout
        rows = []
        for line in out.splitlines():
            number, time, protocol, length, info = [c.strip() for c in line.split("\t")]
            rows.append(dict(number=int(number), time=time, protocol=protocol,
                             length=int(length), info=info))
        return rows

    def fields(self, capture, fields, mode=None, args=(), tz=None):
        """One list of values a frame, one value a field (occurrences joined by ",")."""
        cmd = ["-r", capture, "-T", "fields", *mode_args(mode), *args]
        for field in fields:
            cmd += ["-e", field]
        out = self.run(*cmd, tz=tz).stdout
        return [line.split("\t") for line in out.splitlines()]

    def pdml(self, capture, mode=None, args=(), tz=None):
        """The parsed PDML: one <packet> element a frame."""
        out = self.run("-r", capture, "-T", "pdml", *mode_args(mode), *args, tz=tz).stdout
        return ET.fromstring(out).findall("packet")

    def capture_path(self, name):
        return self.captures / name

    def cleanup(self):
        shutil.rmtree(self.workdir, ignore_errors=True)
