/* valtocrane-match.h
 * The same frame seen twice: at two capture points (two ports of a device,
 * two interfaces, two captures taken at two places with synchronised device
 * clocks), with the device times of both. The dissector and
 * valtocrane-latency match frames with this code alone, so that they agree
 * frame for frame.
 *
 * A frame is a copy of one seen earlier at another capture point when both
 * have the same match key and device times at most the window apart. Every
 * earlier frame is matched at most once, the oldest first, so duplicates
 * (retransmissions, say) pair up in order. Frames wait for their copy only
 * while the window lasts: one whose device time lies more than the window
 * before the latest device time seen is given up, so memory is bounded by
 * the window, not by the capture's length.
 *
 * Free of the host.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_MATCH_H
#define VALTOCRANE_MATCH_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "valtocrane-time.h"

/* The window of device time within which a frame's copy is looked for,
 * unless the user chooses another: a frame through a switch, a router or
 * an application on one host takes microseconds to milliseconds. */
constexpr std::uint32_t VALTOCRANE_LATENCY_WINDOW_DEFAULT_US = 1000;

/* What the key of a frame is made of. */
enum valtocrane_match_kind {
    /* IPv4 and IPv6 frames: the IP datagram, without what a router changes
     * on the way (the TTL or hop limit, the IPv4 header checksum), nor the
     * link layer (MAC addresses, VLAN tags, padding, FCS). Other frames:
     * the whole frame. */
    VALTOCRANE_MATCH_IP,
    /* The whole frame: a switch that changes nothing. */
    VALTOCRANE_MATCH_FRAME
};

namespace valtocrane_detail {

/* Up to 8 bytes as a little-endian word; all 8 by one load. */
inline std::uint64_t
load_le64(const std::uint8_t *p, std::uint32_t n)
{
    std::uint64_t w = 0;
    if (n >= 8) {
        std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        w = __builtin_bswap64(w);
#endif
        return w;
    }
    for (std::uint32_t i = 0; i < n; i++)
        w |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return w;
}

constexpr std::uint64_t
mix(std::uint64_t h, std::uint64_t w)
{
    h ^= w * 0x87C37B91114253D5ULL;
    h = (h << 31 | h >> 33) * 0x4CF5AD432745937FULL;
    return h;
}

/* Hashes n bytes as 64-bit words, the first two of them masked. */
inline std::uint64_t
hash_words(std::uint64_t h, const std::uint8_t *p, std::uint32_t n, std::uint64_t mask0,
           std::uint64_t mask1)
{
    std::uint32_t i = 0;
    if (n >= 16) {
        h = mix(h, load_le64(p, 8) & mask0);
        h = mix(h, load_le64(p + 8, 8) & mask1);
        i = 16;
    }
    for (; i < n; i += 8)
        h = mix(h, load_le64(p + i, n - i) & (i == 0 ? mask0 : i == 8 ? mask1 : ~0ULL));
    /* The final mix of MurmurHash3, so that every bit counts. */
    h ^= n;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}

constexpr std::uint32_t
load_be16(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) << 8 | p[1];
}

} // namespace valtocrane_detail

/* The match key of an Ethernet frame of length captured bytes, without the
 * device's bytes and without its FCS. */
inline std::uint64_t
valtocrane_match_key(const std::uint8_t *frame, std::uint32_t length, valtocrane_match_kind kind)
{
    using namespace valtocrane_detail;
    constexpr std::uint64_t ALL = ~0ULL;

    if (kind == VALTOCRANE_MATCH_IP && length >= 14) {
        std::uint32_t offset = 14;
        std::uint32_t type = load_be16(frame + 12);
        /* VLAN tags: 802.1Q, 802.1ad, and the older QinQ type. */
        while ((type == 0x8100 || type == 0x88A8 || type == 0x9100) && offset + 4 <= length) {
            type = load_be16(frame + offset + 2);
            offset += 4;
        }
        const std::uint8_t *ip = frame + offset;
        const std::uint32_t left = length - offset;
        if (type == 0x0800 && left >= 20 && (ip[0] >> 4) == 4) {
            const std::uint32_t total = load_be16(ip + 2);
            const std::uint32_t n = total >= 20 && total < left ? total : left;
            /* Word 1 holds TTL (byte 8) and the checksum (10, 11). */
            return hash_words(4, ip, n, ALL, 0xFFFFFFFF0000FF00ULL);
        }
        if (type == 0x86DD && left >= 40 && (ip[0] >> 4) == 6) {
            const std::uint32_t total = 40 + load_be16(ip + 4);
            const std::uint32_t n = total < left ? total : left;
            /* Word 0 holds the hop limit (byte 7). */
            return hash_words(6, ip, n, 0x00FFFFFFFFFFFFFFULL, ALL);
        }
    }
    return hash_words(kind == VALTOCRANE_MATCH_IP ? 1 : 2, frame, length, ALL, ALL);
}

