/* valtocrane-retime.cpp
 * Writes a capture whose own frame times are the ValtoCrane device times,
 * for every tool that reads capture files without this project's plugin
 * (tcpdump, mergecap, Zeek, replay tools, Python readers).
 *
 *   valtocrane-retime --format NAME [--keep-device-bytes] [--sort[=SECONDS]] INFILE OUTFILE
 *
 * Every frame of an Ethernet interface whose device time can be read gets
 * that time as its record's time, and loses the device's trailer or header
 * (unless --keep-device-bytes): the very layouts and rules of the plugin,
 * from the same host-free code, so the two cannot disagree. Everything
 * else is copied as the host's capture-file library (libwiretap) reads it.
 * The output is pcapng with nanosecond times on every interface.
 *
 * The capture header is the only place that says on which of the device's
 * ports a frame was seen: each port's frames go on an output interface of
 * their own, a copy of the input interface named after the port. Output
 * interfaces whose frames lost their device bytes say so in their
 * description (VALTOCRANE_RETIMED_NOTE), and the plugin leaves them alone.
 *
 * With --sort, records are written in device-time order within a window of
 * device time (valtocrane-order.h): each is held, with its bytes and
 * options, until no record still to come can be earlier. Interfaces are
 * written as they are read (a port's when its first frame is read), so
 * always before the frames that use them.
 *
 * A regular OUTFILE (or a new one) is written to a temporary file beside it
 * (beside the file a symbolic link leads to) and put in place, with the
 * permissions the file had, only when every frame was written and the file
 * closed without error. Anything else (a device, a pipe, a terminal,
 * /dev/stdout) is written straight into, as editcap does.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>
#include <unistd.h>

#include <glib.h>
#include <wiretap/wtap.h>

#include "valtocrane-capture.h"
#include "valtocrane-format.h"
#include "valtocrane-host.h"
#include "valtocrane-order.h"
#include "valtocrane-stats.h"
#include "valtocrane-tool.h"

static const char PROGRAM[] = "valtocrane-retime";

/* Exit codes, as --help and the README list them. */
enum retime_exit_code {
    RETIME_DONE       = 0,
    RETIME_USAGE      = 1, /* bad usage, or OUTFILE would overwrite INFILE */
    RETIME_BAD_INPUT  = 2, /* input unreadable or damaged: nothing written */
    RETIME_BAD_OUTPUT = 3, /* output could not be written: nothing written */
    RETIME_CUT_SHORT  = 4  /* input ends inside a record: every whole frame written */
};

/* What became of a frame: re-timed, or left as it was and why. */
enum retime_outcome {
    RETIMED,
    NOT_A_PACKET,
    NOT_DECODED,
    OTHER_LINK_TYPE,
    TOO_SHORT,
    TRAILER_CUT_OFF,
    NO_HEADER_MARKER,
    HEADER_CUT_SHORT,
    BEFORE_1970,
    ALREADY_RETIMED,
    OUTCOME_COUNT
};

static const char *const outcome_text[OUTCOME_COUNT] = {
    "re-timed",
    "not a packet (an event or other record)",
    "format disabled",
    "other link type than Ethernet",
    "too short to hold a device time",
    "trailer cut off by the snap length",
    "without the capture header (first word not 6)",
    "capture header cut short",
    "device time before 1970, which pcapng cannot hold",
    "re-timed by valtocrane-retime before (its interface says so)",
};

/* What the shared rules found in a frame, as the tool counts it. */
static retime_outcome
frame_outcome(valtocrane_outcome found)
{
    switch (found) {
    case VALTOCRANE_FOUND:
        break;
    case VALTOCRANE_TOO_SHORT:
        return TOO_SHORT;
    case VALTOCRANE_TRAILER_CUT_OFF:
        return TRAILER_CUT_OFF;
    case VALTOCRANE_NO_MARKER:
        return NO_HEADER_MARKER;
    case VALTOCRANE_HEADER_CUT_SHORT:
        return HEADER_CUT_SHORT;
    }
    return RETIMED;
}

/* Records between two looks at how far the input has been read. */
constexpr guint64 PROGRESS_INTERVAL = 16384;

/* The output interfaces of one input interface: its own copy, for the
 * frames without a readable capture header, and one for each of the
 * device's ports (as the plugin names them: A, B, any other value
 * "Unknown"), added before the first frame seen on that port. */
constexpr guint32 PORT_SLOTS = VALTOCRANE_PORT_UNKNOWN + 1;

constexpr guint32 NO_INTERFACE = G_MAXUINT32;

/* What valtocrane-retime did to an input interface's frames before, as
 * its note in the interface's description says: a file this tool wrote,
 * run through again (a pipeline step run twice, a folder re-timed twice). */
enum earlier_retime { NOT_RETIMED, RETIMED_STRIPPED, RETIMED_KEPT };

struct input_interface {
    wtap_block_t copy;  /* the input's description, in nanoseconds */
    bool ethernet;
    earlier_retime earlier;
    guint32 own;
    guint32 port[PORT_SLOTS];
};

struct retimer {
    valtocrane_format format;
    bool keep_device_bytes;
    /* The input as the re-timed interfaces name it, so that interfaces of
     * two inputs stay apart when merged (mergecap merges alike ones). */
    const char *input_name;

    /* The tick counter tied to the capture file's clock at the first frame
     * with a readable counter. */
    valtocrane_tick_anchor tick_anchor;

