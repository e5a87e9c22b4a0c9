/* valtocrane-format.cpp
 * The ValtoCrane timestamp layouts, read from the bytes of a captured frame.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "valtocrane-format.h"

#include <cstring>

const valtocrane_format_info VALTOCRANE_FORMATS[VALTOCRANE_FORMAT_COUNT] = {
    { VALTOCRANE_DISABLED, "disabled", "Disabled", "no device time" },
    { VALTOCRANE_TICK_TRAILER, "valtocrane-q3-graphite", "Valtocrane-Q3 (graphite)",
      "tick-counter trailer" },
    { VALTOCRANE_FRACTION_TRAILER, "valtocrane-proprietary-headers", "Valtocrane-Q5 (graphite)",
      "seconds-and-fraction trailer" },
    { VALTOCRANE_CAPTURE_HEADER, "valtocrane-pcapng", "Valtocrane-Q3/Q5/Q5+/Q7",
      "capture header" },
};

const char VALTOCRANE_RETIMED_NOTE[] =
    "[device times applied by valtocrane-retime, device bytes removed]";
const char VALTOCRANE_RETIMED_KEPT_NOTE[] =
    "[device times applied by valtocrane-retime, device bytes kept]";

const valtocrane_format_info &
valtocrane_format_info_of(int format)
{
    return VALTOCRANE_FORMATS[format >= 0 && format < VALTOCRANE_FORMAT_COUNT ? format : 0];
}

const valtocrane_format_info *
valtocrane_format_by_name(const char *name)
{
    for (const valtocrane_format_info &info : VALTOCRANE_FORMATS) {
        if (std::strcmp(info.name, name) == 0)
            return &info;
    }
    return nullptr;
}

valtocrane_location
valtocrane_locate(valtocrane_format format, const std::uint8_t *frame, std::uint32_t captured,
                  std::uint32_t reported, int fcs_len)
{
    const auto trailer_len = static_cast<std::uint32_t>(VALTOCRANE_TRAILER_LEN);
    const auto header_len = static_cast<std::uint32_t>(VALTOCRANE_HEADER_LEN);
    const std::uint32_t fcs = fcs_len == VALTOCRANE_FCS_LEN ? VALTOCRANE_FCS_LEN : 0;

    switch (format) {
    case VALTOCRANE_TICK_TRAILER:
    case VALTOCRANE_FRACTION_TRAILER: {
        if (reported < trailer_len + fcs)
            return { VALTOCRANE_TOO_SHORT, 0, 0, 0, 0 };
        const std::uint32_t offset = reported - fcs - trailer_len;
        if (captured < offset + trailer_len)
            return { VALTOCRANE_TRAILER_CUT_OFF, 0, trailer_len, fcs, offset };
        return { VALTOCRANE_FOUND, 0, trailer_len, fcs, offset };
    }
    case VALTOCRANE_CAPTURE_HEADER:
        if (captured < static_cast<std::uint32_t>(VALTOCRANE_HEADER_MARKER_LEN))
            return { VALTOCRANE_TOO_SHORT, 0, 0, 0, 0 };
        if (valtocrane_load_le32(frame) != static_cast<std::uint32_t>(VALTOCRANE_HEADER_MARKER))
            return { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 };
        if (captured < header_len)
            return { VALTOCRANE_HEADER_CUT_SHORT, header_len, 0, 0, VALTOCRANE_HEADER_SECS_OFF };
        return { VALTOCRANE_FOUND, header_len, 0, 0, VALTOCRANE_HEADER_SECS_OFF };
    case VALTOCRANE_DISABLED:
        break;
    }
    return { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 };
}

valtocrane_span
valtocrane_own_bytes(const valtocrane_location &at, std::uint32_t captured, std::uint32_t reported,
                     int fcs_len)
{
    std::uint32_t end = at.back != 0 ? at.time_offset : reported;
    if (at.back == 0 && fcs_len == VALTOCRANE_FCS_LEN && end >= at.front + VALTOCRANE_FCS_LEN)
        end -= VALTOCRANE_FCS_LEN;
    if (end > captured)
        end = captured;
    return { at.front, end > at.front ? end - at.front : 0 };
}

valtocrane_time
valtocrane_device_time(valtocrane_format format, const std::uint8_t *frame,
                       const valtocrane_location &at)
{
    const std::uint8_t *t = frame + at.time_offset;

    if (format == VALTOCRANE_CAPTURE_HEADER)
        return valtocrane_header_time(valtocrane_load_le32(t), valtocrane_load_le32(t + 4));
    if (format == VALTOCRANE_TICK_TRAILER)
        return valtocrane_tick_counter_time(valtocrane_load_be32(t), valtocrane_load_be32(t + 4));
    return valtocrane_trailer_time(valtocrane_load_be32(t), valtocrane_load_be32(t + 4));
}

valtocrane_time
valtocrane_tick_anchor_apply(valtocrane_tick_anchor *anchor, valtocrane_time time,
                             valtocrane_time counter)
{
    if (!anchor->set) {
        anchor->offset = valtocrane_time_sub(time, counter);
        anchor->set = true;
    }
    return valtocrane_time_add(counter, anchor->offset);
}

bool
valtocrane_time_implausible(valtocrane_time device, valtocrane_time file,
                            std::uint32_t max_offset_secs)
{
    if (max_offset_secs == 0)
        return false;
    const valtocrane_time d = valtocrane_time_distance(device, file);
    return d.secs > static_cast<std::int64_t>(max_offset_secs) ||
           (d.secs == static_cast<std::int64_t>(max_offset_secs) && d.nsecs > 0);
}

bool
valtocrane_interface_retimed(const char *description)
{
    return description != nullptr && std::strstr(description, VALTOCRANE_RETIMED_NOTE) != nullptr;
}
