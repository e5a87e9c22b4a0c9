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
 * Ethernet back, once every frame retimed before has its file time again.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <time.h>

#include <wireshark.h>
#include <epan/exceptions.h>
#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <wiretap/wtap.h>

#include "packet-valtocrane.h"
#include "valtocrane-format.h"

static int proto_valtocrane = -1;

static int hf_valtocrane_field = -1;
static int hf_valtocrane_field_utc = -1;
static int hf_valtocrane_interface = -1;
static int hf_valtocrane_packet_length = -1;
static int hf_valtocrane_captured_length = -1;
static int hf_valtocrane_capture_time = -1;
static int hf_valtocrane_capture_offset = -1;

static gint ett_valtocrane = -1;

static expert_field ei_valtocrane_trailer_not_captured = EI_INIT;

static gint valtocrane_tstype = VALTOCRANE_DISABLED;

/* The names stored in the preferences are the ones valtocrane-retime's
 * --format takes. */
static const enum_val_t valtocrane_tstype_options[] = {
    { valtocrane_format_name(VALTOCRANE_DISABLED),
      "Disabled",                 VALTOCRANE_DISABLED },
    { valtocrane_format_name(VALTOCRANE_TICK_TRAILER),
      "Valtocrane-Q3 (graphite)", VALTOCRANE_TICK_TRAILER },
    { valtocrane_format_name(VALTOCRANE_FRACTION_TRAILER),
      "Valtocrane-Q5 (graphite)", VALTOCRANE_FRACTION_TRAILER },
    { valtocrane_format_name(VALTOCRANE_CAPTURE_HEADER),
      "Valtocrane-Q3/Q5/Q5+/Q7",  VALTOCRANE_CAPTURE_HEADER },
    { NULL, NULL, -1 }
};

static const value_string valtocrane_port_vals[] = {
    { 0, "Port A" },
    { 1, "Port B" },
    { 0, NULL }
};

static dissector_handle_t valtocrane_handle;

/* The host's own Ethernet dissector: whatever it had under link type
 * Ethernet before this plugin took that entry over. */
static dissector_handle_t eth_dissector;

/* Capture file time less tick-counter time of the first frame of the
 * capture that carries a readable counter, added to every counter time.
 * Unset at the start of every capture (and of every new dissection of it,
 * which goes over its frames in order again). */
static nstime_t offset_t;

/* The host keeps one record per frame while a capture is open (the frame's
 * time, Time Shift's offset, the time precision) and hands it back on every
 * dissection; the record of the packet as read from the file, with the
 * file's own time, is read anew each time. A device time written into the
 * frame record stays there until this plugin writes the file time back.
 * This counts the frames of the open capture whose record holds a time
 * written here, so that the plugin can leave the host's Ethernet dissector
 * alone once no frame needs it. */
static guint32 valtocrane_retimed_frames;
/* The count when the present dissection of the capture started, and
 * whether this dissection has come upon a frame that an earlier one
 * retimed (one of the open capture, dissected anew). */
static guint32 valtocrane_retimed_at_init;
static gboolean valtocrane_found_retimed;

static valtocrane_time
valtocrane_from_nstime(const nstime_t *t)
{
    return { static_cast<std::int64_t>(t->secs), static_cast<std::int32_t>(t->nsecs) };
}

static nstime_t
valtocrane_nstime(const valtocrane_time &vt)
{
    nstime_t t;

    t.secs = static_cast<time_t>(vt.secs);
    t.nsecs = static_cast<int>(vt.nsecs);
    return t;
}

/* Equal as times, whatever the signs the two were kept with. */
static gboolean
valtocrane_same_time(const nstime_t *a, const valtocrane_time &b)
{
    const valtocrane_time na = valtocrane_time_normalise(a->secs, a->nsecs);

    return valtocrane_time_equal(na, b);
}