    guint64 frames;
    guint64 count[OUTCOME_COUNT];

    /* Device time minus capture file time, over the re-timed frames. */
    valtocrane_time least_offset;
    valtocrane_time greatest_offset;

    /* Re-timed frames whose device time cannot be right. */
    guint64 implausible;

    /* Frames written with a time earlier than the frame before them, and
     * by how much at most (behind the latest time written before them). */
    guint64 out_of_order;
    bool have_last_time;
    valtocrane_time last_time;
    valtocrane_time latest_time;
    valtocrane_time most_out_of_order;

    /* --sort: records held until written in device-time order. */
    bool sort;
    std::uint64_t sort_window_ns;
    valtocrane_order order;

    GArray *interfaces;  /* of input_interface, by input interface */
    guint32 output_interfaces;
};

static void
print_usage(FILE *out)
{
    fprintf(out,
        "Usage: %s --format NAME [--keep-device-bytes] [--sort[=SECONDS]] INFILE OUTFILE\n"
        "\n"
        "Writes INFILE again as OUTFILE (pcapng, nanosecond times) with the time\n"
        "that the ValtoCrane capture device stamped on each frame as the frame's own\n"
        "time, so that tools without the Wireshark plugin (tcpdump, mergecap, ...)\n"
        "see the device's clock. Every Ethernet frame with a readable device time is\n"
        "re-timed and its trailer or header removed (a frame that keeps its FCS keeps\n"
        "it at its end); other frames and everything else in the file are copied\n"
        "unchanged. With the capture header, each port's frames go on an interface of\n"
        "their own (\"Port A\", \"Port B\" beside the input interface's name).\n"
        "Interfaces whose frames lost their device bytes say so in their description,\n"
        "and the plugin leaves them alone. A summary goes to standard error.\n"
        "\n"
        "  -f, --format NAME        the device's timestamp layout, as in the plugin:\n",
        PROGRAM);
    valtocrane_tool_print_formats(out, "                             ", NULL,
                                  "a copy: nothing re-timed");
    fprintf(out,
        "  -k, --keep-device-bytes  re-time, but leave the trailer or header in the frames\n"
        "      --sort[=SECONDS]     write the frames in device-time order, sorting in those\n"
        "                           out of order by up to SECONDS of device time (a decimal\n"
        "                           number: 0.5, 2e-3; default %s), as mergecap needs\n"
        "  -h, --help               show this help and exit\n"
        "  -V, --version            show the version and exit\n"
        "\n"
        "INFILE is any capture file the host's library reads (pcap, pcapng, compressed\n"
        "ones, ...); OUTFILE must not be INFILE. \"-\" reads standard input or writes\n"
        "standard output. A regular OUTFILE (through symbolic links) is written under a\n"
        "temporary name beside it and put in place, with its permissions, only when\n"
        "complete; on an error an existing OUTFILE is kept. Anything else (a device,\n"
        "a named pipe, a terminal, /dev/stdout, /dev/fd/N) is written straight into.\n"
        "\n"
        "--sort holds each frame, in memory, until the device time of the frames read\n"
        "after it has passed its own by the window; at most %zu frames or %zu MB are\n"
        "held (beyond that the earliest is written). Frames out of order by more than\n"
        "the window are written as soon as they are read, and counted. Frames without\n"
        "a device time and records that are not packets stay after everything read\n"
        "before them.\n"
        "\n"
        "Exit codes:\n"
        "  0  done\n"
        "  1  bad usage (or OUTFILE is INFILE)\n"
        "  2  input unreadable or damaged; no output\n"
        "  3  output could not be written; no output\n"
        "  4  input ends inside a record (cut short): OUTFILE holds every whole frame\n",
        valtocrane_duration(VALTOCRANE_SORT_WINDOW_DEFAULT_NS).c_str(), VALTOCRANE_SORT_MAX_HELD,
        VALTOCRANE_SORT_MAX_BYTES >> 20);
}

static int
usage_error(const char *message, const char *arg)
{
    return valtocrane_tool_usage_error(PROGRAM, message, arg);
}

static const char *
shown_name(const char *path, bool input)
{
    if (strcmp(path, "-") == 0)
        return input ? "standard input" : "standard output";
    return path;
}

/* The device time of a record by the plugin's rules, and where the
 * device's bytes lie. The tick counter is anchored at the first frame with
 * a readable counter even where that frame is then left unchanged. A frame
 * this tool re-timed before keeps its time: it is copied as it is where its
 * device bytes are gone or are to stay. */
static retime_outcome
device_time(retimer *rt, const input_interface *in, const wtap_rec *rec, const guint8 *data,
            valtocrane_time *t, valtocrane_location *at)
{
    if (rec->rec_type != REC_TYPE_PACKET)
        return NOT_A_PACKET;
    if (rt->format == VALTOCRANE_DISABLED)
        return NOT_DECODED;

    if (rec->rec_header.packet_header.pkt_encap != WTAP_ENCAP_ETHERNET)
        return OTHER_LINK_TYPE;
    if (in != NULL && (in->earlier == RETIMED_STRIPPED ||
                       (in->earlier == RETIMED_KEPT && rt->keep_device_bytes)))
        return ALREADY_RETIMED;

    *at = valtocrane_record_device_time(rt->format, rec, data, &rt->tick_anchor, t);
    if (at->outcome != VALTOCRANE_FOUND)
        return frame_outcome(at->outcome);

    /* pcapng keeps times as unsigned counts since 1970. */
    if (t->secs < 0)
        return BEFORE_1970;
    return RETIMED;
}

