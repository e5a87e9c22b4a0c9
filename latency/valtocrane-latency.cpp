/* valtocrane-latency.cpp
 * How long frames take through a system (a switch, a router, a trading
 * engine, a link), from the ValtoCrane device times of the same frame seen
 * at two capture points: the device's two ports in one capture, two
 * interfaces, or two captures taken at two places with synchronised device
 * clocks.
 *
 *   valtocrane-latency --format NAME [--window SECONDS] [--match ip|frame]
 *                      [--csv FILE] CAPTURE [CAPTURE_B]
 *
 * A frame is a copy of one seen earlier at another capture point when both
 * have the same match key and device times at most the window apart; its
 * latency is its device time less the earlier one's. The device times, the
 * frame's own bytes and the match are the plugin's, from the same host-free
 * code (core/), so the tool and the plugin pair the same frames.
 *
 * Memory is bounded by the window, not by the length of the captures: the
 * matcher holds only frames still waiting for a copy, and latencies are
 * counted in a fixed log-linear histogram (min, max and mean exact, the
 * percentiles within 1/128 of the value).
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include <glib.h>
#include <wiretap/wtap.h>

#include "valtocrane-format.h"
#include "valtocrane-host.h"
#include "valtocrane-tool.h"
#include "valtocrane-match.h"

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

/* The widest window allowed: a day of device time (the matcher keeps every
 * frame of a window in memory). */
constexpr std::uint64_t WINDOW_MAX_NS = 86400ULL * VALTOCRANE_NS_PER_SEC;

/* ---- Latencies, counted in a histogram of fixed size ---------------------- */

/* Log-linear buckets over nanoseconds: 0 to 63 ns one bucket each, then 64
 * buckets for each power of two (64 to 127 ns one each, 128 to 255 two
 * each, ...), up to 2^63 ns; negative latencies (a later copy with an
 * earlier device time) in mirrored buckets. A bucket of [2^e, 2^(e+1)) is
 * 2^(e-6) ns wide, so its middle is within 1/128 of any value in it. */
constexpr int SUB_BITS = 6;
constexpr std::uint64_t SUB_BUCKETS = 1ULL << SUB_BITS;
constexpr std::size_t BUCKETS = (64 - SUB_BITS + 1) * SUB_BUCKETS;

static std::size_t
bucket_of(std::uint64_t ns)
{
    if (ns < SUB_BUCKETS)
        return static_cast<std::size_t>(ns);
    const int e = 63 - __builtin_clzll(ns);
    return static_cast<std::size_t>(static_cast<std::uint64_t>(e - SUB_BITS + 1) * SUB_BUCKETS +
                                    ((ns >> (e - SUB_BITS)) - SUB_BUCKETS));
}

/* The least and the greatest value a bucket holds. */
static void
bucket_range(std::size_t bucket, std::uint64_t *lo, std::uint64_t *hi)
{
    if (bucket < SUB_BUCKETS) {
        *lo = *hi = bucket;
        return;
    }
    const int shift = static_cast<int>(bucket / SUB_BUCKETS) - 1;
    *lo = (SUB_BUCKETS + bucket % SUB_BUCKETS) << shift;
    *hi = *lo + ((1ULL << shift) - 1);
}

/* The relative error of the percentiles, as the report states it. */
static const char PERCENTILE_ERROR[] = "within 0.8%";

struct latency_stats {
    std::uint64_t count;
    std::int64_t min;
    std::int64_t max;
    long double sum;  /* exact up to 2^64 ns (long double of x86) */
    std::vector<std::uint64_t> positive;  /* 0 ns and more */
    std::vector<std::uint64_t> negative;  /* by magnitude */

