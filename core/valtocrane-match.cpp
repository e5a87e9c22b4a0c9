/* valtocrane-match.cpp
 * Match keys, and the matcher of copies seen at two capture points.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "valtocrane-match.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>

namespace {

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

/* Hashes n bytes as 64-bit words, the first two of them masked. Four
 * lanes take 32 bytes a step, each its own chain of multiplies, so that
 * the processor runs them side by side; the rest goes one word a step. */
std::uint64_t
hash_words(std::uint64_t h, const std::uint8_t *p, std::uint32_t n, std::uint64_t mask0,
           std::uint64_t mask1)
{
    std::uint32_t i = 0;
    if (n >= 16) {
        h = mix(h, load_le64(p, 8) & mask0);
        h = mix(h, load_le64(p + 8, 8) & mask1);
        i = 16;
        if (n >= 48) {
            std::uint64_t lane[4] = { h, h ^ 0x9E3779B97F4A7C15ULL, h ^ 0xC2B2AE3D27D4EB4FULL,
                                      h ^ 0x165667B19E3779F9ULL };
            for (; i + 32 <= n; i += 32) {
                for (std::uint32_t k = 0; k < 4; k++)
                    lane[k] = mix(lane[k], load_le64(p + i + 8 * k, 8));
            }
            h = mix(mix(mix(lane[0], lane[1]), lane[2]), lane[3]);
        }
        for (; i + 8 <= n; i += 8)
            h = mix(h, load_le64(p + i, 8));
        if (i < n)
            h = mix(h, load_le64(p + i, n - i));
    } else {
        for (; i < n; i += 8)
            h = mix(h, load_le64(p + i, n - i) & (i == 0 ? mask0 : mask1));
    }
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

/* Where the network layer of an Ethernet frame of at least 14 bytes
 * starts, past its VLAN tags (802.1Q, 802.1ad, and the older QinQ type),
 * its EtherType, and the outer tag's VLAN id. */
struct network_layer {
    std::uint32_t type;
    std::uint32_t offset;
    bool tagged;
    std::uint16_t vlan;
};

network_layer
network_of(const std::uint8_t *frame, std::uint32_t length)
{
    network_layer n = { load_be16(frame + 12), 14, false, 0 };
    while ((n.type == 0x8100 || n.type == 0x88A8 || n.type == 0x9100) && n.offset + 4 <= length) {
        if (!n.tagged) {
            n.tagged = true;
            n.vlan = static_cast<std::uint16_t>(load_be16(frame + n.offset) & 0x0FFF);
        }
        n.type = load_be16(frame + n.offset + 2);
        n.offset += 4;
    }
    return n;
}

bool
has_ports(std::uint8_t protocol)
{
    return protocol == 6 || protocol == 17 || protocol == 33 || protocol == 132;
}

/* The middle one of three times. */
valtocrane_time
median(const valtocrane_time v[3])
{
    valtocrane_time a = v[0], b = v[1], c = v[2];
    if (valtocrane_time_cmp(a, b) > 0)
        std::swap(a, b);
    if (valtocrane_time_cmp(b, c) > 0)
        b = c;
    return valtocrane_time_cmp(a, b) > 0 ? a : b;
}

valtocrane_wide
median(const valtocrane_wide v[3])
{
    const valtocrane_wide lo = v[0] < v[1] ? v[0] : v[1];
    const valtocrane_wide hi = v[0] < v[1] ? v[1] : v[0];
    return v[2] < lo ? lo : v[2] > hi ? hi : v[2];
}

} // namespace

std::uint64_t
valtocrane_match_key(const std::uint8_t *frame, std::uint32_t length, valtocrane_match_kind kind)
{
    constexpr std::uint64_t ALL = ~0ULL;

    if (kind == VALTOCRANE_MATCH_IP && length >= 14) {
        const network_layer net = network_of(frame, length);
        const std::uint8_t *ip = frame + net.offset;
        const std::uint32_t left = length - net.offset;
        if (net.type == 0x0800 && left >= 20 && (ip[0] >> 4) == 4) {
            const std::uint32_t total = load_be16(ip + 2);
            const std::uint32_t n = total >= 20 && total < left ? total : left;
            /* Word 1 holds TTL (byte 8) and the checksum (10, 11). */
            return hash_words(4, ip, n, ALL, 0xFFFFFFFF0000FF00ULL);
        }
        if (net.type == 0x86DD && left >= 40 && (ip[0] >> 4) == 6) {
            const std::uint32_t total = 40 + load_be16(ip + 4);
            const std::uint32_t n = total < left ? total : left;
            /* Word 0 holds the hop limit (byte 7). */
            return hash_words(6, ip, n, 0x00FFFFFFFFFFFFFFULL, ALL);
        }
    }
    return hash_words(kind == VALTOCRANE_MATCH_IP ? 1 : 2, frame, length, ALL, ALL);
}

