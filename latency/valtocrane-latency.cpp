/* valtocrane-latency.cpp
 * How long frames take through a system (a switch, a router, a trading
 * engine, a link), from the ValtoCrane device times of the same frame seen
 * at two capture points: the device's two ports in one capture, two
 * interfaces, or two captures taken at two places with synchronised device
 * clocks.
 *
 *   valtocrane-latency --format NAME [--window SECONDS] [--match ip|frame]
 *                      [--same-counter] [--csv FILE] CAPTURE [CAPTURE_B]
 *
 * A frame is a copy of one seen earlier at another capture point when both
 * have the same match key and device times at most the window apart; its
 * latency is its device time less the earlier one's. The device times, the
 * frame's own bytes, the match and the figures are the plugin's, from the
 * same host-free code (core/), so the tool and the plugin pair the same
 * frames and show the same figures.
 *
 * Memory is bounded by the window, not by the length of the captures: the
 * matcher holds only frames still waiting for a copy (a bounded number of
 * them, whatever the device times), and latencies are counted in
 * histograms of fixed precision.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <wiretap/wtap.h>

#include "valtocrane-capture.h"
#include "valtocrane-format.h"
#include "valtocrane-host.h"
#include "valtocrane-match.h"
#include "valtocrane-stats.h"
#include "valtocrane-tool.h"

static const char PROGRAM[] = "valtocrane-latency";

/* Exit codes, as valtocrane-retime's; --help and the manual page list them. */
enum latency_exit_code {
    LATENCY_DONE       = 0,
    LATENCY_USAGE      = 1, /* bad usage, or FILE would overwrite a capture */
    LATENCY_BAD_INPUT  = 2, /* a capture unreadable or damaged: no report, no CSV file */
    LATENCY_BAD_OUTPUT = 3, /* the CSV file (or the report) could not be written */
    LATENCY_CUT_SHORT  = 4  /* a capture ends inside a record: every whole frame counted */
};

/* Records between two looks at how far the input has been read. */
constexpr guint64 PROGRESS_INTERVAL = 16384;

/* Steps of a device clock listed in the report; the rest are counted. */
constexpr std::size_t STEPS_LISTED = 10;

/* ---- Capture points -------------------------------------------------------- */

/* Where in one capture a frame was seen: its interface and, in the capture
 * header format, the port the header names (A, B, any other value
 * "Unknown"). Frames of the capture header format without a readable
 * header have no port: they are counted apart, and never matched. */
enum point_port { PORT_A, PORT_B, PORT_UNKNOWN, NO_DEVICE_TIME, WHOLE_INTERFACE, POINT_PORTS };
static_assert(PORT_UNKNOWN == VALTOCRANE_PORT_UNKNOWN, "ports by valtocrane_port_index");

constexpr std::uint32_t NO_POINT = G_MAXUINT32;

/* What the tool keeps of an interface of a capture. */
struct interface_info {
    std::string name;
    bool retimed;  /* valtocrane-retime re-timed its frames and removed the device bytes */
};

/* One capture being read. */
struct capture_input {
    unsigned index;      /* 0: CAPTURE (A), 1: CAPTURE_B */
    const char *path;
    const char *name;    /* as shown: the path, or "standard input" */
    wtap *wth;
    valtocrane_record record;
    bool record_ready;
    gint64 size;         /* for the progress shown on a terminal, else 0 */

    /* The tick counter's tie: its own, or with --same-counter one for both. */
    valtocrane_tick_anchor own_anchor;
    valtocrane_tick_anchor *tick_anchor;
    std::vector<interface_info> interfaces;
    std::vector<std::uint32_t> point_of;  /* by interface * POINT_PORTS + port */

    guint64 frames;        /* records read */
    guint64 with_time;     /* frames with a device time */
    guint64 out_of_order;  /* frames with a device time earlier than the one before */
    bool have_last;
    valtocrane_time last;

    bool ended;
    bool cut_short;
};

/* A frame as the matcher sees it. */
struct seen_frame {
    guint64 number;  /* 1-based, as Wireshark numbers the capture's records */
    bool has_time;
    valtocrane_time t;
    valtocrane_time host;     /* the capture file's time of it */
    std::uint64_t key;
    std::uint32_t point;
    std::uint32_t clock;      /* the capture and interface whose device stamped it */
};

/* The matcher knows a frame by its capture and number. */
constexpr int ID_CAPTURE_SHIFT = 56;
constexpr std::uint64_t ID_NUMBER_MASK = (1ULL << ID_CAPTURE_SHIFT) - 1;

