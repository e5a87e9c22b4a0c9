// Device time conversions on their boundary values, worked out by hand, and
// over a sweep of the whole fraction range.

#include <cstdint>

#include <gtest/gtest.h>

#include "valtocrane-format.h"

namespace {

struct Case {
    std::uint32_t w1, w2;  // the trailer's two big-endian words, or seconds and fraction
    std::int64_t secs;
    std::int32_t nsecs;
};

void expect_times(valtocrane_time (*decode)(std::uint32_t, std::uint32_t),
                  std::initializer_list<Case> cases)
{
    for (const Case &c : cases) {
        const valtocrane_time t = decode(c.w1, c.w2);
        EXPECT_EQ(t.secs, c.secs) << std::hex << c.w1 << " " << c.w2;
        EXPECT_EQ(t.nsecs, c.nsecs) << std::hex << c.w1 << " " << c.w2;
    }
}

TEST(TickCounterTrailer, FiftySixBitCountOfFiveNanosecondTicks)
{
    expect_times(valtocrane_tick_counter_time, {
        { 0x0000000B, 0xEBC20077, 1, 0 },  // 200,000,000 ticks; byte 7 is no part of it
        { 0x0000000B, 0xEBC20000, 1, 0 },
        { 0x00000000, 0x0000C8FF, 0, 1000 },
        { 0x00000000, 0x00000100, 0, 5 },
        { 0x00000100, 0x00000000, 21, 474836480 },  // 2^32 ticks, across the words
        { 0xFFFFFFFF, 0xFFFFFFFF, 360287970, 189639675 },  // 2^56 - 1 ticks
    });
}

TEST(SecondsAndFractionTrailer, UnsignedSecondsAndFractionOfTwoToTheMinus32)
{
    expect_times(valtocrane_trailer_time, {
        { 0x5A000000, 0x80000000, 1509949440, 500000000 },  // 2017-11-06 06:24:00.5
        { 0, 1, 0, 0 },
        { 0, 5, 0, 1 },
        { 0, 3000000000U, 0, 698491930 },
        { 0, 0xFFFFFFFF, 0, 999999999 },  // truncated, never a whole second
        { 0xFFFFFFFF, 0, 4294967295, 0 },  // 2106, never negative
    });
}

TEST(CaptureHeader, FractionScaledSoThatAllOnesIsOneSecondAndCarried)
{
    expect_times(valtocrane_header_time, {
        { 1700000000, 0x80000000, 1700000000, 500000000 },
        { 1700000000, 0x7FFFFFFF, 1700000000, 499999999 },
        { 1700000000, 3000000000U, 1700000000, 698491931 },  // 2^32 - 1, not 2^32
        { 1700000000, 0xFFFFFFFE, 1700000000, 999999999 },
        { 1700000000, 0xFFFFFFFF, 1700000001, 0 },  // a whole second, carried
        { 0xFFFFFFFF, 0xFFFFFFFF, 4294967296, 0 },
    });
}

TEST(Fractions, InRangeMonotonicAndTrailerExactAcrossTheRange)
{
    std::int32_t previous = -1;
    for (std::uint64_t f = 0; f <= 0xFFFFFFFFU; f += 65521) {
        const auto fraction = static_cast<std::uint32_t>(f);
        // fraction * 10^9 / 2^32 rounded down, in exact integer arithmetic.
        ASSERT_EQ(static_cast<std::uint64_t>(valtocrane_trailer_fraction_ns(fraction)),
                  (f * 1000000000U) >> 32) << f;
        const valtocrane_time t = valtocrane_header_time(0, fraction);
        ASSERT_EQ(t.secs, 0) << f;
        ASSERT_GE(t.nsecs, previous) << f;
        ASSERT_LT(t.nsecs, 1000000000) << f;
        previous = t.nsecs;
    }
}

TEST(TimeArithmetic, NormalisedAsTheHostShowsAbsoluteTimes)
{
    struct { std::int64_t secs, nsecs, want_secs; std::int32_t want_nsecs; } cases[] = {
        { 5, 999999999, 5, 999999999 },
        { 5, 1000000000, 6, 0 },
        { 5, 2500000000, 7, 500000000 },
        { 0, -500000000, -1, 500000000 },  // the host's relative -0.5 s: 1969-12-31 23:59:59.5
        { 0, -1000000000, -1, 0 },
        { 0, -2500000001, -3, 499999999 },
        { -3, 1500000000, -2, 500000000 },
    };
    for (const auto &c : cases) {
        const valtocrane_time t = valtocrane_time_normalise(c.secs, c.nsecs);
        EXPECT_EQ(t.secs, c.want_secs) << c.secs << " " << c.nsecs;
        EXPECT_EQ(t.nsecs, c.want_nsecs) << c.secs << " " << c.nsecs;
    }
    // Tick counter tied 5.25 s after its own zero, with the counter 0.75 s short of it.
    const valtocrane_time anchor = valtocrane_tick_anchor({ 5, 250000000 }, { 10, 0 });
    EXPECT_EQ(anchor.secs, -5);
    EXPECT_EQ(anchor.nsecs, 250000000);
    const valtocrane_time before = valtocrane_time_add({ 9, 250000000 }, anchor);
    EXPECT_EQ(before.secs, 4);
    EXPECT_EQ(before.nsecs, 500000000);
    const valtocrane_time early = valtocrane_time_sub({ 0, 0 }, { 0, 1 });
    EXPECT_EQ(early.secs, -1);
    EXPECT_EQ(early.nsecs, 999999999);
}

TEST(Layouts, WhenADeviceTimeCanBeRead)
{
    // captured, reported length: the trailer is the last 8 bytes on the wire.
    EXPECT_TRUE(valtocrane_trailer_is_captured(8, 8));
    EXPECT_TRUE(valtocrane_trailer_is_captured(76, 76));
    EXPECT_FALSE(valtocrane_trailer_is_captured(7, 7));    // too short
    EXPECT_FALSE(valtocrane_trailer_is_captured(4, 4));
    EXPECT_FALSE(valtocrane_trailer_is_captured(75, 76));  // one trailer byte not captured
    EXPECT_FALSE(valtocrane_trailer_is_captured(60, 76));
    EXPECT_EQ(valtocrane_trailer_offset(76), 68U);
    // marker, captured length
    EXPECT_TRUE(valtocrane_header_is_readable(6, 28));
    EXPECT_FALSE(valtocrane_header_is_readable(6, 27));
    EXPECT_FALSE(valtocrane_header_is_readable(5, 100));
    EXPECT_FALSE(valtocrane_header_is_readable(0x06000000, 100));  // the marker is little-endian
}

} // namespace
