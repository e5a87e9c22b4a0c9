/* packet-valtocrane.cpp
 * Hardware timestamps of ValtoCrane capture devices.
 *
 * A ValtoCrane device stamps every Ethernet frame it captures with its own
 * clock, in one of three layouts chosen by the device model:
 *
 *  - tick-counter trailer: 8 bytes after the frame, a 56-bit big-endian
 *    count of 5 ns ticks and one byte that is not part of it. The counter
 *    runs free, so it is tied to the capture file's clock at the first
 *    frame that carries one;
 *  - seconds-and-fraction trailer: 8 bytes after the frame, big-endian
 *    seconds since 1970 and a fraction of a second in units of 2^-32 s;
 *  - capture header: 28 little-endian bytes before the frame, with a marker
 *    (6), the port, seconds, a fraction, and the captured and packet lengths.
 *
 * While a layout is chosen the dissector takes over link type Ethernet: it
 * decodes the device time, shows it, makes it the frame's time (plus any
 * offset the user's Time Shift gave the frame), strips the trailer or
 * header and hands the rest to the host's Ethernet dissector. A frame
 * without a readable device time keeps the capture file's time. With the
 * preference at "Disabled" the host's own Ethernet dissector has link type
 * Ethernet back, once the frames of the open capture have their file times
 * again.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <time.h>

#include <cinttypes>

#include <wireshark.h>
#include <epan/exceptions.h>
#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/prefs-int.h>
#include <epan/tap.h>
#include <epan/to_str.h>
#include <wiretap/wtap.h>

#include "packet-valtocrane.h"
#include "valtocrane-format.h"
#include "valtocrane-host.h"
#include "valtocrane-match.h"
#include "valtocrane-stats.h"

static int proto_valtocrane = -1;

static int hf_valtocrane_ts = -1;
static int hf_valtocrane_ts_utc = -1;
static int hf_valtocrane_interface = -1;
static int hf_valtocrane_length = -1;
static int hf_valtocrane_captured_length = -1;
static int hf_valtocrane_capture_time = -1;
static int hf_valtocrane_capture_offset = -1;
static int hf_valtocrane_time_relative = -1;
static int hf_valtocrane_time_delta = -1;
static int hf_valtocrane_latency = -1;
static int hf_valtocrane_latency_frame = -1;
static int hf_valtocrane_copy_missing = -1;

static gint ett_valtocrane = -1;

/* Each frame of a capture the plugin decodes, for the latency statistics. */
static int valtocrane_tap = -1;

static expert_field ei_valtocrane_trailer_not_captured = EI_INIT;
static expert_field ei_valtocrane_time_implausible = EI_INIT;
static expert_field ei_valtocrane_clock_step = EI_INIT;

static gint valtocrane_tstype = VALTOCRANE_DISABLED;
static guint valtocrane_max_time_offset = VALTOCRANE_MAX_OFFSET_DEFAULT;
static guint valtocrane_latency_window_us = VALTOCRANE_LATENCY_WINDOW_DEFAULT_US;
static gint valtocrane_latency_match = VALTOCRANE_MATCH_IP;

static const enum_val_t valtocrane_latency_match_options[] = {
    { "ip", "IP datagram (what a router leaves as it was)", VALTOCRANE_MATCH_IP },
    { "frame", "Whole frame (a switch)", VALTOCRANE_MATCH_FRAME },
    { NULL, NULL, -1 }
};

/* The preference's values: the layouts' stored names (which the tools'
 * --format takes) and labels, filled in at registration. */
static enum_val_t valtocrane_tstype_options[VALTOCRANE_FORMAT_COUNT + 1];

static dissector_handle_t valtocrane_handle;

/* The host's own Ethernet dissector: the handle the host put under link
 * type Ethernet, which honours the FCS length the capture file records. */
static dissector_handle_t eth_dissector;

/* Every record's first dissection in a session, whatever its link type
 * (valtocrane_begin_record): a postdissector, under a protocol of its own,
 * turned on where a read filter may drop records (dissect_valtocrane) and
 * off when a session starts (valtocrane_init). */
static int proto_valtocrane_records = -1;
static dissector_handle_t valtocrane_records_handle;

/* The preference has been switched from a format to "Disabled" since the
 * present session started. */
static gboolean valtocrane_switched_off;
static gint valtocrane_applied_tstype = VALTOCRANE_DISABLED;

/* The device times of a session, in capture order: the tick counter's tie
 * to the capture's clock, the first device time (from which
 * valtocrane.time_relative counts; in the tick-counter format the time of
 * the frame it is tied at) and the latest. */
struct valtocrane_times {
    valtocrane_tick_anchor tick_anchor;
    gboolean have_first;
    valtocrane_time first;
    gboolean have_previous;
    valtocrane_time previous;
};

/* What a frame's first dissection in a session found, kept for every later
 * dissection of it (a click, a display filter, the second pass): the
 * device's interval to the frame before, its capture point, the frame this
 * one is a copy of, and for a frame that is none what became of it. */
struct valtocrane_frame_info {
    nstime_t delta;
    nstime_t latency;
    guint32 copy_of;   /* 0: none */
    guint32 point;
    guint8 noted;      /* the frame had a device time */
    guint8 fate;       /* a valtocrane_fate */
};

/* The host dissects a capture in sessions: one when it opens the capture,
 * and a new one whenever it dissects the open capture anew (after a change
 * of preferences, say), going over the frames in order again. It keeps one
 * record per frame while the capture is open (the frame's time, Time
 * Shift's offset, the time precision) and hands it back in every session;
 * a device time written into it stays until this plugin writes the file
 * time back. Everything a session knows is here; what the session before
 * decoded with and did decides what this one needs (valtocrane_init). */
struct valtocrane_session {
    gint format;       /* the format the session started with */
    gint eth_fcs;      /* the host's eth.fcs preference then (-1, 0 or 4) */
    gboolean retimed;  /* it gave a frame record a device time */