/* Makes t the record's time and, unless the device bytes are kept, cuts
 * them out: a trailer is followed by what was captured of the FCS, which
 * moves back over it; returns where the frame's bytes now start. */
static const guint8 *
apply_device_time(retimer *rt, valtocrane_record *record, guint8 *data, valtocrane_time t,
                  const valtocrane_location &at)
{
    wtap_rec *rec = &record->rec;
    const valtocrane_time file = valtocrane_record_time(rec);
    const valtocrane_time offset = valtocrane_time_sub(t, file);

    if (rt->count[RETIMED] == 1) {
        rt->least_offset = offset;
        rt->greatest_offset = offset;
    } else if (valtocrane_time_cmp(offset, rt->least_offset) < 0) {
        rt->least_offset = offset;
    } else if (valtocrane_time_cmp(offset, rt->greatest_offset) > 0) {
        rt->greatest_offset = offset;
    }
    if (valtocrane_time_implausible(t, file, VALTOCRANE_MAX_OFFSET_DEFAULT))
        rt->implausible++;

    rec->ts = valtocrane_nstime(t);
    rec->presence_flags |= WTAP_HAS_TS;
    if (rt->keep_device_bytes)
        return data;

    wtap_packet_header *ph = &rec->rec_header.packet_header;
    const guint32 after = at.time_offset + at.back;
    if (at.back != 0 && after < ph->caplen)
        memmove(data + at.time_offset, data + after, ph->caplen - after);
    ph->len = valtocrane_wire_length(ph) - (at.front + at.back);
    ph->caplen -= at.front + at.back;
    if (at.front != 0)
        return valtocrane_record_drop_front(record, data, at.front, ph->caplen);
    return data;
}

/* Whether the frames written on an output interface are re-timed by this
 * run, decided when the interface is written, before its frames. A
 * trailer format re-times every frame of an Ethernet interface with a
 * readable device time; those left as they were had none (or one before
 * 1970), so their file time is what the plugin shows them with either way.
 * The capture header's frames that are re-timed all go on the port
 * interfaces; the input interface's own copy keeps only frames without a
 * readable header, which it leaves as they were. An interface this tool
 * re-timed before is either copied as it is or, its device bytes kept
 * then, stripped of them now on its own copy: its ports have interfaces of
 * their own already. */
static bool
retimes(const retimer *rt, const input_interface &in, bool port)
{
    if (rt->format == VALTOCRANE_DISABLED || !in.ethernet)
        return false;
    if (in.earlier != NOT_RETIMED)
        return in.earlier == RETIMED_KEPT && !rt->keep_device_bytes;
    return rt->format != VALTOCRANE_CAPTURE_HEADER || port;
}

/* Appends text to a string option (or sets it where there is none). */
static void
append_string_option(wtap_block_t block, guint option, const char *text)
{
    char *old;

    if (wtap_block_get_string_option_value(block, option, &old) == WTAP_OPTTYPE_SUCCESS) {
        char *joined = g_strdup_printf("%s %s", old, text);
        wtap_block_set_string_option_value(block, option, joined, strlen(joined));
        g_free(joined);
    } else {
        wtap_block_add_string_option(block, option, text, strlen(text));
    }
}

/* An interface description's note as to what this tool did. */
static earlier_retime
retime_note(wtap_block_t idb)
{
    char *description;

    if (wtap_block_get_string_option_value(idb, OPT_IDB_DESCRIPTION, &description) !=
        WTAP_OPTTYPE_SUCCESS)
        return NOT_RETIMED;
    if (valtocrane_interface_retimed(description))
        return RETIMED_STRIPPED;
    return strstr(description, VALTOCRANE_RETIMED_KEPT_NOTE) != NULL ? RETIMED_KEPT : NOT_RETIMED;
}

/* Writes an output interface: the input's, named after a port where port
 * is given; where this run re-times its frames, its description says so
 * (and whether their device bytes are gone) and names the input, once;
 * returns its number in the output, or NO_INTERFACE on an error. */
static guint32
add_output_interface(retimer *rt, wtap_dumper *pdh, const input_interface &in, const char *port,
                     int *err, char **err_info)
{
    wtap_block_t idb = wtap_block_make_copy(in.copy);

    if (port != NULL)
        append_string_option(idb, OPT_IDB_NAME, port);
    if (retimes(rt, in, port != NULL)) {
        const char *note = rt->keep_device_bytes ? VALTOCRANE_RETIMED_KEPT_NOTE
                                                 : VALTOCRANE_RETIMED_NOTE;
        char *description;
        if (in.earlier == RETIMED_KEPT &&
            wtap_block_get_string_option_value(idb, OPT_IDB_DESCRIPTION, &description) ==
                WTAP_OPTTYPE_SUCCESS) {
            /* The note of the run that kept the device bytes, now gone. */
            GString *text = g_string_new(description);
            const char *kept = strstr(text->str, VALTOCRANE_RETIMED_KEPT_NOTE);
            const gssize at = kept - text->str;
            g_string_erase(text, at, static_cast<gssize>(strlen(VALTOCRANE_RETIMED_KEPT_NOTE)));
            g_string_insert(text, at, note);
            wtap_block_set_string_option_value(idb, OPT_IDB_DESCRIPTION, text->str, text->len);
            g_string_free(text, TRUE);
        } else {
            char *input = g_strdup_printf("[input %s]", rt->input_name);
            append_string_option(idb, OPT_IDB_DESCRIPTION, note);
            append_string_option(idb, OPT_IDB_DESCRIPTION, input);
            g_free(input);
        }
    }
    const bool added = wtap_dump_add_idb(pdh, idb, err, err_info);
    wtap_block_unref(idb);
    return added ? rt->output_interfaces++ : NO_INTERFACE;
}