/* The earlier copy of a frame, if it has one. */
struct valtocrane_copy {
    bool found;
    std::uint64_t earlier;        /* the id the earlier frame was added with */
    std::uint32_t earlier_point;
    valtocrane_time earlier_time;
};

class valtocrane_matcher {
public:
    /* Starts afresh; a window of 0 ns matches nothing. */
    void reset(std::uint64_t window_ns)
    {
        window_ = window_ns;
        ring_.assign(64, entry());
        head_ = tail_ = 0;
        slots_.assign(128, slot());
        keys_ = 0;
        have_latest_ = false;
        last_ = last_add();
        unmatched_.clear();
    }

    /* Gives the memory back. */
    void release()
    {
        std::vector<entry>().swap(ring_);
        std::vector<slot>().swap(slots_);
        std::vector<std::uint64_t>().swap(unmatched_);
        head_ = tail_ = 0;
        keys_ = 0;
    }

    bool active() const { return window_ != 0 && !ring_.empty(); }

    /* A frame with a device time at a capture point, in capture order,
     * known by id: the earlier frame it is a copy of, if any. A frame that
     * is no copy waits for one. */
    valtocrane_copy add(std::uint64_t key, std::uint32_t point, valtocrane_time t, std::uint64_t id)
    {
        if (!have_latest_ || valtocrane_time_cmp(t, latest_) > 0) {
            latest_ = t;
            have_latest_ = true;
        }
        expire();

        slot *s = find(key);
        if (s != nullptr) {
            for (std::uint64_t seq = s->first; seq != NONE; seq = at(seq).next) {
                entry &e = at(seq);
                if (e.live && e.point != point && within(e.t, t)) {
                    e.live = false;
                    last_ = { true, false, seq };
                    return { true, e.id, e.point, e.t };
                }
            }
        }
        last_ = { true, true, append(key, point, t, id) };
        return { false, 0, 0, valtocrane_time() };
    }

    /* The last frame added stays for good: retract_last() does nothing
     * until the next add(). */
    void forget_last() { last_.valid = false; }

    /* Takes the last frame added back, as if it had never been seen (a
     * frame a read filter dropped): a frame it was a copy of waits again. */
    void retract_last()
    {
        if (!last_.valid)
            return;
        last_.valid = false;
        if (last_.seq < head_)
            return;
        if (!last_.appended) {
            at(last_.seq).live = true;
            return;
        }
        if (last_.seq + 1 != tail_)
            return;
        entry &e = at(last_.seq);
        slot *s = find(e.key);
        if (s->first == last_.seq) {
            erase(s);
        } else {
            std::uint64_t prev = s->first;
            while (at(prev).next != last_.seq)
                prev = at(prev).next;
            at(prev).next = NONE;
            s->last = prev;
        }
        tail_--;
    }

    /* Frames given up unmatched so far (those that left the window, and
     * with finish() those still waiting), by capture point. */
    const std::vector<std::uint64_t> &unmatched() const { return unmatched_; }

    void finish()
    {
        for (std::uint64_t seq = head_; seq < tail_; seq++)
            count_unmatched(at(seq));
        head_ = tail_;
        slots_.assign(slots_.size(), slot());
        keys_ = 0;
    }

private:
    static constexpr std::uint64_t NONE = ~0ULL;

    struct entry {
        std::uint64_t key;
        std::uint64_t id;
        std::uint64_t next;  /* the next waiting frame with the same key */
        valtocrane_time t;
        std::uint32_t point;
        bool live;
    };

    /* A key's waiting frames, oldest first (matched ones among them until
     * they leave the window). */
    struct slot {
        std::uint64_t key;
        std::uint64_t first;
        std::uint64_t last;
        bool used;
    };