    valtocrane_times times;
    /* The session before's, and whether the tick counter is tied at the
     * session's first frame with a readable counter to the time that
     * session gave the frame's record rather than to the capture file's
     * time of it: when both decode the tick counter with the same FCS rule.
     * That is the same tie in a new dissection of the same capture,
     * whichever frame it was tied at (the GUI's read filter drops frames
     * after their first dissection), and the file's own time in a capture
     * opened afresh. */
    valtocrane_times previous_times;
    gboolean anchor_from_frame_record;

    /* The frames waiting for a copy at another capture point
     * (valtocrane.latency), while the latency window lasts. */
    valtocrane_matcher copies;

    /* valtocrane_frame_info by frame number, the steps of a device clock
     * by the number of the first frame after one, and the capture points'
     * names for the statistics; in file scope, freed with the session. */
    wmem_array_t *frames;
    wmem_map_t *steps;
    wmem_map_t *point_names;

    /* The record whose first dissection was the latest, and what it did:
     * the GUI and TShark give the next record read the same number when a
     * read filter drops one, which then takes no part in the intervals and
     * copies. */
    guint32 latest_num;
    gint64 latest_offset;
    gboolean every_record;      /* the postdissector sees every record */
    gboolean latest_noted;      /* it had a device time */
    gboolean latest_matched;    /* it went to the matcher */
    valtocrane_times times_before_latest;

    /* Whether each interface of the capture is one whose frames
     * valtocrane-retime re-timed and stripped of the device's bytes, as far
     * as this session has looked: 0 not looked at, 1 no, 2 yes. */
    guint8 interface_state[64];
};

static valtocrane_session session;

/* A relative time the host's way: both parts of one sign. */
static nstime_t
valtocrane_relative_nstime(const valtocrane_time &vt)
{
    nstime_t t = valtocrane_nstime(vt);

    if (t.secs < 0 && t.nsecs > 0) {
        t.secs += 1;
        t.nsecs -= static_cast<int>(VALTOCRANE_NS_PER_SEC);
    }
    return t;
}

/* The capture file's own time of the frame being dissected, from the
 * record the host read for this dissection. */
static valtocrane_time
valtocrane_file_time(const packet_info *pinfo)
{
    return valtocrane_from_nstime(&pinfo->rec->ts);
}

/* Makes device (or, when it is NULL, the capture file's time) the frame's
 * time, with the offset Time Shift keeps for the frame added: in the frame
 * record, which the Time column, deltas and references read, and in this
 * dissection's copy, which every later dissector of the frame reads (TCP
 * and DNS timing, for instance). A device time carries nanoseconds, whatever
 * the resolution the file keeps its own times in. */
static void
valtocrane_set_frame_time(packet_info *pinfo, const valtocrane_time *device)
{
    frame_data *fd = pinfo->fd;
    const valtocrane_time t = valtocrane_time_add(device ? *device : valtocrane_file_time(pinfo),
                                                  valtocrane_from_nstime(&fd->shift_offset));

    fd->abs_ts = valtocrane_nstime(t);
    fd->tsprec = (device ? WTAP_TSPREC_NSEC : static_cast<unsigned int>(pinfo->rec->tsprec)) & 0xF;
    pinfo->abs_ts = fd->abs_ts;
    if (device)
        session.retimed = TRUE;
}

/* Whether anyone will see this protocol's items: the tree is shown (-V,
 * PDML, the GUI's detail pane), a filter or field list names the protocol
 * or one of its fields, or protocol statistics are gathered. A tree built
 * for other protocols' fields (-T fields, say) would only have the items
 * made and thrown away, at a cost per frame. */
static gboolean
valtocrane_tree_wanted(proto_tree *tree)
{
    return proto_field_is_referenced(tree, proto_valtocrane);
}

/* Whether the C library can break the seconds down into a calendar time,
 * in local time or in UTC. Every C library can for 1970 to 2038 (a 32-bit
 * time_t holds them), and these are most device times; only times outside
 * that range are put to the C library itself. */
static gboolean
valtocrane_time_is_representable(time_t secs, gboolean local)
{
    struct tm tm;

    if (secs >= 0 && secs <= G_MAXINT32)
        return TRUE;
    return (local ? localtime_r(&secs, &tm) : gmtime_r(&secs, &tm)) != NULL;
}

/* The items of a decoded device time: "Timestamp" in local time and in UTC,
 * each only where the C library can show the seconds in that zone, over
 * the 8 bytes it was read from; then, generated, the capture file's time
 * and how far the device's clock was from the capture host's. */
static void
valtocrane_add_time_items(proto_tree *tree, tvbuff_t *tvb, gint offset,
                          const packet_info *pinfo, const valtocrane_time &device)
{
    const nstime_t t = valtocrane_nstime(device);
    nstime_t difference;
    proto_item *ti;

    if (valtocrane_time_is_representable(t.secs, TRUE))
        proto_tree_add_time(tree, hf_valtocrane_ts, tvb, offset, VALTOCRANE_TIME_LEN, &t);
    if (valtocrane_time_is_representable(t.secs, FALSE))
        proto_tree_add_time(tree, hf_valtocrane_ts_utc, tvb, offset, VALTOCRANE_TIME_LEN, &t);

    ti = proto_tree_add_time(tree, hf_valtocrane_capture_time, tvb, 0, 0, &pinfo->rec->ts);
    proto_item_set_generated(ti);
    /* A relative time, kept the host's way (both parts of one sign). */
    nstime_delta(&difference, &t, &pinfo->rec->ts);
    ti = proto_tree_add_time(tree, hf_valtocrane_capture_offset, tvb, 0, 0, &difference);
    proto_item_set_generated(ti);
}

/* What a frame's first dissection in the session found, by its number;
 * NULL where it noted nothing. */
static valtocrane_frame_info *
valtocrane_frame(guint32 num)
{
    if (num == 0 || num > wmem_array_get_count(session.frames))
        return NULL;
    return static_cast<valtocrane_frame_info *>(wmem_array_index(session.frames, num - 1));
}

/* The device's intervals: since the session's first device time, since
 * the frame before with one, and since the frame's earlier copy; whether
 * its copy is missing; a step of the device clock at this frame. */
