// Latency figures worked out by hand: percentiles by nearest rank at the
// middle of their bucket, lost frames by direction, flows worst first, and
// the intervals of the time series.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "valtocrane-stats.h"

namespace {

struct Figures {
    std::vector<std::int64_t> latencies;
    std::int64_t min, mean, p50, p90, p99, p999, max;
};

TEST(Histogram, NearestRankAtTheMiddleOfTheBucketWithinMinAndMax)
{
    std::vector<std::int64_t> hundred;
    for (int k = 1; k <= 100; k++)
        hundred.push_back(k * 100);
    const Figures cases[] = {
        // 100 ns to 10 us in steps of 100 ns: p50 is 5000 ns, in the bucket
        // 4992 to 5055 (64 ns wide from 4096 on), its middle 5023; p90 9000
        // in 8960 to 9087; p99 9900 in 9856 to 9983; p99.9 (rank 100) 10000
        // in 9984 to 10111, its middle past the greatest, so the greatest.
        { hundred, 100, 5050, 5023, 9023, 9919, 10000, 10000 },
        // Under 64 ns every value has a bucket of its own: exact.
        { { 5, 1, 4, 2, 3 }, 1, 3, 3, 5, 5, 5, 5 },
        // A later copy with an earlier device time: 600 ns before, in the
        // bucket of magnitudes 600 to 607, kept within the least.
        { { -600, 100 }, -600, -250, -600, 100, 100, 100, 100 },
        // Means rounded to the nanosecond, halves away from 0.
        { { 1, 2 }, 1, 2, 1, 2, 2, 2, 2 },
        { { -1, -2 }, -2, -2, -2, -1, -1, -1, -1 },
        // A day: 86,400 s, in a bucket 2^40 ns wide.
        { { 86400000000000 }, 86400000000000, 86400000000000, 86400000000000, 86400000000000,
          86400000000000, 86400000000000, 86400000000000 },
    };
    for (const Figures &c : cases) {
        valtocrane_histogram h;
        for (std::int64_t ns : c.latencies)
            h.add(ns);
        const std::string at = std::to_string(c.latencies.front()) + "...";
        EXPECT_EQ(h.count(), c.latencies.size()) << at;
        EXPECT_EQ(h.min(), c.min) << at;
        EXPECT_EQ(h.mean(), c.mean) << at;
        EXPECT_EQ(h.percentile(50000), c.p50) << at;
        EXPECT_EQ(h.percentile(90000), c.p90) << at;
        EXPECT_EQ(h.percentile(99000), c.p99) << at;
        EXPECT_EQ(h.percentile(99900), c.p999) << at;
        EXPECT_EQ(h.max(), c.max) << at;
    }
}

TEST(Histogram, RowsGroupNeighbouringBucketsFromTheLeastToTheGreatest)
{
    valtocrane_histogram h;
    for (int k = 1; k <= 100; k++)
        h.add(k * 100);
    // Groups of 32 buckets: 96 to 127 ns holds 100, ... 9984 to 10239
    // holds 10000.
    const auto rows = h.rows(24);
    ASSERT_EQ(rows.size(), 14U);
    EXPECT_EQ(rows.front().from, 96);
    EXPECT_EQ(rows.front().to, 127);
    EXPECT_EQ(rows.front().count, 1U);
    std::uint64_t total = 0;
    for (const auto &r : rows)
        total += r.count;
    EXPECT_EQ(total, 100U);
}

valtocrane_time
at_ns(std::int64_t ns)
{
    return { ns / 1000000000, static_cast<std::int32_t>(ns % 1000000000) };
}

// Two points: frames lost at A were lost on the way to B. Three: to any.
TEST(LatencyStats, LostFramesCountForTheirDirection)
{
    valtocrane_latency_stats s;
    s.reset(false, 0);
    const std::uint32_t a = s.point("Port A"), b = s.point("Port B");
    for (std::uint32_t p : { a, a, a, b, b })
        s.seen(p, true);
    s.copy(a, b, at_ns(1000), at_ns(5000), nullptr);
    s.copy(a, b, at_ns(2000), at_ns(4500), nullptr);
    s.lost(a, at_ns(3000), nullptr, false);
    const auto directions = s.directions();
    ASSERT_EQ(directions.size(), 1U);
    EXPECT_EQ(directions[0].from, a);
    EXPECT_EQ(directions[0].to, b);
    EXPECT_EQ(directions[0].lost, 1U);
    EXPECT_EQ(directions[0].latency->count(), 2U);
    EXPECT_NE(s.directions_text().find("Port A -> Port B: 2 copies, 1 lost"), std::string::npos);

    const std::uint32_t c = s.point("Port C");
    s.seen(c, true);
    s.lost(b, at_ns(6000), nullptr, true);
    const auto three = s.directions();
    ASSERT_EQ(three.size(), 3U);
    EXPECT_EQ(three[1].to, VALTOCRANE_ANY_POINT);  // A's lost frame: to B or C
    EXPECT_EQ(three[2].from, b);
    EXPECT_EQ(three[2].to, VALTOCRANE_ANY_POINT);
    EXPECT_EQ(s.given_up_for_room(), 1U);
    EXPECT_EQ(s.lost_frames(), 2U);
}

valtocrane_flow
udp(std::uint8_t last, std::uint16_t port, bool vlan = false)
{
    valtocrane_flow f = {};
    f.version = 4;
    f.protocol = 17;
    f.has_ports = true;
    f.src[0] = 192, f.src[1] = 0, f.src[2] = 2, f.src[3] = 1;
    f.dst[0] = 192, f.dst[1] = 0, f.dst[2] = 2, f.dst[3] = last;
    f.src_port = 49152;
    f.dst_port = port;
    f.has_vlan = vlan;
    f.vlan = vlan ? 5 : 0;
    return f;
}

// Flows by their 5-tuple (a VLAN tag a router adds makes no other flow),
// the worst p99 first, then those with only lost frames.
TEST(LatencyStats, FlowsWorstFirst)
{
    valtocrane_latency_stats s;
    s.reset(true, 0);
    const std::uint32_t a = s.point("A"), b = s.point("B");
    s.seen(a, true);
    s.seen(b, true);
    const valtocrane_flow fast = udp(2, 7000), slow = udp(2, 7001), gone = udp(3, 7002);
    const valtocrane_flow slow_tagged = udp(2, 7001, true);
    s.copy(a, b, at_ns(0), at_ns(100), &fast);
    s.copy(a, b, at_ns(0), at_ns(9000), &slow);
    s.copy(a, b, at_ns(10), at_ns(2010), &slow_tagged);
    s.lost(a, at_ns(20), &slow, false);
    s.lost(a, at_ns(30), &gone, false);
    s.lost(a, at_ns(40), &gone, false);
    const auto flows = s.flows();
    ASSERT_EQ(flows.size(), 3U);
    EXPECT_EQ(flows[0].flow, "UDP 192.0.2.1:49152 -> 192.0.2.2:7001");
    EXPECT_EQ(flows[0].latency->count(), 2U);
    EXPECT_EQ(flows[0].latency->max(), 9000);
    EXPECT_EQ(flows[0].lost, 1U);
    EXPECT_EQ(flows[0].to, b);
    EXPECT_EQ(flows[1].flow, "UDP 192.0.2.1:49152 -> 192.0.2.2:7000");
    EXPECT_EQ(flows[2].flow, "UDP 192.0.2.1:49152 -> 192.0.2.3:7002");
    EXPECT_EQ(flows[2].latency, nullptr);
    EXPECT_EQ(flows[2].lost, 2U);
}

// Intervals of 1 s by the earlier copy's device time (the frame's time at
// the first point); closed once the device clock has passed their end.
TEST(LatencyStats, IntervalsCloseInOrderOnceTheClockHasPassed)
{
    valtocrane_latency_stats s;
    s.reset(false, 1000000000);
    const std::uint32_t a = s.point("A"), b = s.point("B");
    s.seen(a, true);
    s.seen(b, true);
    const std::int64_t base = 1700000000LL * 1000000000;
    s.copy(a, b, at_ns(base + 999999000), at_ns(base + 1000002000), nullptr);  // 3 us, in 0
    s.copy(a, b, at_ns(base + 1000000000), at_ns(base + 1000000500), nullptr);  // 500 ns, in 1
    s.copy(a, b, at_ns(base + 1500000000), at_ns(base + 1500000700), nullptr);  // 700 ns, in 1
    s.lost(a, at_ns(base + 1999999999), nullptr, false);
    s.lost(b, at_ns(base + 2000000000), nullptr, false);  // in 2: B to A

    EXPECT_TRUE(s.close_intervals(at_ns(base + 999999999)).empty());
    const auto first = s.close_intervals(at_ns(base + 1000000000));
    ASSERT_EQ(first.size(), 1U);
    EXPECT_EQ(first[0].start.secs, 1700000000);
    EXPECT_EQ(first[0].copies, 1U);
    EXPECT_EQ(first[0].max, 3000);
    const auto rest = s.close_all_intervals();
    ASSERT_EQ(rest.size(), 2U);
    EXPECT_EQ(rest[0].start.secs, 1700000001);
    EXPECT_EQ(rest[0].copies, 2U);
    EXPECT_EQ(rest[0].lost, 1U);
    EXPECT_EQ(rest[0].min, 500);
    EXPECT_EQ(rest[0].p50, 501);  // the middle of 500 to 503 (4 ns wide from 256 on)
    EXPECT_EQ(rest[0].p99, 699);  // the middle of 696 to 703
    EXPECT_EQ(rest[1].from, b);
    EXPECT_EQ(rest[1].to, a);
    EXPECT_EQ(rest[1].copies, 0U);
    EXPECT_EQ(s.interval_csv_row(rest[1]),
              "1700000002000000000,2023-11-14T22:13:22.000000000Z,B,A,0,1,,,,\n");
    EXPECT_EQ(s.interval_csv_row(rest[0]),
              "1700000001000000000,2023-11-14T22:13:21.000000000Z,A,B,2,1,500,501,699,700\n");
}

} // namespace
