"""What the plugin registers with the host, as the host lists it, and how
the preference selects the format."""

import os
import re
import subprocess
from pathlib import Path

from conftest import VERSION
from vctools import captures
from vctools.tshark import TShark

FIELDS = [  # as -G fields lists them: kind, label, abbreviation, type, parent, display
    ["P", "ValtoCrane", "valtocrane"],
    ["F", "Timestamp", "valtocrane.ts", "FT_ABSOLUTE_TIME", "valtocrane", "", "0x0", ""],
    ["F", "Timestamp", "valtocrane.ts_utc", "FT_ABSOLUTE_TIME", "valtocrane", "", "0x0", ""],
    ["F", "Interface", "valtocrane.interface", "FT_STRING", "valtocrane", "", "0x0", ""],
    ["F", "Packet Length", "valtocrane.length", "FT_UINT32", "valtocrane", "BASE_DEC", "0x0", ""],
    ["F", "Captured Length", "valtocrane.captured_length", "FT_UINT32", "valtocrane",
     "BASE_DEC", "0x0", ""],
    ["F", "Capture file time", "valtocrane.capture_time", "FT_ABSOLUTE_TIME", "valtocrane",
     "", "0x0", ""],
    ["F", "Device time minus capture file time", "valtocrane.capture_offset",
     "FT_RELATIVE_TIME", "valtocrane", "", "0x0", ""],
    ["F", "Device time since the first device time", "valtocrane.time_relative",
     "FT_RELATIVE_TIME", "valtocrane", "", "0x0", ""],
    ["F", "Device time since the previous device time", "valtocrane.time_delta",
     "FT_RELATIVE_TIME", "valtocrane", "", "0x0", ""],
    ["F", "Latency since the earlier copy", "valtocrane.latency", "FT_RELATIVE_TIME",
     "valtocrane", "", "0x0", ""],
    ["F", "Earlier copy in frame", "valtocrane.latency_frame", "FT_FRAMENUM", "valtocrane", "",
     "0x0", ""],
    ["F", "No copy at another capture point within the latency window", "valtocrane.copy_missing",
     "FT_NONE", "valtocrane", "", "0x0", ""],
    ["F", "The device trailer was not captured (snap length): the frame keeps its capture "
     "file time", "valtocrane.trailer_not_captured", "FT_NONE", "valtocrane", "", "0x0", ""],
    ["F", "Device time far from the capture file time", "valtocrane.time_implausible", "FT_NONE",
     "valtocrane", "", "0x0", ""],
    ["F", "The device clock stepped here", "valtocrane.clock_step", "FT_NONE", "valtocrane", "",
     "0x0", ""],
    # A postdissector's protocol: every record's first dissection, not only Ethernet's.
    ["P", "ValtoCrane records", "valtocrane_records"],
]


def test_plugin_protocol_fields_and_preference_as_the_host_lists_them(tshark):
    # 4.2 and later list a plugin by the first kind it describes itself as.
    assert tshark.loaded_plugins()["valtocrane.so"] == (VERSION, "dissector")
    protocols = [line.split("\t")[:3] for line in tshark.run("-G", "protocols").stdout.splitlines()]
    assert ["ValtoCrane", "ValtoCrane", "valtocrane"] in protocols
    assert [line.split("\t") for line in tshark.run("-G", "fields").stdout.splitlines()
            if "\tvaltocrane" in line] == FIELDS
    prefs = tshark.run("-G", "defaultprefs").stdout
    block = prefs[prefs.index("# The Valtocrane model"):].split("\n\n")[0].splitlines()
    # From 4.6 on, the host lists an enumeration's names before its descriptions.
    assert block == tshark.for_series({(4, 0): [
        "# The Valtocrane model that generated the timestamps",
        "# One of: Disabled, Valtocrane-Q3 (graphite), Valtocrane-Q5 (graphite), "
        "Valtocrane-Q3/Q5/Q5+/Q7",
        "# (case-insensitive).",
        "#valtocrane.ts_type: Disabled",
    ], (4, 6): [
        "# The Valtocrane model that generated the timestamps",
        "# One of: disabled, valtocrane-q3-graphite, valtocrane-proprietary-headers, "
        "valtocrane-pcapng",
        "# Equivalently, one of: Disabled, Valtocrane-Q3 (graphite), Valtocrane-Q5 (graphite), "
        "Valtocrane-Q3/Q5/Q5+/Q7",
        "# (case-insensitive).",
        "#valtocrane.ts_type: Disabled",
    ]})


