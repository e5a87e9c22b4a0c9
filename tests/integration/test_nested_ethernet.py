"""Ethernet carried inside another encapsulation reaches the plugin through
the host's link-type table, as part of a larger frame: it carries no device
time and passes through as the host alone dissects it."""

import pytest

from vctools import captures
from vctools.tshark import MODES

# A PPI header (version 0, no flags, 8 bytes, link type Ethernet) in front of
# an Ethernet frame that ends in what a trailer format would read as a time.
PPI = bytes.fromhex("00000800") + (1).to_bytes(4, "little")
FRAME = captures.with_header(
    captures.ipv4_udp_frame(b"n" * 26) + captures.fraction_trailer(1700000000, 0x80000000),
    1700000000, 0x80000000)


@pytest.mark.parametrize("mode", MODES)
def test_ethernet_inside_ppi_is_left_alone(tshark, bare_tshark, mode):
    capture = captures.write_capture(tshark.capture_path("ppi-%s.pcap" % mode),
                                     [((1600000000, 0), PPI + FRAME)], "pcap", link_type=192)
    ours = tshark.run("-r", capture, "-V", "-x", "-t", "e", "-o",
                      "valtocrane.ts_type:%s" % mode).stdout
    # The one line that differs: the plugin stands in the list of layers
    # while a format is chosen, as it does for every Ethernet frame.
    assert ours.replace(":valtocrane:eth:", ":eth:") == \
        bare_tshark.run("-r", capture, "-V", "-x", "-t", "e").stdout
