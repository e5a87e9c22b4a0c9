"""The integration suite runs the real TShark: once with the built plugin in
a personal plugin folder, once without it (the host alone, the baseline for
"Disabled"). A run in which TShark did not load the plugin stops the suite."""

import itertools
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

from vctools import captures  # noqa: E402
from vctools.tshark import HostSetupError, TShark  # noqa: E402

# The project's version, as the build gives it to the plugin and the tool.
VERSION = os.environ.get("VALTOCRANE_VERSION", "")


@pytest.fixture(scope="session")
def plugin_path():
    plugin = os.environ.get("VALTOCRANE_PLUGIN")
    if not plugin or not Path(plugin).is_file() or not VERSION:
        pytest.exit("VALTOCRANE_PLUGIN must name the built valtocrane.so and VALTOCRANE_VERSION "
                    "its version (run the suite through ctest)", returncode=2)
    return Path(plugin)


def _setup(plugin=None):
    try:
        return TShark(plugin=plugin)
    except HostSetupError as error:
        pytest.exit(str(error), returncode=3)


@pytest.fixture(scope="session")
def tshark(plugin_path):
    host = _setup(plugin_path)
    if host.plugin[0] != VERSION:
        host.cleanup()
        pytest.exit("TShark loaded valtocrane.so %s, not %s" % (host.plugin[0], VERSION),
                    returncode=3)
    yield host
    host.cleanup()


@pytest.fixture(scope="session")
def bare_tshark():
    """The host without the plugin."""
    host = _setup()
    yield host
    host.cleanup()


@pytest.fixture
def install_manifest():
    """The list of files "cmake --install" writes into the build folder,
    which README.md's uninstall reads: the path, where a test's installs
    write theirs, and what was there before, put back afterwards, so that
    the list of the user's own install survives the tests."""
    manifest = Path(os.environ["VALTOCRANE_BUILD_DIR"]) / "install_manifest.txt"
    before = manifest.read_bytes() if manifest.exists() else None
    yield manifest
    if before is None:
        manifest.unlink(missing_ok=True)
    else:
        manifest.write_bytes(before)


def pytest_addoption(parser):
    parser.addoption("--share", metavar="K/N",
                     help="run the K-th of N shares of this file's tests (every N-th test, from "
                          "the K-th), so that ctest runs a long file as N entries side by side")


def pytest_collection_modifyitems(config, items):
    share = config.getoption("--share")
    if not share:
        return
    k, n = (int(x) for x in share.split("/"))
    if not 1 <= k <= n:
        raise pytest.UsageError("--share %s: K must be from 1 to N" % share)
    # Every N-th test spreads the parametrized cases of one test function,
    # which cost alike, over the shares.
    kept, others = [], []
    for i, item in enumerate(items):
        (kept if i % n == k - 1 else others).append(item)
    config.hook.pytest_deselected(items=others)
    items[:] = kept


_names = itertools.count(1)


@pytest.fixture(scope="session")
def write_capture(tshark):
    """Writes (time, frame) records into a capture file that both hosts can read."""
    def write(records, file_type="pcapng"):
        suffix = "pcapng" if file_type == "pcapng" else "pcap"
        path = tshark.capture_path("capture-%d.%s" % (next(_names), suffix))
        return captures.write_capture(path, records, file_type)
    return write