/* The device times seen at a capture point, for the report when nothing
 * matched. */
struct point_times {
    bool seen;
    valtocrane_time first;
    valtocrane_time last;
};

/* A step of a device clock, as the report lists it. */
struct clock_step {
    std::uint32_t clock;
    guint64 frame;
    valtocrane_time size;
};

struct latency_run {
    valtocrane_format format;
    valtocrane_match_kind kind;
    std::uint64_t window_ns;
    bool two_captures;
    bool same_counter;

    capture_input inputs[2];
    int input_count;

    valtocrane_latency_stats stats;
    valtocrane_matcher matcher;
    std::vector<point_times> times;  /* by point */
    std::vector<clock_step> steps;   /* the first STEPS_LISTED */
    guint64 step_count;

    FILE *csv;
    bool csv_failed;
    int csv_errno;

    guint64 frames;  /* records read of every capture, for the progress */
    int shown;       /* the share last shown, -1 for none */
};

static const char *
port_label(point_port port)
{
    switch (port) {
    case PORT_A:
        return valtocrane_port_label(0);
    case PORT_B:
        return valtocrane_port_label(1);
    case PORT_UNKNOWN:
        return "Unknown port";
    case NO_DEVICE_TIME:
        return "no device time";
    default:
        return NULL;
    }
}

/* An interface of a capture, as the report names it. */
static std::string
interface_label(const capture_input *in, guint32 interface)
{
    std::string label = "interface " + std::to_string(interface);
    if (interface < in->interfaces.size() && !in->interfaces[interface].name.empty())
        label += " (" + in->interfaces[interface].name + ")";
    return label;
}

/* The capture point of a frame of one capture, added when first seen; two
 * captures are a point each. */
static std::uint32_t
point_of(latency_run *run, capture_input *in, guint32 interface, point_port port)
{
    if (run->two_captures)
        return in->index;
    const std::size_t slot =
        static_cast<std::size_t>(interface) * POINT_PORTS + static_cast<std::size_t>(port);

    if (slot >= in->point_of.size())
        in->point_of.resize(slot + POINT_PORTS, NO_POINT);
    if (in->point_of[slot] == NO_POINT) {
        std::string label = interface_label(in, interface);
        if (port_label(port) != NULL)
            label += std::string(", ") + port_label(port);
        in->point_of[slot] = run->stats.point(label);
    }
    return in->point_of[slot];
}

/* Takes note of the interfaces the capture has described since the last
 * call: their names, and whether valtocrane-retime re-timed them. */
static void
note_new_interfaces(capture_input *in)
{
    wtap_block_t idb;

    while ((idb = wtap_get_next_interface_description(in->wth)) != NULL) {
        interface_info info = { std::string(), false };
        char *text;

        if (wtap_block_get_string_option_value(idb, OPT_IDB_NAME, &text) == WTAP_OPTTYPE_SUCCESS)
            info.name = text;
        if (wtap_block_get_string_option_value(idb, OPT_IDB_DESCRIPTION, &text) ==
            WTAP_OPTTYPE_SUCCESS)
            info.retimed = valtocrane_interface_retimed(text);
        in->interfaces.push_back(info);
    }
}

/* ---- Frames ---------------------------------------------------------------- */

/* The device time, match key and capture point of a record, by the
 * plugin's rules. With --format disabled, and on an interface that
 * valtocrane-retime re-timed, the record's own time is the device time and
 * the frame holds no device bytes. The tick counter is tied to the
 * capture's clock at its first frame with a readable counter. */