    struct last_add {
        bool valid;
        bool appended;  /* the frame waits (else it matched an earlier one) */
        std::uint64_t seq;
    };

    entry &at(std::uint64_t seq) { return ring_[seq & (ring_.size() - 1)]; }

    bool within(valtocrane_time a, valtocrane_time b) const
    {
        const valtocrane_time d = valtocrane_time_distance(a, b);
        const std::uint64_t secs = window_ / VALTOCRANE_NS_PER_SEC;
        const std::uint64_t nsecs = window_ % VALTOCRANE_NS_PER_SEC;
        return static_cast<std::uint64_t>(d.secs) < secs ||
               (static_cast<std::uint64_t>(d.secs) == secs &&
                static_cast<std::uint64_t>(d.nsecs) <= nsecs);
    }

    void count_unmatched(const entry &e)
    {
        if (!e.live)
            return;
        if (e.point >= unmatched_.size())
            unmatched_.resize(e.point + 1, 0);
        unmatched_[e.point]++;
    }

    /* Frames further than the window before the latest device time leave
     * it, oldest first. */
    void expire()
    {
        while (head_ < tail_) {
            entry &e = at(head_);
            if (e.live && within(e.t, latest_))
                break;
            if (e.live && valtocrane_time_cmp(e.t, latest_) > 0)
                break;
            count_unmatched(e);
            slot *s = find(e.key);
            s->first = e.next;
            if (s->first == NONE)
                erase(s);
            head_++;
        }
    }

    std::uint64_t append(std::uint64_t key, std::uint32_t point, valtocrane_time t,
                         std::uint64_t id)
    {
        if (tail_ - head_ == ring_.size())
            grow_ring();
        const std::uint64_t seq = tail_++;
        at(seq) = { key, id, NONE, t, point, true };
        slot *s = find(key);
        if (s != nullptr) {
            at(s->last).next = seq;
            s->last = seq;
        } else {
            if (2 * (keys_ + 1) > slots_.size())
                grow_slots();
            s = &slots_[probe(key)];
            *s = { key, seq, seq, true };
            keys_++;
        }
        return seq;
    }

    void grow_ring()
    {
        std::vector<entry> bigger(2 * ring_.size());
        for (std::uint64_t seq = head_; seq < tail_; seq++)
            bigger[seq & (bigger.size() - 1)] = at(seq);
        ring_.swap(bigger);
    }

    void grow_slots()
    {
        std::vector<slot> old(2 * slots_.size());
        old.swap(slots_);
        for (const slot &s : old) {
            if (s.used)
                slots_[probe(s.key)] = s;
        }
    }

    std::size_t home(std::uint64_t key) const
    {
        return static_cast<std::size_t>(key * 0x9E3779B97F4A7C15ULL >> 20) & (slots_.size() - 1);
    }

    /* The slot of key, or the free slot it would take. */
    std::size_t probe(std::uint64_t key) const
    {
        std::size_t i = home(key);
        while (slots_[i].used && slots_[i].key != key)
            i = (i + 1) & (slots_.size() - 1);
        return i;
    }

    slot *find(std::uint64_t key)
    {
        slot &s = slots_[probe(key)];
        return s.used ? &s : nullptr;
    }

    /* Removes a slot, moving later ones of the same probe run back into
     * the gap (linear probing without tombstones). */
    void erase(slot *s)
    {
        const std::size_t mask = slots_.size() - 1;
        std::size_t gap = static_cast<std::size_t>(s - slots_.data());
        slots_[gap].used = false;
        keys_--;
        for (std::size_t i = (gap + 1) & mask; slots_[i].used; i = (i + 1) & mask) {
            const std::size_t want = home(slots_[i].key);
            /* Move it back unless its home lies cyclically in (gap, i]. */
            if (((i - want) & mask) >= ((i - gap) & mask)) {
                slots_[gap] = slots_[i];
                slots_[i].used = false;
                gap = i;
            }
        }
    }

    std::uint64_t window_ = 0;
    std::vector<entry> ring_;
    std::uint64_t head_ = 0;
    std::uint64_t tail_ = 0;
    std::vector<slot> slots_;
    std::size_t keys_ = 0;
    bool have_latest_ = false;
    valtocrane_time latest_ = {};
    last_add last_ = {};
    std::vector<std::uint64_t> unmatched_;
};

#endif /* VALTOCRANE_MATCH_H */