    void add(std::int64_t ns)
    {
        if (count == 0) {
            positive.assign(BUCKETS, 0);
            negative.assign(BUCKETS, 0);
            min = max = ns;
        } else if (ns < min) {
            min = ns;
        } else if (ns > max) {
            max = ns;
        }
        count++;
        sum += static_cast<long double>(ns);
        if (ns >= 0)
            positive[bucket_of(static_cast<std::uint64_t>(ns))]++;
        else
            negative[bucket_of(0 - static_cast<std::uint64_t>(ns))]++;
    }

    /* The value of the given rank (1 to count) in ascending order: the
     * middle of its bucket, kept within min and max. */
    std::int64_t ranked(std::uint64_t rank) const
    {
        std::uint64_t seen = 0;
        std::uint64_t lo, hi;
        std::int64_t value = max;
        for (std::size_t b = BUCKETS; b-- > 0 && seen < rank;) {
            seen += negative[b];
            if (seen >= rank) {
                bucket_range(b, &lo, &hi);
                value = -static_cast<std::int64_t>(lo + (hi - lo) / 2);
            }
        }
        for (std::size_t b = 0; b < BUCKETS && seen < rank; b++) {
            seen += positive[b];
            if (seen >= rank) {
                bucket_range(b, &lo, &hi);
                value = static_cast<std::int64_t>(lo + (hi - lo) / 2);
            }
        }
        return value < min ? min : value > max ? max : value;
    }

    /* The p-th percentile, p in thousandths of a percent (99.9% is 99900):
     * the value of rank ceil(count * p / 100%), the nearest-rank definition. */
    std::int64_t percentile(std::uint64_t p_milli) const
    {
        const std::uint64_t whole = 100000;
        const std::uint64_t rank =
            count / whole * p_milli + (count % whole * p_milli + whole - 1) / whole;
        return ranked(rank == 0 ? 1 : rank);
    }
};

/* ---- Durations in words ---------------------------------------------------- */

struct time_unit {
    const char *name;
    std::int64_t ns;
    int decimals;
};

static const time_unit UNITS[] = {
    { "ns", 1, 0 }, { "us", 1000, 3 }, { "ms", 1000000, 6 }, { "s", 1000000000, 9 },
};

/* The unit in which the greatest magnitude is at least 1. */
static const time_unit &
unit_for(std::uint64_t magnitude)
{
    std::size_t u = 0;
    while (u + 1 < sizeof UNITS / sizeof UNITS[0] &&
           magnitude >= static_cast<std::uint64_t>(UNITS[u + 1].ns))
        u++;
    return UNITS[u];
}

static std::uint64_t
magnitude(std::int64_t ns)
{
    return ns < 0 ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
}

/* ns in the unit, to the nanosecond (the unit's name not included). */
static std::string
in_unit(std::int64_t ns, const time_unit &unit)
{
    const std::uint64_t m = magnitude(ns);
    const std::uint64_t per = static_cast<std::uint64_t>(unit.ns);
    char text[48];

    if (unit.decimals == 0)
        snprintf(text, sizeof text, "%s%" PRIu64, ns < 0 ? "-" : "", m);
    else
        snprintf(text, sizeof text, "%s%" PRIu64 ".%0*" PRIu64, ns < 0 ? "-" : "", m / per,
                 unit.decimals, m % per);
    return text;
}

/* A duration as briefly as it is exact: 1 ms, 5 us, 1.5 us. */
static std::string
duration(std::uint64_t ns)
{
    const time_unit &unit = unit_for(ns);
    std::string text = in_unit(static_cast<std::int64_t>(ns), unit);

    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.')
            text.pop_back();
    }
    return text + " " + unit.name;
}

/* ---- The window ------------------------------------------------------------ */

/* SECONDS, a decimal number (0.001, 5e-6, 2.5E-3), in nanoseconds, exactly:
 * digits with at most one point, then an optional exponent. NULL when it
 * is one, else what is wrong with it. */
