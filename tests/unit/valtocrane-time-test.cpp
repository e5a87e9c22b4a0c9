// Device time conversions on their boundary values, worked out by hand, and
// over a sweep of the whole fraction range.

#include <cstdint>
#include <string>

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
    // Tick counter tied at 5.25 s to a counter at 10 s; a later counter
    // 0.75 s short of that lies before the tie, and the tie is kept.
    valtocrane_tick_anchor anchor = {};
    const valtocrane_time first = valtocrane_tick_anchor_apply(&anchor, { 5, 250000000 }, { 10, 0 });
    EXPECT_EQ(first.secs, 5);
    EXPECT_EQ(first.nsecs, 250000000);
    EXPECT_EQ(anchor.offset.secs, -5);
    EXPECT_EQ(anchor.offset.nsecs, 250000000);
    const valtocrane_time before = valtocrane_tick_anchor_apply(&anchor, { 99, 0 }, { 9, 250000000 });
    EXPECT_EQ(before.secs, 4);
    EXPECT_EQ(before.nsecs, 500000000);
    const valtocrane_time early = valtocrane_time_sub({ 0, 0 }, { 0, 1 });
    EXPECT_EQ(early.secs, -1);
    EXPECT_EQ(early.nsecs, 999999999);
    // Ordered to the nanosecond, seconds first.
    EXPECT_LT(valtocrane_time_cmp({ 7, 5 }, { 7, 6 }), 0);
    EXPECT_GT(valtocrane_time_cmp({ 7, 6 }, { 7, 5 }), 0);
    EXPECT_LT(valtocrane_time_cmp({ -1, 999999999 }, { 0, 0 }), 0);
    EXPECT_FALSE(valtocrane_time_equal({ 7, 5 }, { 7, 6 }));
    EXPECT_TRUE(valtocrane_time_equal({ 7, 5 }, { 7, 5 }));
}

