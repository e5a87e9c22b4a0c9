/* stats-valtocrane.cpp
 * The latency between capture points as Wireshark and TShark show
 * statistics: listeners of the dissector's tap "valtocrane" that count
 * copies and lost frames by direction, by flow and by interval with the
 * figures valtocrane-latency reports, from the same code (core/).
 *
 *  - "tshark -z valtocrane,latency[,interval=SECONDS][,by=flow][,FILTER]"
 *    prints the report valtocrane-latency prints for the same capture.
 *  - Statistics > ValtoCrane Latency in Wireshark: tables of the host's own
 *    kind (a stat tap table), by direction, as a histogram and by flow.
 *
 * The display filter selects the frames that count: a copy counts when its
 * later frame passes, a lost frame when it does itself (the frames that
 * carry valtocrane.latency and valtocrane.copy_missing). Whether a frame
 * waited in vain is known only once the window has passed; a frame whose
 * first dissection is tapped (TShark in one pass, a live capture) waits in
 * a bounded list until the dissection knows, or until the end.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <wireshark.h>
#include <epan/packet.h>
#include <epan/stat_tap_ui.h>
#include <epan/tap.h>

#include "packet-valtocrane.h"
#include "valtocrane-host.h"
#include "valtocrane-stats.h"

gboolean valtocrane_statistics_want_flows;

namespace {

/* The figures of the frames a listener was handed. */
class latency_listener {
public:
    void reset(bool by_flow, std::uint64_t interval_ns)
    {
        stats.reset(by_flow, interval_ns);
        points_.clear();
        waiting_.clear();
    }

    /* A frame the tap handed over. The capture point of the earlier copy
     * of a frame counts as one, though that frame may not pass. */
    void frame(const valtocrane_tap_frame &f)
    {
        changes.clear();
        const std::uint32_t p = point(f.point);
        stats.seen(p, f.has_time);
        if (f.has_time) {
            const valtocrane_flow *flow = f.has_flow ? &f.flow : nullptr;
            if (f.copy) {
                const std::uint32_t from = point(f.earlier_point);
                stats.copy(from, p, f.earlier_t, f.t, flow);
                const valtocrane_time d = valtocrane_time_sub(f.t, f.earlier_t);
                changes.push_back({ from, p, f.has_flow != FALSE, f.flow,
                                    d.secs * static_cast<std::int64_t>(VALTOCRANE_NS_PER_SEC) +
                                        d.nsecs, true });
            } else if (f.fate == VALTOCRANE_FATE_LOST) {
                lost(p, f.t, f.has_flow != FALSE, f.flow);
            } else if (f.fate == VALTOCRANE_FATE_WAITING) {
                /* Lost so far: taken back should its copy come. */
                lost(p, f.t, f.has_flow != FALSE, f.flow);
                waiting_.push_back({ f.num, p, f.t, f.has_flow != FALSE, f.flow });
            }
        }
        resolve(false);
    }

    /* No more frames come: a frame still waiting waited in vain. */
    void finish()
    {
        changes.clear();
        resolve(true);
    }

    /* Whether frames still wait for their copy, counted as lost so far. */
    bool waiting() const { return !waiting_.empty(); }

    /* What the last frame (or finish) counted: a copy from one point to
     * another, or a frame lost at a point. */
    struct change {
        std::uint32_t from;
        std::uint32_t to;  /* copies only */
        bool has_flow;
        valtocrane_flow flow;
        std::int64_t latency;
        bool copy;
    };
    std::vector<change> changes;

    valtocrane_latency_stats stats;

private:
    struct waiting_frame {
        guint32 num;
        std::uint32_t point;
        valtocrane_time t;
        bool has_flow;
        valtocrane_flow flow;
    };

    std::uint32_t point(const char *name)
    {
        const auto found = points_.find(name);
        if (found != points_.end())
            return found->second;
        const std::uint32_t p = stats.point(name);
        points_.emplace(name, p);
        return p;
    }

    /* Frames whose fate the dissection now knows, oldest first: those that
     * found their copy after all are lost no more. */
    void resolve(bool all)
    {
        while (!waiting_.empty()) {
            const waiting_frame &w = waiting_.front();
            const valtocrane_fate fate = valtocrane_frame_fate(w.num);
            if (fate == VALTOCRANE_FATE_WAITING && !all)
                return;
            if (fate == VALTOCRANE_FATE_COPIED) {
                stats.found(w.point, w.t, w.has_flow ? &w.flow : nullptr);
                changes.push_back({ w.point, 0, w.has_flow, w.flow, 0, false });
            }
            waiting_.pop_front();
        }
    }