/* Copies an interface the input has described into the output, with
 * nanosecond time resolution (all else as it was). */
static bool
copy_interface(retimer *rt, wtap_dumper *pdh, wtap_block_t idb, int *err, char **err_info)
{
    input_interface in = {};
    in.copy = wtap_block_make_copy(idb);
    auto *mand = static_cast<wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(in.copy));

    mand->time_units_per_second = 1000000000;
    mand->tsprecision = WTAP_TSPREC_NSEC;
    if (wtap_block_set_uint8_option_value(in.copy, OPT_IDB_TSRESOL, 9) != WTAP_OPTTYPE_SUCCESS)
        wtap_block_add_uint8_option(in.copy, OPT_IDB_TSRESOL, 9);
    in.ethernet = mand->wtap_encap == WTAP_ENCAP_ETHERNET;
    in.earlier = retime_note(idb);
    for (guint32 &port : in.port)
        port = NO_INTERFACE;
    in.own = add_output_interface(rt, pdh, in, NULL, err, err_info);
    g_array_append_val(rt->interfaces, in);
    return in.own != NO_INTERFACE;
}

/* Copies the interfaces the input has described since the last call; on
 * an error, *failed is the input interface that could not be written. */
static inline bool
copy_new_interfaces(retimer *rt, wtap *wth, wtap_dumper *pdh, guint32 *failed, int *err,
                    char **err_info)
{
    wtap_block_t idb;

    while ((idb = wtap_get_next_interface_description(wth)) != NULL) {
        if (!copy_interface(rt, pdh, idb, err, err_info)) {
            *failed = rt->interfaces->len - 1;
            return false;
        }
    }
    return true;
}

/* The input interface of a packet record, where the input described it. */
static const input_interface *
input_interface_of(retimer *rt, wtap *wth, const wtap_rec *rec)
{
    if (rec->rec_type != REC_TYPE_PACKET)
        return NULL;
    const guint32 id = valtocrane_record_interface(wth, rec);
    return id < rt->interfaces->len ? &g_array_index(rt->interfaces, input_interface, id) : NULL;
}

static void
free_interfaces(retimer *rt)
{
    for (guint i = 0; i < rt->interfaces->len; i++)
        wtap_block_unref(g_array_index(rt->interfaces, input_interface, i).copy);
    g_array_free(rt->interfaces, TRUE);
    rt->interfaces = NULL;
}

/* Puts a packet on its output interface: the port's, for a frame whose
 * capture header was read, or its input interface's own copy. The port's
 * interface is written when its first frame is. */
static bool
choose_interface(retimer *rt, wtap *wth, wtap_dumper *pdh, wtap_rec *rec, const guint32 *port,
                 guint32 *failed, int *err, char **err_info)
{
    /* Until a port has an interface, the output's interfaces are the
     * input's, numbered alike: the record stays as it is. */
    if (rec->rec_type != REC_TYPE_PACKET ||
        (port == NULL && rt->output_interfaces == rt->interfaces->len))
        return true;
    const guint32 id = valtocrane_record_interface(wth, rec);
    if (id >= rt->interfaces->len)
        return true;   /* none described: the library decides */

    input_interface &in = g_array_index(rt->interfaces, input_interface, id);
    guint32 out = in.own;
    if (port != NULL) {
        const guint32 slot = valtocrane_port_index(*port);
        if (in.port[slot] == NO_INTERFACE) {
            in.port[slot] = add_output_interface(rt, pdh, in, valtocrane_port_label(*port), err,
                                                 err_info);
            if (in.port[slot] == NO_INTERFACE) {
                *failed = id;
                return false;
            }
        }
        out = in.port[slot];
    }
    valtocrane_record_set_interface(rec, out);
    return true;
}

/* The output's first section header says that and how it was re-timed. */
static void
describe_output(wtap_dump_params *params, const retimer *rt)
{
    wtap_block_t shb;
    char *appl;

    if (params->shb_hdrs == NULL) {
        params->shb_hdrs = g_array_new(FALSE, FALSE, sizeof(wtap_block_t));
        shb = wtap_block_create(WTAP_BLOCK_SECTION);
        g_array_append_val(params->shb_hdrs, shb);
    }
    shb = g_array_index(params->shb_hdrs, wtap_block_t, 0);

    char *comment;
    if (rt->format == VALTOCRANE_DISABLED)
        comment = g_strdup_printf("Copied by %s %s with format disabled: nothing re-timed",
                                  PROGRAM, VALTOCRANE_VERSION);
    else
        comment = g_strdup_printf(
            "Re-timed by %s %s: every Ethernet frame with a readable ValtoCrane device time "
            "has it as its time (format %s: %s, %s the frames)", PROGRAM, VALTOCRANE_VERSION,
            valtocrane_format_info_of(rt->format).name, valtocrane_format_info_of(rt->format).layout,
            rt->keep_device_bytes ? "kept in" : "removed from");
    wtap_block_add_string_option(shb, OPT_COMMENT, comment, strlen(comment));
    g_free(comment);

    if (wtap_block_get_string_option_value(shb, OPT_SHB_USERAPPL, &appl) != WTAP_OPTTYPE_SUCCESS)
        wtap_block_add_string_option_format(shb, OPT_SHB_USERAPPL, "%s %s", PROGRAM,
                                            VALTOCRANE_VERSION);
}

