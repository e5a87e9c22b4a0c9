/* valtocrane-capture-test.cpp
 * The tools' records (core/valtocrane-capture): a record's device time by
 * the plugin's rules, from what the file says of the frame (its lengths,
 * its FCS), and records kept aside and cut at the front.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "valtocrane-capture.h"
#include "valtocrane-format.h"

namespace {

// A packet record of frame, caplen bytes of it captured of len on the
// wire, with the FCS length the file gives, at file time secs.
struct Record {
    Record(const std::vector<std::uint8_t> &frame, std::uint32_t len, int fcs_len,
           std::int64_t secs)
        : bytes(frame)
    {
        valtocrane_record_init(&r);
        wtap_rec &rec = r.rec;
        rec.rec_type = REC_TYPE_PACKET;
        rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN;
        rec.ts.secs = static_cast<time_t>(secs);
        rec.ts.nsecs = 0;
        rec.rec_header.packet_header.caplen = static_cast<std::uint32_t>(frame.size());
        rec.rec_header.packet_header.len = len;
        rec.rec_header.packet_header.pseudo_header.eth.fcs_len = fcs_len;
    }
    ~Record() { valtocrane_record_cleanup(&r); }

    valtocrane_record r;
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t>
frame_with(std::vector<std::uint8_t> tail, std::size_t body = 60)
{
    std::vector<std::uint8_t> frame(body + tail.size(), 0x11);
    std::copy(tail.begin(), tail.end(), frame.begin() + static_cast<std::ptrdiff_t>(body));
    return frame;
}

// 8 bytes of a big-endian tick counter (5 ns ticks) and its spare byte.
std::vector<std::uint8_t>
ticks(std::uint64_t count)
{
    std::vector<std::uint8_t> t(8);
    for (std::size_t i = 0; i < 7; i++)
        t[i] = static_cast<std::uint8_t>(count >> (48 - 8 * i));
    return t;
}

TEST(CaptureRecords, DeviceTimeFromWhatTheFileSaysOfTheFrame)
{
    // Seconds 1700000000 (0x6553F100) and a fraction of a half.
    const std::vector<std::uint8_t> fraction = { 0x65, 0x53, 0xf1, 0x00, 0x80, 0, 0, 0 };
    const std::vector<std::uint8_t> with_fcs = { 0x65, 0x53, 0xf1, 0x00, 0x80, 0, 0, 0,
                                                 0xde, 0xad, 0xbe, 0xef };

    struct Case {
        const char *what;
        std::vector<std::uint8_t> frame;
        std::uint32_t len;  // 0: all of it captured
        int fcs_len;
        valtocrane_outcome outcome;
    } cases[] = {
        { "trailer at the end", frame_with(fraction), 0, 0, VALTOCRANE_FOUND },
        { "trailer before the FCS the file says it keeps", frame_with(with_fcs), 0, 4,
          VALTOCRANE_FOUND },
        { "a snap length cut the trailer off", frame_with(fraction), 200, 0,
          VALTOCRANE_TRAILER_CUT_OFF },
        { "a record that claims fewer bytes on the wire than captured", frame_with(fraction), 20,
          0, VALTOCRANE_FOUND },
        { "too short for a trailer", std::vector<std::uint8_t>(5, 0), 0, 0, VALTOCRANE_TOO_SHORT },
    };
    for (const Case &c : cases) {
        Record record(c.frame, c.len != 0 ? c.len : static_cast<std::uint32_t>(c.frame.size()),
                      c.fcs_len, 1600000000);
        valtocrane_tick_anchor anchor = {};
        valtocrane_time t = {};
        const valtocrane_location at = valtocrane_record_device_time(
            VALTOCRANE_FRACTION_TRAILER, &record.r.rec, record.bytes.data(), &anchor, &t);
        EXPECT_EQ(at.outcome, c.outcome) << c.what;
        if (c.outcome == VALTOCRANE_FOUND) {
            EXPECT_EQ(t.secs, 1700000000) << c.what;
            EXPECT_EQ(t.nsecs, 500000000) << c.what;
        }
    }
}

TEST(CaptureRecords, TickCounterTiedAtTheFirstRecordsFileTime)
{
    valtocrane_tick_anchor anchor = {};
    const std::pair<std::uint64_t, std::int64_t> seen[] = {
        { 1000, 1600000000 }, { 1000 + 200000000, 1600000005 }  // 1 s of ticks later
    };
    const std::int64_t expected[] = { 1600000000, 1600000001 };
    for (int i = 0; i < 2; i++) {
        Record record(frame_with(ticks(seen[i].first)), 68, -1, seen[i].second);
        valtocrane_time t = {};
        ASSERT_EQ(valtocrane_record_device_time(VALTOCRANE_TICK_TRAILER, &record.r.rec,
                                                record.bytes.data(), &anchor, &t)
                      .outcome,
                  VALTOCRANE_FOUND);
        EXPECT_EQ(t.secs, expected[i]);
        EXPECT_EQ(t.nsecs, 0);
    }
}

TEST(CaptureRecords, KeptAsideInBytesOfTheirOwnAndCutAtTheFront)
{
    std::vector<std::uint8_t> frame(100);
    for (std::size_t i = 0; i < frame.size(); i++)
        frame[i] = static_cast<std::uint8_t>(i);
    Record record(frame, 100, 0, 1600000000);
    valtocrane_record_set_data(&record.r, frame.data(), 100);

    valtocrane_record *kept = valtocrane_record_keep(&record.r, frame.data());
    EXPECT_EQ(std::memcmp(valtocrane_record_data(kept), frame.data(), 100), 0);
    EXPECT_LE(valtocrane_record_size(kept), sizeof *kept + 100) << "no 2 kB buffer of the library's";

    const guint8 *rest = valtocrane_record_drop_front(kept, valtocrane_record_data(kept), 28, 72);
    EXPECT_EQ(std::memcmp(rest, frame.data() + 28, 72), 0);
    valtocrane_record_free(kept);
}

} // namespace
