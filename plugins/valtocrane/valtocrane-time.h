/* valtocrane-time.h
 * Conversions of ValtoCrane device timestamps into seconds and nanoseconds.
 *
 * Plain arithmetic with no dependency on the host, so that it can be
 * checked on its boundary values without loading a dissector.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_TIME_H
#define VALTOCRANE_TIME_H

#include <cstdint>

/* A device time: seconds since 1970-01-01 00:00:00 UTC and nanoseconds,
 * laid out like the host's nstime_t. */
struct valtocrane_time {
    std::int64_t secs;
    std::int32_t nsecs;
};

constexpr std::uint32_t VALTOCRANE_NS_PER_SEC = 1000000000U;
constexpr std::uint32_t VALTOCRANE_NS_PER_TICK = 5U;

/* Tick-counter trailer: bytes 0 to 6 hold a big-endian count of 5 ns ticks,
 * byte 7 is not part of it. w1 and w2 are the trailer's two big-endian
 * words; at most 2^56 - 1 ticks, so the product below cannot overflow. */
constexpr std::uint64_t
valtocrane_tick_count(std::uint32_t w1, std::uint32_t w2)
{
    return (static_cast<std::uint64_t>(w1) << 24) | (w2 >> 8);
}

constexpr valtocrane_time
valtocrane_tick_counter_time(std::uint32_t w1, std::uint32_t w2)
{
    const std::uint64_t ns = valtocrane_tick_count(w1, w2) * VALTOCRANE_NS_PER_TICK;
    return { static_cast<std::int64_t>(ns / VALTOCRANE_NS_PER_SEC),
             static_cast<std::int32_t>(ns % VALTOCRANE_NS_PER_SEC) };
}

/* Seconds-and-fraction trailer: the fraction counts units of 2^-32 s.
 * The product is exact in a double and truncated, so the result never
 * reaches a whole second (0xFFFFFFFF gives 999,999,999). */
constexpr std::int32_t
valtocrane_trailer_fraction_ns(std::uint32_t fraction)
{
    return static_cast<std::int32_t>(static_cast<double>(fraction)
                                     * (1.0 / 4294967296.0)
                                     * static_cast<double>(VALTOCRANE_NS_PER_SEC));
}

constexpr valtocrane_time
valtocrane_trailer_time(std::uint32_t secs, std::uint32_t fraction)
{
    return { static_cast<std::int64_t>(secs), valtocrane_trailer_fraction_ns(fraction) };
}

/* Capture header: the fraction is scaled so that 0xFFFFFFFF is one whole
 * second (division by 2^32 - 1, not 2^32). Only 0xFFFFFFFF reaches
 * 1,000,000,000 ns, which is no valid nanosecond count: it is carried into
 * the seconds instead. */
constexpr std::int32_t
valtocrane_header_fraction_ns(std::uint32_t fraction)
{
    return static_cast<std::int32_t>(
        static_cast<double>(static_cast<std::uint64_t>(fraction) * VALTOCRANE_NS_PER_SEC)
        / 4294967295.0);
}

constexpr valtocrane_time
valtocrane_header_time(std::uint32_t secs, std::uint32_t fraction)
{
    const std::int32_t ns = valtocrane_header_fraction_ns(fraction);
    if (ns >= static_cast<std::int32_t>(VALTOCRANE_NS_PER_SEC))
        return { static_cast<std::int64_t>(secs) + 1, ns - static_cast<std::int32_t>(VALTOCRANE_NS_PER_SEC) };
    return { static_cast<std::int64_t>(secs), ns };
}

#endif /* VALTOCRANE_TIME_H */