static void
valtocrane_add_interval_items(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo,
                              const valtocrane_time &t, const valtocrane_frame_info *info)
{
    const nstime_t relative =
        valtocrane_relative_nstime(valtocrane_time_sub(t, session.times.first));

    proto_item_set_generated(proto_tree_add_time(tree, hf_valtocrane_time_relative, tvb, 0, 0,
                                                 &relative));
    if (info == NULL)
        return;
    proto_item_set_generated(proto_tree_add_time(tree, hf_valtocrane_time_delta, tvb, 0, 0,
                                                 &info->delta));
    if (info->copy_of != 0) {
        proto_item_set_generated(proto_tree_add_time(tree, hf_valtocrane_latency, tvb, 0, 0,
                                                     &info->latency));
        proto_item_set_generated(proto_tree_add_uint(tree, hf_valtocrane_latency_frame, tvb, 0, 0,
                                                     info->copy_of));
    } else if (session.copies.active() && pinfo->fd->visited &&
               info->fate != VALTOCRANE_FATE_COPIED) {
        /* Known once the window has passed or the capture ended, so never
         * at a frame's first dissection (TShark in one pass); later, a
         * frame still waiting when the session learnt of no more frames (a
         * capture being captured, or dissected anew and not read again) has
         * had none so far. */
        proto_item_set_generated(proto_tree_add_item(tree, hf_valtocrane_copy_missing, tvb, 0, 0,
                                                     ENC_NA));
    }
    const auto *step = static_cast<const nstime_t *>(
        wmem_map_lookup(session.steps, GUINT_TO_POINTER(pinfo->num)));
    if (step != NULL)
        proto_tree_add_expert_format(tree, pinfo, &ei_valtocrane_clock_step, tvb, 0, 0,
                                     "The device clock stepped by %s s here (PTP, a restart?): "
                                     "frames before and after pair only within the latency "
                                     "window of each other",
                                     rel_time_to_secs_str(pinfo->pool, step));
}

/* The capture header's port and lengths. */
static void
valtocrane_add_header_items(proto_tree *tree, tvbuff_t *tvb)
{
    proto_tree_add_string(tree, hf_valtocrane_interface, tvb, VALTOCRANE_HEADER_PORT_OFF, 4,
                          valtocrane_port_label(tvb_get_letohl(tvb, VALTOCRANE_HEADER_PORT_OFF)));
    proto_tree_add_item(tree, hf_valtocrane_length, tvb, VALTOCRANE_HEADER_PKTLEN_OFF, 4,
                        ENC_LITTLE_ENDIAN);
    proto_tree_add_item(tree, hf_valtocrane_captured_length, tvb, VALTOCRANE_HEADER_CAPLEN_OFF, 4,
                        ENC_LITTLE_ENDIAN);
}

/* Only the frame itself carries a device time: the whole record of a
 * capture whose link type is Ethernet, as the host hands it over. Ethernet
 * carried inside another encapsulation (PPI, say) reaches this dissector
 * through the same table, as a part of a larger frame. */
static gboolean
valtocrane_is_whole_frame(tvbuff_t *tvb, const packet_info *pinfo)
{
    return pinfo->rec != NULL && pinfo->rec->rec_type == REC_TYPE_PACKET &&
           pinfo->rec->rec_header.packet_header.pkt_encap == WTAP_ENCAP_ETHERNET &&
           tvb_get_ds_tvb(tvb) == tvb;
}

/* The tick counter on the capture's clock (anchor_from_frame_record);
 * recorded is the time the frame record held when the dissection began. */
static valtocrane_time
valtocrane_anchored_counter_time(const packet_info *pinfo, const valtocrane_time &counter,
                                 const nstime_t &recorded)
{
    valtocrane_tick_anchor *anchor = &session.times.tick_anchor;

    if (anchor->set)
        return valtocrane_tick_anchor_apply(anchor, valtocrane_time(), counter);

    valtocrane_time time = valtocrane_file_time(pinfo);
    if (session.anchor_from_frame_record)
        time = valtocrane_time_sub(valtocrane_from_nstime(&recorded),
                                   valtocrane_from_nstime(&pinfo->fd->shift_offset));
    const valtocrane_time t = valtocrane_tick_anchor_apply(anchor, time, counter);
    /* The same tie as the session before's: the same capture, whose times
     * count from the frame it was tied at, even where a read filter has
     * dropped that frame since. */
    const valtocrane_times &previous = session.previous_times;
    if (session.anchor_from_frame_record && previous.tick_anchor.set && previous.have_first &&
        valtocrane_time_equal(anchor->offset, previous.tick_anchor.offset)) {
        session.times.first = previous.first;
        session.times.have_first = TRUE;
    }
    return t;
}

/* A record's first dissection in the session begins, whatever it holds.
 * One with the number of the record before means the read filter dropped
 * that one: what it did is taken back (but for the tick counter's tie,
 * which stays where the first reading made it, as with "tshark -2 -R").
 * The same record seen again in the same dissection (by the dissector,
 * then the postdissector) changes nothing. */
static void
valtocrane_begin_record(const packet_info *pinfo)
{
    if (pinfo->num == session.latest_num && pinfo->fd->file_off == session.latest_offset)
        return;
    if (pinfo->num == session.latest_num && session.latest_noted && session.every_record) {
        const valtocrane_times kept = session.times;
        session.times = session.times_before_latest;
        session.times.tick_anchor = kept.tick_anchor;
        if (session.format == VALTOCRANE_TICK_TRAILER) {
            session.times.have_first = kept.have_first;
            session.times.first = kept.first;
        }
        valtocrane_frame_info *dropped = valtocrane_frame(session.latest_num);
        if (session.latest_matched) {
            session.copies.retract_last();
            valtocrane_frame_info *earlier = valtocrane_frame(dropped ? dropped->copy_of : 0);
            if (earlier != NULL)
                earlier->fate = VALTOCRANE_FATE_WAITING;
        }
        if (dropped != NULL)
            *dropped = valtocrane_frame_info();
    }
    session.latest_num = pinfo->num;
    session.latest_offset = pinfo->fd->file_off;
    session.latest_noted = FALSE;
    session.latest_matched = FALSE;
    /* What to go back to, where a read filter may drop the record. */
    if (session.every_record)
        session.times_before_latest = session.times;
}

