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
 * (retransmissions, say) pair up in order.
 *
 * Frames wait for their copy only while the window lasts, measured on the
 * device clock as the latest frames show it: the median of the last three
 * device times, so that one frame with a wild time (a bit error, a frame
 * that is not the device's) moves nothing, and a clock that steps (set by
 * PTP, a device restarted) is followed from the second frame after the
 * step. A frame further than the window from that clock, either way, is
 * given up once two more frames have come (the first frame after a step
 * waits for the second). At most max_waiting frames wait at a time, whatever
 * the device times: memory is bounded, not by the capture's length.
 *
 * Free of the host.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_MATCH_H
#define VALTOCRANE_MATCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "valtocrane-time.h"

/* The window of device time within which a frame's copy is looked for,
 * unless the user chooses another: a frame through a switch, a router or
 * an application on one host takes microseconds to milliseconds. */
constexpr std::uint32_t VALTOCRANE_LATENCY_WINDOW_DEFAULT_US = 1000;

/* Frames that wait for a copy at most at a time; the oldest is given up to
 * make room for another (a window far wider than the frame rate needs). */
constexpr std::size_t VALTOCRANE_MAX_WAITING = std::size_t(1) << 20;

/* A device clock that jumps by more than this (or the window, if wider)
 * against the capture host's clock, or back by as much, has stepped. */
constexpr std::uint32_t VALTOCRANE_STEP_MIN_SECS = 1;

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

/* The match key of an Ethernet frame of length captured bytes, without the
 * device's bytes and without its FCS. */
std::uint64_t valtocrane_match_key(const std::uint8_t *frame, std::uint32_t length,
                                   valtocrane_match_kind kind);

/* The IP flow of an Ethernet frame: protocol, addresses and ports (ports
 * of TCP, UDP, SCTP and DCCP, in an IPv4 datagram's first fragment), and
 * the outer VLAN tag's id where it has one. A router changes the tags, not
 * the flow: flows are told apart by their 5-tuple alone. */
struct valtocrane_flow {
    std::uint8_t version;    /* 4 or 6; 0: not IP */
    std::uint8_t protocol;
    bool has_ports;
    bool has_vlan;
    std::uint16_t vlan;
    std::uint16_t src_port;
    std::uint16_t dst_port;
    std::uint8_t src[16];    /* IPv4: the first 4 bytes */
    std::uint8_t dst[16];
};

valtocrane_flow valtocrane_flow_of(const std::uint8_t *frame, std::uint32_t length);

/* Whether two frames belong to one flow (the VLAN tag aside). */
bool valtocrane_same_flow(const valtocrane_flow &a, const valtocrane_flow &b);
std::uint64_t valtocrane_flow_hash(const valtocrane_flow &f);

/* "UDP 192.0.2.1:49152 -> 192.0.2.2:49153", "TCP [2001:db8::1]:80 -> ...",
 * "IPv4 proto 1 192.0.2.1 -> 192.0.2.2", "not IP". */
void valtocrane_flow_label(const valtocrane_flow &f, char *out, std::size_t size);

/* A frame with a device time, as the matcher takes it. */
struct valtocrane_seen {
    std::uint64_t key;
    std::uint64_t id;       /* the caller's name for the frame */
    std::uint32_t point;    /* the capture point it was seen at */
    std::uint32_t clock;    /* the device clock that stamped it (a capture's interface) */
    valtocrane_time t;      /* its device time */
    valtocrane_time host;   /* the capture host's time of it (the capture file's) */
};

/* The earlier copy of a frame, if it has one. */
struct valtocrane_copy {
    bool found;
    std::uint64_t earlier;        /* the id the earlier frame was added with */
    std::uint32_t earlier_point;
    valtocrane_time earlier_time;
};

/* What the matcher learnt besides copies. */
enum valtocrane_event_kind {
    VALTOCRANE_LOST,      /* id waited in vain: no copy within the window */
    VALTOCRANE_NO_ROOM,   /* id given up unmatched to keep max_waiting */
    VALTOCRANE_STEP       /* clock stepped by t, first seen at frame id */
};