valtocrane_flow
valtocrane_flow_of(const std::uint8_t *frame, std::uint32_t length)
{
    valtocrane_flow f = {};

    if (length < 14)
        return f;
    const network_layer net = network_of(frame, length);
    f.has_vlan = net.tagged;
    f.vlan = net.vlan;
    const std::uint8_t *ip = frame + net.offset;
    const std::uint32_t left = length - net.offset;
    std::uint32_t transport = 0;  /* where the ports are, 0 for none */
    if (net.type == 0x0800 && left >= 20 && (ip[0] >> 4) == 4) {
        const std::uint32_t header = (ip[0] & 0x0Fu) * 4;
        f.version = 4;
        f.protocol = ip[9];
        std::memcpy(f.src, ip + 12, 4);
        std::memcpy(f.dst, ip + 16, 4);
        if ((load_be16(ip + 6) & 0x1FFF) == 0 && header >= 20)
            transport = header;
    } else if (net.type == 0x86DD && left >= 40 && (ip[0] >> 4) == 6) {
        f.version = 6;
        std::memcpy(f.src, ip + 8, 16);
        std::memcpy(f.dst, ip + 24, 16);
        /* Past the extension headers that come before the transport's:
         * hop-by-hop, routing, destination options and a first fragment. */
        std::uint8_t next = ip[6];
        std::uint32_t at = 40;
        for (int n = 0; n < 8; n++) {
            if ((next == 0 || next == 43 || next == 60) && at + 2 <= left) {
                const std::uint32_t skip = (ip[at + 1] + 1u) * 8;
                next = ip[at];
                at += skip;
            } else if (next == 44 && at + 8 <= left) {
                if ((load_be16(ip + at + 2) & 0xFFF8) != 0) {
                    next = ip[at];
                    at = 0;
                    break;
                }
                next = ip[at];
                at += 8;
            } else {
                break;
            }
        }
        f.protocol = next;
        transport = at;
    }
    if (transport != 0 && has_ports(f.protocol) && transport + 4 <= left) {
        f.has_ports = true;
        f.src_port = static_cast<std::uint16_t>(load_be16(ip + transport));
        f.dst_port = static_cast<std::uint16_t>(load_be16(ip + transport + 2));
    }
    return f;
}

bool
valtocrane_same_flow(const valtocrane_flow &a, const valtocrane_flow &b)
{
    const std::size_t n = a.version == 6 ? 16 : 4;
    return a.version == b.version && a.protocol == b.protocol && a.has_ports == b.has_ports &&
           a.src_port == b.src_port && a.dst_port == b.dst_port &&
           std::memcmp(a.src, b.src, n) == 0 && std::memcmp(a.dst, b.dst, n) == 0;
}

std::uint64_t
valtocrane_flow_hash(const valtocrane_flow &f)
{
    std::uint8_t bytes[40];
    const std::size_t n = f.version == 6 ? 16 : 4;
    std::memcpy(bytes, f.src, n);
    std::memcpy(bytes + n, f.dst, n);
    bytes[2 * n] = f.version;
    bytes[2 * n + 1] = f.protocol;
    bytes[2 * n + 2] = static_cast<std::uint8_t>(f.src_port >> 8);
    bytes[2 * n + 3] = static_cast<std::uint8_t>(f.src_port);
    bytes[2 * n + 4] = static_cast<std::uint8_t>(f.dst_port >> 8);
    bytes[2 * n + 5] = static_cast<std::uint8_t>(f.dst_port);
    return hash_words(3, bytes, static_cast<std::uint32_t>(2 * n + 6), ~0ULL, ~0ULL);
}

void
valtocrane_flow_label(const valtocrane_flow &f, char *out, std::size_t size)
{
    if (f.version == 0) {
        std::snprintf(out, size, "not IP");
        return;
    }
    char src[INET6_ADDRSTRLEN], dst[INET6_ADDRSTRLEN];
    const int family = f.version == 6 ? AF_INET6 : AF_INET;
    inet_ntop(family, f.src, src, sizeof src);
    inet_ntop(family, f.dst, dst, sizeof dst);
    const char *name = f.protocol == 6 ? "TCP" : f.protocol == 17 ? "UDP" : f.protocol == 132 ? "SCTP"
                     : f.protocol == 33 ? "DCCP" : NULL;
    char protocol[24];
    if (name != NULL)
        std::snprintf(protocol, sizeof protocol, "%s", name);
    else
        std::snprintf(protocol, sizeof protocol, "IPv%u proto %u", f.version, f.protocol);
    if (!f.has_ports)
        std::snprintf(out, size, "%s %s -> %s", protocol, src, dst);
    else if (f.version == 6)
        std::snprintf(out, size, "%s [%s]:%u -> [%s]:%u", protocol, src, f.src_port, dst, f.dst_port);
    else
        std::snprintf(out, size, "%s %s:%u -> %s:%u", protocol, src, f.src_port, dst, f.dst_port);
}