/* The capture point of a frame: its interface and, in the capture-header
 * format, the port its header names (A, B, any other value unknown); where
 * it has no header, none. */
enum valtocrane_point_port : guint32 {
    VALTOCRANE_POINT_WHOLE = VALTOCRANE_PORT_UNKNOWN + 1,  /* the whole interface */
    VALTOCRANE_POINT_NO_TIME,                             /* no readable header */
    VALTOCRANE_POINT_PORTS = 8
};

static guint32
valtocrane_point(const packet_info *pinfo, guint32 port)
{
    return valtocrane_host_interface(pinfo) * VALTOCRANE_POINT_PORTS + port;
}

static guint32
valtocrane_capture_point(const packet_info *pinfo, const guint8 *frame, valtocrane_format layout)
{
    guint32 port = VALTOCRANE_POINT_WHOLE;

    if (layout == VALTOCRANE_CAPTURE_HEADER)
        port = valtocrane_port_index(valtocrane_load_le32(frame + VALTOCRANE_HEADER_PORT_OFF));
    return valtocrane_point(pinfo, port);
}

/* A capture point as the statistics name it (and valtocrane-latency):
 * "interface 0 (eth0), Port A". */
static const char *
valtocrane_point_name(const packet_info *pinfo, guint32 point)
{
    const char *name = static_cast<const char *>(
        wmem_map_lookup(session.point_names, GUINT_TO_POINTER(point)));
    if (name != NULL)
        return name;
    const guint32 interface = point / VALTOCRANE_POINT_PORTS;
    const guint32 port = point % VALTOCRANE_POINT_PORTS;
    const char *interface_name = valtocrane_host_interface_name(pinfo, interface);
    if (interface_name != NULL && strcmp(interface_name, "unknown") == 0)
        interface_name = NULL;
    /* Port A, B, other (as their index) and no readable header. */
    int port_name = -1;
    if (port <= VALTOCRANE_PORT_UNKNOWN)
        port_name = static_cast<int>(port);
    else if (port == VALTOCRANE_POINT_NO_TIME)
        port_name = static_cast<int>(VALTOCRANE_PORT_UNKNOWN) + 1;
    name = wmem_strdup(wmem_file_scope(),
                       valtocrane_point_label(interface & 0xFFFF, interface_name, port_name)
                           .c_str());
    wmem_map_insert(session.point_names, GUINT_TO_POINTER(point), const_cast<char *>(name));
    return name;
}

/* Hands a whole frame of the capture to the latency statistics, where any
 * are gathered: its capture point and, where it has a device time (t), what
 * its first dissection found (info) and the flow of its own bytes. */
static void
valtocrane_queue_tap(packet_info *pinfo, guint32 point, const valtocrane_time *t,
                     const valtocrane_frame_info *info, const guint8 *own, guint own_len)
{
    if (!have_tap_listener(valtocrane_tap))
        return;
    auto *frame = wmem_new0(pinfo->pool, valtocrane_tap_frame);
    frame->num = pinfo->num;
    frame->point = valtocrane_point_name(pinfo, point);
    if (t != NULL && info != NULL) {
        frame->has_time = TRUE;
        frame->t = *t;
        const valtocrane_frame_info *earlier = valtocrane_frame(info->copy_of);
        if (earlier != NULL) {
            frame->copy = TRUE;
            frame->earlier_point = valtocrane_point_name(pinfo, earlier->point);
            frame->earlier_t = valtocrane_time_sub(*t, valtocrane_from_nstime(&info->latency));
        } else if (!session.copies.active()) {
            frame->fate = VALTOCRANE_FATE_COPIED;  /* no matching: nothing to lose */
        } else {
            /* Known once the window has passed: a frame still waiting at a
             * later dissection has had none so far. */
            frame->fate = static_cast<valtocrane_fate>(info->fate);
            if (pinfo->fd->visited && frame->fate == VALTOCRANE_FATE_WAITING)
                frame->fate = VALTOCRANE_FATE_LOST;
        }
        if (valtocrane_statistics_want_flows && own != NULL) {
            frame->has_flow = TRUE;
            frame->flow = valtocrane_flow_of(own, own_len);
        }
    }
    tap_queue_packet(valtocrane_tap, pinfo, frame);
}

/* What the matcher learnt: frames that waited in vain, steps of a device
 * clock. */
static void
valtocrane_note_events(void)
{
    for (const valtocrane_event &e : session.copies.events()) {
        if (e.kind == VALTOCRANE_STEP) {
            auto *step = wmem_new(wmem_file_scope(), nstime_t);
            *step = valtocrane_relative_nstime(e.t);
            wmem_map_insert(session.steps, GUINT_TO_POINTER(static_cast<guint32>(e.id)), step);
            continue;
        }
        valtocrane_frame_info *info = valtocrane_frame(static_cast<guint32>(e.id));
        if (info != NULL)
            info->fate = VALTOCRANE_FATE_LOST;
    }
    session.copies.clear_events();
}

/* Notes a device time of the session, and on the frame's first dissection
 * in it keeps what it found with the frame: the difference to the previous
 * device time, and the earlier copy of the frame's own bytes (own, own_len)
 * at another capture point. */