/* The capture file's own time of the frame being dissected. */
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
    const valtocrane_time shift = valtocrane_from_nstime(&fd->shift_offset);
    const valtocrane_time file = valtocrane_time_add(valtocrane_file_time(pinfo), shift);
    const valtocrane_time t = device ? valtocrane_time_add(*device, shift) : file;
    const unsigned int tsprec = device ? WTAP_TSPREC_NSEC
                                       : static_cast<unsigned int>(pinfo->rec->tsprec);
    const gboolean was_retimed = !valtocrane_same_time(&fd->abs_ts, file) ||
                                 fd->tsprec != pinfo->rec->tsprec;
    const gboolean is_retimed = !valtocrane_time_equal(t, file) ||
                                tsprec != static_cast<unsigned int>(pinfo->rec->tsprec);

    fd->abs_ts = valtocrane_nstime(t);
    fd->tsprec = tsprec & 0xF;
    pinfo->abs_ts = fd->abs_ts;

    if (was_retimed && !fd->visited)
        valtocrane_found_retimed = TRUE;
    if (is_retimed && !was_retimed)
        valtocrane_retimed_frames++;
    else if (was_retimed && !is_retimed && valtocrane_retimed_frames > 0)
        valtocrane_retimed_frames--;
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
        proto_tree_add_time(tree, hf_valtocrane_field, tvb, offset, VALTOCRANE_TIME_LEN, &t);
    if (valtocrane_time_is_representable(t.secs, FALSE))
        proto_tree_add_time(tree, hf_valtocrane_field_utc, tvb, offset, VALTOCRANE_TIME_LEN, &t);

    ti = proto_tree_add_time(tree, hf_valtocrane_capture_time, tvb, 0, 0, &pinfo->rec->ts);
    proto_item_set_generated(ti);
    /* A relative time, kept the host's way (both parts of one sign). */
    nstime_delta(&difference, &t, &pinfo->rec->ts);
    ti = proto_tree_add_time(tree, hf_valtocrane_capture_offset, tvb, 0, 0, &difference);
    proto_item_set_generated(ti);
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

/* The tick counter, tied to the capture's clock at the first frame that
 * carries a readable one. */
static valtocrane_time
valtocrane_anchored_counter_time(const packet_info *pinfo, const valtocrane_time &counter)
{
    if (nstime_is_unset(&offset_t))
        offset_t = valtocrane_nstime(valtocrane_tick_anchor(valtocrane_file_time(pinfo), counter));
    return valtocrane_time_add(counter, valtocrane_from_nstime(&offset_t));
}

static int
dissect_valtocrane_trailer(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    const gboolean tick_counter = valtocrane_tstype == VALTOCRANE_TICK_TRAILER;
    const guint    reported = tvb_reported_length(tvb);
    const guint    captured = tvb_captured_length(tvb);
    tvbuff_t      *next_tvb;
    valtocrane_time t;
    guint32        w1, w2;
    gint           offset;

    col_set_str(pinfo->cinfo, COL_PROTOCOL, tick_counter ? "ValtoCrane-Q3" : "ValtoCrane");
    col_clear(pinfo->cinfo, COL_INFO);

    if (!valtocrane_trailer_is_captured(captured, reported)) {
        valtocrane_set_frame_time(pinfo, NULL);
        if (reported < static_cast<guint>(VALTOCRANE_TRAILER_LEN))
            THROW(ReportedBoundsError);

        /* The capture cut the trailer off (or part of it): the frame keeps
         * its capture file time, and what was captured of the frame in front
         * of the trailer is dissected as the host would, cut short. */
        offset = static_cast<gint>(valtocrane_trailer_offset(reported));
        const gint kept = MIN(static_cast<gint>(captured), offset);
        proto_item *ti = NULL;
        if (valtocrane_tree_wanted(tree))
            ti = proto_tree_add_item(tree, proto_valtocrane, tvb, kept,
                                     static_cast<gint>(captured) - kept, ENC_NA);
        expert_add_info(pinfo, ti, &ei_valtocrane_trailer_not_captured);
        next_tvb = tvb_new_subset_length_caplen(tvb, 0, kept, offset);
        return call_dissector_with_data(eth_dissector, next_tvb, pinfo, tree, data)
               + VALTOCRANE_TRAILER_LEN;
    }

    offset = static_cast<gint>(valtocrane_trailer_offset(reported));
    w1 = tvb_get_ntohl(tvb, offset);
    w2 = tvb_get_ntohl(tvb, offset + 4);
    if (tick_counter)
        t = valtocrane_anchored_counter_time(pinfo, valtocrane_tick_counter_time(w1, w2));
    else
        t = valtocrane_trailer_time(w1, w2);
    valtocrane_set_frame_time(pinfo, &t);

    if (valtocrane_tree_wanted(tree)) {
        proto_item *ti = proto_tree_add_item(tree, proto_valtocrane, tvb, offset,
                                             VALTOCRANE_TRAILER_LEN, ENC_NA);
        valtocrane_add_time_items(proto_item_add_subtree(ti, ett_valtocrane), tvb, offset,
                                  pinfo, t);
    }

    next_tvb = tvb_new_subset_length_caplen(tvb, 0, offset, offset);
    return call_dissector_with_data(eth_dissector, next_tvb, pinfo, tree, data)
           + VALTOCRANE_TRAILER_LEN;
}