void
valtocrane_matcher::reset(std::uint64_t window_ns, std::size_t max_waiting)
{
    window_ = window_ns;
    step_ns_ = std::max<std::uint64_t>(window_ns, std::uint64_t(VALTOCRANE_STEP_MIN_SECS) *
                                                      VALTOCRANE_NS_PER_SEC);
    max_waiting_ = std::max<std::size_t>(max_waiting, 2);
    ring_.assign(64, entry());
    head_ = tail_ = 0;
    slots_.assign(128, slot());
    keys_ = 0;
    committed_ = 0;
    now_ = valtocrane_time();
    pending_ = pending_frame();
    clocks_.clear();
    events_.clear();
}

void
valtocrane_matcher::release()
{
    std::vector<entry>().swap(ring_);
    std::vector<slot>().swap(slots_);
    std::vector<clock_state>().swap(clocks_);
    std::vector<valtocrane_event>().swap(events_);
    head_ = tail_ = 0;
    keys_ = 0;
    pending_ = pending_frame();
}

bool
valtocrane_matcher::within(valtocrane_time a, valtocrane_time b) const
{
    const valtocrane_time d = valtocrane_time_distance(a, b);
    const std::uint64_t secs = window_ / VALTOCRANE_NS_PER_SEC;
    const std::uint64_t nsecs = window_ % VALTOCRANE_NS_PER_SEC;
    return static_cast<std::uint64_t>(d.secs) < secs ||
           (static_cast<std::uint64_t>(d.secs) == secs &&
            static_cast<std::uint64_t>(d.nsecs) <= nsecs);
}

valtocrane_copy
valtocrane_matcher::add(const valtocrane_seen &f)
{
    commit();

    slot *s = find(f.key);
    if (s != nullptr) {
        for (std::uint64_t seq = s->first; seq != NONE; seq = at(seq).next) {
            entry &e = at(seq);
            if (e.live && e.point != f.point && within(e.t, f.t)) {
                e.live = false;
                pending_ = { true, false, seq, f };
                return { true, e.id, e.point, e.t };
            }
        }
    }
    pending_ = { true, true, append(f), f };
    return { false, 0, 0, valtocrane_time() };
}

/* The device clock moves on with the last frame added: the median of the
 * last three device times, a frame left waiting at most max_waiting. */
void
valtocrane_matcher::commit()
{
    if (!pending_.valid)
        return;
    pending_.valid = false;
    committed_++;
    recent_[0] = recent_[1];
    recent_[1] = recent_[2];
    recent_[2] = pending_.seen.t;
    if (committed_ >= 3)
        now_ = median(recent_);
    else if (committed_ == 2)
        now_ = valtocrane_time_cmp(recent_[1], recent_[2]) < 0 ? recent_[1] : recent_[2];
    else
        now_ = recent_[2];
    watch_clock(pending_.seen);
    while (waiting() >= max_waiting_)
        pop_head(VALTOCRANE_NO_ROOM);
    expire();
}

void
valtocrane_matcher::retract_last()
{
    if (!pending_.valid)
        return;
    pending_.valid = false;
    if (!pending_.appended) {
        at(pending_.seq).live = true;
        return;
    }
    entry &e = at(pending_.seq);
    slot *s = find(e.key);
    if (s->first == pending_.seq) {
        erase(s);
    } else {
        std::uint64_t prev = s->first;
        while (at(prev).next != pending_.seq)
            prev = at(prev).next;
        at(prev).next = NONE;
        s->last = prev;
    }
    tail_--;
}

void
valtocrane_matcher::finish()
{
    commit();
    for (std::uint64_t seq = head_; seq < tail_; seq++) {
        if (at(seq).live)
            give_up(at(seq), VALTOCRANE_LOST);
    }
    head_ = tail_;
    slots_.assign(slots_.size(), slot());
    keys_ = 0;
}