static const char *
parse_window(const char *text, std::uint64_t *window_ns)
{
    std::string digits;
    long exponent = 0;  /* the value is digits times 10^exponent */
    bool point = false;
    const char *p = text;

    if (*p == '-')
        return "must be more than 0 s";
    for (; *p != '\0'; p++) {
        if (*p >= '0' && *p <= '9') {
            digits += *p;
            exponent -= point ? 1 : 0;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits.empty())
        return "is not a number of seconds (such as 0.001 or 5e-6)";
    if (*p == 'e' || *p == 'E') {
        p++;
        const bool negative = *p == '-';
        if (*p == '-' || *p == '+')
            p++;
        if (*p < '0' || *p > '9')
            return "is not a number of seconds (such as 0.001 or 5e-6)";
        long e = 0;
        for (; *p >= '0' && *p <= '9'; p++)
            e = e < 100000 ? e * 10 + (*p - '0') : e;
        exponent += negative ? -e : e;
    }
    if (*p != '\0')
        return "is not a number of seconds (such as 0.001 or 5e-6)";

    exponent += 9;  /* in nanoseconds */
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty())
        return "must be more than 0 s (a window of 0 matches nothing)";
    while (exponent < 0 && digits.back() == '0') {
        digits.pop_back();
        exponent++;
    }
    if (exponent < 0)
        return "is not a whole number of nanoseconds";
    if (static_cast<long>(digits.size()) + exponent > 15)
        return "is more than a day";
    std::uint64_t ns = std::strtoull(digits.c_str(), NULL, 10);
    for (long i = 0; i < exponent; i++)
        ns *= 10;
    if (ns > WINDOW_MAX_NS)
        return "is more than a day";
    *window_ns = ns;
    return NULL;
}

/* ---- Capture points -------------------------------------------------------- */

/* Where in one capture a frame was seen: its interface and, in the capture
 * header format, the port the header names (A, B, any other value
 * "Unknown"). Frames of the capture header format without a readable
 * header have no port: they are counted apart, and never matched. */
enum point_port { PORT_A, PORT_B, PORT_UNKNOWN, NO_DEVICE_TIME, WHOLE_INTERFACE, POINT_PORTS };
static_assert(PORT_UNKNOWN == VALTOCRANE_PORT_UNKNOWN, "ports by valtocrane_port_index");

constexpr std::uint32_t NO_POINT = G_MAXUINT32;

struct capture_point {
    std::string label;
    guint64 frames;     /* packets seen there */
    guint64 with_time;  /* of those, with a device time */
};

/* Copies from one point to another. */
struct direction {
    std::uint32_t from;
    std::uint32_t to;
    latency_stats stats;
};

/* What the tool keeps of an interface of a capture. */
struct interface_info {
    std::string name;
    bool retimed;  /* valtocrane-retime re-timed its frames and removed the device bytes */
};

/* One capture being read. */
struct capture_input {
    const char *path;
    const char *name;    /* as shown: the path, or "standard input" */
    wtap *wth;
    valtocrane_record record;
    bool record_ready;
    gint64 size;         /* for the progress shown on a terminal, else 0 */

    valtocrane_tick_anchor tick_anchor;
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
    std::uint64_t key;
    std::uint32_t point;
};

struct latency_run {
    valtocrane_format format;
    valtocrane_match_kind kind;
    std::uint64_t window_ns;
    bool two_captures;

    capture_input inputs[2];
    int input_count;

