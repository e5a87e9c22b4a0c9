/* valtocrane-stats.h
 * The latency figures of frames seen at two capture points: what
 * valtocrane-latency reports and what the plugin shows under Statistics and
 * with "tshark -z valtocrane,latency", from one code, so that they agree.
 *
 * Copies are counted by direction (the earlier copy's capture point to the
 * later one's), frames that waited in vain by the point they were seen at;
 * by flow and by interval of device time where asked for. Latencies go into
 * log-linear histograms of fixed precision: min, mean and max exact, the
 * percentiles the middle of their bucket, within 1/128 of the value.
 * Memory grows with the points, directions, flows and intervals, not with
 * the frames.
 *
 * Free of the host.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_STATS_H
#define VALTOCRANE_STATS_H

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "valtocrane-match.h"
#include "valtocrane-time.h"

/* How close the percentiles are, in words. */
extern const char VALTOCRANE_PERCENTILE_PRECISION[];

/* Latencies in nanoseconds, either sign. */
class valtocrane_histogram {
public:
    void add(std::int64_t ns);
    std::uint64_t count() const { return count_; }
    std::int64_t min() const { return min_; }
    std::int64_t max() const { return max_; }
    /* Rounded to the nearest nanosecond, halves away from zero. */
    std::int64_t mean() const;
    /* Nearest rank: the value of rank ceil(count * p), p in thousandths of
     * a percent (99.9% is 99900). */
    std::int64_t percentile(std::uint32_t p_milli) const;
    /* Several at once, p_milli ascending: one pass over the buckets. */
    void percentiles(const std::uint32_t *p_milli, std::size_t n, std::int64_t *out) const;

    /* The histogram in at most max_rows rows: groups of 2^k neighbouring
     * buckets from the least latency to the greatest. */
    struct row {
        std::int64_t from;
        std::int64_t to;
        std::uint64_t count;
    };
    std::vector<row> rows(std::size_t max_rows) const;

private:
    static constexpr int BLOCK = 64;
    struct block {
        std::int32_t index;
        std::uint64_t counts[BLOCK];
    };
    std::uint64_t &slot(std::uint32_t bucket);
    std::uint64_t at(std::uint32_t bucket) const;

    std::vector<block> blocks_;  /* by index: ascending latency */
    std::size_t last_ = 0;
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
    valtocrane_wide sum_ = 0;
};

/* A latency as a report shows it: in the unit of the greatest magnitude
 * of a set (ns, us, ms, s), to the nanosecond. */
struct valtocrane_unit {
    const char *name;
    std::int64_t ns;
    int decimals;
};

const valtocrane_unit &valtocrane_unit_for(std::uint64_t magnitude);
std::string valtocrane_in_unit(std::int64_t ns, const valtocrane_unit &unit);
/* A duration as briefly as it is exact: 1 ms, 5 us, 1.5 us. */
std::string valtocrane_duration(std::uint64_t ns);
/* The same in seconds, without the unit, as options take it: 0.027. */
std::string valtocrane_seconds(std::uint64_t ns);
/* A field of a CSV row: quoted where it holds a comma, a quote or a line
 * break. */
std::string valtocrane_csv_field(const std::string &text);

/* A capture point's name, as the reports, the plugin's statistics and the
 * exports give it: "interface 0 (eth0), Port A". interface_name may be
 * NULL or empty; port is a VALTOCRANE_POINT_PORT_NAMES index, or -1 for a
 * whole interface. */
constexpr const char *VALTOCRANE_POINT_PORT_NAMES[] = { "Port A", "Port B", "Unknown port",
                                                        "no device time" };
std::string valtocrane_point_label(std::uint32_t interface, const char *interface_name, int port);
/* Where the port part (", Port A") of such a name begins, or npos: the
 * interface's own name may hold ", " too. */
std::size_t valtocrane_point_port_offset(const std::string &name);

/* The longest span of device time an option takes (a window, an
 * interval, a sort window): a day. */
