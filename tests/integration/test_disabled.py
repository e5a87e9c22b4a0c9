"""With the preference at "Disabled" (the default) the host dissects every
Ethernet frame exactly as it does without the plugin."""

import pytest

from vctools import captures

# Frames of every kind the plugin could mistake for its own.
FRAMES = [
    captures.ipv4_udp_frame(b"payload" * 8),
    captures.ipv4_udp_frame(b"x" * 30) + captures.tick_trailer(200000000, 0x77),
    captures.ipv4_udp_frame(b"y" * 30) + captures.fraction_trailer(0x5A000000, 0x80000000),
    captures.with_header(captures.ipv4_udp_frame(b"z" * 20), 1700000000, 0x80000000),
    captures.capture_header(1700000000, 0)[:20],
    b"\x06\x00\x00",
    b"",
]


@pytest.fixture(scope="module")
def mixed_capture(write_capture):
    return write_capture([((1600000000 + i, 1000 * i), f) for i, f in enumerate(FRAMES) if f])


@pytest.mark.parametrize("mode", [None, "disabled"])
def test_detail_and_bytes_as_the_host_alone_shows_them(tshark, bare_tshark, mixed_capture, mode):
    args = ["-r", mixed_capture, "-V", "-x"]
    mode_args = ["-o", "valtocrane.ts_type:disabled"] if mode else []
    assert tshark.run(*args, *mode_args).stdout == bare_tshark.run(*args).stdout


def test_packet_list_as_the_host_alone_shows_it(tshark, bare_tshark, mixed_capture):
    assert tshark.packet_list(mixed_capture) == bare_tshark.packet_list(mixed_capture)
    assert tshark.packet_list(mixed_capture, args=["-2"]) == \
        bare_tshark.packet_list(mixed_capture, args=["-2"])


def test_frame_check_sequence_recorded_by_the_capture_file_is_honoured(
        tshark, bare_tshark, tmp_path_factory):
    """A pcap file can say that its frames end in a 4-byte FCS; the host's
    Ethernet dissector then shows and checks it, and so it does here."""
    # Under 64 bytes, where the host would not guess an FCS on its own.
    frame = captures.ipv4_udp_frame(b"f" * 10) + bytes.fromhex("deadbeef")
    path = tshark.capture_path("fcs.pcap")
    captures.write_capture(path, [((1600000000, 0), frame)], file_type="pcap")
    raw = bytearray(path.read_bytes())
    # Link-type word: Ethernet, "FCS length present", 2 x 16 bits of FCS.
    raw[20:24] = (1 | 0x04000000 | (2 << 28)).to_bytes(4, "little")
    path.write_bytes(bytes(raw))

    args = ["-r", path, "-V"]
    bare = bare_tshark.run(*args).stdout
    assert "Frame check sequence: 0xdeadbeef" in bare
    assert tshark.run(*args).stdout == bare