static const valtocrane_frame_info *
valtocrane_note_device_time(packet_info *pinfo, const valtocrane_time &t, const guint8 *own,
                            guint own_len, guint32 point)
{
    valtocrane_times *times = &session.times;
    const guint index = pinfo->num - 1;

    if (!times->have_first) {
        times->first = t;
        times->have_first = TRUE;
    }
    if (pinfo->fd->visited) {
        const valtocrane_frame_info *info = valtocrane_frame(pinfo->num);
        return info != NULL && info->noted ? info : NULL;
    }

    valtocrane_frame_info info = {};
    info.noted = TRUE;
    info.point = point;
    info.delta = valtocrane_relative_nstime(times->have_previous
                                                ? valtocrane_time_sub(t, times->previous)
                                                : valtocrane_time());
    times->previous = t;
    times->have_previous = TRUE;
    session.latest_noted = TRUE;

    /* Frames are numbered in the order of their first dissection; a frame
     * the read filter dropped gives its number to the next. */
    const valtocrane_frame_info none = {};
    while (wmem_array_get_count(session.frames) < index)
        wmem_array_append_one(session.frames, none);
    if (index == wmem_array_get_count(session.frames))
        wmem_array_append_one(session.frames, none);
    auto *slot = static_cast<valtocrane_frame_info *>(wmem_array_index(session.frames, index));

    if (session.copies.active()) {
        const valtocrane_seen seen = {
            valtocrane_match_key(own, own_len,
                                 static_cast<valtocrane_match_kind>(valtocrane_latency_match)),
            pinfo->num, point, valtocrane_host_interface(pinfo), t, valtocrane_file_time(pinfo)
        };
        const valtocrane_copy copy = session.copies.add(seen);
        session.latest_matched = TRUE;
        if (copy.found) {
            info.copy_of = static_cast<guint32>(copy.earlier);
            info.latency = valtocrane_relative_nstime(valtocrane_time_sub(t, copy.earlier_time));
            valtocrane_frame_info *earlier = valtocrane_frame(info.copy_of);
            if (earlier != NULL)
                earlier->fate = VALTOCRANE_FATE_COPIED;
        }
        valtocrane_note_events();
    }
    *slot = info;
    return slot;
}

/* The FCS length of the frame as the host's Ethernet dissector takes it:
 * from the capture file (the packet record's pseudo-header), else from the
 * host's eth.fcs preference. */
static int
valtocrane_fcs_len(const void *data)
{
    const auto *eth = static_cast<const struct eth_phdr *>(data);

    return eth != NULL && eth->fcs_len != -1 ? eth->fcs_len : session.eth_fcs;
}

/* Whether the frame's interface is one valtocrane-retime re-timed and
 * stripped of the device's bytes (it says so in its description). */
static gboolean
valtocrane_interface_is_retimed(const packet_info *pinfo)
{
    const guint32 id = pinfo->rec->rec_header.packet_header.interface_id;
    const gboolean cached = (pinfo->rec->presence_flags & WTAP_HAS_INTERFACE_ID) &&
                            pinfo->rec->section_number == 0 &&
                            id < G_N_ELEMENTS(session.interface_state);

    if (cached && session.interface_state[id] != 0)
        return session.interface_state[id] == 2;
    const gboolean retimed =
        valtocrane_interface_retimed(valtocrane_host_interface_description(pinfo));
    if (cached)
        session.interface_state[id] = retimed ? 2 : 1;
    return retimed;
}

/* The frame without the device's bytes, as it was on the wire: the bytes
 * before a trailer (and the FCS after it), or those after the header. */
static tvbuff_t *
valtocrane_frame_tvb(tvbuff_t *tvb, packet_info *pinfo, const valtocrane_location &at,
                     guint captured, guint reported)
{
    const guint rest = reported - at.front - at.back;
    const guint own_end = at.back != 0 ? at.time_offset : reported;
    const guint own_captured = MIN(captured, own_end) - at.front;
    const guint fcs_start = at.time_offset + at.back;

    if (at.back == 0 || at.fcs == 0 || captured <= fcs_start)
        return tvb_new_subset_length_caplen(tvb, static_cast<gint>(at.front),
                                            static_cast<gint>(own_captured),
                                            static_cast<gint>(rest));

    /* The frame's own bytes, then its FCS behind the trailer, copied into
     * one buffer of the frame's lifetime. (A composite buffer of the two
     * would do without the copy, but the host's dissectors then stumble on
     * its end: UDP's payload item, for one, reports a dissector bug.) */
    const guint fcs_captured = captured - fcs_start;
    auto *bytes = static_cast<guint8 *>(wmem_alloc(pinfo->pool, own_captured + fcs_captured));
    tvb_memcpy(tvb, bytes, static_cast<gint>(at.front), own_captured);
    tvb_memcpy(tvb, bytes + own_captured, static_cast<gint>(fcs_start), fcs_captured);
    return tvb_new_child_real_data(tvb, bytes, own_captured + fcs_captured,
                                   static_cast<gint>(rest));
}

/* A device time further from the capture file's time than the user
 * allows: a warning on the plugin's item, or, where the tree holds none
 * (no one asked for the plugin's fields), on the frame's tree. */
static void
valtocrane_check_plausible(packet_info *pinfo, proto_tree *tree, tvbuff_t *tvb, proto_item *ti,
                           const valtocrane_time &t)
{
    const valtocrane_time file = valtocrane_file_time(pinfo);

    if (!valtocrane_time_implausible(t, file, valtocrane_max_time_offset))
        return;
    const valtocrane_time away = valtocrane_time_distance(t, file);
    const char *format = "device time %" PRId64 " s away from the capture file time: "
                         "is the format right, is the device clock set?";
    const auto secs = static_cast<std::int64_t>(away.secs);
    if (ti != NULL)
        expert_add_info_format(pinfo, ti, &ei_valtocrane_time_implausible, format, secs);
    else
        proto_tree_add_expert_format(tree, pinfo, &ei_valtocrane_time_implausible, tvb, 0, 0,
                                     format, secs);
}

/* A frame valtocrane-retime re-timed and stripped: its file time is its
 * device time, and it has no device bytes. It goes to Ethernet as it is;
 * its intervals and copies are the device's all the same. */
static int
dissect_valtocrane_retimed(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    const valtocrane_time t = valtocrane_file_time(pinfo);
    const guint captured = tvb_captured_length(tvb);
    const valtocrane_location none = { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 };
    const valtocrane_span own = valtocrane_own_bytes(none, captured, tvb_reported_length(tvb),
                                                     valtocrane_fcs_len(data));
    const guint8 *frame = own.length ? tvb_get_ptr(tvb, 0, static_cast<gint>(own.length)) : NULL;

    const guint32 point = valtocrane_point(pinfo, VALTOCRANE_POINT_WHOLE);
    const valtocrane_frame_info *info = valtocrane_note_device_time(pinfo, t, frame, own.length,
                                                                    point);
    if (valtocrane_tree_wanted(tree)) {
        proto_item *ti = proto_tree_add_item(tree, proto_valtocrane, tvb, 0, 0, ENC_NA);
        proto_item_set_generated(ti);
        valtocrane_add_interval_items(proto_item_add_subtree(ti, ett_valtocrane), tvb, pinfo, t,
                                      info);
    }
    valtocrane_queue_tap(pinfo, point, &t, info, frame, own.length);
    return call_dissector_with_data(eth_dissector, tvb, pinfo, tree, data);
}

