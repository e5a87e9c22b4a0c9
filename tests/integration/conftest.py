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


_names = itertools.count(1)


@pytest.fixture(scope="session")
def write_capture(tshark):
    """Writes (time, frame) records into a capture file that both hosts can read."""
    def write(records, file_type="pcapng"):
        suffix = "pcapng" if file_type == "pcapng" else "pcap"
        path = tshark.capture_path("capture-%d.%s" % (next(_names), suffix))
        return captures.write_capture(path, records, file_type)
    return write

