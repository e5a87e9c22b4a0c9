"""What the plugin registers with the host, as the host lists it."""

import os
import re
import subprocess

from vctools import captures
from vctools.tshark import TShark

FIELDS = [
    # label, abbreviation, type, display shown by -G fields
    ("Timestamp", "valtocrane.ts", "FT_ABSOLUTE_TIME", ""),
    ("Timestamp", "valtocrane.ts_utc", "FT_ABSOLUTE_TIME", ""),
    ("Interface", "valtocrane.interface", "FT_STRING", ""),
    ("Packet Length", "valtocrane.length", "FT_UINT32", "BASE_DEC"),
    ("Captured Length", "valtocrane.captured_length", "FT_UINT32", "BASE_DEC"),
]

ENTRY_POINTS = {"plugin_version", "plugin_want_major", "plugin_want_minor", "plugin_register",
                "plugin_describe"}
RUNTIME_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}


def test_plugin_is_listed_as_dissector_with_its_version(tshark):
    assert tshark.loaded_plugins()["valtocrane.so"] == ("0.0.8", "dissector")


def test_protocol_and_exactly_five_fields(tshark):
    protocols = [line.split("\t")[:3] for line in tshark.run("-G", "protocols").stdout.splitlines()]
    assert ["ValtoCrane", "ValtoCrane", "valtocrane"] in protocols

    ours = [line.split("\t") for line in tshark.run("-G", "fields").stdout.splitlines()
            if "\tvaltocrane" in line]
    assert ours[0][:3] == ["P", "ValtoCrane", "valtocrane"]
    assert [(f[1], f[2], f[3], f[5]) for f in ours[1:]] == FIELDS
    assert all(f[4] == "valtocrane" and f[6] == "0x0" and f[7] == "" for f in ours[1:])


def test_preference_lists_the_four_models_in_order(tshark):
    prefs = tshark.run("-G", "defaultprefs").stdout
    block = prefs[prefs.index("# The Valtocrane model that generated the timestamps"):]
    assert block.splitlines()[:4] == [
        "# The Valtocrane model that generated the timestamps",
        "# One of: Disabled, Valtocrane-Q3 (graphite), Valtocrane-Q5 (graphite), "
        "Valtocrane-Q3/Q5/Q5+/Q7",
        "# (case-insensitive).",
        "#valtocrane.ts_type: Disabled",
    ]


def _one_frame_for_every_mode(write_capture):
    """A frame carrying a capture header in front and, at its end, eight bytes
    that read as either trailer; each mode finds a different time in it."""
    frame = captures.ipv4_udp_frame(b"\0" * 18)
    trailer = bytes.fromhex("5A00000080000000")  # 1509949440.5 / 0x5A000000_800000 ticks
    return write_capture([((1600000000, 0),
                           captures.with_header(frame + trailer, 1700000000, 0x80000000))])


# Per mode: the time that a frame written at 1600000000 gets.
MODE_TIMES = {
    "disabled": "1600000000.000000000",
    # Frame 1 keeps the capture file's time.
    "valtocrane-q3-graphite": "1600000000.000000000",
    "valtocrane-proprietary-headers": "1509949440.500000000",
    "valtocrane-pcapng": "1700000000.500000000",
}


def test_each_preference_name_selects_its_format(tshark, write_capture):
    capture = _one_frame_for_every_mode(write_capture)
    for mode, time in MODE_TIMES.items():
        [row] = tshark.packet_list(capture, mode)
        assert row["time"] == time, mode


def test_stored_preference_selects_the_format(plugin_path, write_capture):
    host = TShark(plugin=plugin_path)
    try:
        host.write_preferences("valtocrane.ts_type: valtocrane-pcapng\n")
        capture = _one_frame_for_every_mode(write_capture)
        assert host.packet_list(capture)[0]["time"] == "1700000000.500000000"
    finally:
        host.cleanup()


def test_disabling_the_protocol_leaves_ethernet_dissected(tshark, bare_tshark, write_capture):
    capture = write_capture([((1600000000, 0), captures.ipv4_udp_frame(b"abc"))])
    args = ["--disable-protocol", "valtocrane"]
    assert tshark.packet_list(capture, args=args) == bare_tshark.packet_list(capture)
    assert tshark.packet_list(capture, args=args)[0]["protocol"] == "UDP"


def test_only_the_plugin_entry_points_are_exported(plugin_path):
    out = subprocess.run(["nm", "-D", "--defined-only", str(plugin_path)], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    exported = {line.split()[-1] for line in out.splitlines()}
    assert {"plugin_version", "plugin_want_major", "plugin_want_minor",
            "plugin_register"} <= exported
    assert exported <= ENTRY_POINTS | RUNTIME_SYMBOLS


def test_install_goes_to_the_personal_plugin_folder_of_the_host_built_for(tmp_path):
    subprocess.run(["cmake", "--install", os.environ["VALTOCRANE_BUILD_DIR"]], check=True,
                   env=dict(os.environ, DESTDIR=str(tmp_path)), stdout=subprocess.DEVNULL)
    folders = subprocess.run(["tshark", "-G", "folders"], check=True, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout
    personal = re.search(r"^Personal Plugins:\s+(\S+)$", folders, re.M).group(1)
    assert (tmp_path / personal.lstrip("/") / "epan" / "valtocrane.so").is_file()