static int
dissect_valtocrane_header(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    const guint captured = tvb_captured_length(tvb);
    tvbuff_t   *next_tvb;
    valtocrane_time t;
    guint32     marker;

    /* Under 4 bytes there is no marker to read: malformed. */
    if (captured < static_cast<guint>(VALTOCRANE_HEADER_MARKER_LEN)) {
        valtocrane_set_frame_time(pinfo, NULL);
        tvb_ensure_bytes_exist(tvb, 0, VALTOCRANE_HEADER_MARKER_LEN);
    }

    /* Frames without the marker are not the device's: they keep their
     * capture file time and go to the Ethernet dissector whole. */
    marker = tvb_get_letohl(tvb, 0);
    if (marker != static_cast<guint32>(VALTOCRANE_HEADER_MARKER)) {
        valtocrane_set_frame_time(pinfo, NULL);
        return call_dissector_with_data(eth_dissector, tvb, pinfo, tree, data);
    }

    col_set_str(pinfo->cinfo, COL_PROTOCOL, "ValtoCrane");
    col_clear(pinfo->cinfo, COL_INFO);

    /* A header cut short is malformed (or cut short by the capture) whether
     * or not a tree is built, and the frame keeps its capture file time. */
    if (!valtocrane_header_is_readable(marker, captured)) {
        valtocrane_set_frame_time(pinfo, NULL);
        tvb_ensure_bytes_exist(tvb, 0, VALTOCRANE_HEADER_LEN);
    }

    t = valtocrane_header_time(tvb_get_letohl(tvb, VALTOCRANE_HEADER_SECS_OFF),
                               tvb_get_letohl(tvb, VALTOCRANE_HEADER_FRAC_OFF));
    valtocrane_set_frame_time(pinfo, &t);

    if (valtocrane_tree_wanted(tree)) {
        proto_item *ti = proto_tree_add_item(tree, proto_valtocrane, tvb, 0,
                                             VALTOCRANE_HEADER_LEN, ENC_NA);
        proto_tree *valtocrane_tree = proto_item_add_subtree(ti, ett_valtocrane);

        valtocrane_add_time_items(valtocrane_tree, tvb, VALTOCRANE_HEADER_SECS_OFF, pinfo, t);
        proto_tree_add_string(valtocrane_tree, hf_valtocrane_interface, tvb,
                              VALTOCRANE_HEADER_PORT_OFF, 4,
                              val_to_str_const(tvb_get_letohl(tvb, VALTOCRANE_HEADER_PORT_OFF),
                                               valtocrane_port_vals, "Unknown"));
        proto_tree_add_item(valtocrane_tree, hf_valtocrane_packet_length, tvb,
                            VALTOCRANE_HEADER_PKTLEN_OFF, 4, ENC_LITTLE_ENDIAN);
        proto_tree_add_item(valtocrane_tree, hf_valtocrane_captured_length, tvb,
                            VALTOCRANE_HEADER_CAPLEN_OFF, 4, ENC_LITTLE_ENDIAN);
    }

    next_tvb = tvb_new_subset_remaining(tvb, VALTOCRANE_HEADER_LEN);
    return call_dissector_with_data(eth_dissector, next_tvb, pinfo, tree, data)
           + VALTOCRANE_HEADER_LEN;
}

static int
dissect_valtocrane(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (valtocrane_is_whole_frame(tvb, pinfo)) {
        switch (valtocrane_tstype) {
        case VALTOCRANE_TICK_TRAILER:
        case VALTOCRANE_FRACTION_TRAILER:
            return dissect_valtocrane_trailer(tvb, pinfo, tree, data);
        case VALTOCRANE_CAPTURE_HEADER:
            return dissect_valtocrane_header(tvb, pinfo, tree, data);
        default:
            /* "Disabled", with frames that a decoding format retimed still
             * open: each gets its capture file time back. */
            valtocrane_set_frame_time(pinfo, NULL);
            break;
        }
    }
    return call_dissector_with_data(eth_dissector, tvb, pinfo, tree, data);
}
/* The plugin is in the host's table for link type Ethernet only while it
 * has work to do: while a format is chosen, and, once "Disabled" is, until
 * every frame it retimed has its capture file time back. Otherwise the
 * host's own Ethernet dissector is there, and the analyser is exactly the
 * host alone, at no cost. The entry changes only where every frame is
 * about to be dissected afresh: when the preference is applied (the host
 * dissects the capture again) and when a capture is opened or dissected
 * anew. Changed anywhere else, it would number a frame's protocol layers
 * otherwise than the dissection that stored per-frame state by them (IP
 * reassembly, for one), and that state would be lost. */