static void
look_at(latency_run *run, capture_input *in, seen_frame *f)
{
    const wtap_rec *rec = &in->record.rec;
    const guint8 *data = valtocrane_record_data(&in->record);

    f->has_time = false;
    f->point = NO_POINT;
    if (rec->rec_type != REC_TYPE_PACKET)
        return;

    const wtap_packet_header *ph = &rec->rec_header.packet_header;
    const guint32 interface = valtocrane_record_interface(in->wth, rec);
    const bool plain = run->format == VALTOCRANE_DISABLED ||
                       (interface < in->interfaces.size() && in->interfaces[interface].retimed);
    point_port port = run->format == VALTOCRANE_CAPTURE_HEADER && !plain ? NO_DEVICE_TIME
                                                                         : WHOLE_INTERFACE;

    f->host = valtocrane_record_time(rec);
    f->clock = in->index << 16 | (interface & 0xFFFF);
    if (ph->pkt_encap == WTAP_ENCAP_ETHERNET) {
        valtocrane_location at = { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 };

        if (plain) {
            f->has_time = (rec->presence_flags & WTAP_HAS_TS) != 0;
            f->t = f->host;
        } else {
            at = valtocrane_record_device_time(run->format, rec, data, in->tick_anchor, &f->t);
            if (at.outcome == VALTOCRANE_FOUND) {
                f->has_time = true;
                if (run->format == VALTOCRANE_CAPTURE_HEADER) {
                    port = static_cast<point_port>(valtocrane_port_index(
                        valtocrane_load_le32(data + VALTOCRANE_HEADER_PORT_OFF)));
                }
            }
        }
        if (f->has_time) {
            const valtocrane_span own = valtocrane_own_bytes(at, ph->caplen,
                                                             valtocrane_wire_length(ph),
                                                             ph->pseudo_header.eth.fcs_len);
            f->key = valtocrane_match_key(data + own.offset, own.length, run->kind);
        }
    }

    f->point = point_of(run, in, interface, port);
    run->stats.seen(f->point, f->has_time);
    if (f->has_time) {
        if (f->point >= run->times.size())
            run->times.resize(f->point + 1, point_times());
        point_times &pt = run->times[f->point];
        if (!pt.seen || valtocrane_time_cmp(f->t, pt.first) < 0)
            pt.first = f->t;
        if (!pt.seen || valtocrane_time_cmp(f->t, pt.last) > 0)
            pt.last = f->t;
        pt.seen = true;
    }
}

/* What reading a capture's next record gave. */
enum read_outcome { READ_FRAME, READ_END, READ_DAMAGED };

/* Reads the next record of a capture and looks at it. At the end of the
 * capture, or where it is cut short, the capture has ended; a damaged
 * capture is reported here. */
static read_outcome
read_frame(latency_run *run, capture_input *in, seen_frame *f)
{
    int err = 0;
    char *err_info = NULL;
    gint64 offset;

    if (in->ended)
        return READ_END;
    if (in->record_ready)
        valtocrane_record_reset(&in->record);
    in->record_ready = valtocrane_record_read(in->wth, &in->record, &err, &err_info, &offset);
    if (!in->record_ready) {
        in->ended = true;
        if (err == WTAP_ERR_SHORT_READ) {
            /* A capture stopped abruptly: the frames before are whole. */
            in->cut_short = true;
        } else if (err != 0) {
            char *what = g_strdup_printf("%s is damaged (frame %" G_GUINT64_FORMAT ")", in->name,
                                         in->frames + 1);
            valtocrane_tool_library_error(PROGRAM, what, err, err_info);
            g_free(what);
            return READ_DAMAGED;
        }
        g_free(err_info);
        return READ_END;
    }

    note_new_interfaces(in);
    in->frames++;
    run->frames++;
    f->number = in->frames;
    look_at(run, in, f);
    if (f->has_time) {
        in->with_time++;
        if (in->have_last && valtocrane_time_cmp(f->t, in->last) < 0)
            in->out_of_order++;
        in->last = f->t;
        in->have_last = true;
    }
    return READ_FRAME;
}

/* ---- Output ---------------------------------------------------------------- */

static void
write_csv_header(latency_run *run)
{
    if (fputs(run->two_captures ? "earlier_capture,earlier_frame,later_capture,later_frame,"
                                : "earlier_frame,later_frame,",
              run->csv) < 0 ||
        fputs("earlier_time_ns,later_time_ns,latency_ns\n", run->csv) < 0) {
        run->csv_failed = true;
        run->csv_errno = errno;
    }
}

static void
write_csv_row(latency_run *run, const valtocrane_copy &copy, const seen_frame &f,
              const capture_input *in, std::int64_t latency)
{
    int written;
    const std::string earlier = valtocrane_ns_text(copy.earlier_time);
    const std::string later = valtocrane_ns_text(f.t);
    const guint64 earlier_frame = copy.earlier & ID_NUMBER_MASK;

    if (run->two_captures)
        written = fprintf(run->csv, "%c,%" G_GUINT64_FORMAT ",%c,%" G_GUINT64_FORMAT
                          ",%s,%s,%" PRId64 "\n",
                          "AB"[copy.earlier >> ID_CAPTURE_SHIFT], earlier_frame, "AB"[in->index],
                          f.number, earlier.c_str(), later.c_str(), latency);
    else
        written = fprintf(run->csv, "%" G_GUINT64_FORMAT ",%" G_GUINT64_FORMAT ",%s,%s,%" PRId64
                          "\n", earlier_frame, f.number, earlier.c_str(), later.c_str(), latency);
    if (written < 0) {
        run->csv_failed = true;
        run->csv_errno = errno;
    }
}