constexpr std::uint64_t VALTOCRANE_SECONDS_MAX_NS = 86400ULL * 1000000000ULL;
/* SECONDS, a decimal number (0.001, 5e-6, 2.5E-3), in nanoseconds, exactly:
 * digits with at most one point, then an optional exponent; more than 0
 * and at most VALTOCRANE_SECONDS_MAX_NS. NULL when it is one, else what is
 * wrong with it. */
const char *valtocrane_parse_seconds(const char *text, std::uint64_t *ns);
/* A difference of times with its sign, in seconds to the nanosecond:
 * "+1.500000000 s", "-0.000000500 s". */
std::string valtocrane_signed_seconds(valtocrane_time d);
/* Nanoseconds since 1970 of a device time, digit for digit (a time can lie
 * further from 1970 than 64 bits of nanoseconds reach). */
std::string valtocrane_ns_text(valtocrane_time t);

/* The other point a frame that waited in vain at a point was waiting for:
 * the only other point there is, or any. */
constexpr std::uint32_t VALTOCRANE_ANY_POINT = 0xFFFFFFFFu;

/* A row of the time series: one interval of device time and direction. */
struct valtocrane_interval_row {
    valtocrane_time start;
    std::uint32_t from;
    std::uint32_t to;
    std::uint64_t copies;
    std::uint64_t lost;
    std::int64_t min, p50, p99, max;  /* where there are copies */
};

class valtocrane_latency_stats {
public:
    /* by_flow: figures for each flow too; interval_ns: and for each
     * interval of device time of that length (0: none). */
    void reset(bool by_flow, std::uint64_t interval_ns);

    /* The point with this label (name: how directions show it), added at
     * the end where it is new. */
    std::uint32_t point(const std::string &label, const std::string &name);
    std::uint32_t point(const std::string &label) { return point(label, label); }
    std::size_t points() const { return points_.size(); }
    const std::string &name(std::uint32_t point) const;
    /* The name of the point a frame lost at point was on its way to: the
     * only other point with device times so far, or any. */
    const std::string &partner_name(std::uint32_t point) const { return name(partner(point)); }

    /* A frame seen at a point, with or without a device time. */
    void seen(std::uint32_t point, bool with_time);
    /* A frame seen at to, copy of one seen at from: its latency; an
     * interval counts it by the earlier copy's time. flow may be NULL. */
    void copy(std::uint32_t from, std::uint32_t to, valtocrane_time earlier, valtocrane_time later,
              const valtocrane_flow *flow);
    /* A frame seen at a point at t that waited in vain (no_room: given up
     * to keep the frames waiting within bounds). */
    void lost(std::uint32_t point, valtocrane_time t, const valtocrane_flow *flow, bool no_room);
    /* Takes back a frame counted as lost that found its copy after all
     * (where frames are counted as lost so far, before the window passed). */
    void found(std::uint32_t point, valtocrane_time t, const valtocrane_flow *flow);

    std::uint64_t copies() const { return copies_; }
    std::uint64_t lost_frames() const { return lost_; }
    std::uint64_t given_up_for_room() const { return no_room_; }

    /* The intervals of the time series that end at or before the time
     * given (all of them with finish), in order, forgotten once returned. */
    std::vector<valtocrane_interval_row> close_intervals(valtocrane_time before);
    std::vector<valtocrane_interval_row> close_all_intervals();
    /* Whether close_intervals(before) would close any. */
    bool closes(valtocrane_time before) const
    {
        return !intervals_.empty() && valtocrane_time_cmp(before, first_end_) >= 0;
    }
    /* The interval length and the CSV of rows: start in nanoseconds since
     * 1970 and in UTC, the direction, copies, lost, latencies in ns. */
    std::uint64_t interval_ns() const { return interval_ns_; }
    static const char *interval_csv_header();
    std::string interval_csv_row(const valtocrane_interval_row &row) const;

    /* The report: each point's frames, with a device time and lost; each
     * direction's copies, lost frames, latency figures and histogram. */
    std::string points_text() const;
    std::string directions_text() const;
    /* Each flow and direction, worst p99 first: copies, lost, p50, p99,
     * max; the first max_rows of them (0: all). */
    std::string flows_text(std::size_t max_rows) const;