/* Counts a record written with an earlier time than the one before it,
 * and how far it is behind the latest time written before it. */
static void
note_order(retimer *rt, const wtap_rec *rec)
{
    if (!(rec->presence_flags & WTAP_HAS_TS))
        return;
    const valtocrane_time t = valtocrane_record_time(rec);

    if (!rt->have_last_time) {
        rt->latest_time = t;
    } else if (valtocrane_time_cmp(t, rt->last_time) < 0) {
        const valtocrane_time behind = valtocrane_time_sub(rt->latest_time, t);
        if (rt->out_of_order++ == 0 || valtocrane_time_cmp(behind, rt->most_out_of_order) > 0)
            rt->most_out_of_order = behind;
    } else if (valtocrane_time_cmp(t, rt->latest_time) > 0) {
        rt->latest_time = t;
    }
    rt->last_time = t;
    rt->have_last_time = true;
}

/* A span of device time (not negative) in nanoseconds. */
static std::uint64_t
span_ns(valtocrane_time d)
{
    return static_cast<std::uint64_t>(d.secs) * VALTOCRANE_NS_PER_SEC +
           static_cast<std::uint64_t>(d.nsecs);
}

/* How sorting went: the window, frames that could not be sorted in. */
static void
print_sort_summary(const retimer *rt)
{
    const valtocrane_order &order = rt->order;

    fprintf(stderr, "  sorted by device time within %s: at most %zu frames held at a time\n",
            valtocrane_duration(rt->sort_window_ns).c_str(), order.most_held());
    if (order.capped_at() != 0)
        fprintf(stderr, "  frames held reached %zu (or %zu MB) at frame %" G_GUINT64_FORMAT
                ": from there the earliest held were written early (a device clock standing "
                "still? a window wider than needed?)\n", VALTOCRANE_SORT_MAX_HELD,
                VALTOCRANE_SORT_MAX_BYTES >> 20, order.capped_at());
    if (order.late() != 0)
        fprintf(stderr, "  frames out of order by more than the window, written as they came: %"
                G_GUINT64_FORMAT " (the first, frame %" G_GUINT64_FORMAT ", by %s; the "
                "farthest by %s: --sort=%s sorts them in)\n", order.late(),
                order.first_late(), valtocrane_duration(span_ns(order.first_late_by())).c_str(),
                valtocrane_duration(span_ns(order.most_late_by())).c_str(),
                valtocrane_seconds(span_ns(order.most_late_by())).c_str());
}

/* (in_path: the input, for the command that sorts it.) */
static void
print_summary(const retimer *rt, const char *in_path)
{
    const guint64 unchanged = rt->frames - rt->count[RETIMED];

    fprintf(stderr, "%s: %" G_GUINT64_FORMAT " frames read, %" G_GUINT64_FORMAT
            " re-timed, %" G_GUINT64_FORMAT " left unchanged\n",
            PROGRAM, rt->frames, rt->count[RETIMED], unchanged);
    for (int o = RETIMED + 1; o < OUTCOME_COUNT; o++) {
        if (rt->count[o] != 0)
            fprintf(stderr, "  unchanged, %s: %" G_GUINT64_FORMAT "\n", outcome_text[o],
                    rt->count[o]);
    }
    if (rt->count[RETIMED] != 0)
        fprintf(stderr, "  device time minus capture file time: %s to %s\n",
                valtocrane_signed_seconds(rt->least_offset).c_str(),
                valtocrane_signed_seconds(rt->greatest_offset).c_str());
    if (rt->implausible != 0)
        fprintf(stderr, "  device time more than %" PRIu32 " s away from the capture file time: %"
                G_GUINT64_FORMAT " (is the format right, is the device clock set?)\n",
                VALTOCRANE_MAX_OFFSET_DEFAULT, rt->implausible);
    if (rt->sort)
        print_sort_summary(rt);
    fprintf(stderr, "  frames earlier than the frame written before them: %" G_GUINT64_FORMAT,
            rt->out_of_order);
    if (rt->out_of_order != 0 && !rt->sort)
        fprintf(stderr, " (by up to %s; mergecap expects each input in time order; sort with: "
                "%s --sort -f %s %s SORTED.pcapng)",
                valtocrane_duration(span_ns(rt->most_out_of_order)).c_str(),
                PROGRAM, valtocrane_format_info_of(rt->format).name,
                strcmp(in_path, "-") == 0 ? "INFILE" : in_path);
    else if (rt->out_of_order != 0)
        fprintf(stderr, " (by up to %s; mergecap expects each input in time order: %s)",
                valtocrane_duration(span_ns(rt->most_out_of_order)).c_str(),
                rt->order.late() != 0 ? "frames beyond the window, or without a device time"
                                      : "frames without a device time, in their places");
    fputc('\n', stderr);
}

/* OUTFILE: where it goes (valtocrane-tool.h) and the library's writer. */
struct retime_output {
    valtocrane_output file;
    wtap_dumper *pdh;
};