    void lost(std::uint32_t p, valtocrane_time t, bool has_flow, const valtocrane_flow &flow)
    {
        stats.lost(p, t, has_flow ? &flow : nullptr, false);
        changes.push_back({ p, 0, has_flow, flow, 0, false });
    }

    /* The dissection keeps each point's name for the session. */
    std::unordered_map<const char *, std::uint32_t> points_;
    std::deque<waiting_frame> waiting_;
};

/* The settings as a report names them. */
std::string
settings_line()
{
    return std::string("format ") + valtocrane_format_name() + ", match key " +
           valtocrane_match_name() + ", window " + valtocrane_duration(valtocrane_window_ns());
}

/* ---- tshark -z valtocrane,latency ------------------------------------------ */

const char Z_ARG[] = "valtocrane,latency";

struct z_report {
    latency_listener listener;
    std::string filter;
    bool by_flow;
    std::uint64_t interval_ns;
};

void
z_reset(void *data)
{
    auto *z = static_cast<z_report *>(data);
    z->listener.reset(z->by_flow, z->interval_ns);
}

tap_packet_status
z_packet(void *data, packet_info *, epan_dissect_t *, const void *frame, tap_flags_t)
{
    static_cast<z_report *>(data)->listener.frame(*static_cast<const valtocrane_tap_frame *>(frame));
    return TAP_PACKET_DONT_REDRAW;
}

void
z_draw(void *data)
{
    auto *z = static_cast<z_report *>(data);
    valtocrane_latency_stats &s = z->listener.stats;
    z->listener.finish();

    printf("\n===================================================================\n");
    printf("ValtoCrane latency between capture points (plugin %s): %s\n", VALTOCRANE_VERSION,
           settings_line().c_str());
    if (!z->filter.empty())
        printf("Frames counted: %s\n", z->filter.c_str());
    printf("\n%s", s.points_text().c_str());
    if (s.copies() == 0)
        printf("\nNo copies matched.\n");
    printf("%s", s.directions_text().c_str());
    if (z->by_flow)
        printf("\nBy flow, the worst p99 first (percentiles %s):\n%s",
               VALTOCRANE_PERCENTILE_PRECISION, s.flows_text(0).c_str());
    if (z->interval_ns != 0) {
        printf("\nBy interval of %s of device time:\n%s", valtocrane_duration(z->interval_ns).c_str(),
               valtocrane_latency_stats::interval_csv_header());
        for (const valtocrane_interval_row &row : s.close_all_intervals())
            printf("%s", s.interval_csv_row(row).c_str());
    }
    printf("===================================================================\n");
}

void
z_finish(void *data)
{
    delete static_cast<z_report *>(data);
}

/* -z valtocrane,latency[,interval=SECONDS][,by=flow][,FILTER]; false
 * (with a message) when the report cannot start. */
bool
z_start(const char *arg, void *)
{
    auto *z = new z_report();
    const char *rest = arg + strlen(Z_ARG);
    for (;;) {
        if (*rest == ',')
            rest++;
        if (g_str_has_prefix(rest, "interval=")) {
            const char *end = strchr(rest, ',');
            std::string seconds(rest + 9, end != NULL ? end : rest + strlen(rest));
            const char *wrong = valtocrane_parse_seconds(seconds.c_str(), &z->interval_ns);
            if (wrong != NULL) {
                fprintf(stderr, "tshark: -z %s: interval '%s' %s\n", Z_ARG, seconds.c_str(), wrong);
                delete z;
                return false;
            }
            rest = end != NULL ? end : rest + strlen(rest);
        } else if (g_str_has_prefix(rest, "by=flow") && (rest[7] == ',' || rest[7] == '\0')) {
            z->by_flow = true;
            rest += 7;
        } else {
            break;
        }
    }
    z->filter = rest;
    if (z->by_flow)
        valtocrane_statistics_want_flows = TRUE;
    z->listener.reset(z->by_flow, z->interval_ns);
    GString *error = register_tap_listener("valtocrane", z, z->filter.empty() ? NULL
                                                                             : z->filter.c_str(),
                                           TL_REQUIRES_NOTHING, z_reset, z_packet, z_draw,
                                           z_finish);
    if (error != NULL) {
        fprintf(stderr, "tshark: Couldn't register %s tap: %s\n", Z_ARG, error->str);
        g_string_free(error, TRUE);
        delete z;
        return false;
    }
    return true;
}