    std::vector<capture_point> points;
    std::vector<direction> directions;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> direction_of;
    valtocrane_matcher matcher;

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

/* The capture point of a frame of one capture, added when first seen. */
static std::uint32_t
point_of(latency_run *run, capture_input *in, guint32 interface, point_port port)
{
    const std::size_t slot =
        static_cast<std::size_t>(interface) * POINT_PORTS + static_cast<std::size_t>(port);

    if (slot >= in->point_of.size())
        in->point_of.resize(slot + POINT_PORTS, NO_POINT);
    if (in->point_of[slot] == NO_POINT) {
        std::string label = "interface " + std::to_string(interface);
        if (interface < in->interfaces.size() && !in->interfaces[interface].name.empty())
            label += " (" + in->interfaces[interface].name + ")";
        if (port_label(port) != NULL)
            label += std::string(", ") + port_label(port);
        in->point_of[slot] = static_cast<std::uint32_t>(run->points.size());
        run->points.push_back({ label, 0, 0 });
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

    if (ph->pkt_encap == WTAP_ENCAP_ETHERNET) {
        valtocrane_location at = { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 };

        if (plain) {
            f->has_time = (rec->presence_flags & WTAP_HAS_TS) != 0;
            f->t = valtocrane_record_time(rec);
        } else {
            at = valtocrane_record_device_time(run->format, rec, data, &in->tick_anchor, &f->t);
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

    if (run->two_captures) {
        f->point = static_cast<std::uint32_t>(in - run->inputs);
    } else {
        f->point = point_of(run, in, interface, port);
        run->points[f->point].frames++;
        if (f->has_time)
            run->points[f->point].with_time++;
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

/* A latency in nanoseconds: at most the window, so it cannot overflow. */
static std::int64_t
ns_of(valtocrane_time t)
{
    return t.secs * static_cast<std::int64_t>(VALTOCRANE_NS_PER_SEC) + t.nsecs;
}

/* A device time in nanoseconds since 1970, written out digit for digit: a
 * record time (--format disabled) can lie further from 1970 than 64 bits
 * of nanoseconds reach. */
struct ns_text {
    char text[48];
};

static ns_text
ns_since_1970(valtocrane_time t)
{
    ns_text out;
    std::uint64_t secs = static_cast<std::uint64_t>(t.secs);
    std::uint32_t nsecs = static_cast<std::uint32_t>(t.nsecs);
    const char *sign = "";

    if (t.secs < 0) {
        /* -(|secs| s - nsecs ns), the nanoseconds borrowed from a second */
        sign = "-";
        secs = 0 - secs;
        if (nsecs != 0) {
            secs--;
            nsecs = VALTOCRANE_NS_PER_SEC - nsecs;
        }
    }
    if (secs != 0)
        snprintf(out.text, sizeof out.text, "%s%" PRIu64 "%09" PRIu32, sign, secs, nsecs);
    else
        snprintf(out.text, sizeof out.text, "%s%" PRIu32, nsecs != 0 ? sign : "", nsecs);
    return out;
}

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
              std::int64_t latency)
{
    int written;

    const ns_text earlier = ns_since_1970(copy.earlier_time), later = ns_since_1970(f.t);

    if (run->two_captures)
        written = fprintf(run->csv, "%c,%" PRIu64 ",%c,%" G_GUINT64_FORMAT ",%s,%s,%" PRId64 "\n",
                          "AB"[copy.earlier_point], copy.earlier, "AB"[f.point], f.number,
                          earlier.text, later.text, latency);
    else
        written = fprintf(run->csv, "%" PRIu64 ",%" G_GUINT64_FORMAT ",%s,%s,%" PRId64 "\n",
                          copy.earlier, f.number, earlier.text, later.text, latency);
    if (written < 0) {
        run->csv_failed = true;
        run->csv_errno = errno;
    }
}

/* Feeds a frame with a device time to the matcher; a copy's latency is
 * counted for its direction. */
static void
match(latency_run *run, const seen_frame &f)
{
    const valtocrane_copy copy = run->matcher.add(f.key, f.point, f.t, f.number);

    if (!copy.found)
        return;
    const std::int64_t latency = ns_of(valtocrane_time_sub(f.t, copy.earlier_time));
    const auto key = std::make_pair(copy.earlier_point, f.point);
    auto found = run->direction_of.find(key);
    if (found == run->direction_of.end()) {
        found = run->direction_of.emplace(key, run->directions.size()).first;
        run->directions.push_back({ copy.earlier_point, f.point, {} });
    }
    run->directions[found->second].stats.add(latency);
    if (run->csv != NULL && !run->csv_failed)
        write_csv_row(run, copy, f, latency);
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
            match(run, f);
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
        match(run, next[i]);
        const read_outcome r = next_timed(run, &run->inputs[i], &next[i]);
        if (r == READ_DAMAGED)
            return false;
        have[i] = r == READ_FRAME;
    }
    return true;
}

/* ---- The report ------------------------------------------------------------ */

static void
print_points(FILE *out, const latency_run *run)
{
    const std::vector<std::uint64_t> &unmatched = run->matcher.unmatched();
    std::vector<std::string> labels;
    std::size_t width = strlen("Capture point");

    for (std::size_t p = 0; p < run->points.size(); p++) {
        if (run->two_captures)
            labels.push_back(std::string(p == 0 ? "A" : "B") + " (" + run->inputs[p].name + ")");
        else
            labels.push_back(run->points[p].label);
        width = MAX(width, labels.back().size());
    }
    fprintf(out, "%-*s  %12s  %12s  %12s\n", static_cast<int>(width), "Capture point",
            "frames read", "device time", "unmatched");
    for (std::size_t p = 0; p < run->points.size(); p++) {
        fprintf(out, "%-*s  %12" G_GUINT64_FORMAT "  %12" G_GUINT64_FORMAT "  %12" PRIu64 "\n",
                static_cast<int>(width), labels[p].c_str(), run->points[p].frames,
                run->points[p].with_time, p < unmatched.size() ? unmatched[p] : 0);
    }
}

/* The histogram's rows: groups of 2^k neighbouring buckets, the fewest
 * that take at most HISTOGRAM_ROWS rows from the least latency to the
 * greatest. */
constexpr std::size_t HISTOGRAM_ROWS = 24;
constexpr int HISTOGRAM_BAR = 40;

struct histogram_row {
    std::int64_t from;
    std::int64_t to;
    std::uint64_t count;
};

static std::vector<histogram_row>
histogram_rows(const latency_stats &s)
{
    const bool negatives = s.min < 0, positives = s.max >= 0;
    /* The buckets of the greatest and least magnitudes on either side of 0. */
    const std::size_t neg_hi = negatives ? bucket_of(magnitude(s.min)) : 0;
    const std::size_t neg_lo = negatives && !positives ? bucket_of(magnitude(s.max)) : 0;
    const std::size_t pos_hi = positives ? bucket_of(magnitude(s.max)) : 0;
    const std::size_t pos_lo = positives && !negatives ? bucket_of(magnitude(s.min)) : 0;
    std::size_t group = 1;

    for (;; group *= 2) {
        std::size_t rows = 0;
        if (negatives)
            rows += neg_hi / group - neg_lo / group + 1;
        if (positives)
            rows += pos_hi / group - pos_lo / group + 1;
        if (rows <= HISTOGRAM_ROWS || group >= BUCKETS)
            break;
    }

    std::vector<histogram_row> rows;
    std::uint64_t lo, hi;
    if (negatives) {
        for (std::size_t g = neg_hi / group + 1; g-- > neg_lo / group;) {
            histogram_row row = { 0, 0, 0 };
            const std::size_t last = MIN(g * group + group, BUCKETS) - 1;
            for (std::size_t b = g * group; b <= last; b++)
                row.count += s.negative[b];
            bucket_range(last, &lo, &hi);
            row.from = -static_cast<std::int64_t>(hi);
            bucket_range(g * group, &lo, &hi);
            row.to = -static_cast<std::int64_t>(lo);
            rows.push_back(row);
        }
    }
    if (positives) {
        for (std::size_t g = pos_lo / group; g <= pos_hi / group; g++) {
            histogram_row row = { 0, 0, 0 };
            const std::size_t last = MIN(g * group + group, BUCKETS) - 1;
            for (std::size_t b = g * group; b <= last; b++)
                row.count += s.positive[b];
            bucket_range(g * group, &lo, &hi);
            row.from = static_cast<std::int64_t>(lo);
            bucket_range(last, &lo, &hi);
            row.to = static_cast<std::int64_t>(hi);
            rows.push_back(row);
        }
    }
    return rows;
}

static void
print_direction(FILE *out, const latency_run *run, const direction &d)
{
    const latency_stats &s = d.stats;
    const time_unit &unit = unit_for(MAX(magnitude(s.min), magnitude(s.max)));
    const std::string from = run->two_captures ? std::string(1, "AB"[d.from])
                                               : run->points[d.from].label;
    const std::string to = run->two_captures ? std::string(1, "AB"[d.to]) : run->points[d.to].label;
    const long double mean = s.sum / static_cast<long double>(s.count);
    const struct {
        const char *name;
        std::int64_t value;
    } figures[] = {
        { "min", s.min },
        { "mean", static_cast<std::int64_t>(std::llround(mean)) },
        { "p50", s.percentile(50000) },
        { "p90", s.percentile(90000) },
        { "p99", s.percentile(99000) },
        { "p99.9", s.percentile(99900) },
        { "max", s.max },
    };

    fprintf(out, "\n%s -> %s: %" PRIu64 " %s\n", from.c_str(), to.c_str(), s.count,
            s.count == 1 ? "copy" : "copies");
    for (const auto &figure : figures)
        fprintf(out, "  %-6s %14s %s\n", figure.name, in_unit(figure.value, unit).c_str(),
                unit.name);
    fprintf(out, "  (percentiles %s; min, mean and max exact)\n", PERCENTILE_ERROR);

    const std::vector<histogram_row> rows = histogram_rows(s);
    std::uint64_t most = 1;
    for (const histogram_row &row : rows)
        most = MAX(most, row.count);
    const std::string from_head = std::string("from (") + unit.name + ")";
    const std::string to_head = std::string("to (") + unit.name + ")";
    fprintf(out, "  %14s  %14s  %10s  %6s\n", from_head.c_str(), to_head.c_str(), "copies",
            "share");
    for (const histogram_row &row : rows) {
        int bar = static_cast<int>(row.count * HISTOGRAM_BAR / most);
        if (bar == 0 && row.count != 0)
            bar = 1;
        fprintf(out, "  %14s  %14s  %10" PRIu64 "  %5.1f%%%s%.*s\n",
                in_unit(row.from, unit).c_str(), in_unit(row.to, unit).c_str(), row.count,
                100.0 * static_cast<double>(row.count) / static_cast<double>(s.count),
                bar != 0 ? "  " : "", bar, "########################################");
    }
}

static void
print_report(FILE *out, const latency_run *run)
{
    fprintf(out, "%s %s: format %s, match key %s, window %s\n", PROGRAM, VALTOCRANE_VERSION,
            valtocrane_format_info_of(run->format).name,
            run->kind == VALTOCRANE_MATCH_IP ? "ip" : "frame", duration(run->window_ns).c_str());
    /* Two captures are points of their own, each a row of the table. */
    if (!run->two_captures)
        fprintf(out, "%s: %" G_GUINT64_FORMAT " frames read, %" G_GUINT64_FORMAT
                " with a device time\n", run->inputs[0].name, run->inputs[0].frames,
                run->inputs[0].with_time);
    fputc('\n', out);
    print_points(out, run);

    if (run->directions.empty()) {
        fprintf(out, "\nNo copies matched: are the frames seen at two capture points, the "
                "device clocks synchronised, the window wide enough and the match key right?\n");
        return;
    }
    std::vector<const direction *> order;
    for (const direction &d : run->directions)
        order.push_back(&d);
    std::sort(order.begin(), order.end(), [](const direction *a, const direction *b) {
        return a->from != b->from ? a->from < b->from : a->to < b->to;
    });
    for (const direction *d : order)
        print_direction(out, run, *d);
}

/* ---- Command line ---------------------------------------------------------- */

static void
print_usage(FILE *out)
{
    fprintf(out,
        "Usage: %s --format NAME [--window SECONDS] [--match ip|frame]\n"
        "                          [--csv FILE] CAPTURE [CAPTURE_B]\n"
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
        "      --csv FILE        also write each matched pair to FILE: frame numbers,\n"
        "                        device times and the latency in nanoseconds\n"
        "  -h, --help            show this help and exit\n"
        "  -V, --version         show the version and exit\n"
        "\n"
        "A report goes to standard output (to standard error with --csv -): for each\n"
        "capture point the frames read, with a device time and left unmatched; for\n"
        "each direction the copies and their latency (min, mean, p50, p90, p99,\n"
        "p99.9, max; percentiles within 0.8%%) with a histogram. Frame numbers are\n"
        "Wireshark's, 1-based in each capture. With two captures, each is assumed\n"
        "to be in device-time order; their frames are taken in that order.\n"
        "\n"
        "CAPTURE is any capture file the host's library reads; \"-\" reads standard\n"
        "input (CAPTURE only). FILE \"-\" is standard output; any other FILE is\n"
        "written under a temporary name beside it and put in place when complete.\n"
        "Memory is bounded by the window, not by the length of the captures.\n"
        "\n"
        "Exit codes:\n"
        "  0  done\n"
        "  1  bad usage (or FILE is a capture)\n"
        "  2  a capture unreadable or damaged; no report, no FILE\n"
        "  3  FILE (or the report) could not be written\n"
        "  4  a capture ends inside a record (cut short): every whole frame counted\n",
        duration(static_cast<std::uint64_t>(VALTOCRANE_LATENCY_WINDOW_DEFAULT_US) * 1000).c_str());
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

/* Opens FILE (run->csv): standard output for "-", else as planned. */
static bool
open_csv(latency_run *run, csv_output *out)
{
    if (out->file.kind == VALTOCRANE_OUTPUT_STDOUT) {
        run->csv = stdout;
        return true;
    }
    const int fd = valtocrane_output_open(&out->file, "latency", &run->csv_errno);
    if (fd < 0)
        return false;
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
open_capture(capture_input *in, const char *path)
{
    int err = 0;
    char *err_info = NULL;

    in->path = path;
    in->name = shown_name(path);
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
    for (int i = 0; i < run->input_count; i++) {
        if (!open_capture(&run->inputs[i], paths[i]))
            return LATENCY_BAD_INPUT;
    }
    if (run->two_captures) {
        run->points.push_back({ "A", 0, 0 });
        run->points.push_back({ "B", 0, 0 });
    }
    if (csv->file.path != NULL) {
        if (!open_csv(run, csv)) {
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
    if (run->two_captures) {
        for (int i = 0; i < 2; i++) {
            run->points[static_cast<std::size_t>(i)].frames = run->inputs[i].frames;
            run->points[static_cast<std::size_t>(i)].with_time = run->inputs[i].with_time;
        }
    }

    int exit_code = LATENCY_DONE;
    if (csv->file.path != NULL && !finish_csv(run, csv, true))
        exit_code = LATENCY_BAD_OUTPUT;

    FILE *report = csv->file.path != NULL && csv->file.kind == VALTOCRANE_OUTPUT_STDOUT ? stderr
                                                                                       : stdout;
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
    enum { OPT_WINDOW = 256, OPT_MATCH, OPT_CSV };
    static const struct option long_options[] = {
        { "format",  required_argument, NULL, 'f' },
        { "window",  required_argument, NULL, OPT_WINDOW },
        { "match",   required_argument, NULL, OPT_MATCH },
        { "csv",     required_argument, NULL, OPT_CSV },
        { "help",    no_argument,       NULL, 'h' },
        { "version", no_argument,       NULL, 'V' },
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
            const char *wrong = parse_window(optarg, &run.window_ns);
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
