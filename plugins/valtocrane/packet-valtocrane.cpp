/* packet-valtocrane.cpp
 * Hardware timestamps of ValtoCrane capture devices.
 *
 * A ValtoCrane device stamps every Ethernet frame it captures with its own
 * clock, in one of three layouts chosen by the device model:
 *
 *  - tick-counter trailer: 8 bytes after the frame, a 56-bit big-endian
 *    count of 5 ns ticks and one byte that is not part of it. The counter
 *    runs free, so it is tied to the capture file's clock at frame 1;
 *  - seconds-and-fraction trailer: 8 bytes after the frame, big-endian
 *    seconds since 1970 and a fraction of a second in units of 2^-32 s;
 *  - capture header: 28 little-endian bytes before the frame, with a marker
 *    (6), the port, seconds, a fraction, and the captured and packet lengths.
 *
 * The dissector takes over link type Ethernet. In the layout the user
 * picked it decodes the device time, shows it, makes it the frame's time,
 * strips the trailer or header and hands the rest to the host's Ethernet
 * dissector. With the preference at "Disabled" every frame goes to the
 * Ethernet dissector untouched.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <time.h>

#include <wireshark.h>
#include <epan/exceptions.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <wiretap/wtap.h>

#include "packet-valtocrane.h"
#include "valtocrane-time.h"

#define VALTOCRANE_TRAILER_LEN       8
#define VALTOCRANE_HEADER_LEN        28
#define VALTOCRANE_HEADER_MARKER     6
#define VALTOCRANE_HEADER_PORT_OFF   8
#define VALTOCRANE_HEADER_SECS_OFF   12
#define VALTOCRANE_HEADER_FRAC_OFF   16
#define VALTOCRANE_HEADER_CAPLEN_OFF 20
#define VALTOCRANE_HEADER_PKTLEN_OFF 24
#define VALTOCRANE_TIME_LEN          8

/* Values of the "ts_type" preference. */
enum {
    VALTOCRANE_DISABLED         = 0,
    VALTOCRANE_TICK_TRAILER     = 1,
    VALTOCRANE_FRACTION_TRAILER = 2,
    VALTOCRANE_CAPTURE_HEADER   = 3
};

static int proto_valtocrane = -1;

static int hf_valtocrane_field = -1;
static int hf_valtocrane_field_utc = -1;
static int hf_valtocrane_interface = -1;
static int hf_valtocrane_packet_length = -1;
static int hf_valtocrane_captured_length = -1;

static gint ett_valtocrane = -1;

static gint valtocrane_tstype = VALTOCRANE_DISABLED;

static const enum_val_t valtocrane_tstype_options[] = {
    { "disabled",                       "Disabled",                 VALTOCRANE_DISABLED },
    { "valtocrane-q3-graphite",         "Valtocrane-Q3 (graphite)", VALTOCRANE_TICK_TRAILER },
    { "valtocrane-proprietary-headers", "Valtocrane-Q5 (graphite)", VALTOCRANE_FRACTION_TRAILER },
    { "valtocrane-pcapng",              "Valtocrane-Q3/Q5/Q5+/Q7",  VALTOCRANE_CAPTURE_HEADER },
    { NULL, NULL, -1 }
};

static const value_string valtocrane_port_vals[] = {
    { 0, "Port A" },
    { 1, "Port B" },
    { 0, NULL }
};

/* The host's own Ethernet dissector: whatever it had under link type
 * Ethernet before this plugin took that entry over. */
static dissector_handle_t eth_dissector;

/* Capture file time minus tick-counter time of frame 1: added to every
 * tick-counter time so that frame 1 keeps the time the capture file gave
 * it and every other frame lies its tick difference away from it. Unset
 * until frame 1 has been dissected in tick-counter mode. */
static nstime_t offset_t;

/* The device time becomes the frame's time: in the frame record, which the
 * host keeps across passes and shows in the Time column, and in this
 * pass's copy, which the Ethernet dissector and everything after it read. */
