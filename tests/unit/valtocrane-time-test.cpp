// Device time conversions on their boundary values, expected values worked
// out by hand.

#include <cstdint>

#include <gtest/gtest.h>

#include "valtocrane-time.h"

namespace {

// The trailer's two big-endian words from its eight bytes.
constexpr std::uint32_t be32(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

struct TickCase {
    std::uint8_t bytes[8];
    std::int64_t secs;
    std::int32_t nsecs;
};

TEST(TickCounterTrailer, DecodesFiftySixBitCountOfFiveNanosecondTicks)
{
    const TickCase cases[] = {
        // 200,000,000 ticks: exactly one second; the eighth byte is no part of the count.
        { { 0x00, 0x00, 0x00, 0x0B, 0xEB, 0xC2, 0x00, 0x77 }, 1, 0 },
        { { 0x00, 0x00, 0x00, 0x0B, 0xEB, 0xC2, 0x00, 0x00 }, 1, 0 },
        // 200 ticks.
        { { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC8, 0xFF }, 0, 1000 },
        { { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00 }, 0, 5 },
        // 2^56 - 1 ticks = 360,287,970,189,639,675 ns.
        { { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF }, 360287970, 189639675 },
        // 2^32 ticks: a count that crosses the word boundary.
        { { 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00 }, 21, 474836480 },
    };
    for (const TickCase &c : cases) {
        const valtocrane_time t = valtocrane_tick_counter_time(
            be32(c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3]),
            be32(c.bytes[4], c.bytes[5], c.bytes[6], c.bytes[7]));
        EXPECT_EQ(t.secs, c.secs) << "ticks " << std::hex << +c.bytes[0] << "..";
        EXPECT_EQ(t.nsecs, c.nsecs) << "secs " << c.secs;
    }
}

TEST(SecondsAndFractionTrailer, ScalesFractionByTwoToTheMinus32AndTruncates)
{
    EXPECT_EQ(valtocrane_trailer_fraction_ns(0x00000000U), 0);
    EXPECT_EQ(valtocrane_trailer_fraction_ns(0x00000001U), 0);
    EXPECT_EQ(valtocrane_trailer_fraction_ns(0x00000005U), 1);  // 1.16 ns
    EXPECT_EQ(valtocrane_trailer_fraction_ns(0x80000000U), 500000000);
    EXPECT_EQ(valtocrane_trailer_fraction_ns(3000000000U), 698491930);
    EXPECT_EQ(valtocrane_trailer_fraction_ns(0xFFFFFFFFU), 999999999);
}

TEST(SecondsAndFractionTrailer, SecondsAreUnsigned)
{
    // 5A 00 00 00 80 00 00 00: 2017-11-06 06:24:00.5 UTC.
    const valtocrane_time t = valtocrane_trailer_time(0x5A000000U, 0x80000000U);
    EXPECT_EQ(t.secs, 1509949440);
    EXPECT_EQ(t.nsecs, 500000000);
    // Past 2038 and up to 2106, never negative.
    EXPECT_EQ(valtocrane_trailer_time(0x80000000U, 0).secs, 2147483648);
    EXPECT_EQ(valtocrane_trailer_time(0xFFFFFFFFU, 0).secs, 4294967295);
}

TEST(SecondsAndFractionTrailer, AgreesWithIntegerFloorAcrossTheRange)
{
    // fraction * 10^9 / 2^32 rounded down, in exact integer arithmetic.
    for (std::uint64_t f = 0; f <= 0xFFFFFFFFU; f += 65521) {
        const auto frac = static_cast<std::uint32_t>(f);
        ASSERT_EQ(static_cast<std::uint64_t>(valtocrane_trailer_fraction_ns(frac)),
                  (f * 1000000000U) >> 32) << "fraction " << f;
    }
}

TEST(CaptureHeader, ScalesFractionSoThatAllOnesIsOneSecond)
{
    EXPECT_EQ(valtocrane_header_fraction_ns(0x00000000U), 0);
    EXPECT_EQ(valtocrane_header_fraction_ns(0x80000000U), 500000000);
    EXPECT_EQ(valtocrane_header_fraction_ns(0x7FFFFFFFU), 499999999);
    // 698,491,931 where a 2^-32 scaling would give 698,491,930.
    EXPECT_EQ(valtocrane_header_fraction_ns(3000000000U), 698491931);
    EXPECT_EQ(valtocrane_header_fraction_ns(0xFFFFFFFEU), 999999999);
    EXPECT_EQ(valtocrane_header_fraction_ns(0xFFFFFFFFU), 1000000000);
}

TEST(CaptureHeader, WholeSecondFractionIsCarriedIntoTheSeconds)
{
    valtocrane_time t = valtocrane_header_time(1700000000U, 0xFFFFFFFFU);
    EXPECT_EQ(t.secs, 1700000001);
    EXPECT_EQ(t.nsecs, 0);

    t = valtocrane_header_time(0xFFFFFFFFU, 0xFFFFFFFFU);
    EXPECT_EQ(t.secs, 4294967296);
    EXPECT_EQ(t.nsecs, 0);

    t = valtocrane_header_time(1700000000U, 0xFFFFFFFEU);
    EXPECT_EQ(t.secs, 1700000000);
    EXPECT_EQ(t.nsecs, 999999999);
}

TEST(CaptureHeader, NanosecondsStayInRangeAndNeverGoBackwards)
{
    std::int32_t previous = -1;
    for (std::uint64_t f = 0; f <= 0xFFFFFFFFU; f += 65521) {
        const valtocrane_time t = valtocrane_header_time(0, static_cast<std::uint32_t>(f));
        ASSERT_EQ(t.secs, 0) << "fraction " << f;
        ASSERT_GE(t.nsecs, previous) << "fraction " << f;
        ASSERT_LT(t.nsecs, 1000000000) << "fraction " << f;
        previous = t.nsecs;
    }
}

} // namespace