struct valtocrane_event {
    valtocrane_event_kind kind;
    std::uint64_t id;
    std::uint32_t point;  /* LOST, NO_ROOM: where the frame was seen; STEP: the clock */
    valtocrane_time t;    /* LOST, NO_ROOM: the frame's device time; STEP: the step */
};

class valtocrane_matcher {
public:
    /* Starts afresh; a window of 0 ns matches nothing. */
    void reset(std::uint64_t window_ns, std::size_t max_waiting = VALTOCRANE_MAX_WAITING);

    /* Gives the memory back. */
    void release();

    bool active() const { return window_ != 0 && !ring_.empty(); }

    /* A frame, in capture order: the earlier frame it is a copy of, if
     * any. A frame that is no copy waits for one. */
    valtocrane_copy add(const valtocrane_seen &f);

    /* The last frame added stays for good (a frame of another kind has
     * come since): retract_last() does nothing until the next add(). */
    void commit();

    /* Takes the last frame added back, as if it had never been seen (a
     * frame a read filter dropped): a frame it was a copy of waits again. */
    void retract_last();

    /* The capture has ended: every frame still waiting waited in vain. */
    void finish();

    /* What was learnt since the caller last cleared them. */
    const std::vector<valtocrane_event> &events() const { return events_; }
    void clear_events() { events_.clear(); }

    /* Frames waiting now. */
    std::size_t waiting() const { return static_cast<std::size_t>(tail_ - head_); }

    /* The device clock as the frames added so far show it. */
    valtocrane_time clock() const { return now_; }

private:
    static constexpr std::uint64_t NONE = ~0ULL;

    struct entry {
        std::uint64_t key;
        std::uint64_t id;
        std::uint64_t next;     /* the next waiting frame with the same key */
        std::uint64_t arrival;  /* the frames committed when it came */
        valtocrane_time t;
        std::uint32_t point;
        bool live;
    };

    /* A key's waiting frames, oldest first (matched ones among them until
     * they leave the ring). */
    struct slot {
        std::uint64_t key;
        std::uint64_t first;
        std::uint64_t last;
        bool used;
    };

    /* The last frame added, until the next comes. */
    struct pending_frame {
        bool valid;
        bool appended;  /* it waits (else it matched an earlier one) */
        std::uint64_t seq;
        valtocrane_seen seen;
    };

    /* The last three device times of a clock, with the capture host's. */
    struct clock_state {
        std::uint32_t clock;
        unsigned count;
        valtocrane_wide device[3];   /* in nanoseconds */
        valtocrane_wide offset[3];
        std::uint64_t id[3];
        bool have_median;
        valtocrane_wide median_device;
        valtocrane_wide median_offset;
    };

    entry &at(std::uint64_t seq) { return ring_[seq & (ring_.size() - 1)]; }
    bool within(valtocrane_time a, valtocrane_time b) const;
    void give_up(entry &e, valtocrane_event_kind why);
    void pop_head(valtocrane_event_kind why);
    void expire();
    void watch_clock(const valtocrane_seen &f);
    std::uint64_t append(const valtocrane_seen &f);
    void grow_ring();
    void grow_slots();
    std::size_t home(std::uint64_t key) const;
    std::size_t probe(std::uint64_t key) const;
    slot *find(std::uint64_t key);
    void erase(slot *s);

    std::uint64_t window_ = 0;
    valtocrane_wide step_ns_ = 0;
    std::size_t max_waiting_ = 0;
    std::vector<entry> ring_;
    std::uint64_t head_ = 0;
    std::uint64_t tail_ = 0;
    std::vector<slot> slots_;
    std::size_t keys_ = 0;
    std::uint64_t committed_ = 0;
    valtocrane_time recent_[3] = {};  /* the last device times committed, newest last */
    valtocrane_time now_ = {};
    pending_frame pending_ = {};
    std::vector<clock_state> clocks_;
    std::vector<valtocrane_event> events_;
};

#endif /* VALTOCRANE_MATCH_H */
