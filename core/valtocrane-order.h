/* valtocrane-order.h
 * Records put in device-time order as they are read, within a window of
 * device time, for valtocrane-retime --sort.
 *
 * A frame is held until no frame still to come can be earlier than it: the
 * device clock, as the latest frames show it, has passed its time by the
 * window. The clock is the median of the last three device times read, so
 * that one frame with a wild time (a bit error, a frame that is not the
 * device's) releases nothing early; such a frame, far ahead, waits until
 * the end, where its time puts it. A frame earlier than one already given
 * out (out of order by more than the window) cannot be sorted in: it is
 * given out at once, and counted.
 *
 * A record without a device time (a frame without a readable one, a record
 * that is not a packet) goes after every record read before it: it is
 * sorted as if stamped with the latest device time read before it, but no
 * later than the window ahead of the clock (a wild time is not waited
 * for). Before any device time has been read there is nothing to go
 * after: it is given out at once.
 *
 * At most max_held records (and max_bytes of them, as the caller counts
 * them) are held at a time, whatever the device times: beyond that, the
 * earliest is given out, as if the window were narrower there (a clock
 * standing still, a window far wider than the frame rate allows).
 *
 * Free of the host.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_ORDER_H
#define VALTOCRANE_ORDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "valtocrane-time.h"

/* The window valtocrane-retime --sort takes without a value (the manual
 * page says why): 100 ms of device time. */
constexpr std::uint64_t VALTOCRANE_SORT_WINDOW_DEFAULT_NS = 100000000;

/* Records held at most at a time, and their size. */
constexpr std::size_t VALTOCRANE_SORT_MAX_HELD = 250000;
constexpr std::size_t VALTOCRANE_SORT_MAX_BYTES = std::size_t(256) << 20;

class valtocrane_order {
public:
    /* Starts afresh. */
    void reset(std::uint64_t window_ns, std::size_t max_held = VALTOCRANE_SORT_MAX_HELD,
               std::size_t max_bytes = VALTOCRANE_SORT_MAX_BYTES);

    /* Gives the memory back. */
    void release();

    /* The next record read, with its device time t (NULL: none): true when
     * it is to be held (hand it to hold() next), false when it is to be
     * given out at once. Records are numbered from 1 as they come. */
    bool admit(const valtocrane_time *t);

    /* Holds the record admit() took, item being the caller's, of size bytes. */
    void hold(void *item, std::size_t bytes);

    /* The next record that can be given out now, in device-time order (NULL
     * when none), and its number; with finished (the input has ended),
     * every record held. */
    void *next(bool finished, std::uint64_t *number);

    std::size_t held() const { return heap_.size(); }
    std::size_t most_held() const { return most_held_; }

    /* Frames that could not be sorted in; the first of them, and how far it
     * and the farthest of them were out of order: how much earlier than the
     * device clock read before them (or the latest time given out before
     * them, if later). */
    std::uint64_t late() const { return late_; }
    std::uint64_t first_late() const { return first_late_; }
    valtocrane_time first_late_by() const { return first_late_by_; }
    valtocrane_time most_late_by() const { return most_late_by_; }

    /* The record at which the cap on records held first gave one out
     * early; 0: never. */
    std::uint64_t capped_at() const { return capped_at_; }

private:
    struct entry {
        valtocrane_time key;
        std::uint64_t number;
        std::size_t bytes;
        void *item;
    };

    /* The heap's order: the earliest key at the top, the first read among
     * equal keys. */
    struct later {
        bool operator()(const entry &a, const entry &b) const;
    };

    valtocrane_time clock() const;
    void note_time(valtocrane_time t);

    valtocrane_time window_ = {};
    std::size_t max_held_ = 0;
    std::size_t max_bytes_ = 0;
    std::vector<entry> heap_;
    std::size_t bytes_ = 0;
    std::uint64_t read_ = 0;
    valtocrane_time admitted_key_ = {};

    unsigned times_ = 0;               /* device times read, up to 3 */
    valtocrane_time recent_[3] = {};   /* the last three, newest last */
    valtocrane_time latest_ = {};      /* the latest of all */
    bool given_out_ = false;           /* a held record has been given out */
    valtocrane_time given_out_key_ = {};

    std::size_t most_held_ = 0;
    std::uint64_t late_ = 0;
    std::uint64_t first_late_ = 0;
    valtocrane_time first_late_by_ = {};
    valtocrane_time most_late_by_ = {};
    std::uint64_t capped_at_ = 0;
};

#endif /* VALTOCRANE_ORDER_H */
