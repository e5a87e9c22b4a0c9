/* valtocrane-stats.cpp
 * Latency figures by direction, flow and interval, and the report of them.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "valtocrane-stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char VALTOCRANE_PERCENTILE_PRECISION[] = "within 0.8%";

namespace {

/* Log-linear buckets over the magnitude of a latency in nanoseconds: 0 to
 * 63 ns one bucket each, then 64 buckets for each power of two (64 to 127
 * ns one each, 128 to 255 two each, ...), up to 2^63 ns. A bucket of
 * [2^e, 2^(e+1)) is 2^(e-6) ns wide, so its middle is within 1/128 of any
 * value in it. Negative latencies (a later copy with an earlier device
 * time) lie in mirrored buckets below those of 0 ns and more: bucket
 * MAGNITUDES + b holds magnitude bucket b of 0 ns and more, MAGNITUDES - 1
 * - b the same magnitudes below 0, so that buckets ascend with latency. */
constexpr int SUB_BITS = 6;
constexpr std::uint64_t SUB_BUCKETS = 1ULL << SUB_BITS;
constexpr std::uint32_t MAGNITUDES = (64 - SUB_BITS + 1) * SUB_BUCKETS;

std::uint32_t
magnitude_bucket(std::uint64_t ns)
{
    if (ns < SUB_BUCKETS)
        return static_cast<std::uint32_t>(ns);
    const int e = 63 - __builtin_clzll(ns);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(e - SUB_BITS + 1) * SUB_BUCKETS +
                                      ((ns >> (e - SUB_BITS)) - SUB_BUCKETS));
}

/* The least and the greatest magnitude a magnitude bucket holds. */
void
magnitude_range(std::uint32_t bucket, std::uint64_t *lo, std::uint64_t *hi)
{
    if (bucket < SUB_BUCKETS) {
        *lo = *hi = bucket;
        return;
    }
    const int shift = static_cast<int>(bucket / SUB_BUCKETS) - 1;
    *lo = (SUB_BUCKETS + bucket % SUB_BUCKETS) << shift;
    *hi = *lo + ((1ULL << shift) - 1);
}

std::uint64_t
magnitude(std::int64_t ns)
{
    return ns < 0 ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
}

std::int64_t
ns_of(valtocrane_time t)
{
    return t.secs * static_cast<std::int64_t>(VALTOCRANE_NS_PER_SEC) + t.nsecs;
}

valtocrane_wide
ns_since_1970(valtocrane_time t)
{
    return valtocrane_wide_ns(t);
}

/* a / b rounded down, b > 0. */
std::int64_t
floor_div(valtocrane_wide a, std::uint64_t b)
{
    valtocrane_wide q = a / b;
    if (a % b != 0 && a < 0)
        q--;
    return static_cast<std::int64_t>(q);
}

const valtocrane_unit UNITS[] = {
    { "ns", 1, 0 }, { "us", 1000, 3 }, { "ms", 1000000, 6 }, { "s", 1000000000, 9 },
};


/* A duration in a unit without the trailing zeros of its fraction. */
std::string
brief_in_unit(std::uint64_t ns, const valtocrane_unit &unit)
{
    std::string text = valtocrane_in_unit(static_cast<std::int64_t>(ns), unit);
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.')
            text.pop_back();
    }
    return text;
}

std::string
printf_string(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string
printf_string(const char *format, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    return text;
}

} // namespace

std::string
valtocrane_point_label(std::uint32_t interface, const char *interface_name, int port)
{
    std::string label = "interface " + std::to_string(interface);
    if (interface_name != nullptr && *interface_name != '\0')
        label += std::string(" (") + interface_name + ")";
    if (port >= 0)
        label += std::string(", ") + VALTOCRANE_POINT_PORT_NAMES[port];
    return label;
}

std::size_t
valtocrane_point_port_offset(const std::string &name)
{
    for (const char *port : VALTOCRANE_POINT_PORT_NAMES) {
        const std::size_t length = std::strlen(port) + 2;
        if (name.size() > length && name.compare(name.size() - length, 2, ", ") == 0 &&
            name.compare(name.size() - length + 2, length - 2, port) == 0)
            return name.size() - length;
    }
    return std::string::npos;
}