static void
valtocrane_set_frame_time(packet_info *pinfo, const nstime_t *t)
{
    pinfo->fd->abs_ts = *t;
    pinfo->abs_ts = *t;
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

/* The two "Timestamp" items, local time and UTC, each only where the C
 * library can show the seconds in that zone. */
static void
valtocrane_add_time_items(proto_tree *tree, tvbuff_t *tvb, gint offset, const nstime_t *t)
{
    if (valtocrane_time_is_representable(t->secs, TRUE))
        proto_tree_add_time(tree, hf_valtocrane_field, tvb, offset, VALTOCRANE_TIME_LEN, t);
    if (valtocrane_time_is_representable(t->secs, FALSE))
        proto_tree_add_time(tree, hf_valtocrane_field_utc, tvb, offset, VALTOCRANE_TIME_LEN, t);
}

static nstime_t
valtocrane_nstime(const valtocrane_time &vt)
{
    nstime_t t;

    t.secs = static_cast<time_t>(vt.secs);
    t.nsecs = static_cast<int>(vt.nsecs);
    return t;
}

/* nstime_cmp() of the 4.0 host folds the difference of the seconds into an
 * int, so that two times 2^32 s apart compare equal. */
static gboolean
valtocrane_nstime_equal(const nstime_t *a, const nstime_t *b)
{
    return a->secs == b->secs && a->nsecs == b->nsecs;
}

/* Ties the tick counter to the capture's clock. The anchor is taken at the
 * first dissection of frame 1. A later dissection of frame 1 finds in the
 * frame record the time written by the first, that is counter + anchor,
 * and keeps the anchor; a frame 1 whose record says otherwise belongs to
 * another capture and takes a new one. */
static void
valtocrane_anchor_tick_counter(const packet_info *pinfo, const nstime_t *counter)
{
    nstime_t anchored_counter;

    if (pinfo->fd->num != 1)
        return;
    if (!nstime_is_unset(&offset_t)) {
        nstime_delta(&anchored_counter, &pinfo->fd->abs_ts, &offset_t);
        if (valtocrane_nstime_equal(&anchored_counter, counter))
            return;
    }
    nstime_delta(&offset_t, &pinfo->fd->abs_ts, counter);
}

static int
dissect_valtocrane_trailer(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    const gboolean tick_counter = valtocrane_tstype == VALTOCRANE_TICK_TRAILER;
    tvbuff_t   *next_tvb;
    nstime_t    t;
    guint32     w1, w2;
    guint       reported;
    gint        offset;

    col_set_str(pinfo->cinfo, COL_PROTOCOL, tick_counter ? "ValtoCrane-Q3" : "ValtoCrane");
    col_clear(pinfo->cinfo, COL_INFO);

    /* The device appends the trailer to the whole frame, so it lies at the
     * frame's end as reported. A frame under 8 bytes is malformed; where the
     * capture cut the frame short the trailer was not captured, and reading
     * it raises the host's "cut short" exception instead of decoding frame
     * bytes as a time. */
    reported = tvb_reported_length(tvb);
    if (reported < VALTOCRANE_TRAILER_LEN)
        THROW(ReportedBoundsError);
    offset = static_cast<gint>(reported - VALTOCRANE_TRAILER_LEN);

    w1 = tvb_get_ntohl(tvb, offset);
    w2 = tvb_get_ntohl(tvb, offset + 4);
    if (tick_counter) {
        t = valtocrane_nstime(valtocrane_tick_counter_time(w1, w2));
        valtocrane_anchor_tick_counter(pinfo, &t);
        if (!nstime_is_unset(&offset_t))
            nstime_add(&t, &offset_t);
    } else {
        t = valtocrane_nstime(valtocrane_trailer_time(w1, w2));
    }
    valtocrane_set_frame_time(pinfo, &t);

    if (valtocrane_tree_wanted(tree)) {
        proto_item *ti = proto_tree_add_item(tree, proto_valtocrane, tvb, offset,
                                             VALTOCRANE_TRAILER_LEN, ENC_NA);
        valtocrane_add_time_items(proto_item_add_subtree(ti, ett_valtocrane), tvb, offset, &t);
    }

    next_tvb = tvb_new_subset_length_caplen(tvb, 0, offset, offset);
    return call_dissector_with_data(eth_dissector, next_tvb, pinfo, tree, data)
           + VALTOCRANE_TRAILER_LEN;
}

static int
dissect_valtocrane_header(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    tvbuff_t *next_tvb;
    nstime_t  t;

    col_set_str(pinfo->cinfo, COL_PROTOCOL, "ValtoCrane");
    col_clear(pinfo->cinfo, COL_INFO);

    /* A header cut short is malformed whether or not a tree is built, and
     * the frame keeps its capture file time on every pass. */
    tvb_ensure_bytes_exist(tvb, 0, VALTOCRANE_HEADER_LEN);

    t = valtocrane_nstime(valtocrane_header_time(
            tvb_get_letohl(tvb, VALTOCRANE_HEADER_SECS_OFF),
            tvb_get_letohl(tvb, VALTOCRANE_HEADER_FRAC_OFF)));
    valtocrane_set_frame_time(pinfo, &t);

    if (valtocrane_tree_wanted(tree)) {
        proto_item *ti = proto_tree_add_item(tree, proto_valtocrane, tvb, 0,
                                             VALTOCRANE_HEADER_LEN, ENC_NA);
        proto_tree *valtocrane_tree = proto_item_add_subtree(ti, ett_valtocrane);

        valtocrane_add_time_items(valtocrane_tree, tvb, VALTOCRANE_HEADER_SECS_OFF, &t);
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
    switch (valtocrane_tstype) {
    case VALTOCRANE_TICK_TRAILER:
    case VALTOCRANE_FRACTION_TRAILER:
        return dissect_valtocrane_trailer(tvb, pinfo, tree, data);
    case VALTOCRANE_CAPTURE_HEADER:
        if (tvb_get_letohl(tvb, 0) == VALTOCRANE_HEADER_MARKER)
            return dissect_valtocrane_header(tvb, pinfo, tree, data);
        break;
    default:
        break;
    }
    return call_dissector_with_data(eth_dissector, tvb, pinfo, tree, data);
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
    };

    static gint *ett_valtocrane_arr[] = {
        &ett_valtocrane,
    };

    module_t *valtocrane_module;

    proto_valtocrane = proto_register_protocol("ValtoCrane", "ValtoCrane", "valtocrane");
    proto_register_field_array(proto_valtocrane, hf_valtocrane, array_length(hf_valtocrane));
    proto_register_subtree_array(ett_valtocrane_arr, array_length(ett_valtocrane_arr));

    /* The dissector stands in the host's place for every Ethernet frame, so
     * a disabled protocol would leave every Ethernet capture undissected.
     * The preference, "Disabled" by default, is how the decoding is turned
     * off. */
    proto_set_cant_toggle(proto_valtocrane);

    valtocrane_module = prefs_register_protocol(proto_valtocrane, NULL);
    prefs_register_enum_preference(valtocrane_module, "ts_type",
                                   "Decode timestamps for",
                                   "The Valtocrane model that generated the timestamps",
                                   &valtocrane_tstype, valtocrane_tstype_options, FALSE);

    register_dissector("valtocrane", dissect_valtocrane, proto_valtocrane);
}

void
proto_reg_handoff_valtocrane_valtocrane(void)
{
    static dissector_handle_t valtocrane_handle;

    valtocrane_handle = find_dissector("valtocrane");

    /* Plugins are handed off after every built-in dissector, so the entry
     * for link type Ethernet still holds the host's own Ethernet dissector,
     * the one that honours the FCS length the capture file records. */
    eth_dissector = dissector_get_uint_handle(find_dissector_table("wtap_encap"),
                                              WTAP_ENCAP_ETHERNET);
    if (eth_dissector == NULL)
        eth_dissector = find_dissector("eth_maybefcs");

    dissector_add_uint("wtap_encap", WTAP_ENCAP_ETHERNET, valtocrane_handle);
    nstime_set_unset(&offset_t);
}