# A frame with a capture header in front and 5A 00 00 00 80 00 00 00 at its
# end, written at 1600000000: each preference value finds its own time in it.
MODE_TIMES = {
    "disabled": "1600000000.000000000",
    "valtocrane-q3-graphite": "1600000000.000000000",  # frame 1 keeps its file time
    "valtocrane-proprietary-headers": "1509949440.500000000",
    "valtocrane-pcapng": "1700000000.500000000",
}


def test_each_preference_value_selects_its_format(plugin_path, tshark, write_capture):
    frame = captures.ipv4_udp_frame(b"\0" * 18) + bytes.fromhex("5A00000080000000")
    capture = write_capture([((1600000000, 0),
                              captures.with_header(frame, 1700000000, 0x80000000))])
    assert {mode: tshark.packet_list(capture, mode)[0]["time"] for mode in MODE_TIMES} == MODE_TIMES
    stored = TShark(plugin=plugin_path)
    try:
        stored.write_preferences("valtocrane.ts_type: valtocrane-pcapng\n")
        assert stored.packet_list(capture)[0]["time"] == MODE_TIMES["valtocrane-pcapng"]
    finally:
        stored.cleanup()


def test_disabling_the_protocol_leaves_ethernet_dissected(tshark, bare_tshark, write_capture):
    capture = write_capture([((1600000000, 0), captures.ipv4_udp_frame(b"abc"))])
    rows = tshark.packet_list(capture, args=["--disable-protocol", "valtocrane"])
    assert rows == bare_tshark.packet_list(capture) and rows[0]["protocol"] == "UDP"


def test_only_the_plugin_entry_points_are_exported(plugin_path):
    out = subprocess.run(["nm", "-D", "--defined-only", str(plugin_path)], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    exported = {line.split()[-1] for line in out.splitlines()} - {
        "_init", "_fini", "_edata", "_end", "__bss_start"}
    required = {"plugin_version", "plugin_want_major", "plugin_want_minor", "plugin_register"}
    assert exported in (required, required | {"plugin_describe"})


def folder(name, home=None):
    """A folder TShark names in -G folders ("Global Plugins", say)."""
    env = dict(os.environ, HOME=str(home)) if home else None
    out = subprocess.run(["tshark", "-G", "folders"], check=True, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, env=env).stdout
    return Path(re.search(r"^%s:\s+(\S+)$" % name, out, re.M).group(1))


def installed(root):
    """Every file under root, as paths relative to it."""
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*") if p.is_file())


def test_install_goes_under_the_prefix_into_the_hosts_plugin_folder(tmp_path, install_manifest):
    """By default into the host's own plugin folder for the series built
    for; with --prefix, the same layout under it; with the personal opt-in,
    where the host looks for a user's own plugins."""
    build = os.environ["VALTOCRANE_BUILD_DIR"]
    system = folder("Global Plugins").relative_to("/")
    subprocess.run(["cmake", "--install", build], check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, DESTDIR=str(tmp_path / "root")))
    tools = ["valtocrane-latency", "valtocrane-retime"]
    tools_under = lambda prefix: [prefix + f for t in tools
                                  for f in ("bin/" + t, "share/man/man1/%s.1" % t)]
    assert installed(tmp_path / "root") == sorted(
        tools_under("usr/") + [str(system / "epan" / "valtocrane.so")])
    subprocess.run(["cmake", "--install", build, "--prefix", tmp_path / "prefix"], check=True,
                   stdout=subprocess.DEVNULL)
    assert installed(tmp_path / "prefix") == sorted(
        tools_under("") + [str(system.relative_to("usr") / "epan" / "valtocrane.so")])
    # README.md's uninstall removes the files the manifest lists: all of them.
    assert sorted(str(Path(f).relative_to(tmp_path / "prefix"))
                  for f in install_manifest.read_text().split()) == installed(tmp_path / "prefix")
    for tool in tools:
        page = tmp_path / "prefix" / "share" / "man" / "man1" / ("%s.1" % tool)
        assert "valtocrane %s" % VERSION in page.read_text()

    personal = tmp_path / "personal"
    home = tmp_path / "home"
    home.mkdir()
    subprocess.run(["cmake", "-S", Path(__file__).parents[2], "-B", personal,
                    "-DVALTOCRANE_PERSONAL_INSTALL=ON"], check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, HOME=str(home)))
    subprocess.run(["cmake", "--build", personal, "--parallel", "2"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--install", personal], check=True, stdout=subprocess.DEVNULL)
    plugins = folder("Personal Plugins", home).relative_to(home)
    assert installed(home) == sorted(tools_under(".local/")
                                     + [str(plugins / "epan" / "valtocrane.so")])
