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

/* Seconds and nanoseconds in any mix of signs (the host keeps relative
 * times with both parts of the same sign, -0.5 s as 0 s and -500,000,000
 * ns) as an absolute time the way the host shows one: nanoseconds from 0
 * to 999,999,999, seconds rounded down, so that half a second before 1970
 * is -1 s and 500,000,000 ns. */
constexpr valtocrane_time
valtocrane_time_normalise(std::int64_t secs, std::int64_t nsecs)
{
    const std::int64_t ns_per_sec = VALTOCRANE_NS_PER_SEC;
    /* The sum or difference of two normalised times needs at most one
     * carry; only other mixes need the division. */
    if (nsecs >= 0 && nsecs < ns_per_sec)
        return { secs, static_cast<std::int32_t>(nsecs) };
    if (nsecs >= ns_per_sec && nsecs < 2 * ns_per_sec)
        return { secs + 1, static_cast<std::int32_t>(nsecs - ns_per_sec) };
    if (nsecs < 0 && nsecs >= -ns_per_sec)
        return { secs - 1, static_cast<std::int32_t>(nsecs + ns_per_sec) };
    std::int64_t carry = nsecs / ns_per_sec;
    std::int64_t rest = nsecs % ns_per_sec;
    if (rest < 0) {
        rest += ns_per_sec;
        carry -= 1;
    }
    return { secs + carry, static_cast<std::int32_t>(rest) };
}

constexpr valtocrane_time
valtocrane_time_add(valtocrane_time a, valtocrane_time b)
{
    return valtocrane_time_normalise(a.secs + b.secs,
                                     static_cast<std::int64_t>(a.nsecs) + b.nsecs);
}

/* a - b, normalised: a time before b has negative seconds. */
constexpr valtocrane_time
valtocrane_time_sub(valtocrane_time a, valtocrane_time b)
{
    return valtocrane_time_normalise(a.secs - b.secs,
                                     static_cast<std::int64_t>(a.nsecs) - b.nsecs);
}

/* Orders two normalised times: negative, 0 or positive as a is before, at
 * or after b, to the nanosecond. */
constexpr int
valtocrane_time_cmp(valtocrane_time a, valtocrane_time b)
{
    if (a.secs != b.secs)
        return a.secs < b.secs ? -1 : 1;
    if (a.nsecs != b.nsecs)
        return a.nsecs < b.nsecs ? -1 : 1;
    return 0;
}

constexpr bool
valtocrane_time_equal(valtocrane_time a, valtocrane_time b)
{
    return valtocrane_time_cmp(a, b) == 0;
}

/* How far apart two normalised times are, whichever comes first. */
constexpr valtocrane_time
valtocrane_time_distance(valtocrane_time a, valtocrane_time b)
{
    return valtocrane_time_cmp(a, b) >= 0 ? valtocrane_time_sub(a, b) : valtocrane_time_sub(b, a);
}

/* Nanoseconds since 1970 in 128 bits: every time above, and sums and
 * products of them that 64 bits do not hold. */
__extension__ typedef __int128 valtocrane_wide;

constexpr valtocrane_wide
valtocrane_wide_ns(valtocrane_time t)
{
    return static_cast<valtocrane_wide>(t.secs) * VALTOCRANE_NS_PER_SEC + t.nsecs;
}

/* The time of a count of nanoseconds since 1970 (normalised). */
constexpr valtocrane_time
valtocrane_time_of_wide(valtocrane_wide ns)
{
    valtocrane_wide secs = ns / VALTOCRANE_NS_PER_SEC;
    valtocrane_wide rest = ns % VALTOCRANE_NS_PER_SEC;
    if (rest < 0) {
        rest += VALTOCRANE_NS_PER_SEC;
        secs -= 1;
    }
    return { static_cast<std::int64_t>(secs), static_cast<std::int32_t>(rest) };
}

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
