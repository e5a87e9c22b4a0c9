"""Frames in the ValtoCrane layouts, and capture files written with the
host's own text2pcap."""

import os
import struct
import subprocess
import zlib
from pathlib import Path

HEADER_MARKER = 6


def ipv4_udp_frame(payload=b"", src_port=40000, dst_port=40001, ident=1,
                   src=b"\x02\x00\x00\x00\x00\x01", dst=b"\x02\x00\x00\x00\x00\x02",
                   reply=False, ttl=64):
    """An Ethernet II / IPv4 / UDP frame with a valid IP header checksum,
    from 192.0.2.1 to 192.0.2.2 (or back, as a reply). No dissector of
    TShark or tcpdump claims the ports 40000 and 40001: both show plain UDP
    (49152 is a Broadcom mirroring header to tcpdump)."""
    udp = struct.pack(">HHHH", src_port, dst_port, 8 + len(payload), 0) + payload
    hosts = [bytes([192, 0, 2, 1]), bytes([192, 0, 2, 2])]
    if reply:
        hosts.reverse()
        src, dst = dst, src
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), ident & 0xFFFF, 0x4000,
                     ttl, 17, 0, *hosts)
    total = sum(struct.unpack(">10H", ip))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    ip = ip[:10] + struct.pack(">H", ~total & 0xFFFF) + ip[12:]
    return dst + src + b"\x08\x00" + ip + udp


def capture_header(secs, fraction, port=0, captured_length=0, packet_length=0,
                   marker=HEADER_MARKER, reserved=0):
    """The 28-byte little-endian capture header that goes before a frame."""
    return struct.pack("<7I", marker, reserved, port, secs, fraction,
                       captured_length, packet_length)