    /* The same, as rows, for tables. */
    struct direction_figures {
        std::uint32_t from;
        std::uint32_t to;
        std::uint64_t lost;
        const valtocrane_histogram *latency;
    };
    std::vector<direction_figures> directions() const;
    struct flow_figures {
        std::string flow;
        std::uint32_t from;
        std::uint32_t to;
        std::uint64_t lost;
        const valtocrane_histogram *latency;
    };
    std::vector<flow_figures> flows() const;

    /* One direction's and one flow's figures as they stand, for views
     * updated frame by frame (NULL latency where none). */
    const valtocrane_histogram *direction(std::uint32_t from, std::uint32_t to) const;
    std::uint64_t lost_at(std::uint32_t point) const { return points_[point].lost; }
    std::uint32_t partner_of(std::uint32_t point) const { return partner(point); }
    struct flow_now {
        const valtocrane_histogram *latency;
        std::uint64_t lost;
    };
    flow_now flow(const valtocrane_flow &f, std::uint32_t from, std::uint32_t to) const;

private:
    struct point_info {
        std::string label;
        std::string name;
        std::uint64_t frames;
        std::uint64_t with_time;
        std::uint64_t lost;
        bool timed;  /* frames with device times were seen or copied there */
    };

    struct flow_key {
        valtocrane_flow flow;
        std::uint32_t from;
        std::uint32_t to;
        bool operator==(const flow_key &o) const
        {
            return from == o.from && to == o.to && valtocrane_same_flow(flow, o.flow);
        }
    };
    struct flow_key_hash {
        std::size_t operator()(const flow_key &k) const
        {
            return static_cast<std::size_t>(valtocrane_flow_hash(k.flow) ^
                                             (std::uint64_t(k.from) << 32 | k.to));
        }
    };
    struct flow_stats {
        valtocrane_histogram latency;
        std::uint64_t lost;
    };

    struct interval_key {
        std::int64_t index;
        std::uint32_t from;
        std::uint32_t to;
        bool operator<(const interval_key &o) const
        {
            return index != o.index ? index < o.index : from != o.from ? from < o.from : to < o.to;
        }
    };
    struct interval_stats {
        valtocrane_histogram latency;
        std::uint64_t lost;
    };

    /* The entry of a map the last frame went to, tried first: a flow's
     * frames, and an interval's, come in runs. A copy of the figures starts
     * without one (it would point into the maps copied from). */
    template <typename Key, typename Value>
    struct last_entry {
        last_entry() = default;
        last_entry(const last_entry &) {}
        last_entry &operator=(const last_entry &)
        {
            value = nullptr;
            return *this;
        }
        Key key{};
        Value *value = nullptr;
    };

    std::uint32_t partner(std::uint32_t point) const;
    std::int64_t interval_of(valtocrane_time t) const;
    flow_stats &add_flow(const valtocrane_flow *flow, std::uint32_t from, std::uint32_t to);
    interval_stats &add_interval(std::int64_t index, std::uint32_t from, std::uint32_t to);
    void note_first_end();
    std::vector<valtocrane_interval_row> close(std::int64_t before_index);

    bool by_flow_ = false;
    std::uint64_t interval_ns_ = 0;
    std::vector<point_info> points_;
    std::unordered_map<std::string, std::uint32_t> point_of_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, valtocrane_histogram> directions_;
    std::unordered_map<flow_key, flow_stats, flow_key_hash> flows_;
    std::map<interval_key, interval_stats> intervals_;
    last_entry<flow_key, flow_stats> last_flow_;
    last_entry<interval_key, interval_stats> last_interval_;
    valtocrane_time first_end_ = {};  /* the end of the first interval open */
    std::uint64_t copies_ = 0;
    std::uint64_t lost_ = 0;
    std::uint64_t no_room_ = 0;
};

#endif /* VALTOCRANE_STATS_H */
