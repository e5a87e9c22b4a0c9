/* valtocrane-order.cpp
 * Records put in device-time order within a window.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "valtocrane-order.h"

#include <algorithm>

bool
valtocrane_order::later::operator()(const entry &a, const entry &b) const
{
    const int by_time = valtocrane_time_cmp(a.key, b.key);
    return by_time != 0 ? by_time > 0 : a.number > b.number;
}

void
valtocrane_order::reset(std::uint64_t window_ns, std::size_t max_held, std::size_t max_bytes)
{
    release();
    *this = valtocrane_order();
    window_ = valtocrane_time_normalise(0, static_cast<std::int64_t>(window_ns));
    max_held_ = max_held;
    max_bytes_ = max_bytes;
}

void
valtocrane_order::release()
{
    std::vector<entry>().swap(heap_);
}

valtocrane_time
valtocrane_order::clock() const
{
    if (times_ == 1)
        return recent_[2];
    /* Of two, the earlier: a frame is held rather than given out early. */
    const valtocrane_time &a = recent_[0], &b = recent_[1], &c = recent_[2];
    if (times_ == 2)
        return valtocrane_time_cmp(b, c) <= 0 ? b : c;
    if (valtocrane_time_cmp(a, b) > 0)
        return valtocrane_time_cmp(b, c) >= 0 ? b : valtocrane_time_cmp(a, c) <= 0 ? a : c;
    return valtocrane_time_cmp(b, c) <= 0 ? b : valtocrane_time_cmp(a, c) >= 0 ? a : c;
}

void
valtocrane_order::note_time(valtocrane_time t)
{
    recent_[0] = recent_[1];
    recent_[1] = recent_[2];
    recent_[2] = t;
    if (times_ < 3)
        times_++;
}

bool
valtocrane_order::admit(const valtocrane_time *t)
{
    read_++;
    if (t == NULL) {
        if (times_ == 0)
            return false;
        /* After the frames read before it, without waiting for one more than
         * the window ahead of the clock (a wild time). */
        const valtocrane_time ahead = valtocrane_time_add(clock(), window_);
        admitted_key_ = valtocrane_time_cmp(latest_, ahead) < 0 ? latest_ : ahead;
        if (given_out_ && valtocrane_time_cmp(admitted_key_, given_out_key_) < 0)
            admitted_key_ = given_out_key_;
        return true;
    }

    const bool had_clock = times_ != 0;
    const valtocrane_time before = had_clock ? clock() : *t;
    note_time(*t);
    if (!had_clock || valtocrane_time_cmp(*t, latest_) > 0)
        latest_ = *t;
    if (!given_out_ || valtocrane_time_cmp(*t, given_out_key_) >= 0) {
        admitted_key_ = *t;
        return true;
    }

    /* Later frames have been given out: too late to sort this one in. */
    const valtocrane_time from = valtocrane_time_cmp(before, given_out_key_) > 0 ? before
                                                                                 : given_out_key_;
    const valtocrane_time by = valtocrane_time_sub(from, *t);
    if (late_++ == 0) {
        first_late_ = read_;
        first_late_by_ = by;
    }
    if (late_ == 1 || valtocrane_time_cmp(by, most_late_by_) > 0)
        most_late_by_ = by;
    return false;
}

void
valtocrane_order::hold(void *item, std::size_t bytes)
{
    heap_.push_back({ admitted_key_, read_, bytes, item });
    std::push_heap(heap_.begin(), heap_.end(), later());
    bytes_ += bytes;
    most_held_ = std::max(most_held_, heap_.size());
}

void *
valtocrane_order::next(bool finished, std::uint64_t *number)
{
    if (heap_.empty())
        return NULL;
    const bool over = heap_.size() > max_held_ || bytes_ > max_bytes_;
    if (!finished && !over &&
        valtocrane_time_cmp(valtocrane_time_add(heap_.front().key, window_), clock()) > 0)
        return NULL;
    if (over && !finished && capped_at_ == 0)
        capped_at_ = read_;

    std::pop_heap(heap_.begin(), heap_.end(), later());
    const entry e = heap_.back();
    heap_.pop_back();
    bytes_ -= e.bytes;
    given_out_ = true;
    given_out_key_ = e.key;
    *number = e.number;
    return e.item;
}