static int
dissect_valtocrane(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    const gint format = valtocrane_tstype;

    if (!valtocrane_is_whole_frame(tvb, pinfo)) {
        /* Ethernet inside another encapsulation: a frame's time is a device
         * time only where this plugin decoded the frame around it in this
         * dissection (it is then this protocol's second layer); otherwise
         * it is the capture file's. An earlier dissection may have taken
         * the whole record for Ethernet: the host's PPI path rewrites the
         * record's link type in place, and the GUI dissects a record twice
         * without reading it again when a read filter is set. */
        if (pinfo->rec != NULL && pinfo->curr_proto_layer_num <= 1)
            valtocrane_set_frame_time(pinfo, NULL);
        return call_dissector_with_data(eth_dissector, tvb, pinfo, tree, data);
    }
    if (!pinfo->fd->visited) {
        /* Only a read filter drops a record after its first dissection,
         * and the host builds a tree for it to look at: from the first such
         * dissection on, every record's first dissection is seen, so that
         * a dropped frame is undone whatever record comes next. Without a
         * tree, no postdissector costs the host a layer a frame. */
        if (tree != NULL && !session.every_record) {
            proto_set_decoding(proto_valtocrane_records, TRUE);
            session.every_record = TRUE;
        }
        valtocrane_begin_record(pinfo);
    }
    /* Every frame has its capture file's time, but one with a device time
     * found below. (The tick counter may be tied to what the record held.) */
    const nstime_t recorded = pinfo->fd->abs_ts;
    valtocrane_set_frame_time(pinfo, NULL);
    if (format != VALTOCRANE_TICK_TRAILER && format != VALTOCRANE_FRACTION_TRAILER &&
        format != VALTOCRANE_CAPTURE_HEADER) {
        /* "Disabled", with frames that a decoding format retimed still
         * open. */
        return call_dissector_with_data(eth_dissector, tvb, pinfo, tree, data);
    }
    if (valtocrane_interface_is_retimed(pinfo))
        return dissect_valtocrane_retimed(tvb, pinfo, tree, data);

    const valtocrane_format layout = static_cast<valtocrane_format>(format);
    const gboolean trailer = layout != VALTOCRANE_CAPTURE_HEADER;
    const guint captured = tvb_captured_length(tvb);
    const guint reported = tvb_reported_length(tvb);
    const guint8 *frame = captured ? tvb_get_ptr(tvb, 0, static_cast<gint>(captured)) : NULL;
    const int fcs_len = valtocrane_fcs_len(data);
    const valtocrane_location at = valtocrane_locate(layout, frame, captured, reported, fcs_len);

    if (trailer || at.outcome == VALTOCRANE_FOUND || at.outcome == VALTOCRANE_HEADER_CUT_SHORT) {
        col_set_str(pinfo->cinfo, COL_PROTOCOL,
                    layout == VALTOCRANE_TICK_TRAILER ? "ValtoCrane-Q3" : "ValtoCrane");
        col_clear(pinfo->cinfo, COL_INFO);
    }

    proto_item *ti = NULL;
    switch (at.outcome) {
    case VALTOCRANE_FOUND: {
        valtocrane_time t = valtocrane_device_time(layout, frame, at);
        if (layout == VALTOCRANE_TICK_TRAILER)
            t = valtocrane_anchored_counter_time(pinfo, t, recorded);
        valtocrane_set_frame_time(pinfo, &t);
        /* The frame's own bytes matter only to matching and the statistics. */
        const bool own_wanted = session.copies.active() || have_tap_listener(valtocrane_tap);
        const valtocrane_span own = own_wanted
                                        ? valtocrane_own_bytes(at, captured, reported, fcs_len)
                                        : valtocrane_span();
        const guint32 point = valtocrane_capture_point(pinfo, frame, layout);
        const valtocrane_frame_info *info = valtocrane_note_device_time(
            pinfo, t, frame + own.offset, own.length, point);
        if (valtocrane_tree_wanted(tree)) {
            ti = proto_tree_add_item(tree, proto_valtocrane, tvb,
                                     trailer ? static_cast<gint>(at.time_offset) : 0,
                                     trailer ? VALTOCRANE_TRAILER_LEN : VALTOCRANE_HEADER_LEN,
                                     ENC_NA);
            proto_tree *valtocrane_tree = proto_item_add_subtree(ti, ett_valtocrane);
            valtocrane_add_time_items(valtocrane_tree, tvb, static_cast<gint>(at.time_offset),
                                      pinfo, t);
            valtocrane_add_interval_items(valtocrane_tree, tvb, pinfo, t, info);
            if (!trailer)
                valtocrane_add_header_items(valtocrane_tree, tvb);
        }
        valtocrane_check_plausible(pinfo, tree, tvb, ti, t);
        valtocrane_queue_tap(pinfo, point, &t, info, frame + own.offset, own.length);
        break;
    }
    case VALTOCRANE_TRAILER_CUT_OFF:
        /* The capture cut the trailer off (or part of it): what was
         * captured of the frame in front of the trailer is dissected as the
         * host would, cut short. */
        if (valtocrane_tree_wanted(tree)) {
            const guint kept = MIN(captured, at.time_offset);
            ti = proto_tree_add_item(tree, proto_valtocrane, tvb, static_cast<gint>(kept),
                                     static_cast<gint>(captured - kept), ENC_NA);
            expert_add_info(pinfo, ti, &ei_valtocrane_trailer_not_captured);
        } else {
            proto_tree_add_expert(tree, pinfo, &ei_valtocrane_trailer_not_captured, tvb, 0, 0);
        }
        valtocrane_queue_tap(pinfo, valtocrane_point(pinfo, VALTOCRANE_POINT_WHOLE), NULL, NULL,
                             NULL, 0);
        break;
    case VALTOCRANE_NO_MARKER:
        /* Frames without the marker are not the device's: they go to the
         * Ethernet dissector whole. */
        valtocrane_queue_tap(pinfo, valtocrane_point(pinfo, VALTOCRANE_POINT_NO_TIME), NULL, NULL,
                             NULL, 0);
        return call_dissector_with_data(eth_dissector, tvb, pinfo, tree, data);
    case VALTOCRANE_TOO_SHORT:
    case VALTOCRANE_HEADER_CUT_SHORT:
        /* Too short for the layout (or cut short by the capture), with or
         * without a tree: malformed. The host's bounds exception ends the
         * dissection here. */
        valtocrane_queue_tap(pinfo, valtocrane_point(pinfo, trailer ? VALTOCRANE_POINT_WHOLE
                                                                    : VALTOCRANE_POINT_NO_TIME),
                             NULL, NULL, NULL, 0);
        if (trailer)
            THROW(ReportedBoundsError);
        tvb_ensure_bytes_exist(tvb, 0, at.outcome == VALTOCRANE_TOO_SHORT
                                           ? VALTOCRANE_HEADER_MARKER_LEN
                                           : VALTOCRANE_HEADER_LEN);
        return 0;
    }

    return call_dissector_with_data(eth_dissector,
                                    valtocrane_frame_tvb(tvb, pinfo, at, captured, reported),
                                    pinfo, tree, data)
           + static_cast<int>(at.front + at.back);
}