#if VALTOCRANE_HOST_AT_LEAST(4, 6)
/* From 4.6 on the host stops when a report cannot start. */
constexpr stat_tap_init_cb z_init = z_start;
#else
void
z_init(const char *arg, void *data)
{
    if (!z_start(arg, data))
        exit(1);
}
#endif

/* ---- Statistics > ValtoCrane Latency --------------------------------------- */

/* One set of columns for the three kinds of table, as the host's simple
 * statistics show them: latencies in microseconds to the nanosecond. */
enum column { LABEL, COPIES, LOST, MIN, MEAN, P50, P90, P99, P999, MAX, COLUMNS };

stat_tap_table_item table_fields[COLUMNS] = {
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Direction, flow or latency", "%-50s" },
    { TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Copies", "%10u" },
    { TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Lost", "%8u" },
    { TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Min (us)", "%14.3f" },
    { TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Mean (us)", "%14.3f" },
    { TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "p50 (us)", "%14.3f" },
    { TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "p90 (us)", "%14.3f" },
    { TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "p99 (us)", "%14.3f" },
    { TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "p99.9 (us)", "%14.3f" },
    { TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Max (us)", "%14.3f" },
};

const char DIRECTIONS_TABLE[] = "By direction";
const char FLOWS_TABLE[] = "By flow";

/* The rows of the tables, kept as the figures change frame by frame: the
 * host's dialog draws them when it likes, so they are right after every
 * frame. A direction's histogram has a row a power of two of latency. */
struct direction_histogram {
    stat_tap_table *table;
    std::uint64_t octaves[66];  /* 0: below 0 ns; 1: 0 ns; o: 2^(o-2) to 2^(o-1) - 1 ns */
    std::size_t lo, hi;         /* the rows shown: octaves lo to hi */
};

struct table_view {
    latency_listener listener;
    std::map<std::pair<std::uint32_t, std::uint32_t>, guint> direction_row;
    std::map<std::pair<std::uint32_t, std::uint32_t>, direction_histogram> histograms;
    std::map<std::string, guint> flow_row;
    std::vector<std::uint32_t> partners;  /* where each point's lost frames were going */
};

table_view view;
stat_tap_table_ui *table_ui;

/* Sets a row (the table keeps its own copy of the label). */
void
set_row(stat_tap_table *table, guint row, stat_tap_table_item_type items[COLUMNS],
        const std::string &label)
{
    if (row < table->num_elements) {
        stat_tap_table_item_type *old = stat_tap_get_field_data(table, row, LABEL);
        if (old->type == TABLE_ITEM_STRING)
            g_free(const_cast<char *>(old->value.string_value));
    }
    items[LABEL].type = TABLE_ITEM_STRING;
    items[LABEL].value.string_value = g_strdup(label.c_str());
    stat_tap_init_table_row(table, row, COLUMNS, items);
}

/* A row of figures: copies and lost frames, and where there are copies
 * their latency. */
void
write_figures(stat_tap_table *table, guint row, const std::string &label, std::uint64_t lost,
              const valtocrane_histogram *latency)
{
    stat_tap_table_item_type items[COLUMNS] = {};
    items[COPIES].type = TABLE_ITEM_UINT;
    items[COPIES].value.uint_value = latency != nullptr ? static_cast<guint>(latency->count()) : 0;
    items[LOST].type = TABLE_ITEM_UINT;
    items[LOST].value.uint_value = static_cast<guint>(lost);
    if (latency != nullptr && latency->count() != 0) {
        static const std::uint32_t ranks[] = { 50000, 90000, 99000, 99900 };
        std::int64_t p[4];
        latency->percentiles(ranks, 4, p);
        const std::int64_t ns[] = { latency->min(), latency->mean(), p[0], p[1], p[2], p[3],
                                    latency->max() };
        for (int c = MIN; c <= MAX; c++) {
            items[c].type = TABLE_ITEM_FLOAT;
            items[c].value.float_value = static_cast<double>(ns[c - MIN]) / 1000.0;
        }
    }
    set_row(table, row, items, label);
}

stat_tap_table *
table_named(const std::string &title)
{
    stat_tap_table *table = stat_tap_find_table(table_ui, title.c_str());
    if (table == NULL) {
        table = stat_tap_init_table(g_strdup(title.c_str()), COLUMNS, 0, NULL);
        stat_tap_add_table(table_ui, table);
    }
    return table;
}

/* A capture point as the tables name it: without its interface where
 * every point is on one ("Port A"). */
std::string
point_label(std::uint32_t point)
{
    const valtocrane_latency_stats &s = view.listener.stats;
    const std::string &name = s.name(point);
    const std::size_t cut = valtocrane_point_port_offset(name);
    if (cut == std::string::npos || point >= s.points())
        return name;
    for (std::uint32_t p = 0; p < s.points(); p++) {
        const std::string &other = s.name(p);
        if (valtocrane_point_port_offset(other) != cut || other.compare(0, cut, name, 0, cut) != 0)
            return name;
    }
    return name.substr(cut + 2);
}

std::string
direction_label(std::uint32_t from, std::uint32_t to)
{
    return point_label(from) + " -> " + point_label(to);
}

void
refresh_direction(std::uint32_t from, std::uint32_t to)
{
    const valtocrane_latency_stats &s = view.listener.stats;
    stat_tap_table *table = table_named(DIRECTIONS_TABLE);
    const auto key = std::make_pair(from, to);
    auto row = view.direction_row.find(key);
    if (row == view.direction_row.end())
        row = view.direction_row.emplace(key, table->num_elements).first;
    const std::uint64_t lost = to == s.partner_of(from) ? s.lost_at(from) : 0;
    write_figures(table, row->second, direction_label(from, to), lost, s.direction(from, to));
}

void
refresh_flow(const valtocrane_flow &flow, std::uint32_t from, std::uint32_t to)
{
    char name[160];
    valtocrane_flow_label(flow, name, sizeof name);
    const std::string label = std::string(name) + ", " + direction_label(from, to);
    stat_tap_table *table = table_named(FLOWS_TABLE);
    auto row = view.flow_row.find(label);
    if (row == view.flow_row.end())
        row = view.flow_row.emplace(label, table->num_elements).first;
    const valtocrane_latency_stats::flow_now now = view.listener.stats.flow(flow, from, to);
    write_figures(table, row->second, label, now.lost, now.latency);
}

/* Every row of the directions and flows again, in the report's order, the
 * rows left over emptied: where frames lost at a point were on their way
 * to has changed. */
void
refresh_all()
{
    const valtocrane_latency_stats &s = view.listener.stats;
    stat_tap_table *table = table_named(DIRECTIONS_TABLE);
    view.direction_row.clear();
    for (const valtocrane_latency_stats::direction_figures &d : s.directions()) {
        const guint row = static_cast<guint>(view.direction_row.size());
        view.direction_row.emplace(std::make_pair(d.from, d.to), row);
        write_figures(table, row, direction_label(d.from, d.to), d.lost, d.latency);
    }
    for (guint row = static_cast<guint>(view.direction_row.size()); row < table->num_elements; row++)
        write_figures(table, row, "", 0, nullptr);
    if (stat_tap_find_table(table_ui, FLOWS_TABLE) == NULL)
        return;
    table = table_named(FLOWS_TABLE);
    view.flow_row.clear();
    for (const valtocrane_latency_stats::flow_figures &f : s.flows()) {
        const guint row = static_cast<guint>(view.flow_row.size());
        const std::string label = f.flow + ", " + direction_label(f.from, f.to);
        view.flow_row.emplace(label, row);
        write_figures(table, row, label, f.lost, f.latency);
    }
    for (guint row = static_cast<guint>(view.flow_row.size()); row < table->num_elements; row++)
        write_figures(table, row, "", 0, nullptr);
}

/* A row of a histogram, labelled so that the host's dialog, which sorts
 * rows by their label, keeps them in order of latency. */
std::string
octave_label(std::size_t o)
{
    if (o == 0)
        return " below 0 ns (a later copy stamped earlier)";
    if (o == 1)
        return "0 ns";
    const std::uint64_t lo = 1ULL << (o - 2), hi = lo + (lo - 1);
    const valtocrane_unit &unit = valtocrane_unit_for(hi);
    char power[16];
    snprintf(power, sizeof power, "2^%02u ns: ", static_cast<unsigned>(o - 2));
    return power + valtocrane_in_unit(static_cast<std::int64_t>(lo), unit) + " to " +
           valtocrane_in_unit(static_cast<std::int64_t>(hi), unit) + " " + unit.name;
}

/* Counts a copy's latency in its direction's histogram: one row more, or
 * every row again where the range shown grows. */
void
count_in_histogram(std::uint32_t from, std::uint32_t to, std::int64_t ns)
{
    const auto key = std::make_pair(from, to);
    auto found = view.histograms.find(key);
    if (found == view.histograms.end()) {
        direction_histogram h = {};
        h.table = table_named("Histogram, " + direction_label(from, to));
        h.lo = h.hi = 66;
        found = view.histograms.emplace(key, h).first;
    }
    direction_histogram &h = found->second;
    const std::uint64_t m = static_cast<std::uint64_t>(ns);
    const std::size_t o = ns < 0 ? 0 : m == 0 ? 1 : static_cast<std::size_t>(64 - __builtin_clzll(m)) + 1;
    h.octaves[o]++;
    if (h.lo != 66 && o >= h.lo && o <= h.hi) {
        stat_tap_get_field_data(h.table, static_cast<guint>(o - h.lo), COPIES)->value.uint_value =
            static_cast<guint>(h.octaves[o]);
        return;
    }
    h.lo = h.lo == 66 ? o : std::min(h.lo, o);
    h.hi = h.hi == 66 ? o : std::max(h.hi, o);
    for (std::size_t each = h.lo; each <= h.hi; each++) {
        stat_tap_table_item_type items[COLUMNS] = {};
        items[COPIES].type = TABLE_ITEM_UINT;
        items[COPIES].value.uint_value = static_cast<guint>(h.octaves[each]);
        set_row(h.table, static_cast<guint>(each - h.lo), items, octave_label(each));
    }
}

void table_reset(stat_tap_table *table);

void
table_init(stat_tap_table_ui *ui)
{
    table_ui = ui;
    valtocrane_statistics_want_flows = TRUE;
    table_reset(table_named(DIRECTIONS_TABLE));
}

/* Before the frames are handed over again: every count back to none. The
 * host resets table by table; the rows stay, their labels the tables'. */
void
table_reset(stat_tap_table *table)
{
    for (guint row = 0; row < table->num_elements; row++) {
        for (guint c = COPIES; c < COLUMNS; c++) {
            stat_tap_table_item_type *item = stat_tap_get_field_data(table, row, c);
            item->type = c <= LOST ? TABLE_ITEM_UINT : TABLE_ITEM_NONE;
            item->value.uint_value = 0;
        }
    }
    if (table_ui->tables == NULL || g_array_index(table_ui->tables, stat_tap_table *, 0) != table)
        return;
    view.listener.reset(true, 0);
    view.direction_row.clear();
    view.histograms.clear();
    view.flow_row.clear();
    view.partners.clear();
}

void
table_free_item(stat_tap_table *, guint, guint column, stat_tap_table_item_type *item)
{
    if (column == LABEL && item->type == TABLE_ITEM_STRING) {
        g_free(const_cast<char *>(item->value.string_value));
        item->value.string_value = NULL;
    }
}

/* The rows the last frame (or the end) changed. */
bool
table_changed()
{
    const latency_listener &l = view.listener;
    const valtocrane_latency_stats &s = l.stats;

    /* Another point with device times changes where frames lost at a point
     * were on their way to: every row again. */
    std::vector<std::uint32_t> partners;
    for (std::uint32_t p = 0; p < s.points(); p++)
        partners.push_back(s.partner_of(p));
    if (partners != view.partners) {
        view.partners = partners;
        refresh_all();
    }
    for (const latency_listener::change &c : l.changes) {
        const std::uint32_t to = c.copy ? c.to : s.partner_of(c.from);
        refresh_direction(c.from, to);
        if (c.copy)
            count_in_histogram(c.from, to, c.latency);
        if (c.has_flow)
            refresh_flow(c.flow, c.from, to);
    }
    return !l.changes.empty();
}

tap_packet_status
table_packet(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    view.listener.frame(*static_cast<const valtocrane_tap_frame *>(data));
    return table_changed() ? TAP_PACKET_REDRAW : TAP_PACKET_DONT_REDRAW;
}

stat_tap_table_ui table_registration = {
    REGISTER_PACKET_STAT_GROUP_UNSORTED,
    "ValtoCrane Latency",
    "valtocrane",
    "valtocrane,tables",
    table_init,
    table_packet,
    table_reset,
    table_free_item,
    NULL,
    COLUMNS, table_fields,
    0, NULL,
    NULL,
    0
};

} // namespace

/* The capture has been read through (a live capture stopped, say): the
 * frames the tables saw waiting for a copy waited in vain. */
void
valtocrane_statistics_finish(void)
{
    if (table_ui == NULL)
        return;
    view.listener.finish();
    table_changed();
}

void
valtocrane_register_statistics(void)
{
    static tap_param filter_param = { PARAM_FILTER, "filter", "Filter", NULL, TRUE };
    static stat_tap_ui z_registration = {
        REGISTER_PACKET_STAT_GROUP_UNSORTED, "ValtoCrane latency", Z_ARG, z_init, 1, &filter_param
    };
    register_stat_tap_ui(&z_registration, NULL);
    register_stat_tap_table_ui(&table_registration);
}