TEST(Layouts, WhereTheDeviceTimeLiesAndWhenItCanBeRead)
{
    // The trailer is the last 8 bytes on the wire; the header's marker is
    // a little-endian 6.
    const std::uint8_t marker[] = { 6, 0, 0, 0 }, big_endian_six[] = { 0, 0, 0, 6 };
    struct {
        valtocrane_format format;
        const std::uint8_t *frame;
        std::uint32_t captured, reported;
        int fcs_len;  // -1: not known
        valtocrane_location want;
    } cases[] = {
        { VALTOCRANE_FRACTION_TRAILER, nullptr, 76, 76, -1, { VALTOCRANE_FOUND, 0, 8, 0, 68 } },
        { VALTOCRANE_TICK_TRAILER, nullptr, 8, 8, 0, { VALTOCRANE_FOUND, 0, 8, 0, 0 } },
        { VALTOCRANE_TICK_TRAILER, nullptr, 7, 7, -1, { VALTOCRANE_TOO_SHORT, 0, 0, 0, 0 } },
        { VALTOCRANE_FRACTION_TRAILER, nullptr, 75, 76, -1,
          { VALTOCRANE_TRAILER_CUT_OFF, 0, 8, 0, 68 } },
        { VALTOCRANE_FRACTION_TRAILER, nullptr, 60, 76, -1,
          { VALTOCRANE_TRAILER_CUT_OFF, 0, 8, 0, 68 } },
        // The trailer lies before a 4-byte FCS: only the FCS may be cut.
        { VALTOCRANE_TICK_TRAILER, nullptr, 80, 80, 4, { VALTOCRANE_FOUND, 0, 8, 4, 68 } },
        { VALTOCRANE_TICK_TRAILER, nullptr, 76, 80, 4, { VALTOCRANE_FOUND, 0, 8, 4, 68 } },
        { VALTOCRANE_TICK_TRAILER, nullptr, 75, 80, 4,
          { VALTOCRANE_TRAILER_CUT_OFF, 0, 8, 4, 68 } },
        { VALTOCRANE_FRACTION_TRAILER, nullptr, 12, 12, 4, { VALTOCRANE_FOUND, 0, 8, 4, 0 } },
        { VALTOCRANE_FRACTION_TRAILER, nullptr, 11, 11, 4, { VALTOCRANE_TOO_SHORT, 0, 0, 0, 0 } },
        { VALTOCRANE_CAPTURE_HEADER, marker, 28, 28, -1, { VALTOCRANE_FOUND, 28, 0, 0, 12 } },
        { VALTOCRANE_CAPTURE_HEADER, marker, 92, 92, 4, { VALTOCRANE_FOUND, 28, 0, 0, 12 } },
        { VALTOCRANE_CAPTURE_HEADER, marker, 27, 90, -1,
          { VALTOCRANE_HEADER_CUT_SHORT, 28, 0, 0, 12 } },
        { VALTOCRANE_CAPTURE_HEADER, marker, 3, 3, -1, { VALTOCRANE_TOO_SHORT, 0, 0, 0, 0 } },
        { VALTOCRANE_CAPTURE_HEADER, big_endian_six, 90, 90, -1,
          { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 } },
    };
    for (const auto &c : cases) {
        const valtocrane_location got =
            valtocrane_locate(c.format, c.frame, c.captured, c.reported, c.fcs_len);
        const std::string at = std::to_string(c.format) + " " + std::to_string(c.captured) + "/" +
                               std::to_string(c.reported) + " fcs " + std::to_string(c.fcs_len);
        EXPECT_EQ(got.outcome, c.want.outcome) << at;
        EXPECT_EQ(got.front, c.want.front) << at;
        EXPECT_EQ(got.back, c.want.back) << at;
        EXPECT_EQ(got.fcs, c.want.fcs) << at;
        EXPECT_EQ(got.time_offset, c.want.time_offset) << at;
    }
    // The frame's own bytes: before a trailer (and its FCS), after a
    // header, without the FCS of a frame with no device bytes.
    const struct {
        valtocrane_location at;
        std::uint32_t captured, reported;
        int fcs_len;
        std::uint32_t offset, length;
    } spans[] = {
        { { VALTOCRANE_FOUND, 0, 8, 4, 68 }, 80, 80, 4, 0, 68 },
        { { VALTOCRANE_FOUND, 0, 8, 0, 68 }, 76, 76, -1, 0, 68 },
        { { VALTOCRANE_FOUND, 28, 0, 0, 12 }, 100, 100, 4, 28, 68 },
        { { VALTOCRANE_FOUND, 28, 0, 0, 12 }, 60, 100, -1, 28, 32 },
        { { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 }, 72, 72, 4, 0, 68 },
    };
    for (const auto &c : spans) {
        const valtocrane_span got = valtocrane_own_bytes(c.at, c.captured, c.reported, c.fcs_len);
        EXPECT_EQ(got.offset, c.offset) << c.captured << "/" << c.reported;
        EXPECT_EQ(got.length, c.length) << c.captured << "/" << c.reported;
    }
    // Every stored name selects its layout; nothing else does.
    for (const valtocrane_format_info &info : VALTOCRANE_FORMATS)
        EXPECT_EQ(valtocrane_format_by_name(info.name), &info);
    EXPECT_EQ(valtocrane_format_by_name("Disabled"), nullptr);
    // The capture header's port word, as the plugin shows it.
    EXPECT_STREQ(valtocrane_port_label(0), "Port A");
    EXPECT_STREQ(valtocrane_port_label(1), "Port B");
    EXPECT_STREQ(valtocrane_port_label(2), "Unknown");
    EXPECT_STREQ(valtocrane_port_label(0xFFFFFFFF), "Unknown");
}

TEST(Plausibility, DeviceTimesFurtherThanAllowedFromTheFileTime)
{
    const valtocrane_time file = { 1700000000, 500000000 };
    struct {
        valtocrane_time device;
        std::uint32_t max;
        bool implausible;
    } cases[] = {
        { { 1700086400, 500000000 }, 86400, false },  // a day later, exactly
        { { 1700086400, 500000001 }, 86400, true },
        { { 1699913600, 500000000 }, 86400, false },  // a day earlier
        { { 1699913600, 499999999 }, 86400, true },
        { { 1, 0 }, 86400, true },                    // a counter never tied, 1970
        { { 1, 0 }, 0, false },                       // the check off
    };
    for (const auto &c : cases)
        EXPECT_EQ(valtocrane_time_implausible(c.device, file, c.max), c.implausible)
            << c.device.secs << "." << c.device.nsecs << " max " << c.max;
    EXPECT_TRUE(valtocrane_interface_retimed(
        "eth2 [device times applied by valtocrane-retime, device bytes removed]"));
    EXPECT_FALSE(valtocrane_interface_retimed("eth2"));
    EXPECT_FALSE(valtocrane_interface_retimed(nullptr));
}

} // namespace