/* What the matcher learnt besides copies: frames that waited in vain, and
 * steps of a device clock. */
static void
note_events(latency_run *run)
{
    for (const valtocrane_event &e : run->matcher.events()) {
        if (e.kind == VALTOCRANE_STEP) {
            if (run->steps.size() < STEPS_LISTED)
                run->steps.push_back({ e.point, e.id & ID_NUMBER_MASK, e.t });
            run->step_count++;
            continue;
        }
        run->stats.lost(e.point, e.t, NULL, e.kind == VALTOCRANE_NO_ROOM);
    }
    run->matcher.clear_events();
}

/* Feeds a frame with a device time to the matcher; a copy's latency is
 * counted for its direction. */
static void
match(latency_run *run, const capture_input *in, const seen_frame &f)
{
    const valtocrane_seen seen = { f.key, std::uint64_t(in->index) << ID_CAPTURE_SHIFT | f.number,
                                   f.point, f.clock, f.t, f.host };
    const valtocrane_copy copy = run->matcher.add(seen);

    if (copy.found) {
        run->stats.copy(copy.earlier_point, f.point, copy.earlier_time, f.t, NULL);
        if (run->csv != NULL && !run->csv_failed) {
            const valtocrane_time d = valtocrane_time_sub(f.t, copy.earlier_time);
            write_csv_row(run, copy, f, in,
                          d.secs * static_cast<std::int64_t>(VALTOCRANE_NS_PER_SEC) + d.nsecs);
        }
    }
    note_events(run);
}

/* Bytes read of the captures' sizes, on one line rewritten in place. */
static void
show_progress(latency_run *run)
{
    gint64 done = 0, size = 0;

    for (int i = 0; i < run->input_count; i++) {
        if (run->inputs[i].size <= 0)
            return;
        done += wtap_read_so_far(run->inputs[i].wth);
        size += run->inputs[i].size;
    }
    valtocrane_tool_show_progress(PROGRAM, done, size, &run->shown);
}

static void
note_progress(latency_run *run)
{
    if (run->frames % PROGRESS_INTERVAL == 0 && run->inputs[0].size > 0)
        show_progress(run);
}

/* ---- Reading --------------------------------------------------------------- */

/* One capture: its frames, in capture order. */
static bool
read_one(latency_run *run)
{
    capture_input *in = &run->inputs[0];
    seen_frame f;
    read_outcome r;

    while ((r = read_frame(run, in, &f)) == READ_FRAME) {
        if (f.has_time)
            match(run, in, f);
        note_progress(run);
    }
    return r != READ_DAMAGED;
}

/* The next frame with a device time of a capture, if it has one more. */
static read_outcome
next_timed(latency_run *run, capture_input *in, seen_frame *f)
{
    read_outcome r;

    while ((r = read_frame(run, in, f)) == READ_FRAME) {
        note_progress(run);
        if (f->has_time)
            break;
    }
    return r;
}

/* Two captures: their frames merged in device-time order (each capture in
 * device-time order itself), one frame of look-ahead in each, as mergecap
 * merges by time; at equal times capture A's frame goes first. */
static bool
read_two(latency_run *run)
{
    seen_frame next[2];
    bool have[2];

    for (int i = 0; i < 2; i++) {
        const read_outcome r = next_timed(run, &run->inputs[i], &next[i]);
        if (r == READ_DAMAGED)
            return false;
        have[i] = r == READ_FRAME;
    }
    while (have[0] || have[1]) {
        const int i = have[0] && (!have[1] || valtocrane_time_cmp(next[0].t, next[1].t) <= 0) ? 0
                                                                                              : 1;
        match(run, &run->inputs[i], next[i]);
        const read_outcome r = next_timed(run, &run->inputs[i], &next[i]);
        if (r == READ_DAMAGED)
            return false;
        have[i] = r == READ_FRAME;
    }
    return true;
}

/* ---- The report ------------------------------------------------------------ */

/* A device clock as the report names it: a capture's interface. */
static std::string
clock_label(const latency_run *run, std::uint32_t clock)
{
    const capture_input *in = &run->inputs[clock >> 16];
    std::string label = interface_label(in, clock & 0xFFFF);
    if (run->two_captures)
        label = std::string(1, "AB"[in->index]) + " (" + in->name + "), " + label;
    return label;
}

