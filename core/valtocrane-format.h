/* valtocrane-format.h
 * The ValtoCrane timestamp layouts: their names, where a device time lies
 * in a captured Ethernet frame, and how it is read.
 *
 * Free of the host, like the conversions, so that the dissector and the
 * tools apply the very same rules to the very same bytes.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_FORMAT_H
#define VALTOCRANE_FORMAT_H

#include <cstdint>

#include "valtocrane-time.h"

/* The layouts, by the values of the "ts_type" preference that select them. */
enum valtocrane_format {
    VALTOCRANE_DISABLED         = 0,
    VALTOCRANE_TICK_TRAILER     = 1,
    VALTOCRANE_FRACTION_TRAILER = 2,
    VALTOCRANE_CAPTURE_HEADER   = 3
};

/* Each layout: the name the preference stores (and the tools' --format
 * takes), the label the preference shows, and what it is in words. */
struct valtocrane_format_info {
    valtocrane_format format;
    const char *name;
    const char *label;
    const char *layout;
};

constexpr int VALTOCRANE_FORMAT_COUNT = 4;
extern const valtocrane_format_info VALTOCRANE_FORMATS[VALTOCRANE_FORMAT_COUNT];

/* A layout by its preference value (any other value is "Disabled"). */
const valtocrane_format_info &valtocrane_format_info_of(int format);

/* The layout a stored name selects, or NULL. */
const valtocrane_format_info *valtocrane_format_by_name(const char *name);

/* Unaligned words in either byte order, from bytes the caller has. */
constexpr std::uint32_t
valtocrane_load_be32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

constexpr std::uint32_t
valtocrane_load_le32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[3]) << 24 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

/* Offsets and lengths are ints, as the host's buffer accessors take them. */

/* Both trailers: 8 bytes after the frame, two big-endian 32-bit words. */
constexpr int VALTOCRANE_TRAILER_LEN = 8;

/* The capture header: 28 bytes before the frame, little-endian words. */
constexpr int VALTOCRANE_HEADER_LEN        = 28;
constexpr int VALTOCRANE_HEADER_MARKER     = 6;
constexpr int VALTOCRANE_HEADER_MARKER_LEN = 4;
constexpr int VALTOCRANE_HEADER_PORT_OFF   = 8;
constexpr int VALTOCRANE_HEADER_SECS_OFF   = 12;
constexpr int VALTOCRANE_HEADER_FRAC_OFF   = 16;
constexpr int VALTOCRANE_HEADER_CAPLEN_OFF = 20;
constexpr int VALTOCRANE_HEADER_PKTLEN_OFF = 24;

/* The capture header's port word: the device has two ports, A (0) and B
 * (1); any other value is an unknown port. By index (A, B, unknown) and as
 * the plugin shows it. */
constexpr std::uint32_t VALTOCRANE_PORT_UNKNOWN = 2;

constexpr std::uint32_t
valtocrane_port_index(std::uint32_t port)
{
    return port < VALTOCRANE_PORT_UNKNOWN ? port : VALTOCRANE_PORT_UNKNOWN;
}

constexpr const char *
valtocrane_port_label(std::uint32_t port)
{
    return port == 0 ? "Port A" : port == 1 ? "Port B" : "Unknown";
}

/* The 8 bytes of a device time, in either layout. */
constexpr int VALTOCRANE_TIME_LEN = 8;

/* What a frame holds for the chosen layout. */
enum valtocrane_outcome {
    VALTOCRANE_FOUND,            /* a device time that can be read */
    VALTOCRANE_TOO_SHORT,        /* too short to hold one: malformed */
    VALTOCRANE_TRAILER_CUT_OFF,  /* the snap length cut (part of) the trailer off */
    VALTOCRANE_NO_MARKER,        /* no capture header: not the device's frame */
    VALTOCRANE_HEADER_CUT_SHORT  /* the marker, but fewer than 28 bytes */
};