static bool
open_output(retime_output *out, const wtap_dump_params *params, int *err, char **err_info)
{
    const int pcapng = wtap_pcapng_file_type_subtype();

    if (out->file.kind == VALTOCRANE_OUTPUT_STDOUT) {
        out->pdh = wtap_dump_open_stdout(pcapng, WTAP_UNCOMPRESSED, params, err, err_info);
        return out->pdh != NULL;
    }
    const int fd = valtocrane_output_open(&out->file, "retime", err);
    if (fd < 0)
        return false;
    out->pdh = wtap_dump_fdopen(fd, pcapng, WTAP_UNCOMPRESSED, params, err, err_info);
    if (out->pdh == NULL)
        close(fd);
    return out->pdh != NULL;
}

/* Removes what was written of the output, and says so. */
static void
discard_output(retime_output *out)
{
    if (out->pdh != NULL) {
        int err;
        char *err_info = NULL;

        wtap_dump_close(out->pdh, NULL, &err, &err_info);
        g_free(err_info);
        out->pdh = NULL;
    }
    valtocrane_output_discard(&out->file, PROGRAM);
}

/* Closes the output and puts it in place. */
static bool
finish_output(retime_output *out, int *err, char **err_info)
{
    const bool closed = wtap_dump_close(out->pdh, NULL, err, err_info);

    out->pdh = NULL;
    return closed && valtocrane_output_commit(&out->file, err);
}

/* What a record is, for a message about it. */
static char *
describe_record(const wtap_rec *rec)
{
    switch (rec->rec_type) {
    case REC_TYPE_PACKET:
        return g_strdup_printf("a packet, %s",
                               wtap_encap_description(rec->rec_header.packet_header.pkt_encap));
    case REC_TYPE_FT_SPECIFIC_EVENT:
    case REC_TYPE_FT_SPECIFIC_REPORT:
        return g_strdup("a record of the input's own file format");
    case REC_TYPE_SYSCALL:
        return g_strdup("a system call");
    case REC_TYPE_SYSTEMD_JOURNAL_EXPORT:
        return g_strdup("a systemd journal entry");
    case REC_TYPE_CUSTOM_BLOCK:
        return g_strdup("a custom block");
    default:
        return g_strdup_printf("a record of type %u", rec->rec_type);
    }
}

/* Says what could not be written, and why. */
static void
print_write_error(const char *out_name, guint64 frame, const wtap_rec *rec, guint32 interface,
                  const retimer *rt, int err, char *err_info)
{
    char *what;

    if (interface != NO_INTERFACE) {
        auto *mand = static_cast<wtapng_if_descr_mandatory_t *>(
            wtap_block_get_mandatory_data(
                g_array_index(rt->interfaces, input_interface, interface).copy));
        what = g_strdup_printf("cannot write %s: frame %" G_GUINT64_FORMAT " needs input "
                               "interface %" PRIu32 " (%s), whose description cannot be written",
                               out_name, frame, interface,
                               wtap_encap_description(mand->wtap_encap));
    } else if (rec != NULL) {
        char *kind = describe_record(rec);
        what = g_strdup_printf("cannot write %s: frame %" G_GUINT64_FORMAT " (%s)", out_name,
                               frame, kind);
        g_free(kind);
    } else {
        what = g_strdup_printf("cannot write %s", out_name);
    }
    valtocrane_tool_library_error(PROGRAM, what, err, err_info);
    g_free(what);
}

/* Opens the output once the first record has been read (or the input
 * found empty): the interfaces and decryption secrets before it are known
 * then, as the library's writer needs them when it opens a file. */
static bool
start_output(retimer *rt, wtap *wth, retime_output *out, wtap_dump_params *params, int *err,
             char **err_info)
{
    wtap_dump_params_init_no_idbs(params, wth);
    params->tsprec = WTAP_TSPREC_NSEC;
    describe_output(params, rt);
    const bool opened = open_output(out, params, err, err_info);
    /* The writer looks at the input's interfaces only when it opens the
     * file (they are copied one by one); the list it was lent is the
     * caller's to free, as editcap does. */
    g_free(params->idb_inf);
    params->idb_inf = NULL;
    return opened;
}

/* ---- Records written, or held to be ---------------------------------------- */

/* What could not be written: the output, a record (its number, and the
 * record where it was one held), the description of an interface. */
struct write_failure {
    bool failed;
    guint64 frame;
    const wtap_rec *rec;
    valtocrane_record *held;
    guint32 interface;
};

static bool
write_record(retimer *rt, retime_output *out, valtocrane_record *r, const guint8 *data,
             guint64 frame, write_failure *failure, int *err, char **err_info)
{
    note_order(rt, &r->rec);
    if (valtocrane_record_dump(out->pdh, r, data, err, err_info))
        return true;
    failure->failed = true;
    failure->frame = frame;
    failure->rec = &r->rec;
    return false;
}

/* Writes the held records the output can take now; once finished, all. */
static bool
write_held(retimer *rt, retime_output *out, bool finished, write_failure *failure, int *err,
           char **err_info)
{
    guint64 frame;
    void *item;

    while ((item = rt->order.next(finished, &frame)) != NULL) {
        auto *held = static_cast<valtocrane_record *>(item);
        if (!write_record(rt, out, held, valtocrane_record_data(held), frame, failure, err,
                          err_info)) {
            failure->held = held;
            return false;
        }
        valtocrane_record_free(held);
    }
    return true;
}