/* What to check when no frame matched another. */
static void
print_no_copies(FILE *out, const latency_run *run)
{
    std::vector<std::uint32_t> timed;
    for (std::uint32_t p = 0; p < run->times.size(); p++) {
        if (run->times[p].seen)
            timed.push_back(p);
    }
    fprintf(out, "\nNo copies matched. What to check:\n");
    if (timed.size() < 2) {
        fprintf(out, "- Every frame with a device time was seen at %s. Frames are matched only "
                "between capture points: the device's ports, interfaces, or two captures. "
                "Captures of two places merged with mergecap's default (-I all) can share one "
                "interface: merge with -I none, or give both captures.\n",
                timed.empty() ? "no capture point (no device times: is the format right?)"
                              : ("one capture point, " + run->stats.name(timed[0])).c_str());
        return;
    }
    fprintf(out, "- The device times at each point:\n");
    for (std::uint32_t p : timed)
        fprintf(out, "    %s: %s to %s\n", run->stats.name(p).c_str(),
                valtocrane_ns_text(run->times[p].first).c_str(),
                valtocrane_ns_text(run->times[p].last).c_str());
    fprintf(out, "  Where they do not overlap, the device clocks are not synchronised (or a "
            "tick counter is tied to different clocks).\n");
    fprintf(out, "- The window (%s): a copy must come within it.\n",
            valtocrane_duration(run->window_ns).c_str());
    fprintf(out, "- The match key (%s): \"ip\" for a router, which changes TTL, checksum and "
            "MAC addresses; \"frame\" for a switch, which changes nothing.\n",
            run->kind == VALTOCRANE_MATCH_IP ? "ip" : "frame");
}

static void
print_report(FILE *out, const latency_run *run)
{
    fprintf(out, "%s %s: format %s, match key %s, window %s\n", PROGRAM, VALTOCRANE_VERSION,
            valtocrane_format_info_of(run->format).name,
            run->kind == VALTOCRANE_MATCH_IP ? "ip" : "frame",
            valtocrane_duration(run->window_ns).c_str());
    /* Two captures are points of their own, each a row of the table. */
    if (!run->two_captures)
        fprintf(out, "%s: %" G_GUINT64_FORMAT " frames read, %" G_GUINT64_FORMAT
                " with a device time\n", run->inputs[0].name, run->inputs[0].frames,
                run->inputs[0].with_time);
    fputc('\n', out);
    fputs(run->stats.points_text().c_str(), out);

    if (run->stats.copies() == 0)
        print_no_copies(out, run);
    fputs(run->stats.directions_text().c_str(), out);

    if (run->step_count != 0) {
        fprintf(out, "\nSteps of a device clock: %" G_GUINT64_FORMAT " (matching went on after "
                "each; frames on either side paired only within the window)\n",
                run->step_count);
        for (const clock_step &s : run->steps)
            fprintf(out, "  %s: at frame %" G_GUINT64_FORMAT ", %s\n",
                    clock_label(run, s.clock).c_str(), s.frame,
                    valtocrane_signed_seconds(s.size).c_str());
        if (run->step_count > run->steps.size())
            fprintf(out, "  (%" G_GUINT64_FORMAT " more)\n", run->step_count - run->steps.size());
    }
    if (run->stats.given_up_for_room() != 0)
        fprintf(out, "\n%" PRIu64 " frames were given up unmatched to keep at most %zu waiting "
                "for a copy: is the window wider than it needs to be?\n",
                run->stats.given_up_for_room(), VALTOCRANE_MAX_WAITING);
    if (run->two_captures && run->format == VALTOCRANE_TICK_TRAILER && !run->same_counter)
        fprintf(out, "\nEach capture's tick counter is tied to its own capture host's clock: the "
                "latencies include the difference between the two hosts' clocks. Where both "
                "captures carry one device's counter, --same-counter ties them at one counter.\n");
}