void
valtocrane_matcher::give_up(entry &e, valtocrane_event_kind why)
{
    e.live = false;
    events_.push_back({ why, e.id, e.point, e.t });
}

void
valtocrane_matcher::pop_head(valtocrane_event_kind why)
{
    entry &e = at(head_);
    if (e.live)
        give_up(e, why);
    slot *s = find(e.key);
    s->first = e.next;
    if (s->first == NONE)
        erase(s);
    head_++;
}

/* Frames further than the window from the device clock leave, in the
 * order they came; not before two more frames have come after them, so
 * that the first frame after a step of the clock waits for the clock. */
void
valtocrane_matcher::expire()
{
    while (head_ < tail_) {
        const entry &e = at(head_);
        if (e.live && (committed_ - e.arrival < 2 || within(e.t, now_)))
            break;
        pop_head(VALTOCRANE_LOST);
    }
}

/* A step of a device clock: the median of its last three device times
 * less the capture host's times moves by more than the step size (the
 * device's clock jumped against the host's), or the median of its device
 * times goes back by as much (captures whose times are the device's). The
 * step is first seen at the middle one of the three frames. */
void
valtocrane_matcher::watch_clock(const valtocrane_seen &f)
{
    clock_state *c = nullptr;
    for (clock_state &each : clocks_) {
        if (each.clock == f.clock) {
            c = &each;
            break;
        }
    }
    if (c == nullptr) {
        clocks_.push_back(clock_state());
        c = &clocks_.back();
        c->clock = f.clock;
    }
    for (int i = 0; i < 2; i++) {
        c->device[i] = c->device[i + 1];
        c->offset[i] = c->offset[i + 1];
        c->id[i] = c->id[i + 1];
    }
    c->device[2] = valtocrane_wide_ns(f.t);
    c->offset[2] = c->device[2] - valtocrane_wide_ns(f.host);
    c->id[2] = f.id;
    if (c->count < 3 && ++c->count < 3)
        return;

    const valtocrane_wide device = median(c->device);
    const valtocrane_wide offset = median(c->offset);
    if (c->have_median) {
        const valtocrane_wide moved = offset - c->median_offset;
        if (moved > step_ns_ || moved < -step_ns_)
            events_.push_back({ VALTOCRANE_STEP, c->id[1], f.clock,
                                valtocrane_time_of_wide(moved) });
        else if (c->median_device - device > step_ns_)
            events_.push_back({ VALTOCRANE_STEP, c->id[1], f.clock,
                                valtocrane_time_of_wide(device - c->median_device) });
    }
    c->median_device = device;
    c->median_offset = offset;
    c->have_median = true;
}

std::uint64_t
valtocrane_matcher::append(const valtocrane_seen &f)
{
    if (tail_ - head_ == ring_.size())
        grow_ring();
    const std::uint64_t seq = tail_++;
    at(seq) = { f.key, f.id, NONE, committed_ + 1, f.t, f.point, true };
    slot *s = find(f.key);
    if (s != nullptr) {
        at(s->last).next = seq;
        s->last = seq;
    } else {
        if (2 * (keys_ + 1) > slots_.size())
            grow_slots();
        s = &slots_[probe(f.key)];
        *s = { f.key, seq, seq, true };
        keys_++;
    }
    return seq;
}

void
valtocrane_matcher::grow_ring()
{
    std::vector<entry> bigger(2 * ring_.size());
    for (std::uint64_t seq = head_; seq < tail_; seq++)
        bigger[seq & (bigger.size() - 1)] = at(seq);
    ring_.swap(bigger);
}

void
valtocrane_matcher::grow_slots()
{
    std::vector<slot> old(2 * slots_.size());
    old.swap(slots_);
    for (const slot &s : old) {
        if (s.used)
            slots_[probe(s.key)] = s;
    }
}

std::size_t
valtocrane_matcher::home(std::uint64_t key) const
{
    return static_cast<std::size_t>(key * 0x9E3779B97F4A7C15ULL >> 20) & (slots_.size() - 1);
}

/* The slot of key, or the free slot it would take. */
std::size_t
valtocrane_matcher::probe(std::uint64_t key) const
{
    std::size_t i = home(key);
    while (slots_[i].used && slots_[i].key != key)
        i = (i + 1) & (slots_.size() - 1);
    return i;
}

valtocrane_matcher::slot *
valtocrane_matcher::find(std::uint64_t key)
{
    slot &s = slots_[probe(key)];
    return s.used ? &s : nullptr;
}

/* Removes a slot, moving later ones of the same probe run back into the
 * gap (linear probing without tombstones). */
void
valtocrane_matcher::erase(slot *s)
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