/* Every record of the capture, after its dissection: one the plugin's
 * dissector never sees (another link type, an event) still shows a read
 * filter's drop of the record before it. */
static int
dissect_valtocrane_records(tvbuff_t *tvb _U_, packet_info *pinfo, proto_tree *tree _U_,
                           void *data _U_)
{
    if (!pinfo->fd->visited)
        valtocrane_begin_record(pinfo);
    return 0;
}

/* The host's own choice for frames whose FCS length the capture file does
 * not give: its eth.fcs preference (-1 heuristic, 0 never, 4 always). */
static gint
valtocrane_eth_fcs_preference(void)
{
    module_t *eth = prefs_find_module("eth");
    pref_t *fcs = eth != NULL ? prefs_find_preference(eth, "fcs") : NULL;

    return fcs != NULL ? prefs_get_enum_value(fcs, pref_current) : -1;
}

/* While a format is chosen, and for one session more once "Disabled" is
 * (to give the frames of the open capture their file times back), the
 * plugin has link type Ethernet and sees every record's first dissection;
 * otherwise the host's own Ethernet dissector has it, and the analyser is
 * exactly the host alone, at no cost. The entry changes only when a session
 * starts, when every frame is about to be dissected afresh: changed
 * anywhere else, it would number a frame's protocol layers otherwise than
 * the dissection that stored per-frame state by them (IP reassembly, for
 * one), and that state would be lost. */
static void
valtocrane_init(void)
{
    const gint previous_format = session.format;
    const gint previous_eth_fcs = session.eth_fcs;
    const gboolean previous_retimed = session.retimed;
    dissector_table_t wtap_encap = find_dissector_table("wtap_encap");

    session.format = valtocrane_tstype;
    session.eth_fcs = valtocrane_eth_fcs_preference();
    session.retimed = FALSE;
    session.previous_times = session.times;
    session.times = valtocrane_times();
    session.anchor_from_frame_record = previous_format == VALTOCRANE_TICK_TRAILER &&
                                       session.format == VALTOCRANE_TICK_TRAILER &&
                                       previous_eth_fcs == session.eth_fcs;
    session.copies.reset(static_cast<std::uint64_t>(valtocrane_latency_window_us) * 1000);
    session.frames = wmem_array_sized_new(wmem_file_scope(), sizeof(valtocrane_frame_info), 1024);
    session.steps = wmem_map_new(wmem_file_scope(), g_direct_hash, g_direct_equal);
    session.point_names = wmem_map_new(wmem_file_scope(), g_direct_hash, g_direct_equal);
    session.latest_num = 0;
    session.latest_offset = -1;
    session.every_record = FALSE;
    session.latest_noted = FALSE;
    session.latest_matched = FALSE;
    memset(session.interface_state, 0, sizeof session.interface_state);

    const gboolean needed = session.format != VALTOCRANE_DISABLED || previous_retimed ||
                            valtocrane_switched_off;
    valtocrane_switched_off = FALSE;
    if (needed && dissector_get_uint_handle(wtap_encap, WTAP_ENCAP_ETHERNET) != valtocrane_handle)
        dissector_change_uint("wtap_encap", WTAP_ENCAP_ETHERNET, valtocrane_handle);
    else if (!needed && dissector_get_uint_handle(wtap_encap, WTAP_ENCAP_ETHERNET) != eth_dissector)
        dissector_reset_uint("wtap_encap", WTAP_ENCAP_ETHERNET);
    proto_set_decoding(proto_valtocrane_records, FALSE);
}

/* The sequential reading of the capture is done (TShark's first of two
 * passes, the GUI's reading of a file or the end of a live capture): every
 * frame still waiting for a copy waited in vain. */
static void
valtocrane_postseq(void)
{
    if (!session.copies.active())
        return;
    session.copies.finish();
    valtocrane_note_events();
    valtocrane_statistics_finish();
}

static void
valtocrane_cleanup(void)
{
    session.copies.release();
}

static void
valtocrane_prefs_apply(void)
{
    if (valtocrane_applied_tstype != VALTOCRANE_DISABLED && valtocrane_tstype == VALTOCRANE_DISABLED)
        valtocrane_switched_off = TRUE;
    valtocrane_applied_tstype = valtocrane_tstype;
}

valtocrane_fate
valtocrane_frame_fate(guint32 num)
{
    const valtocrane_frame_info *info = valtocrane_frame(num);
    return info != NULL && info->noted ? static_cast<valtocrane_fate>(info->fate)
                                       : VALTOCRANE_FATE_WAITING;
}