/* Writes the record just read (frame rt->frames, its bytes at data) or,
 * sorting, holds it until it can be written in device-time order (t its
 * device time, NULL for none), and writes what that lets out. A packet is
 * held as a copy that takes what its bytes need, and *reader is read into
 * again; another record is held as it is, and *reader is a new one. */
static bool
place_record(retimer *rt, retime_output *out, valtocrane_record **reader, const guint8 *data,
             const valtocrane_time *t, write_failure *failure, int *err, char **err_info)
{
    if (!rt->sort || !rt->order.admit(t))
        return write_record(rt, out, *reader, data, rt->frames, failure, err, err_info);

    valtocrane_record *held = *reader;
    if (held->rec.rec_type == REC_TYPE_PACKET)
        held = valtocrane_record_keep(*reader, data);
    else
        *reader = valtocrane_record_new();
    rt->order.hold(held, valtocrane_record_size(held));
    return write_held(rt, out, false, failure, err, err_info);
}

/* Frees the records still held. */
static void
free_held(retimer *rt)
{
    guint64 frame;
    void *item;

    while ((item = rt->order.next(true, &frame)) != NULL)
        valtocrane_record_free(static_cast<valtocrane_record *>(item));
    rt->order.release();
}

/* Whether a record goes out with a device time, which sorting orders it
 * by: re-timed now or by an earlier run (its interface says so, whatever
 * the format). */
static bool
has_device_time(const input_interface *in, retime_outcome outcome)
{
    return outcome == RETIMED || outcome == ALREADY_RETIMED ||
           (outcome == NOT_DECODED && in != NULL && in->earlier != NOT_RETIMED);
}