std::string
valtocrane_csv_field(const std::string &text)
{
    if (text.find_first_of(",\"\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

/* ---- The histogram ---------------------------------------------------------- */

std::uint64_t &
valtocrane_histogram::slot(std::uint32_t bucket)
{
    const auto index = static_cast<std::int32_t>(bucket / BLOCK);
    if (last_ >= blocks_.size() || blocks_[last_].index != index) {
        auto it = std::lower_bound(blocks_.begin(), blocks_.end(), index,
                                   [](const block &b, std::int32_t i) { return b.index < i; });
        if (it == blocks_.end() || it->index != index)
            it = blocks_.insert(it, block{ index, {} });
        last_ = static_cast<std::size_t>(it - blocks_.begin());
    }
    return blocks_[last_].counts[bucket % BLOCK];
}

std::uint64_t
valtocrane_histogram::at(std::uint32_t bucket) const
{
    const auto index = static_cast<std::int32_t>(bucket / BLOCK);
    const auto it = std::lower_bound(blocks_.begin(), blocks_.end(), index,
                                     [](const block &b, std::int32_t i) { return b.index < i; });
    return it != blocks_.end() && it->index == index ? it->counts[bucket % BLOCK] : 0;
}

void
valtocrane_histogram::add(std::int64_t ns)
{
    if (count_ == 0) {
        min_ = max_ = ns;
    } else if (ns < min_) {
        min_ = ns;
    } else if (ns > max_) {
        max_ = ns;
    }
    count_++;
    sum_ += ns;
    const std::uint32_t b = magnitude_bucket(magnitude(ns));
    slot(ns >= 0 ? MAGNITUDES + b : MAGNITUDES - 1 - b)++;
}

std::int64_t
valtocrane_histogram::mean() const
{
    if (count_ == 0)
        return 0;
    const valtocrane_wide n = count_;
    valtocrane_wide q = sum_ / n;
    const valtocrane_wide r = sum_ % n;
    if (2 * (r < 0 ? -r : r) >= n)
        q += sum_ < 0 ? -1 : 1;
    return static_cast<std::int64_t>(q);
}

std::int64_t
valtocrane_histogram::percentile(std::uint32_t p_milli) const
{
    std::int64_t value;
    percentiles(&p_milli, 1, &value);
    return value;
}

void
valtocrane_histogram::percentiles(const std::uint32_t *p_milli, std::size_t n,
                                  std::int64_t *out) const
{
    constexpr std::uint64_t whole = 100000;
    std::size_t k = 0;
    std::uint64_t rank = 0;
    const auto rank_of = [this](std::uint64_t p) {
        const std::uint64_t r = count_ / whole * p + (count_ % whole * p + whole - 1) / whole;
        return r == 0 ? std::uint64_t(1) : r;
    };
    if (n != 0)
        rank = rank_of(p_milli[0]);

    /* The middle of the bucket of each rank, kept within min and max. */
    std::uint64_t seen = 0;
    for (const block &b : blocks_) {
        for (int i = 0; i < BLOCK && k < n; i++) {
            seen += b.counts[i];
            while (k < n && seen >= rank) {
                const auto bucket = static_cast<std::uint32_t>(b.index * BLOCK + i);
                std::uint64_t lo, hi;
                std::int64_t value;
                if (bucket >= MAGNITUDES) {
                    magnitude_range(bucket - MAGNITUDES, &lo, &hi);
                    value = static_cast<std::int64_t>(lo + (hi - lo) / 2);
                } else {
                    magnitude_range(MAGNITUDES - 1 - bucket, &lo, &hi);
                    value = -static_cast<std::int64_t>(lo + (hi - lo) / 2);
                }
                out[k] = value < min_ ? min_ : value > max_ ? max_ : value;
                if (++k < n)
                    rank = rank_of(p_milli[k]);
            }
        }
        if (k == n)
            return;
    }
    for (; k < n; k++)
        out[k] = max_;
}

std::vector<valtocrane_histogram::row>
valtocrane_histogram::rows(std::size_t max_rows) const
{
    std::vector<row> out;
    if (count_ == 0)
        return out;
    const bool negatives = min_ < 0, positives = max_ >= 0;
    /* The magnitude buckets of the greatest and least magnitudes on either
     * side of 0. */
    const std::size_t neg_hi = negatives ? magnitude_bucket(magnitude(min_)) : 0;
    const std::size_t neg_lo = negatives && !positives ? magnitude_bucket(magnitude(max_)) : 0;
    const std::size_t pos_hi = positives ? magnitude_bucket(magnitude(max_)) : 0;
    const std::size_t pos_lo = positives && !negatives ? magnitude_bucket(magnitude(min_)) : 0;
    std::size_t group = 1;

    for (;; group *= 2) {
        std::size_t rows = 0;
        if (negatives)
            rows += neg_hi / group - neg_lo / group + 1;
        if (positives)
            rows += pos_hi / group - pos_lo / group + 1;
        if (rows <= max_rows || group >= MAGNITUDES)
            break;
    }

    std::uint64_t lo, hi;
    if (negatives) {
        for (std::size_t g = neg_hi / group + 1; g-- > neg_lo / group;) {
            row r = { 0, 0, 0 };
            const std::size_t last = std::min<std::size_t>(g * group + group, MAGNITUDES) - 1;
            for (std::size_t b = g * group; b <= last; b++)
                r.count += at(MAGNITUDES - 1 - static_cast<std::uint32_t>(b));
            magnitude_range(static_cast<std::uint32_t>(last), &lo, &hi);
            r.from = -static_cast<std::int64_t>(hi);
            magnitude_range(static_cast<std::uint32_t>(g * group), &lo, &hi);
            r.to = -static_cast<std::int64_t>(lo);
            out.push_back(r);
        }
    }
    if (positives) {
        for (std::size_t g = pos_lo / group; g <= pos_hi / group; g++) {
            row r = { 0, 0, 0 };
            const std::size_t last = std::min<std::size_t>(g * group + group, MAGNITUDES) - 1;
            for (std::size_t b = g * group; b <= last; b++)
                r.count += at(MAGNITUDES + static_cast<std::uint32_t>(b));
            magnitude_range(static_cast<std::uint32_t>(g * group), &lo, &hi);
            r.from = static_cast<std::int64_t>(lo);
            magnitude_range(static_cast<std::uint32_t>(last), &lo, &hi);
            r.to = static_cast<std::int64_t>(hi);
            out.push_back(r);
        }
    }
    return out;
}

/* ---- Durations in words ----------------------------------------------------- */

const valtocrane_unit &
valtocrane_unit_for(std::uint64_t magnitude)
{
    std::size_t u = 0;
    while (u + 1 < sizeof UNITS / sizeof UNITS[0] &&
           magnitude >= static_cast<std::uint64_t>(UNITS[u + 1].ns))
        u++;
    return UNITS[u];
}

std::string
valtocrane_in_unit(std::int64_t ns, const valtocrane_unit &unit)
{
    const std::uint64_t m = magnitude(ns);
    const auto per = static_cast<std::uint64_t>(unit.ns);

    if (unit.decimals == 0)
        return printf_string("%s%" PRIu64, ns < 0 ? "-" : "", m);
    return printf_string("%s%" PRIu64 ".%0*" PRIu64, ns < 0 ? "-" : "", m / per, unit.decimals,
                         m % per);
}

std::string
valtocrane_duration(std::uint64_t ns)
{
    const valtocrane_unit &unit = valtocrane_unit_for(ns);
    return brief_in_unit(ns, unit) + " " + unit.name;
}

std::string
valtocrane_seconds(std::uint64_t ns)
{
    return brief_in_unit(ns, UNITS[3]);
}

const char *
valtocrane_parse_seconds(const char *text, std::uint64_t *ns_out)
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
        return "must be more than 0 s";
    while (exponent < 0 && digits.back() == '0') {
        digits.pop_back();
        exponent++;
    }
    if (exponent < 0)
        return "is not a whole number of nanoseconds";
    if (static_cast<long>(digits.size()) + exponent > 18)
        return "is more than a day";
    std::uint64_t ns = std::strtoull(digits.c_str(), nullptr, 10);
    for (long i = 0; i < exponent; i++)
        ns *= 10;
    if (ns > VALTOCRANE_SECONDS_MAX_NS)
        return "is more than a day";
    *ns_out = ns;
    return NULL;
}

std::string
valtocrane_signed_seconds(valtocrane_time d)
{
    std::int64_t secs = d.secs;
    std::int32_t nsecs = d.nsecs;

    if (secs < 0 && nsecs != 0) {
        secs = -secs - 1;
        nsecs = static_cast<std::int32_t>(VALTOCRANE_NS_PER_SEC) - nsecs;
    } else if (secs < 0) {
        secs = -secs;
    }
    return printf_string("%c%" PRId64 ".%09" PRId32 " s", d.secs < 0 ? '-' : '+', secs, nsecs);
}

std::string
valtocrane_ns_text(valtocrane_time t)
{
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
        return printf_string("%s%" PRIu64 "%09" PRIu32, sign, secs, nsecs);
    return printf_string("%s%" PRIu32, nsecs != 0 ? sign : "", nsecs);
}

/* ---- The figures ------------------------------------------------------------ */

void
valtocrane_latency_stats::reset(bool by_flow, std::uint64_t interval_ns)
{
    *this = valtocrane_latency_stats();
    by_flow_ = by_flow;
    interval_ns_ = interval_ns;
}

std::uint32_t
valtocrane_latency_stats::point(const std::string &label, const std::string &name)
{
    const auto found = point_of_.find(label);
    if (found != point_of_.end())
        return found->second;
    const auto id = static_cast<std::uint32_t>(points_.size());
    points_.push_back({ label, name, 0, 0, 0, false });
    point_of_.emplace(label, id);
    return id;
}

const std::string &
valtocrane_latency_stats::name(std::uint32_t point) const
{
    static const std::string any = "any other point";
    return point < points_.size() ? points_[point].name : any;
}

void
valtocrane_latency_stats::seen(std::uint32_t point, bool with_time)
{
    points_[point].frames++;
    if (with_time) {
        points_[point].with_time++;
        points_[point].timed = true;
    }
}

std::int64_t
valtocrane_latency_stats::interval_of(valtocrane_time t) const
{
    return floor_div(ns_since_1970(t), interval_ns_);
}

void
valtocrane_latency_stats::copy(std::uint32_t from, std::uint32_t to, valtocrane_time earlier,
                               valtocrane_time later, const valtocrane_flow *flow)
{
    /* A copy lies at most the window (a day) from its earlier one. */
    const std::int64_t latency = ns_of(valtocrane_time_sub(later, earlier));

    copies_++;
    points_[from].timed = points_[to].timed = true;
    directions_[{ from, to }].add(latency);
    if (by_flow_)
        add_flow(flow, from, to).latency.add(latency);
    if (interval_ns_ != 0)
        add_interval(interval_of(earlier), from, to).latency.add(latency);
}

void
valtocrane_latency_stats::lost(std::uint32_t point, valtocrane_time t, const valtocrane_flow *flow,
                               bool no_room)
{
    points_[point].lost++;
    lost_++;
    if (no_room)
        no_room_++;
    if (by_flow_)
        add_flow(flow, point, VALTOCRANE_ANY_POINT).lost++;
    if (interval_ns_ != 0)
        add_interval(interval_of(t), point, VALTOCRANE_ANY_POINT).lost++;
}

valtocrane_latency_stats::flow_stats &
valtocrane_latency_stats::add_flow(const valtocrane_flow *flow, std::uint32_t from,
                                   std::uint32_t to)
{
    const flow_key key = { flow != nullptr ? *flow : valtocrane_flow(), from, to };
    if (last_flow_.value == nullptr || !(last_flow_.key == key)) {
        last_flow_.key = key;
        last_flow_.value = &flows_[key];
    }
    return *last_flow_.value;
}

valtocrane_latency_stats::interval_stats &
valtocrane_latency_stats::add_interval(std::int64_t index, std::uint32_t from, std::uint32_t to)
{
    const interval_key key = { index, from, to };
    if (last_interval_.value != nullptr && !(last_interval_.key < key) &&
        !(key < last_interval_.key))
        return *last_interval_.value;
    const bool first = intervals_.empty() || index < intervals_.begin()->first.index;
    last_interval_.key = key;
    last_interval_.value = &intervals_[key];
    if (first)
        note_first_end();
    return *last_interval_.value;
}

void
valtocrane_latency_stats::note_first_end()
{
    if (!intervals_.empty())
        first_end_ = valtocrane_time_of_wide(
            static_cast<valtocrane_wide>(intervals_.begin()->first.index + 1) * interval_ns_);
}

void
valtocrane_latency_stats::found(std::uint32_t point, valtocrane_time t, const valtocrane_flow *flow)
{
    points_[point].lost--;
    lost_--;
    if (by_flow_) {
        const valtocrane_flow none = {};
        flows_[{ flow != nullptr ? *flow : none, point, VALTOCRANE_ANY_POINT }].lost--;
    }
    if (interval_ns_ != 0)
        add_interval(interval_of(t), point, VALTOCRANE_ANY_POINT).lost--;
}

/* The only other point with device times, or any. */
std::uint32_t
valtocrane_latency_stats::partner(std::uint32_t point) const
{
    std::uint32_t other = VALTOCRANE_ANY_POINT;
    for (std::uint32_t p = 0; p < points_.size(); p++) {
        if (p == point || !points_[p].timed)
            continue;
        if (other != VALTOCRANE_ANY_POINT)
            return VALTOCRANE_ANY_POINT;
        other = p;
    }
    return other;
}

std::vector<valtocrane_latency_stats::direction_figures>
valtocrane_latency_stats::directions() const
{
    std::map<std::pair<std::uint32_t, std::uint32_t>, direction_figures> all;
    for (const auto &d : directions_)
        all[d.first] = { d.first.first, d.first.second, 0, &d.second };
    for (std::uint32_t p = 0; p < points_.size(); p++) {
        if (points_[p].lost == 0)
            continue;
        direction_figures &d = all[{ p, partner(p) }];
        d.from = p;
        d.to = partner(p);
        d.lost = points_[p].lost;
    }
    std::vector<direction_figures> out;
    for (const auto &d : all)
        out.push_back(d.second);
    return out;
}

const valtocrane_histogram *
valtocrane_latency_stats::direction(std::uint32_t from, std::uint32_t to) const
{
    const auto found = directions_.find({ from, to });
    return found != directions_.end() ? &found->second : nullptr;
}

valtocrane_latency_stats::flow_now
valtocrane_latency_stats::flow(const valtocrane_flow &f, std::uint32_t from, std::uint32_t to) const
{
    flow_now now = { nullptr, 0 };
    const auto copies = flows_.find({ f, from, to });
    if (copies != flows_.end()) {
        if (copies->second.latency.count() != 0)
            now.latency = &copies->second.latency;
        now.lost += copies->second.lost;
    }
    if (to != VALTOCRANE_ANY_POINT && to == partner(from)) {
        const auto lost = flows_.find({ f, from, VALTOCRANE_ANY_POINT });
        if (lost != flows_.end())
            now.lost += lost->second.lost;
    }
    return now;
}

std::vector<valtocrane_latency_stats::flow_figures>
valtocrane_latency_stats::flows() const
{
    std::unordered_map<flow_key, flow_figures, flow_key_hash> all;
    for (const auto &f : flows_) {
        flow_key key = f.first;
        if (key.to == VALTOCRANE_ANY_POINT)
            key.to = partner(key.from);
        flow_figures &row = all[key];
        if (row.flow.empty()) {
            char label[160];
            valtocrane_flow_label(key.flow, label, sizeof label);
            row.flow = label;
            row.from = key.from;
            row.to = key.to;
        }
        row.lost += f.second.lost;
        if (f.second.latency.count() != 0)
            row.latency = &f.second.latency;
    }
    std::vector<flow_figures> out;
    for (const auto &f : all)
        out.push_back(f.second);
    /* Worst first: the greatest p99, then the most lost. */
    std::sort(out.begin(), out.end(), [](const flow_figures &a, const flow_figures &b) {
        const bool la = a.latency != nullptr, lb = b.latency != nullptr;
        if (la != lb)
            return la;
        if (la && a.latency->percentile(99000) != b.latency->percentile(99000))
            return a.latency->percentile(99000) > b.latency->percentile(99000);
        if (a.lost != b.lost)
            return a.lost > b.lost;
        return a.flow != b.flow ? a.flow < b.flow : a.from != b.from ? a.from < b.from
                                                                     : a.to < b.to;
    });
    return out;
}

/* ---- The time series -------------------------------------------------------- */

std::vector<valtocrane_interval_row>
valtocrane_latency_stats::close(std::int64_t before_index)
{
    std::map<interval_key, valtocrane_interval_row> rows;
    auto it = intervals_.begin();
    for (; it != intervals_.end() && it->first.index < before_index; ++it) {
        interval_key key = it->first;
        if (key.to == VALTOCRANE_ANY_POINT)
            key.to = partner(key.from);
        valtocrane_interval_row &row = rows[key];
        const valtocrane_wide start = static_cast<valtocrane_wide>(key.index) * interval_ns_;
        row.start = { static_cast<std::int64_t>(floor_div(start, VALTOCRANE_NS_PER_SEC)),
                      static_cast<std::int32_t>(start - static_cast<valtocrane_wide>(floor_div(
                                                    start, VALTOCRANE_NS_PER_SEC)) *
                                                                VALTOCRANE_NS_PER_SEC) };
        row.from = key.from;
        row.to = key.to;
        row.lost += it->second.lost;
        const valtocrane_histogram &h = it->second.latency;
        if (h.count() != 0) {
            row.copies = h.count();
            row.min = h.min();
            row.p50 = h.percentile(50000);
            row.p99 = h.percentile(99000);
            row.max = h.max();
        }
    }
    intervals_.erase(intervals_.begin(), it);
    last_interval_.value = nullptr;
    note_first_end();
    std::vector<valtocrane_interval_row> out;
    for (const auto &r : rows)
        out.push_back(r.second);
    return out;
}

std::vector<valtocrane_interval_row>
valtocrane_latency_stats::close_intervals(valtocrane_time before)
{
    if (interval_ns_ == 0)
        return {};
    return close(floor_div(ns_since_1970(before), interval_ns_));
}

std::vector<valtocrane_interval_row>
valtocrane_latency_stats::close_all_intervals()
{
    return close(INT64_MAX);
}

const char *
valtocrane_latency_stats::interval_csv_header()
{
    return "interval_start_ns,interval_start_utc,from,to,copies,lost,min_ns,p50_ns,p99_ns,"
           "max_ns\n";
}

std::string
valtocrane_latency_stats::interval_csv_row(const valtocrane_interval_row &row) const
{
    const time_t secs = static_cast<time_t>(row.start.secs);
    struct tm tm;
    char utc[64] = "";
    if (gmtime_r(&secs, &tm) != nullptr)
        std::snprintf(utc, sizeof utc, "%04d-%02d-%02dT%02d:%02d:%02d.%09dZ", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<int>(row.start.nsecs));
    std::string line = valtocrane_ns_text(row.start) + "," + utc + "," +
                       valtocrane_csv_field(name(row.from)) + "," +
                       valtocrane_csv_field(name(row.to)) +
                       printf_string(",%" PRIu64 ",%" PRIu64, row.copies, row.lost);
    if (row.copies != 0)
        line += printf_string(",%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 "\n", row.min,
                              row.p50, row.p99, row.max);
    else
        line += ",,,,\n";
    return line;
}

/* ---- The report ------------------------------------------------------------- */

std::string
valtocrane_latency_stats::points_text() const
{
    std::size_t width = sizeof "Capture point" - 1;
    for (const point_info &p : points_)
        width = std::max(width, p.label.size());
    const int w = static_cast<int>(width);
    std::string out = printf_string("%-*s  %12s  %12s  %12s\n", w, "Capture point", "frames read",
                                    "device time", "lost");
    for (const point_info &p : points_)
        out += printf_string("%-*s  %12" PRIu64 "  %12" PRIu64 "  %12" PRIu64 "\n", w,
                             p.label.c_str(), p.frames, p.with_time, p.lost);
    return out;
}

std::string
valtocrane_latency_stats::directions_text() const
{
    constexpr std::size_t HISTOGRAM_ROWS = 24;
    constexpr int HISTOGRAM_BAR = 40;
    std::string out;

    for (const direction_figures &d : directions()) {
        const std::uint64_t copies = d.latency != nullptr ? d.latency->count() : 0;
        out += printf_string("\n%s -> %s: %" PRIu64 " %s, %" PRIu64 " lost\n",
                             name(d.from).c_str(), name(d.to).c_str(), copies,
                             copies == 1 ? "copy" : "copies", d.lost);
        if (copies == 0)
            continue;
        const valtocrane_histogram &h = *d.latency;
        const valtocrane_unit &unit = valtocrane_unit_for(std::max(magnitude(h.min()),
                                                                   magnitude(h.max())));
        static const std::uint32_t ranks[] = { 50000, 90000, 99000, 99900 };
        std::int64_t p[4];
        h.percentiles(ranks, 4, p);
        const struct {
            const char *name;
            std::int64_t value;
        } figures[] = {
            { "min", h.min() }, { "mean", h.mean() }, { "p50", p[0] }, { "p90", p[1] },
            { "p99", p[2] },    { "p99.9", p[3] },    { "max", h.max() },
        };
        for (const auto &figure : figures)
            out += printf_string("  %-6s %14s %s\n", figure.name,
                                 valtocrane_in_unit(figure.value, unit).c_str(), unit.name);
        out += printf_string("  (percentiles %s; min, mean and max exact)\n",
                             VALTOCRANE_PERCENTILE_PRECISION);

        const std::vector<valtocrane_histogram::row> rows = h.rows(HISTOGRAM_ROWS);
        std::uint64_t most = 1;
        for (const auto &r : rows)
            most = std::max(most, r.count);
        const std::string from_head = std::string("from (") + unit.name + ")";
        const std::string to_head = std::string("to (") + unit.name + ")";
        out += printf_string("  %14s  %14s  %10s  %6s\n", from_head.c_str(), to_head.c_str(),
                             "copies", "share");
        for (const auto &r : rows) {
            int bar = static_cast<int>(r.count * HISTOGRAM_BAR / most);
            if (bar == 0 && r.count != 0)
                bar = 1;
            out += printf_string("  %14s  %14s  %10" PRIu64 "  %5.1f%%%s%.*s\n",
                                 valtocrane_in_unit(r.from, unit).c_str(),
                                 valtocrane_in_unit(r.to, unit).c_str(), r.count,
                                 100.0 * static_cast<double>(r.count) /
                                     static_cast<double>(h.count()),
                                 bar != 0 ? "  " : "", bar,
                                 "########################################");
        }
    }
    return out;
}

std::string
valtocrane_latency_stats::flows_text(std::size_t max_rows) const
{
    const std::vector<flow_figures> rows = flows();
    const std::size_t shown = max_rows != 0 ? std::min(max_rows, rows.size()) : rows.size();
    std::uint64_t greatest = 0;
    std::size_t flow_width = sizeof "Flow" - 1, direction_width = sizeof "Direction" - 1;
    std::vector<std::string> directions;
    for (std::size_t i = 0; i < shown; i++) {
        const flow_figures &f = rows[i];
        if (f.latency != nullptr)
            greatest = std::max({ greatest, magnitude(f.latency->min()),
                                  magnitude(f.latency->max()) });
        flow_width = std::max(flow_width, f.flow.size());
        directions.push_back(name(f.from) + " -> " + name(f.to));
        direction_width = std::max(direction_width, directions.back().size());
    }
    const valtocrane_unit &unit = valtocrane_unit_for(greatest);
    const std::string p50 = std::string("p50 (") + unit.name + ")";
    const std::string p99 = std::string("p99 (") + unit.name + ")";
    const std::string max = std::string("max (") + unit.name + ")";
    const int fw = static_cast<int>(flow_width), dw = static_cast<int>(direction_width);
    std::string out = printf_string("%-*s  %-*s  %10s  %8s  %14s  %14s  %14s\n", fw, "Flow", dw,
                                    "Direction", "copies", "lost", p50.c_str(), p99.c_str(),
                                    max.c_str());
    for (std::size_t i = 0; i < shown; i++) {
        const flow_figures &f = rows[i];
        const valtocrane_histogram *h = f.latency;
        out += printf_string("%-*s  %-*s  %10" PRIu64 "  %8" PRIu64 "  %14s  %14s  %14s\n", fw,
                             f.flow.c_str(), dw, directions[i].c_str(), h ? h->count() : 0,
                             f.lost,
                             h ? valtocrane_in_unit(h->percentile(50000), unit).c_str() : "-",
                             h ? valtocrane_in_unit(h->percentile(99000), unit).c_str() : "-",
                             h ? valtocrane_in_unit(h->max(), unit).c_str() : "-");
    }
    if (shown < rows.size())
        out += printf_string("(%zu more flows)\n", rows.size() - shown);
    return out;
}
