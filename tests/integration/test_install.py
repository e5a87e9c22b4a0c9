"""Building beside an install: a valtocrane.so installed system-wide does
not take the place of the one built in the tests and the demo, and a build
folder installs where its latest configure says."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from vctools.tshark import TShark, parse_plugins

SOURCE = Path(__file__).resolve().parents[2]


@pytest.fixture
def installed(tshark, plugin_path, monkeypatch):
    """A valtocrane.so installed in the system plugin folder of every TShark
    started from here on: a stand-in for that folder, which holds the host's
    own plugins and the one built (the same version: only its place tells
    them apart), readable by the user TShark runs as. Yields that file and
    the names of the host's other plugins."""
    others = set(tshark.loaded_plugins()) - {"valtocrane.so"}
    folder = Path(tempfile.mkdtemp(prefix="valtocrane-system-"))
    os.chmod(folder, 0o755)
    system = Path(tshark.folders()["Global Plugins"])
    shutil.copytree(system.parent, folder, symlinks=True, dirs_exist_ok=True)
    installed = folder / system.name / "epan" / "valtocrane.so"
    shutil.copy(plugin_path, installed)
    os.chmod(installed, 0o644)
    monkeypatch.setenv("WIRESHARK_PLUGIN_DIR", str(folder))
    yield installed, others
    shutil.rmtree(folder)


@pytest.mark.parametrize("given", [True, False])
def test_a_plugin_installed_system_wide_is_set_aside(plugin_path, installed, given):
    installed, others = installed
    host = TShark(plugin=plugin_path if given else None)
    try:
        assert host.set_aside == [installed]
        loaded = parse_plugins(host.run("-G", "plugins").stdout)
        ours = loaded.pop("valtocrane.so", None)
        assert (ours[2].startswith("%s/" % host.home) if given else ours is None), ours
        # Every other plugin of the host is there.
        assert set(loaded) == others
    finally:
        host.cleanup()


def cached_prefix(build):
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith("CMAKE_INSTALL_PREFIX:"):
            return line.split("=", 1)[1]


# Configure runs of one build folder, one after the other, and the prefix
# each leaves in the cache (HOME: the home folder the runs see). A prefix
# given by hand stays; one that this project chose follows the personal
# install, also in a build folder configured before it remembered its
# choice (VALTOCRANE_CHOSEN_PREFIX).
ON, OFF = "-DVALTOCRANE_PERSONAL_INSTALL=ON", "-DVALTOCRANE_PERSONAL_INSTALL=OFF"
PREFIXES = [
    ([[], [ON], [OFF]], ["/usr", "HOME/.local", "/usr"]),
    ([[], ["-UVALTOCRANE_CHOSEN_PREFIX", ON]], ["/usr", "HOME/.local"]),
    ([["-DCMAKE_INSTALL_PREFIX=/opt/vc"], [ON], [OFF]], ["/opt/vc"] * 3),
]


@pytest.mark.parametrize("runs,prefixes", PREFIXES)
def test_the_latest_configure_chooses_the_prefix(tmp_path, runs, prefixes):
    home = tmp_path / "home"
    home.mkdir()
    build = tmp_path / "build"
    seen = []
    for args in runs:
        subprocess.run(["cmake", "-S", SOURCE, "-B", build, "-DBUILD_TESTING=OFF"] + args,
                       check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, HOME=str(home)))
        seen.append(cached_prefix(build).replace(str(home), "HOME"))
    assert seen == prefixes
