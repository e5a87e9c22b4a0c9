// Frames seen twice: the match key over what a router or a switch leaves as
// it was, and the pairing of copies, worked out by hand.

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "valtocrane-match.h"

namespace {

typedef std::vector<std::uint8_t> Bytes;

// Ethernet II, IPv4 (TTL 64, checksum 0x1234) and 12 bytes of UDP payload,
// 46 bytes; with vlan a 802.1Q tag; padding after the datagram.
Bytes
ipv4(std::uint8_t ttl = 64, std::uint16_t checksum = 0x1234, bool vlan = false,
     std::uint8_t mac = 1, std::size_t padding = 0, std::uint8_t payload = 'p')
{
    Bytes f = { 2, 0, 0, 0, 0, mac, 2, 0, 0, 0, 0, 9 };
    if (vlan)
        f.insert(f.end(), { 0x81, 0x00, 0x00, 0x07 });
    const Bytes ip = { 0x45, 0, 0, 32, 0, 1, 0, 0, ttl, 17,
                       static_cast<std::uint8_t>(checksum >> 8), static_cast<std::uint8_t>(checksum),
                       192, 0, 2, 1, 192, 0, 2, 2, 0xC0, 0, 0xC0, 1, 0, 12, 0, 0 };
    f.insert(f.end(), { 0x08, 0x00 });
    f.insert(f.end(), ip.begin(), ip.end());
    f.insert(f.end(), 4, payload);
    f.insert(f.end(), padding, 0);
    return f;
}

// Ethernet II (with an 802.1ad and an 802.1Q tag where qinq), IPv6 with
// hop limit hops, UDP and 4 bytes of payload.
Bytes
ipv6(std::uint8_t hops = 64, bool qinq = false, std::uint8_t payload = 'p')
{
    Bytes f = { 2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 9 };
    if (qinq)
        f.insert(f.end(), { 0x88, 0xA8, 0x00, 0x05, 0x81, 0x00, 0x00, 0x07 });
    f.insert(f.end(), { 0x86, 0xDD, 0x60, 0, 0, 0, 0, 12, 17, hops });
    for (int i = 0; i < 32; i++)
        f.push_back(static_cast<std::uint8_t>(i));
    f.insert(f.end(), { 0xC0, 0, 0xC0, 1, 0, 12, 0, 0 });
    f.insert(f.end(), 4, payload);
    return f;
}

std::uint64_t
key(const Bytes &f, valtocrane_match_kind kind = VALTOCRANE_MATCH_IP)
{
    return valtocrane_match_key(f.data(), static_cast<std::uint32_t>(f.size()), kind);
}

TEST(MatchKey, LeavesOutWhatARouterChanges)
{
    const Bytes sent = ipv4();
    // The same datagram after a router: TTL, checksum, MAC addresses, a
    // VLAN tag and Ethernet padding are no part of the key.
    for (const Bytes &seen : { ipv4(63, 0x1334), ipv4(64, 0x1234, true), ipv4(64, 0x1234, false, 7),
                               ipv4(64, 0x1234, false, 1, 10) })
        EXPECT_EQ(key(seen), key(sent));
    EXPECT_NE(key(ipv4(64, 0x1234, false, 1, 0, 'q')), key(sent));  // another payload
    // IPv6: the hop limit and the tags are no part of it either.
    EXPECT_EQ(key(ipv6(63)), key(ipv6()));
    EXPECT_EQ(key(ipv6(64, true)), key(ipv6()));
    EXPECT_NE(key(ipv6(64, false, 'q')), key(ipv6()));
    EXPECT_NE(key(ipv6(63), VALTOCRANE_MATCH_FRAME), key(ipv6(), VALTOCRANE_MATCH_FRAME));
    // Keyed on the whole frame, a MAC address or a TTL makes another frame.
    EXPECT_EQ(key(ipv4(), VALTOCRANE_MATCH_FRAME), key(sent, VALTOCRANE_MATCH_FRAME));
    EXPECT_NE(key(ipv4(64, 0x1234, false, 7), VALTOCRANE_MATCH_FRAME),
              key(sent, VALTOCRANE_MATCH_FRAME));
    EXPECT_NE(key(ipv4(63), VALTOCRANE_MATCH_FRAME), key(sent, VALTOCRANE_MATCH_FRAME));
    // Not IP: the whole frame, MAC addresses included.
    Bytes arp = sent, arp2 = sent;
    arp[12] = arp2[12] = 0x08;
    arp[13] = arp2[13] = 0x06;
    arp2[5] = 7;
    EXPECT_NE(key(arp), key(arp2));
}

struct Frame {
    std::uint64_t key;
    std::uint32_t point;
    std::int64_t ns;  // device time, ns
    int copy_of;      // the earlier frame it matches (1-based), or 0
};

valtocrane_time
at_ns(std::int64_t ns)
{
    return valtocrane_time_normalise(ns / 1000000000, ns % 1000000000);
}

// Frames in capture order (the capture host's clock 1 ms a frame, the
// device's on one clock), each checked against the copy worked out by hand;
// lost: the frames that waited in vain, in the order given up.
void
expect_copies(std::uint64_t window_ns, const std::vector<Frame> &frames,
              const std::vector<int> &lost)
{
    valtocrane_matcher m;
    m.reset(window_ns);
    std::vector<int> given_up;
    const auto note = [&m, &given_up] {
        for (const valtocrane_event &e : m.events()) {
            if (e.kind == VALTOCRANE_LOST)
                given_up.push_back(static_cast<int>(e.id));
        }
        m.clear_events();
    };
    for (size_t i = 0; i < frames.size(); i++) {
        const Frame &f = frames[i];
        const valtocrane_seen seen = { f.key, i + 1, f.point, 0, at_ns(f.ns),
                                       at_ns(static_cast<std::int64_t>(i) * 1000000) };
        const valtocrane_copy c = m.add(seen);
        EXPECT_EQ(c.found ? static_cast<int>(c.earlier) : 0, f.copy_of) << "frame " << i + 1;
        note();
    }
    m.finish();
    note();
    EXPECT_EQ(given_up, lost);
}

TEST(Matcher, PairsCopiesOldestFirstWithinTheWindow)
{
    // Port A is point 0, port B point 1; window 1 us.
    expect_copies(1000, {
        { 7, 0, 1000, 0 }, { 7, 1, 1300, 1 },                    // A then B: a copy
        { 8, 0, 2000, 0 }, { 8, 0, 2100, 0 },                    // the same point: none
        { 9, 0, 3000, 0 }, { 9, 0, 3100, 0 },                    // a retransmission...
        { 9, 1, 3400, 5 }, { 9, 1, 3500, 6 },                    // ...pairs in order
        { 10, 1, 5000, 0 }, { 10, 0, 5200, 9 },                  // B then A
        { 11, 0, 6000, 0 }, { 11, 1, 7001, 0 },                  // 1.001 us apart: none
        { 12, 0, 7000, 0 }, { 12, 1, 7000, 13 },                 // the same nanosecond
    }, { 3, 4, 11, 12 });
    // Frames that left the window are given up; later times earlier than
    // the one before still match within it.
    expect_copies(1000, {
        { 1, 0, 10000, 0 }, { 2, 0, 20000, 0 }, { 1, 1, 20100, 0 },
        { 3, 1, 30000, 0 }, { 3, 0, 29500, 4 },
    }, { 1, 2, 3 });
}

// A device clock that steps back an hour or forward a day (PTP setting
// it, a device restarted): matching goes on at once with the frames after
// the step, which pair with those before only within the window; the
// frames left waiting on the other side are given up once the clock has
// moved. One frame with a wild time (a year ahead, a year back) is given
// up and changes nothing else.
TEST(Matcher, FollowsAClockThatStepsAndIgnoresAWildTime)
{
    const std::int64_t T = 3600LL * 1000000000 * 24 * 400, HOUR = 3600LL * 1000000000;
    const std::int64_t YEAR = HOUR * 24 * 365;
    const struct {
        const char *what;
        std::vector<Frame> frames;
        std::vector<int> lost;
    } cases[] = {
        { "a step back",
          { { 1, 0, T, 0 }, { 1, 1, T + 400, 1 }, { 2, 0, T + 900, 0 },
            { 3, 0, T - HOUR, 0 }, { 3, 1, T - HOUR + 300, 4 },
            { 4, 0, T - HOUR + 1000, 0 }, { 4, 1, T - HOUR + 1200, 6 },
            { 2, 1, T - HOUR + 1300, 0 } },  // 2 waited before the step: no copy after it
          { 3, 8 } },
        { "a step forward",
          { { 1, 0, T, 0 }, { 2, 0, T + 100, 0 },
            { 3, 0, T + 24 * HOUR, 0 }, { 3, 1, T + 24 * HOUR + 500, 3 },
            { 4, 0, T + 24 * HOUR + 1000, 0 }, { 4, 1, T + 24 * HOUR + 1800, 5 } },
          { 1, 2 } },
        { "a step back of less than the window",
          { { 1, 0, T, 0 }, { 2, 0, T + 100, 0 }, { 1, 1, T - 700, 1 }, { 2, 1, T - 600, 2 } },
          {} },
        { "a wild time a year ahead",
          { { 1, 0, T + YEAR, 0 }, { 2, 0, T, 0 }, { 2, 1, T + 300, 2 }, { 3, 0, T + 500, 0 },
            { 3, 1, T + 900, 4 }, { 1, 1, T + 950, 0 } },
          { 1, 6 } },
        { "a wild time a year back",
          { { 2, 0, T, 0 }, { 1, 0, T - YEAR, 0 }, { 2, 1, T + 300, 1 }, { 3, 0, T + 500, 0 },
            { 3, 1, T + 900, 4 } },
          { 2 } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        expect_copies(1000, c.frames, c.lost);
    }
}

// Steps are told by the median of a clock's last three device times
// against the capture host's: a wild frame is none, nor is a pause; a step
// is seen at the first frame after it.
TEST(Matcher, ReportsEachStepOfAClockOnce)
{
    const std::int64_t T = 1700000000LL * 1000000000, SEC = 1000000000, MS = 1000000;
    // Device time less capture host's time, of clock 7, one frame a
    // millisecond but for a pause of 100 s before frame 14.
    const std::int64_t offsets[] = { 0, 0, 0,
                                     -37 * SEC, -37 * SEC, -37 * SEC,  // 4: back 37 s
                                     400 * SEC,                        // 7: wild, no step
                                     -37 * SEC, -37 * SEC,
                                     -35 * SEC, -35 * SEC,             // 10: forward 2 s
                                     0, 0,                             // 12: forward 35 s
                                     0, 0 };                           // 14: a pause
    valtocrane_matcher m;
    m.reset(1000);
    std::vector<std::pair<int, std::int64_t>> steps;
    const auto note = [&m, &steps] {
        for (const valtocrane_event &e : m.events()) {
            if (e.kind == VALTOCRANE_STEP)
                steps.push_back({ static_cast<int>(e.id), e.t.secs * 1000000000 + e.t.nsecs });
        }
        m.clear_events();
    };
    for (size_t i = 0; i < sizeof offsets / sizeof offsets[0]; i++) {
        const std::int64_t host = T + static_cast<std::int64_t>(i) * MS + (i >= 13 ? 100 * SEC : 0);
        m.add({ i, i + 1, 0, 7, at_ns(host + offsets[i]), at_ns(host) });
        note();
    }
    m.finish();
    note();
    const std::vector<std::pair<int, std::int64_t>> want = {
        { 4, -37 * SEC }, { 10, 2 * SEC }, { 12, 35 * SEC }
    };
    EXPECT_EQ(steps, want);
}

TEST(Matcher, AFrameTakenBackLeavesNoTrace)
{
    valtocrane_matcher m;
    m.reset(1000);
    const auto seen = [](std::uint64_t key, std::uint32_t point, std::int32_t ns,
                         std::uint64_t id) {
        return valtocrane_seen{ key, id, point, 0, { 0, ns }, { 0, ns } };
    };
    EXPECT_FALSE(m.add(seen(5, 0, 100, 1)).found);
    EXPECT_TRUE(m.add(seen(5, 1, 200, 2)).found);
    m.retract_last();  // frame 2 dropped: frame 1 waits again
    const valtocrane_copy c = m.add(seen(5, 1, 300, 2));
    EXPECT_TRUE(c.found);
    EXPECT_EQ(c.earlier, 1U);
    EXPECT_FALSE(m.add(seen(6, 0, 400, 3)).found);
    m.retract_last();  // frame 3 dropped: nothing waits for it
    EXPECT_FALSE(m.add(seen(6, 1, 500, 3)).found);
    m.commit();
    m.retract_last();  // committed: stays
    EXPECT_TRUE(m.add(seen(6, 0, 600, 4)).found);
    // Many keys and frames: the tables grow and keep every frame.
    valtocrane_matcher big;
    big.reset(1000000000);
    for (std::uint64_t i = 0; i < 5000; i++)
        EXPECT_FALSE(big.add(seen(i, 0, static_cast<std::int32_t>(i), i)).found);
    for (std::uint64_t i = 0; i < 5000; i++)
        EXPECT_EQ(big.add(seen(i, 1, 5000, 5000 + i)).earlier, i);
}

// Whatever the device times, no more than max_waiting frames wait: in
// random order a frame is given up once two more have come (four wait at
// most: the median of the last three stays the clock while it is one of
// them); frames all within the window of each other fill the room, and
// the oldest is given up for each one more.
TEST(Matcher, FramesWaitingAreBoundedWhateverTheTimes)
{
    valtocrane_matcher m;
    m.reset(1000000, 64);
    std::uint64_t x = 88172645463325252ULL, most = 0, no_room = 0;
    for (std::uint64_t i = 0; i < 100000; i++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        m.add({ x, i, static_cast<std::uint32_t>(i & 1), 0,
                at_ns(static_cast<std::int64_t>(x % (400ULL * 86400 * 1000000000))), { 0, 0 } });
        most = std::max<std::uint64_t>(most, m.waiting());
        m.clear_events();
    }
    EXPECT_LE(most, 4U);
    m.reset(1000000, 64);
    most = 0;
    for (std::uint64_t i = 0; i < 1000; i++) {
        m.add({ 1000000 + i, i, 0, 0, { 1, 0 }, { 0, 0 } });
        most = std::max<std::uint64_t>(most, m.waiting());
        for (const valtocrane_event &e : m.events())
            no_room += e.kind == VALTOCRANE_NO_ROOM;
        m.clear_events();
    }
    EXPECT_EQ(most, 64U);
    EXPECT_EQ(no_room, 1000U - 64U);
}

} // namespace