const char *
valtocrane_format_name(void)
{
    return valtocrane_format_info_of(session.format).name;
}

const char *
valtocrane_match_name(void)
{
    return valtocrane_latency_match_options[valtocrane_latency_match == VALTOCRANE_MATCH_FRAME].name;
}

guint64
valtocrane_window_ns(void)
{
    return static_cast<guint64>(valtocrane_latency_window_us) * 1000;
}

void
proto_register_valtocrane(void)
{
    static hf_register_info hf[] = {
        { &hf_valtocrane_ts,
          { "Timestamp", "valtocrane.ts",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_LOCAL, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_ts_utc,
          { "Timestamp", "valtocrane.ts_utc",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_UTC, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_interface,
          { "Interface", "valtocrane.interface",
            FT_STRING, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_length,
          { "Packet Length", "valtocrane.length",
            FT_UINT32, BASE_DEC, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_captured_length,
          { "Captured Length", "valtocrane.captured_length",
            FT_UINT32, BASE_DEC, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_capture_time,
          { "Capture file time", "valtocrane.capture_time",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_UTC, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_capture_offset,
          { "Device time minus capture file time", "valtocrane.capture_offset",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_time_relative,
          { "Device time since the first device time", "valtocrane.time_relative",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_time_delta,
          { "Device time since the previous device time", "valtocrane.time_delta",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_latency,
          { "Latency since the earlier copy", "valtocrane.latency",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_latency_frame,
          { "Earlier copy in frame", "valtocrane.latency_frame",
            FT_FRAMENUM, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_copy_missing,
          { "No copy at another capture point within the latency window",
            "valtocrane.copy_missing",
            FT_NONE, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
    };

    static ei_register_info ei[] = {
        { &ei_valtocrane_trailer_not_captured,
          { "valtocrane.trailer_not_captured", PI_UNDECODED, PI_NOTE,
            "The device trailer was not captured (snap length): the frame keeps its capture file time",
            EXPFILL }},
        { &ei_valtocrane_time_implausible,
          { "valtocrane.time_implausible", PI_ASSUMPTION, PI_WARN,
            "Device time far from the capture file time",
            EXPFILL }},
        { &ei_valtocrane_clock_step,
          { "valtocrane.clock_step", PI_SEQUENCE, PI_NOTE,
            "The device clock stepped here",
            EXPFILL }},
    };

    static gint *ett[] = {
        &ett_valtocrane,
    };

    module_t *valtocrane_module;
    expert_module_t *expert_valtocrane;

    proto_valtocrane = proto_register_protocol("ValtoCrane", "ValtoCrane", "valtocrane");
    proto_register_field_array(proto_valtocrane, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_valtocrane = expert_register_protocol(proto_valtocrane);
    expert_register_field_array(expert_valtocrane, ei, array_length(ei));

    /* The dissector stands in the host's place for every Ethernet frame, so
     * a disabled protocol would leave every Ethernet capture undissected.
     * The preference, "Disabled" by default, is how the decoding is turned
     * off. */
    proto_set_cant_toggle(proto_valtocrane);

    for (int i = 0; i < VALTOCRANE_FORMAT_COUNT; i++) {
        valtocrane_tstype_options[i].name = VALTOCRANE_FORMATS[i].name;
        valtocrane_tstype_options[i].description = VALTOCRANE_FORMATS[i].label;
        valtocrane_tstype_options[i].value = VALTOCRANE_FORMATS[i].format;
    }
    valtocrane_tstype_options[VALTOCRANE_FORMAT_COUNT] = { NULL, NULL, -1 };

    valtocrane_module = prefs_register_protocol(proto_valtocrane, valtocrane_prefs_apply);
    prefs_register_enum_preference(valtocrane_module, "ts_type",
                                   "Decode timestamps for",
                                   "The Valtocrane model that generated the timestamps",
                                   &valtocrane_tstype, valtocrane_tstype_options, FALSE);
    prefs_register_uint_preference(valtocrane_module, "max_time_offset",
                                   "Largest believable device time offset (s)",
                                   "Frames whose device time lies further than this from the "
                                   "capture file time get a warning (0: never)",
                                   10, &valtocrane_max_time_offset);
    prefs_register_uint_preference(valtocrane_module, "latency_window_us",
                                   "Latency window (us)",
                                   "A frame seen again at another capture point (another port "
                                   "or interface) within this many microseconds of device time "
                                   "is a copy of the first, and gets the latency between them "
                                   "(0: no matching)",
                                   10, &valtocrane_latency_window_us);
    prefs_register_enum_preference(valtocrane_module, "latency_match",
                                   "Latency: frames match on",
                                   "What must be equal in two frames for one to be a copy of "
                                   "the other",
                                   &valtocrane_latency_match, valtocrane_latency_match_options,
                                   FALSE);

    register_dissector("valtocrane", dissect_valtocrane, proto_valtocrane);
    valtocrane_tap = register_tap("valtocrane");
    register_init_routine(valtocrane_init);
    register_postseq_cleanup_routine(valtocrane_postseq);
    register_cleanup_routine(valtocrane_cleanup);

    /* What the plugin must see of every record while a format is chosen:
     * off until then. */
    proto_valtocrane_records = proto_register_protocol("ValtoCrane records", "ValtoCrane records",
                                                       "valtocrane_records");
    valtocrane_records_handle = register_dissector("valtocrane_records",
                                                   dissect_valtocrane_records,
                                                   proto_valtocrane_records);
    proto_set_decoding(proto_valtocrane_records, FALSE);
}

void
proto_reg_handoff_valtocrane(void)
{
    valtocrane_handle = find_dissector("valtocrane");

    /* The host's own handle stays the entry's initial one: the plugin puts
     * itself in with dissector_change_uint and the host's back with
     * dissector_reset_uint (valtocrane_init). */
    eth_dissector = dissector_get_default_uint_handle("wtap_encap", WTAP_ENCAP_ETHERNET);
    if (eth_dissector == NULL)
        eth_dissector = find_dissector("eth_maybefcs");
    register_postdissector(valtocrane_records_handle);
}
