// Records put in device-time order within a window: the order they come
// out in, worked out by hand.

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "valtocrane-order.h"

namespace {

constexpr std::int64_t NONE = -1;  // a record without a device time

struct OrderCase {
    const char *name;
    std::uint64_t window_us;
    std::size_t max_held;
    std::vector<std::int64_t> times_us;  // as read, frame 1 first
    std::vector<std::uint64_t> written;  // the frames as given out
    std::uint64_t late;
    std::uint64_t first_late;
    std::int64_t first_late_by_us;
    std::uint64_t capped_at;
};

const OrderCase CASES[] = {
    { "in order stays", 10, 100, { 1, 2, 3 }, { 1, 2, 3 }, 0, 0, 0, 0 },
    { "within the window sorted in", 10, 100, { 10, 5, 20, 15, 30 }, { 2, 1, 4, 3, 5 }, 0, 0, 0,
      0 },
    // Frame 5 is 35 us behind the clock (40) and 5 is given out already
    // (30): it comes out at once.
    { "beyond the window written at once", 10, 100, { 0, 30, 40, 50, 5, 60 },
      { 1, 2, 5, 3, 4, 6 }, 1, 5, 35, 0 },
    // 50 us late, but nothing later has been given out yet.
    { "far out of order sorted in while it can be", 10, 100, { 0, 100, 50 }, { 1, 3, 2 }, 0, 0, 0,
      0 },
    { "one wild time gives nothing out early", 10, 100, { 0, 1000000, 2, 1, 3, 20, 30 },
      { 1, 4, 3, 5, 6, 7, 2 }, 0, 0, 0, 0 },
    // Before any device time: at once. Then after the frames read before
    // it (20), before a frame read after it with an earlier time (15).
    { "without a device time after what was read before", 100, 100,
      { NONE, 0, 20, NONE, 15, 300, 400, 500 }, { 1, 2, 5, 3, 4, 6, 7, 8 }, 0, 0, 0, 0 },
    // ... but not after a wild time ahead.
    { "without a device time not held for a wild one", 10, 100,
      { 0, 1, 1000000, NONE, 2, 3, 30, 40 }, { 1, 2, 5, 6, 4, 7, 8, 3 }, 0, 0, 0, 0 },
    { "a clock standing still keeps read order", 10, 3, { 5, 5, 5, 5, 5 }, { 1, 2, 3, 4, 5 }, 0,
      0, 0, 4 },
    // Two held at most: frame 3 pushes 1 out, 4 pushes 2 out, and frame 5
    // is then earlier than 2 (5 us behind the clock, 6).
    { "the cap narrows the window", 1000000, 2, { 0, 5, 6, 7, 1 }, { 1, 2, 5, 3, 4 }, 1, 5, 5, 3 },
};

class Order : public testing::TestWithParam<OrderCase> {};

TEST_P(Order, ComesOutAsWorkedOut)
{
    const OrderCase &c = GetParam();
    SCOPED_TRACE(c.name);
    valtocrane_order order;
    order.reset(c.window_us * 1000, c.max_held);
    std::vector<std::uint64_t> written;
    std::uint64_t number = 0;

    auto give_out = [&](bool finished) {
        while (void *item = order.next(finished, &number)) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(item), number);
            written.push_back(number);
        }
    };
    for (std::size_t i = 0; i < c.times_us.size(); i++) {
        const valtocrane_time t = valtocrane_time_normalise(0, c.times_us[i] * 1000);
        if (order.admit(c.times_us[i] == NONE ? NULL : &t))
            order.hold(reinterpret_cast<void *>(i + 1), 1);
        else
            written.push_back(i + 1);
        give_out(false);
    }
    give_out(true);

    EXPECT_EQ(written, c.written);
    EXPECT_EQ(order.late(), c.late);
    EXPECT_EQ(order.first_late(), c.first_late);
    EXPECT_EQ(valtocrane_time_cmp(order.first_late_by(),
                                  valtocrane_time_normalise(0, c.first_late_by_us * 1000)), 0);
    EXPECT_EQ(order.capped_at(), c.capped_at);
    EXPECT_EQ(order.held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Order, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<OrderCase> &param) {
                             std::string name = param.param.name;
                             for (char &ch : name)
                                 ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

TEST(Order, BytesHeldAreCappedToo)
{
    valtocrane_order order;
    const valtocrane_time t = { 1, 0 };
    std::uint64_t number;

    order.reset(1000000000, 100, 3000);
    for (std::uintptr_t i = 1; i <= 3; i++) {
        ASSERT_TRUE(order.admit(&t));
        order.hold(reinterpret_cast<void *>(i), 1500);
    }
    EXPECT_EQ(order.next(false, &number), reinterpret_cast<void *>(1));
    EXPECT_EQ(order.next(false, &number), nullptr);
    EXPECT_EQ(order.capped_at(), 3u);
}

} // namespace