/* Reads INFILE through, re-timing and writing every record. */
static int
retime_file(retimer *rt, const char *in_path, retime_output *out)
{
    const char *in_name = shown_name(in_path, true);
    const char *out_name = shown_name(out->file.path, false);
    wtap_dump_params params = WTAP_DUMP_PARAMS_INIT;
    int err = 0;
    char *err_info = NULL;
    int exit_code = RETIME_DONE;

    wtap *wth = wtap_open_offline(in_path, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (wth == NULL) {
        char *what = g_strdup_printf("cannot read %s", in_name);
        valtocrane_tool_library_error(PROGRAM, what, err, err_info);
        g_free(what);
        return RETIME_BAD_INPUT;
    }
    rt->interfaces = g_array_new(FALSE, FALSE, sizeof(input_interface));
    if (rt->sort)
        rt->order.reset(rt->sort_window_ns);

    const gint64 size = valtocrane_tool_progress_size(wth, in_path);
    int shown = -1;

    write_failure failure = { false, 0, NULL, NULL, NO_INTERFACE };

    valtocrane_record *reader = valtocrane_record_new();
    gint64 offset;
    while (valtocrane_record_read(wth, reader, &err, &err_info, &offset)) {
        wtap_rec *rec = &reader->rec;
        guint8 *bytes = valtocrane_record_data(reader);
        const guint8 *data = bytes;
        valtocrane_time t;
        valtocrane_location at;
        guint32 port_word;
        const guint32 *port = NULL;

        rt->frames++;
        if ((out->pdh == NULL && !start_output(rt, wth, out, &params, &err, &err_info)) ||
            !copy_new_interfaces(rt, wth, out->pdh, &failure.interface, &err, &err_info)) {
            failure.failed = true;
            break;
        }
        const input_interface *in = input_interface_of(rt, wth, rec);
        const retime_outcome outcome = device_time(rt, in, rec, data, &t, &at);
        rt->count[outcome]++;
        if (outcome == RETIMED && rt->format == VALTOCRANE_CAPTURE_HEADER &&
            (in == NULL || in->earlier == NOT_RETIMED)) {
            port_word = valtocrane_load_le32(data + VALTOCRANE_HEADER_PORT_OFF);
            port = &port_word;
        }
        if (outcome == RETIMED)
            data = apply_device_time(rt, reader, bytes, t, at);
        /* Every time is written in nanoseconds. */
        rec->tsprec = WTAP_TSPREC_NSEC;

        /* A port's interface is written as its first frame is read: before
         * it, however long sorting holds the frame. */
        if (!choose_interface(rt, wth, out->pdh, rec, port, &failure.interface, &err,
                              &err_info)) {
            failure.failed = true;
            break;
        }
        const valtocrane_time written = valtocrane_record_time(rec);
        if (!place_record(rt, out, &reader, data, has_device_time(in, outcome) ? &written : NULL,
                          &failure, &err, &err_info))
            break;
        valtocrane_record_reset(reader);
        if (size > 0 && rt->frames % PROGRESS_INTERVAL == 0)
            valtocrane_tool_show_progress(PROGRAM, wtap_read_so_far(wth), size, &shown);
    }
    valtocrane_tool_end_progress(shown);

    if (!failure.failed && (err == 0 || err == WTAP_ERR_SHORT_READ)) {
        /* The frames still held; or, with no record, the input's
         * interfaces and nothing else. */
        int last_err = 0;
        char *last_err_info = NULL;
        if (out->pdh != NULL)
            write_held(rt, out, true, &failure, &last_err, &last_err_info);
        else if (!start_output(rt, wth, out, &params, &last_err, &last_err_info) ||
                 !copy_new_interfaces(rt, wth, out->pdh, &failure.interface, &last_err,
                                      &last_err_info))
            failure.failed = true;
        if (failure.failed) {
            g_free(err_info);
            err = last_err;
            err_info = last_err_info;
        }
    }

    if (failure.failed) {
        print_write_error(out_name, failure.rec != NULL ? failure.frame : rt->frames,
                          failure.rec, failure.interface, rt, err, err_info);
        exit_code = RETIME_BAD_OUTPUT;
    } else if (err == WTAP_ERR_SHORT_READ) {
        /* A capture stopped abruptly: the frames before are whole. */
        g_free(err_info);
        err_info = NULL;
        exit_code = RETIME_CUT_SHORT;
    } else if (err != 0) {
        char *what = g_strdup_printf("%s is damaged (frame %" G_GUINT64_FORMAT ")", in_name,
                                     rt->frames + 1);
        valtocrane_tool_library_error(PROGRAM, what, err, err_info);
        g_free(what);
        exit_code = RETIME_BAD_INPUT;
    }
    if (failure.held != NULL)
        valtocrane_record_free(failure.held);
    free_held(rt);
    valtocrane_record_free(reader);

    if (exit_code == RETIME_DONE || exit_code == RETIME_CUT_SHORT) {
        if (!finish_output(out, &err, &err_info)) {
            print_write_error(out_name, 0, NULL, NO_INTERFACE, rt, err, err_info);
            exit_code = RETIME_BAD_OUTPUT;
        }
    }
    if (exit_code == RETIME_BAD_INPUT || exit_code == RETIME_BAD_OUTPUT)
        discard_output(out);

    print_summary(rt, in_path);
    if (exit_code == RETIME_CUT_SHORT)
        fprintf(stderr, "%s: warning: %s ends inside frame %" G_GUINT64_FORMAT
                " (the capture was cut short); %s holds the %" G_GUINT64_FORMAT
                " whole frames before it\n", PROGRAM, in_name, rt->frames + 1, out_name,
                rt->frames);

    free_interfaces(rt);
    wtap_dump_params_cleanup(&params);
    wtap_close(wth);
    return exit_code;
}

int
main(int argc, char *argv[])
{
    enum { OPT_SORT = 256 };
    static const struct option long_options[] = {
        { "format",            required_argument, NULL, 'f' },
        { "keep-device-bytes", no_argument,       NULL, 'k' },
        { "sort",              optional_argument, NULL, OPT_SORT },
        { "help",              no_argument,       NULL, 'h' },
        { "version",           no_argument,       NULL, 'V' },
        { NULL, 0, NULL, 0 }
    };
    retimer rt = {};
    const char *format_name = NULL;
    bool sort_value_apart = false;  /* --sort 0.5 for --sort=0.5 */
    std::uint64_t unused;
    int opt;

    opterr = 0;
    while ((opt = getopt_long(argc, argv, ":f:khV", long_options, NULL)) != -1) {
        switch (opt) {
        case 'f':
            format_name = optarg;
            break;
        case 'k':
            rt.keep_device_bytes = true;
            break;
        case OPT_SORT: {
            rt.sort = true;
            rt.sort_window_ns = VALTOCRANE_SORT_WINDOW_DEFAULT_NS;
            const char *wrong = optarg != NULL
                                    ? valtocrane_parse_seconds(optarg, &rt.sort_window_ns)
                                    : NULL;
            if (wrong != NULL) {
                fprintf(stderr, "%s: --sort=%s: the window %s\nTry '%s --help' for more "
                        "information.\n", PROGRAM, optarg, wrong, PROGRAM);
                return RETIME_USAGE;
            }
            sort_value_apart = optarg == NULL && optind < argc &&
                               valtocrane_parse_seconds(argv[optind], &unused) == NULL;
            break;
        }
        case 'h':
            print_usage(stdout);
            return RETIME_DONE;
        case 'V':
            valtocrane_tool_print_version(PROGRAM);
            return RETIME_DONE;
        case ':':
            return usage_error("option '%s' needs a value", argv[optind - 1]);
        default:
            return usage_error("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (format_name == NULL)
        return usage_error("%s", "--format NAME is required");
    const valtocrane_format_info *format = valtocrane_tool_format(PROGRAM, format_name);
    if (format == NULL)
        return RETIME_USAGE;
    rt.format = format->format;
    if (argc - optind != 2 && sort_value_apart)
        return usage_error("--sort takes its window joined to it: --sort=%s", argv[optind]);
    if (argc - optind != 2)
        return usage_error("%s", "INFILE and OUTFILE are required, and nothing else");

    const char *in_path = argv[optind];
    retime_output out = {};
    out.file.path = argv[optind + 1];
    if (valtocrane_tool_same_file(in_path, out.file.path)) {
        fprintf(stderr, "%s: %s is %s: refusing to write over the input\n", PROGRAM,
                shown_name(out.file.path, false), shown_name(in_path, true));
        return RETIME_USAGE;
    }
    const int plan_err = valtocrane_output_plan(&out.file);
    if (plan_err != 0) {
        valtocrane_output_plan_failed(&out.file, PROGRAM, plan_err);
        return RETIME_BAD_OUTPUT;
    }

    valtocrane_host_startup(PROGRAM, argv[0]);
    wtap_init(TRUE);

    valtocrane_tool_clean_up_on_signals();

    gchar *input_name = strcmp(in_path, "-") == 0 ? g_strdup("standard input")
                                                  : g_path_get_basename(in_path);
    rt.input_name = input_name;
    const int exit_code = retime_file(&rt, in_path, &out);
    valtocrane_output_free(&out.file);
    g_free(input_name);
    wtap_cleanup();
    return exit_code;
}
