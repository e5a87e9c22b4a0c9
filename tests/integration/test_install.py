"""A build folder installs where its latest configure says."""

import os
import subprocess
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]


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