/* Where the device's bytes lie: front bytes before the frame, back bytes
 * after it, and behind those the frame's own FCS, fcs bytes of it; the
 * time's 8 bytes start at time_offset. */
struct valtocrane_location {
    valtocrane_outcome outcome;
    std::uint32_t front;
    std::uint32_t back;
    std::uint32_t fcs;
    std::uint32_t time_offset;
};

/* The length of an Ethernet FCS, where a capture file or the user says the
 * frames keep theirs (-1: not known, as the host counts it). */
constexpr int VALTOCRANE_FCS_LEN = 4;

/* Locates the device time of a frame of which captured bytes (at frame)
 * were kept of reported bytes on the wire; fcs_len is the length of the
 * Ethernet FCS the frame ends in (0 or 4), or -1 where it is not known.
 *
 * The device appends its trailer to the frame, before the FCS where the
 * capture keeps the FCS (the order of the host's own "fixed length
 * ethernet trailer ... before the (optional) FCS"), so it lies at the end
 * of the frame as it was on the wire (its reported length), less the FCS.
 * Where the FCS length is not known the trailer is the last 8 bytes. It can
 * be read only where the capture kept all of it: a snap length that cut it
 * off left frame bytes, not a time, at the end. The capture header is the
 * device's when its first word is the marker, and can be read when all 28
 * bytes were captured. */
valtocrane_location valtocrane_locate(valtocrane_format format, const std::uint8_t *frame,
                                      std::uint32_t captured, std::uint32_t reported,
                                      int fcs_len);

/* The frame's own bytes, without the device's and without its FCS: where
 * they start in what was captured and how many of them were captured
 * (the bytes a frame seen at two places has in common). fcs_len as for
 * valtocrane_locate; a trailer's location already counts its FCS. */
struct valtocrane_span {
    std::uint32_t offset;
    std::uint32_t length;
};

valtocrane_span valtocrane_own_bytes(const valtocrane_location &at, std::uint32_t captured,
                                     std::uint32_t reported, int fcs_len);

/* The device time at a location found: the capture header's and the
 * seconds-and-fraction trailer's as they are, the tick counter's as a count
 * since the counter's own zero (valtocrane_tick_anchor ties it to a clock). */
valtocrane_time valtocrane_device_time(valtocrane_format format, const std::uint8_t *frame,
                                       const valtocrane_location &at);

/* The tick counter runs free: it is tied to a clock at the first frame of
 * a capture that carries a readable counter. That frame keeps its time on
 * that clock (its capture file time); every other frame lies its tick
 * difference away from it. */
struct valtocrane_tick_anchor {
    bool set;
    valtocrane_time offset;  /* the first frame's time less its counter time */
};

/* A counter time on the anchor's clock; the first call ties the anchor to
 * the clock, with time the first frame's time on it. */
valtocrane_time valtocrane_tick_anchor_apply(valtocrane_tick_anchor *anchor, valtocrane_time time,
                                             valtocrane_time counter);

/* A device time more than max_offset_secs away from the capture file's
 * time cannot be right: a wrong format, a device clock never set, a frame
 * without a trailer in a trailer format. 0 turns the check off. The
 * default allows a day. */
constexpr std::uint32_t VALTOCRANE_MAX_OFFSET_DEFAULT = 86400;

bool valtocrane_time_implausible(valtocrane_time device, valtocrane_time file,
                                 std::uint32_t max_offset_secs);

/* The note valtocrane-retime adds to the description of every interface
 * whose frames it re-timed and stripped of the device's bytes: their file
 * times are the device times already, and the plugin leaves them alone. */
extern const char VALTOCRANE_RETIMED_NOTE[];

/* The note valtocrane-retime adds with --keep-device-bytes: the file times
 * are the device times, and the device's bytes are still there (the plugin
 * decodes them as usual). */
extern const char VALTOCRANE_RETIMED_KEPT_NOTE[];

bool valtocrane_interface_retimed(const char *description);

#endif /* VALTOCRANE_FORMAT_H */