static void
print_usage(FILE *out)
{
    fprintf(out,
        "Usage: %s --format NAME [--window SECONDS] [--match ip|frame]\n"
        "                          [--same-counter] [--csv FILE] CAPTURE [CAPTURE_B]\n"
        "\n"
        "Measures how long frames take through a system from the ValtoCrane device\n"
        "times of the same frame seen at two capture points: in one CAPTURE, its\n"
        "interfaces and, in the capture header format, the device's ports (A, B,\n"
        "other); or two captures taken at two places with synchronised device clocks,\n"
        "CAPTURE point A and CAPTURE_B point B. A frame is a copy of one seen earlier\n"
        "at another point when both have the same match key and device times at most\n"
        "the window apart; each earlier frame is matched once, oldest first. Its\n"
        "latency is its device time less the earlier one's.\n"
        "\n"
        "  -f, --format NAME     the device's timestamp layout, as in the plugin:\n",
        PROGRAM);
    valtocrane_tool_print_formats(out, "        ", NULL, "the frames' own times, no device bytes");
    fprintf(out,
        "      --window SECONDS  how far apart a frame and its copy may be, a decimal\n"
        "                        number of seconds (0.001, 5e-6; default %s)\n"
        "      --match ip        key IPv4 and IPv6 frames on the datagram without the\n"
        "                        TTL or hop limit and the IPv4 checksum (no MAC\n"
        "                        addresses, VLAN tags, padding, FCS), other frames on\n"
        "                        the whole frame (the default; a router)\n"
        "      --match frame     key every frame on the whole frame (a switch)\n"
        "      --same-counter    (tick-counter trailer, two captures) both carry the\n"
        "                        counter of one device: tie both at the same counter,\n"
        "                        not each to its own capture host's clock\n"
        "      --csv FILE        also write each matched pair to FILE: frame numbers,\n"
        "                        device times and the latency in nanoseconds\n"
        "  -h, --help            show this help and exit\n"
        "  -V, --version         show the version and exit\n"
        "\n"
        "A report goes to standard output (to standard error where FILE is standard\n"
        "output): for each capture point the frames read, with a device time and\n"
        "lost (no copy came within the window); for each direction the copies, the\n"
        "frames lost and the latency (min, mean, p50, p90, p99, p99.9, max;\n"
        "percentiles within 0.8%%) with a histogram; the steps of a device clock\n"
        "(PTP setting it, a restart), after which matching goes on. Frame numbers are\n"
        "Wireshark's, 1-based in each capture. With two captures, each is assumed\n"
        "to be in device-time order; their frames are taken in that order.\n"
        "\n"
        "CAPTURE is any capture file the host's library reads; \"-\" reads standard\n"
        "input (CAPTURE only). FILE \"-\" is standard output; any other FILE is\n"
        "written under a temporary name beside it and put in place when complete.\n"
        "Memory is bounded by the window (at most %zu frames wait for a copy),\n"
        "not by the length of the captures.\n"
        "\n"
        "Exit codes:\n"
        "  0  done\n"
        "  1  bad usage (or FILE is a capture)\n"
        "  2  a capture unreadable or damaged; no report, no FILE\n"
        "  3  FILE (or the report) could not be written\n"
        "  4  a capture ends inside a record (cut short): every whole frame counted\n",
        valtocrane_duration(static_cast<std::uint64_t>(VALTOCRANE_LATENCY_WINDOW_DEFAULT_US) * 1000)
            .c_str(),
        VALTOCRANE_MAX_WAITING);
}

static int
usage_error(const char *message, const char *arg)
{
    return valtocrane_tool_usage_error(PROGRAM, message, arg);
}

static const char *
shown_name(const char *path)
{
    return strcmp(path, "-") == 0 ? "standard input" : path;
}

/* ---- The CSV file ------------------------------------------------------------ */

/* FILE: where it goes (valtocrane-tool.h); path NULL for none. */
struct csv_output {
    valtocrane_output file;
};

/* Whether FILE is standard output, under any name (/dev/stdout, the file
 * standard output was sent to), once opened as fd. */
static bool
csv_is_standard_output(const csv_output *out, int fd)
{
    struct stat o, c;

    if (out->file.kind == VALTOCRANE_OUTPUT_STDOUT)
        return true;
    if (fstat(STDOUT_FILENO, &o) != 0)
        return false;
    if (fd >= 0 && fstat(fd, &c) == 0 && c.st_dev == o.st_dev && c.st_ino == o.st_ino)
        return true;
    return out->file.kind == VALTOCRANE_OUTPUT_REPLACE && out->file.exists &&
           out->file.attrs.st_dev == o.st_dev && out->file.attrs.st_ino == o.st_ino;
}

/* Opens FILE (run->csv): standard output for "-", else as planned. */
static bool
open_csv(latency_run *run, csv_output *out, bool *to_stdout)
{
    if (out->file.kind == VALTOCRANE_OUTPUT_STDOUT) {
        run->csv = stdout;
        *to_stdout = true;
        return true;
    }
    const int fd = valtocrane_output_open(&out->file, "latency", &run->csv_errno);
    if (fd < 0)
        return false;
    *to_stdout = csv_is_standard_output(out, fd);
    if ((run->csv = fdopen(fd, "w")) == NULL) {
        run->csv_errno = errno;
        close(fd);
        return false;
    }
    setvbuf(run->csv, NULL, _IOFBF, 1 << 16);
    return true;
}