def header_fraction(nsecs):
    """The capture header's fraction (in (2^32 - 1)ths of a second) that
    reads back as nsecs: rounded up, as the reading truncates."""
    return -(-nsecs * 0xFFFFFFFF // 10**9)


def with_header(frame, secs, fraction, port=0):
    return capture_header(secs, fraction, port, len(frame), len(frame)) + frame


def tick_trailer(ticks, spare=0):
    """The 8-byte tick-counter trailer: 56-bit count of 5 ns ticks, one spare byte."""
    return struct.pack(">Q", (ticks << 8) | spare)


def fraction_trailer(secs, fraction):
    """The 8-byte seconds-and-fraction trailer (fraction in units of 2^-32 s)."""
    return struct.pack(">II", secs, fraction)


def write_capture(path, records, file_type="pcapng", link_type=1):
    """Writes (time, frame bytes) records with text2pcap; time is
    (seconds, nanoseconds) or a "seconds.fraction" string. pcapng keeps
    nanoseconds. Frames must not be empty. link_type is the capture's
    link-layer header type (1: Ethernet)."""
    # One hex dump line a frame, preceded by its time (text2pcap -t).
    proc = subprocess.Popen(["text2pcap", "-q", "-F", file_type, "-l", str(link_type),
                             "-t", "%s.%f", "-", str(path)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    with proc.stdin:
        for when, frame in records:
            if not isinstance(when, str):
                when = "%d.%09d" % when
            proc.stdin.write(b"%s 000000 %s\n" % (when.encode(), frame.hex(" ").encode()))
    output = proc.stdout.read()
    if proc.wait() != 0:
        raise RuntimeError("text2pcap failed:\n" + output.decode(errors="replace"))
    os.chmod(path, 0o644)
    return path


def truncate_capture(src, dst, snaplen):
    """Cuts every frame to snaplen bytes, as a capture with that snap length would."""
    subprocess.run(["editcap", "-s", str(snaplen), str(src), str(dst)], check=True,
                   stdout=subprocess.DEVNULL)
    os.chmod(dst, 0o644)
    return dst


def merge_captures(dst, *sources, in_order=False):
    """One pcapng of the sources' frames, in time order (or one source after
    the other), each source's interface kept as an interface of its own."""
    subprocess.run(["mergecap", "-F", "pcapng", "-w", str(dst)] + (["-a"] if in_order else [])
                   + [str(s) for s in sources], check=True, stdout=subprocess.DEVNULL)
    os.chmod(dst, 0o644)
    return dst


# pcapng written directly, for what text2pcap cannot write: several
# interfaces and link types, options on every block, damaged lengths, and
# large captures written fast.

LINKTYPE_ETHERNET = 1
LINKTYPE_RAW = 101  # IPv4 or IPv6 without a link-layer header


def _options(options):
    """Encoded options from (code, bytes) pairs, with the end of options."""
    out = b""
    for code, value in options:
        out += struct.pack("<HH", code, len(value)) + value + bytes(-len(value) % 4)
    return out + struct.pack("<HH", 0, 0) if out else b""


def _block(block_type, body):
    length = 12 + len(body)
    return struct.pack("<II", block_type, length) + body + struct.pack("<I", length)


def pcapng_section(comments=()):
    return _block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)
                  + _options([(1, c.encode()) for c in comments]))


def pcapng_interface(linktype=LINKTYPE_ETHERNET, tsresol=9, name=None, description=None,
                     fcslen=None):
    """An interface description; fcslen says how many bytes of FCS its
    frames end in."""
    options = [(9, bytes([tsresol]))]
    if name:
        options.append((2, name.encode()))
    if description:
        options.append((3, description.encode()))
    if fcslen is not None:
        options.append((13, bytes([fcslen])))
    return _block(1, struct.pack("<HHI", linktype, 0, 0) + _options(options))


def ethernet_fcs(frame):
    """The 4-byte frame check sequence of an Ethernet frame, as captured."""
    return struct.pack("<I", zlib.crc32(frame))


def with_pcap_fcs(path):
    """Makes a pcap file say, in its link-type word, that its Ethernet frames
    end in a 4-byte FCS (the FCS bits, length in 16-bit units)."""
    raw = bytearray(Path(path).read_bytes())
    raw[20:24] = (1 | 0x04000000 | (2 << 28)).to_bytes(4, "little")
    Path(path).write_bytes(bytes(raw))
    return path


def pcapng_packet(interface, when, data, wire_len=None, tsresol=9, comment=None, flags=None,
                  drops=None):
    """An enhanced packet block; when is (seconds, nanoseconds)."""
    units = when[0] * 10 ** tsresol + when[1] * 10 ** tsresol // 10 ** 9
    options = []
    if comment:
        options.append((1, comment.encode()))
    if flags is not None:
        options.append((2, struct.pack("<I", flags)))
    if drops is not None:
        options.append((4, struct.pack("<Q", drops)))
    wire_len = len(data) if wire_len is None else wire_len
    return _block(6, struct.pack("<IIIII", interface, units >> 32, units & 0xFFFFFFFF, len(data),
                                 wire_len) + data + bytes(-len(data) % 4) + _options(options))


def pcapng_names(ipv4_names):
    """A name resolution block from (address bytes, name) pairs."""
    records = b""
    for address, name in ipv4_names:
        value = address + name.encode() + b"\0"
        records += struct.pack("<HH", 1, len(value)) + value + bytes(-len(value) % 4)
    return _block(4, records + struct.pack("<HH", 0, 0))


def write_pcapng(path, blocks):
    """Writes the blocks (a section header first) as they are."""
    with open(path, "wb") as f:
        for block in blocks:
            f.write(block)
    os.chmod(path, 0o644)
    return path


def pcapng_secrets(secrets, secrets_type=0x544C534B):
    """A decryption secrets block (by default a TLS key log)."""
    return _block(0x0A, struct.pack("<II", secrets_type, len(secrets)) + secrets
                  + bytes(-len(secrets) % 4))


def pcapng_statistics(interface, when, received):
    """An interface statistics block with the count of packets received."""
    units = when[0] * 10 ** 9 + when[1]
    return _block(5, struct.pack("<III", interface, units >> 32, units & 0xFFFFFFFF)
                  + _options([(4, struct.pack("<Q", received))]))


def pcapng_journal_entry(fields):
    """A systemd journal export block: one entry, (name, value) pairs."""
    entry = "".join("%s=%s\n" % field for field in fields).encode()
    return _block(9, entry + bytes(-len(entry) % 4))


def pcapng_block_types(path):
    """The type of every block of a pcapng file, in order."""
    types = []
    with open(path, "rb") as f:
        data = f.read()
    offset = 0
    while offset + 8 <= len(data):
        block_type, length = struct.unpack_from("<II", data, offset)
        types.append(block_type)
        offset += length
    return types


def write_pcap(path, records):
    """An Ethernet pcap file in microseconds, written directly (text2pcap
    keeps every byte of a frame): (time, captured bytes, length on the wire
    or None) records."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, LINKTYPE_ETHERNET))
        for (secs, nsecs), data, wire_len in records:
            f.write(struct.pack("<IIII", secs, nsecs // 1000, len(data), wire_len or len(data))
                    + data)
    os.chmod(path, 0o644)
    return path