static void
valtocrane_choose_link_type_dissector(void)
{
    static dissector_handle_t in_table;
    const gboolean needed = valtocrane_tstype == VALTOCRANE_TICK_TRAILER ||
                            valtocrane_tstype == VALTOCRANE_FRACTION_TRAILER ||
                            valtocrane_tstype == VALTOCRANE_CAPTURE_HEADER ||
                            valtocrane_retimed_frames > 0;
    const dissector_handle_t wanted = needed ? valtocrane_handle : eth_dissector;

    if (wanted != in_table) {
        dissector_add_uint("wtap_encap", WTAP_ENCAP_ETHERNET, wanted);
        in_table = wanted;
    }
}

static void
valtocrane_prefs_apply(void)
{
    valtocrane_choose_link_type_dissector();
}

/* The host opens a capture, or dissects the open one anew (after a change
 * of preferences, for instance), going over its frames in order. */
static void
valtocrane_init(void)
{
    nstime_set_unset(&offset_t);
    valtocrane_retimed_at_init = valtocrane_retimed_frames;
    valtocrane_found_retimed = FALSE;
    valtocrane_choose_link_type_dissector();
}

/* The host has read a capture through (a file opened, or a live capture
 * stopped). If no frame of it carried a time retimed before the present
 * dissection started, the frames counted then belonged to captures closed
 * since. A live capture dissected anew while it was running finds its own
 * earlier frames retimed, and keeps the count. The table follows at the
 * next initialisation. */
static void
valtocrane_first_reading_done(void)
{
    if (!valtocrane_found_retimed)
        valtocrane_retimed_frames -= MIN(valtocrane_retimed_at_init, valtocrane_retimed_frames);
    valtocrane_retimed_at_init = 0;
}

void
proto_register_valtocrane(void)
{
    static hf_register_info hf_valtocrane[] = {
        { &hf_valtocrane_field,
          { "Timestamp", "valtocrane.ts",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_LOCAL, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_field_utc,
          { "Timestamp", "valtocrane.ts_utc",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_UTC, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_interface,
          { "Interface", "valtocrane.interface",
            FT_STRING, BASE_NONE, NULL, 0x0,
            NULL, HFILL }},
        { &hf_valtocrane_packet_length,
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
    };

    static ei_register_info ei[] = {
        { &ei_valtocrane_trailer_not_captured,
          { "valtocrane.trailer_not_captured", PI_UNDECODED, PI_NOTE,
            "The device trailer was not captured (snap length): the frame keeps its capture file time",
            EXPFILL }},
    };

    static gint *ett_valtocrane_arr[] = {
        &ett_valtocrane,
    };

    module_t *valtocrane_module;
    expert_module_t *expert_valtocrane;

    proto_valtocrane = proto_register_protocol("ValtoCrane", "ValtoCrane", "valtocrane");
    proto_register_field_array(proto_valtocrane, hf_valtocrane, array_length(hf_valtocrane));
    proto_register_subtree_array(ett_valtocrane_arr, array_length(ett_valtocrane_arr));
    expert_valtocrane = expert_register_protocol(proto_valtocrane);
    expert_register_field_array(expert_valtocrane, ei, array_length(ei));

    /* The dissector stands in the host's place for every Ethernet frame, so
     * a disabled protocol would leave every Ethernet capture undissected.
     * The preference, "Disabled" by default, is how the decoding is turned
     * off. */
    proto_set_cant_toggle(proto_valtocrane);

    valtocrane_module = prefs_register_protocol(proto_valtocrane, valtocrane_prefs_apply);
    prefs_register_enum_preference(valtocrane_module, "ts_type",
                                   "Decode timestamps for",
                                   "The Valtocrane model that generated the timestamps",
                                   &valtocrane_tstype, valtocrane_tstype_options, FALSE);

    register_dissector("valtocrane", dissect_valtocrane, proto_valtocrane);
    register_init_routine(valtocrane_init);
    register_postseq_cleanup_routine(valtocrane_first_reading_done);
}

void
proto_reg_handoff_valtocrane_valtocrane(void)
{
    valtocrane_handle = find_dissector("valtocrane");

    /* Plugins are handed off after every built-in dissector, so the entry
     * for link type Ethernet still holds the host's own Ethernet dissector,
     * the one that honours the FCS length the capture file records. */
    eth_dissector = dissector_get_uint_handle(find_dissector_table("wtap_encap"),
                                              WTAP_ENCAP_ETHERNET);
    if (eth_dissector == NULL)
        eth_dissector = find_dissector("eth_maybefcs");

    nstime_set_unset(&offset_t);
    valtocrane_choose_link_type_dissector();
}