/* Closes FILE and, where keep, puts it in place; otherwise, or where it
 * could not be written whole, removes what was written and says so. */
static bool
finish_csv(latency_run *run, csv_output *out, bool keep)
{
    bool written = !run->csv_failed;

    if (run->csv != NULL) {
        if (fflush(run->csv) != 0 && written) {
            run->csv_errno = errno;
            written = false;
        }
        if (run->csv != stdout && fclose(run->csv) != 0 && written) {
            run->csv_errno = errno;
            written = false;
        }
        run->csv = NULL;
    }
    if (keep && written && !valtocrane_output_commit(&out->file, &run->csv_errno))
        written = false;
    if (keep && !written)
        fprintf(stderr, "%s: cannot write %s: %s\n", PROGRAM,
                strcmp(out->file.path, "-") == 0 ? "standard output" : out->file.path,
                g_strerror(run->csv_errno));
    if (!keep || !written)
        valtocrane_output_discard(&out->file, PROGRAM);
    valtocrane_output_free(&out->file);
    return written;
}

/* ---- Main ------------------------------------------------------------------ */

static bool
open_capture(latency_run *run, capture_input *in, unsigned index, const char *path)
{
    int err = 0;
    char *err_info = NULL;

    in->index = index;
    in->path = path;
    in->name = shown_name(path);
    in->tick_anchor = run->same_counter ? &run->inputs[0].own_anchor : &in->own_anchor;
    in->wth = wtap_open_offline(path, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (in->wth == NULL) {
        char *what = g_strdup_printf("cannot read %s", in->name);
        valtocrane_tool_library_error(PROGRAM, what, err, err_info);
        g_free(what);
        return false;
    }
    valtocrane_record_init(&in->record);
    note_new_interfaces(in);
    in->size = valtocrane_tool_progress_size(in->wth, path);
    return true;
}

static void
close_capture(capture_input *in)
{
    if (in->wth == NULL)
        return;
    valtocrane_record_cleanup(&in->record);
    wtap_close(in->wth);
    in->wth = NULL;
}

static int
measure(latency_run *run, const char *const paths[], csv_output *csv)
{
    run->stats.reset(false, 0);
    for (int i = 0; i < run->input_count; i++) {
        if (!open_capture(run, &run->inputs[i], static_cast<unsigned>(i), paths[i]))
            return LATENCY_BAD_INPUT;
    }
    if (run->two_captures) {
        for (int i = 0; i < 2; i++)
            run->stats.point(std::string(1, "AB"[i]) + " (" + run->inputs[i].name + ")",
                             std::string(1, "AB"[i]));
    }
    bool csv_to_stdout = false;
    if (csv->file.path != NULL) {
        if (!open_csv(run, csv, &csv_to_stdout)) {
            run->csv_failed = true;
            finish_csv(run, csv, true);
            return LATENCY_BAD_OUTPUT;
        }
        write_csv_header(run);
    }

    run->matcher.reset(run->window_ns);
    run->shown = -1;
    const bool read = run->two_captures ? read_two(run) : read_one(run);
    valtocrane_tool_end_progress(run->shown);
    if (!read) {
        if (csv->file.path != NULL)
            finish_csv(run, csv, false);
        return LATENCY_BAD_INPUT;
    }
    run->matcher.finish();
    note_events(run);

    int exit_code = LATENCY_DONE;
    if (csv->file.path != NULL && !finish_csv(run, csv, true))
        exit_code = LATENCY_BAD_OUTPUT;

    /* The report goes where the CSV does not. */
    FILE *report = csv_to_stdout ? stderr : stdout;
    print_report(report, run);
    if (fflush(report) != 0 || ferror(report)) {
        fprintf(stderr, "%s: cannot write the report: %s\n", PROGRAM, g_strerror(errno));
        exit_code = LATENCY_BAD_OUTPUT;
    }

    for (int i = 0; i < run->input_count; i++) {
        const capture_input &in = run->inputs[i];
        if (run->two_captures && in.out_of_order != 0)
            fprintf(stderr, "%s: warning: %s is not in device-time order (%" G_GUINT64_FORMAT
                    " frames earlier than the frame before them): copies may have been missed\n",
                    PROGRAM, in.name, in.out_of_order);
        if (in.cut_short) {
            fprintf(stderr, "%s: warning: %s ends inside frame %" G_GUINT64_FORMAT
                    " (the capture was cut short); the report counts the %" G_GUINT64_FORMAT
                    " whole frames before it\n", PROGRAM, in.name, in.frames + 1, in.frames);
            if (exit_code == LATENCY_DONE)
                exit_code = LATENCY_CUT_SHORT;
        }
    }
    return exit_code;
}

int
main(int argc, char *argv[])
{
    enum { OPT_WINDOW = 256, OPT_MATCH, OPT_CSV, OPT_SAME_COUNTER };
    static const struct option long_options[] = {
        { "format",       required_argument, NULL, 'f' },
        { "window",       required_argument, NULL, OPT_WINDOW },
        { "match",        required_argument, NULL, OPT_MATCH },
        { "csv",          required_argument, NULL, OPT_CSV },
        { "same-counter", no_argument,       NULL, OPT_SAME_COUNTER },
        { "help",         no_argument,       NULL, 'h' },
        { "version",      no_argument,       NULL, 'V' },
        { NULL, 0, NULL, 0 }
    };
    static latency_run run;
    const char *format_name = NULL;
    csv_output csv = {};
    int opt;

    run.kind = VALTOCRANE_MATCH_IP;
    run.window_ns = static_cast<std::uint64_t>(VALTOCRANE_LATENCY_WINDOW_DEFAULT_US) * 1000;
    opterr = 0;
    while ((opt = getopt_long(argc, argv, ":f:hV", long_options, NULL)) != -1) {
        switch (opt) {
        case 'f':
            format_name = optarg;
            break;
        case OPT_WINDOW: {
            const char *wrong = valtocrane_tool_parse_seconds(optarg, &run.window_ns);
            if (wrong != NULL) {
                fprintf(stderr, "%s: --window '%s' %s\nTry '%s --help' for more information.\n",
                        PROGRAM, optarg, wrong, PROGRAM);
                return LATENCY_USAGE;
            }
            break;
        }
        case OPT_MATCH:
            if (strcmp(optarg, "ip") == 0)
                run.kind = VALTOCRANE_MATCH_IP;
            else if (strcmp(optarg, "frame") == 0)
                run.kind = VALTOCRANE_MATCH_FRAME;
            else
                return usage_error("--match takes ip or frame, not '%s'", optarg);
            break;
        case OPT_CSV:
            csv.file.path = optarg;
            break;
        case OPT_SAME_COUNTER:
            run.same_counter = true;
            break;
        case 'h':
            print_usage(stdout);
            return LATENCY_DONE;
        case 'V':
            valtocrane_tool_print_version(PROGRAM);
            return LATENCY_DONE;
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
        return LATENCY_USAGE;
    run.format = format->format;
    if (argc - optind != 1 && argc - optind != 2)
        return usage_error("%s", "one CAPTURE or two (CAPTURE CAPTURE_B) are required, and "
                                 "nothing else");
    run.input_count = argc - optind;
    run.two_captures = run.input_count == 2;
    if (run.same_counter && (!run.two_captures || run.format != VALTOCRANE_TICK_TRAILER))
        return usage_error("%s", "--same-counter ties the tick counters of two captures: it "
                                 "needs --format valtocrane-q3-graphite and CAPTURE_B");
    const char *const paths[2] = { argv[optind], run.two_captures ? argv[optind + 1] : NULL };
    if (run.two_captures && strcmp(paths[1], "-") == 0)
        return usage_error("%s", "standard input ('-') can be only the first capture");
    if (csv.file.path != NULL) {
        for (int i = 0; i < run.input_count; i++) {
            if (valtocrane_tool_same_file(paths[i], csv.file.path)) {
                fprintf(stderr, "%s: %s is %s: refusing to write over a capture\n", PROGRAM,
                        strcmp(csv.file.path, "-") == 0 ? "standard output" : csv.file.path,
                        shown_name(paths[i]));
                return LATENCY_USAGE;
            }
        }
        const int plan_err = valtocrane_output_plan(&csv.file);
        if (plan_err != 0) {
            valtocrane_output_plan_failed(&csv.file, PROGRAM, plan_err);
            return LATENCY_BAD_OUTPUT;
        }
    }

    valtocrane_host_startup(PROGRAM, argv[0]);
    wtap_init(TRUE);

    valtocrane_tool_clean_up_on_signals();

    const int exit_code = measure(&run, paths, &csv);
    for (int i = 0; i < run.input_count; i++)
        close_capture(&run.inputs[i]);
    run.matcher.release();
    wtap_cleanup();
    return exit_code;
}
