// Frames seen twice: the match key over what a router or a switch leaves as
// it was, and the pairing of copies, worked out by hand.

#include <cstdint>
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

// Frames in capture order, each checked against the copy worked out by hand.
void
expect_copies(std::uint64_t window_ns, const std::vector<Frame> &frames,
              const std::vector<std::uint64_t> &unmatched)
{
    valtocrane_matcher m;
    m.reset(window_ns);
    for (size_t i = 0; i < frames.size(); i++) {
        const Frame &f = frames[i];
        const valtocrane_time t = { f.ns / 1000000000, static_cast<std::int32_t>(f.ns % 1000000000) };
        const valtocrane_copy c = m.add(f.key, f.point, t, i + 1);
        EXPECT_EQ(c.found ? static_cast<int>(c.earlier) : 0, f.copy_of) << "frame " << i + 1;
    }
    m.finish();
    EXPECT_EQ(m.unmatched(), unmatched);
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
    }, { 3, 1 });  // left waiting: 3, 4 and 11 at A; 12 at B
    // Frames that left the window are given up; later times earlier than
    // the one before still match within it.
    expect_copies(1000, {
        { 1, 0, 10000, 0 }, { 2, 0, 20000, 0 }, { 1, 1, 20100, 0 },
        { 3, 1, 30000, 0 }, { 3, 0, 29500, 4 },
    }, { 2, 1 });
}

TEST(Matcher, AFrameTakenBackLeavesNoTrace)
{
    valtocrane_matcher m;
    m.reset(1000);
    EXPECT_FALSE(m.add(5, 0, { 0, 100 }, 1).found);
    EXPECT_TRUE(m.add(5, 1, { 0, 200 }, 2).found);
    m.retract_last();  // frame 2 dropped: frame 1 waits again
    const valtocrane_copy c = m.add(5, 1, { 0, 300 }, 2);
    EXPECT_TRUE(c.found);
    EXPECT_EQ(c.earlier, 1U);
    EXPECT_FALSE(m.add(6, 0, { 0, 400 }, 3).found);
    m.retract_last();  // frame 3 dropped: nothing waits for it
    EXPECT_FALSE(m.add(6, 1, { 0, 500 }, 3).found);
    // Many keys and frames: the tables grow and keep every frame.
    valtocrane_matcher big;
    big.reset(1000000000);
    for (std::uint64_t i = 0; i < 5000; i++)
        EXPECT_FALSE(big.add(i, 0, { 1, static_cast<std::int32_t>(i) }, i).found);
    for (std::uint64_t i = 0; i < 5000; i++)
        EXPECT_EQ(big.add(i, 1, { 1, 5000 }, 5000 + i).earlier, i);
}

} // namespace
