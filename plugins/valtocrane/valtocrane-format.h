/* valtocrane-format.h
 * Where a ValtoCrane device puts its timestamp in a captured Ethernet frame,
 * and when a frame carries one that can be read.
 *
 * Free of the host, like the conversions, so that the dissector and the
 * re-timing tool apply the very same rules to the very same bytes.
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

/* The name the preference stores for each layout (and the re-timing tool
 * takes as its --format). */
constexpr const char *
valtocrane_format_name(valtocrane_format format)
{
    return format == VALTOCRANE_TICK_TRAILER     ? "valtocrane-q3-graphite" :
           format == VALTOCRANE_FRACTION_TRAILER ? "valtocrane-proprietary-headers" :
           format == VALTOCRANE_CAPTURE_HEADER   ? "valtocrane-pcapng" : "disabled";
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

/* The 8 bytes of a device time, in either layout. */
constexpr int VALTOCRANE_TIME_LEN = 8;

/* The device appends its trailer to the whole frame, so it lies at the end
 * of the frame as it was on the wire (its reported length). It can be read
 * only where the capture kept all of it: a snap length that cut the frame
 * cut the trailer off, and what the capture holds at its end are frame
 * bytes, not a time. A frame shorter than a trailer is malformed. */
constexpr bool
valtocrane_trailer_is_captured(std::uint32_t captured, std::uint32_t reported)
{
    return reported >= static_cast<std::uint32_t>(VALTOCRANE_TRAILER_LEN) && captured >= reported;
}

/* Where the trailer starts, for a frame of at least VALTOCRANE_TRAILER_LEN
 * reported bytes; it is also the length of the frame in front of it. */
constexpr std::uint32_t
valtocrane_trailer_offset(std::uint32_t reported)
{
    return reported - static_cast<std::uint32_t>(VALTOCRANE_TRAILER_LEN);
}

/* A frame carries the capture header when its first word is the marker;
 * the header can be read when all 28 bytes of it were captured. */
constexpr bool
valtocrane_header_is_readable(std::uint32_t marker, std::uint32_t captured)
{
    return marker == static_cast<std::uint32_t>(VALTOCRANE_HEADER_MARKER) &&
           captured >= static_cast<std::uint32_t>(VALTOCRANE_HEADER_LEN);
}

/* The tick counter runs free: it is tied to the capture file's clock at the
 * first frame of the capture that carries a readable counter. That frame
 * keeps its capture file time; every other frame lies its tick difference
 * away from it. The anchor is the capture file time less the counter time
 * of that first frame. */
constexpr valtocrane_time
valtocrane_tick_anchor(valtocrane_time first_file_time, valtocrane_time first_counter_time)
{
    return valtocrane_time_sub(first_file_time, first_counter_time);
}

#endif /* VALTOCRANE_FORMAT_H */
