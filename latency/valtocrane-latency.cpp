/* valtocrane-latency.cpp
 * How long frames take through a system (a switch, a router, a trading
 * engine, a link), from the ValtoCrane device times of the same frame seen
 * at two capture points: the device's two ports in one capture, two
 * interfaces, or two captures taken at two places with synchronised device
 * clocks. Each capture may be a set of files, as a capture appliance's ring
 * buffer rotates them.
 *
 *   valtocrane-latency --format NAME [--window SECONDS] [--match ip|frame]
 *                      [--same-counter] [--by flow] [--interval SECONDS]
 *                      [--csv FILE] [--series FILE] [--export FILE]
 *                      [--unmatched FILE] [--jobs N] CAPTURE [CAPTURE_B]
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
 * them, whatever the device times), latencies are counted in histograms of
 * fixed precision, and only the intervals of the time series that can still
 * change are kept. With --jobs (by default, where there is more than one
 * processor), files are read by other threads, ahead of the matching, a
 * bounded number of records at a time; matching stays in one, in the same
 * order, so the results do not change.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <arpa/inet.h>
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
    LATENCY_BAD_INPUT  = 2, /* a capture unreadable or damaged: no report, no output file */
    LATENCY_BAD_OUTPUT = 3, /* an output file (or the report) could not be written */
    LATENCY_CUT_SHORT  = 4  /* a capture ends inside a record: every whole frame counted */
};

/* Steps of a device clock listed in the report; the rest are counted. */
constexpr std::size_t STEPS_LISTED = 10;

/* Records a reader hands over at a time, batches a file read ahead may
 * hold, and files read ahead of the one being matched, for each job. */
constexpr std::size_t BATCH_RECORDS = 1024;
constexpr std::size_t BATCHES_AHEAD = 4;

/* The most threads a run takes unless --jobs says otherwise. */
constexpr unsigned DEFAULT_JOBS_MAX = 4;

/* Flows listed in the report with --by flow. */
constexpr std::size_t FLOWS_LISTED = 50;

/* ---- What a run is asked for ---------------------------------------------- */

struct latency_options {
    valtocrane_format format;
    valtocrane_match_kind kind;
    std::uint64_t window_ns;
    bool same_counter;
    bool by_flow;
    std::uint64_t interval_ns;
    unsigned jobs;
    const char *csv;        /* NULL for none, as the other files */
    const char *series;
    const char *exported;
    const char *unmatched;
};

/* ---- Records of a capture file --------------------------------------------- */

/* Where in one capture a frame was seen: its interface and, in the capture
 * header format, the port the header names (A, B, any other value
 * "Unknown"). Frames of the capture header format without a readable
 * header have no port: they are counted apart, and never matched. */
enum point_port { PORT_A, PORT_B, PORT_UNKNOWN, NO_DEVICE_TIME, WHOLE_INTERFACE, POINT_PORTS };
static_assert(PORT_UNKNOWN == VALTOCRANE_PORT_UNKNOWN && NO_DEVICE_TIME == 3,
              "ports by valtocrane_port_index and VALTOCRANE_POINT_PORT_NAMES");

/* What the tool keeps of an interface of a capture file. */
struct interface_info {
    std::string name;
    bool retimed;  /* valtocrane-retime re-timed its frames and removed the device bytes */
};

/* A record of a file, looked at by the plugin's rules. */
struct frame_info {
    guint64 number;          /* 1-based, in its file */
    bool packet;             /* a packet record (else another kind, only counted) */
    bool has_time;
    bool counter;            /* t is the tick counter's, not yet tied to a clock */
    valtocrane_time t;       /* the device time */
    valtocrane_time host;    /* the capture file's time of the record */
    std::uint64_t key;
    std::uint32_t interface;
    point_port port;
    valtocrane_flow flow;    /* where flows are wanted */
    std::uint32_t own;       /* the frame's own bytes captured (no device bytes, no FCS) */
    std::uint32_t wire;      /* its length on the wire */
    std::size_t bytes;       /* where its own bytes are in the batch, where kept */
};

/* What reading a file gave so far. */
enum read_status { READ_MORE, READ_END, READ_CUT_SHORT, READ_DAMAGED };

/* Records of one file, handed over a batch at a time, with the file's
 * interfaces as they were described by then. */
struct file_batch {
    std::vector<frame_info> frames;
    std::vector<guint8> bytes;
    std::vector<interface_info> interfaces;
    read_status status;      /* READ_MORE: more batches follow */
    int err;                 /* READ_DAMAGED: the library's error */
    std::string err_info;
    gint64 read_so_far;      /* bytes of the file read, for the progress */
};

/* How to look at records: the run's format and key, and what it keeps.
 * With later (files read by other threads), each frame's own bytes are
 * kept and its key and flow left to the matching thread, so that reading
 * and matching share the work. */
struct read_rules {
    valtocrane_format format;
    valtocrane_match_kind kind;
    bool flows;
    bool bytes;
    bool later;
};

/* Reads one capture file. */
class file_reader {
public:
    file_reader() = default;
    file_reader(const file_reader &) = delete;
    file_reader &operator=(const file_reader &) = delete;
    ~file_reader() { close(); }

    /* Opens the file; false with the library's error, said. */
    bool open(const char *path, const char *name);
    void close();
    /* Up to max more records. */
    void read(const read_rules &rules, file_batch *batch, std::size_t max);
    /* The time of the file's first record with one (false for none). */
    bool first_time(valtocrane_time *t);
    gint64 size() const { return size_; }

private:
    void note_new_interfaces();
    void look_at(const read_rules &rules, file_batch *batch, frame_info *f);

    wtap *wth_ = nullptr;
    valtocrane_record record_ = {};
    bool record_ready_ = false;
    std::vector<interface_info> interfaces_;
    guint64 records_ = 0;
    gint64 size_ = 0;
};

bool
file_reader::open(const char *path, const char *name)
{
    int err = 0;
    char *err_info = NULL;

    wth_ = wtap_open_offline(path, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (wth_ == NULL) {
        char *what = g_strdup_printf("cannot read %s", name);
        valtocrane_tool_library_error(PROGRAM, what, err, err_info);
        g_free(what);
        return false;
    }
    valtocrane_record_init(&record_);
    note_new_interfaces();
    size_ = strcmp(path, "-") == 0 ? 0 : wtap_file_size(wth_, &err);
    return true;
}

void
file_reader::close()
{
    if (wth_ == NULL)
        return;
    valtocrane_record_cleanup(&record_);
    wtap_close(wth_);
    wth_ = NULL;
}

/* Takes note of the interfaces the file has described since the last
 * call: their names, and whether valtocrane-retime re-timed them. */
void
file_reader::note_new_interfaces()
{
    wtap_block_t idb;

    while ((idb = wtap_get_next_interface_description(wth_)) != NULL) {
        interface_info info = { std::string(), false };
        char *text;

        if (wtap_block_get_string_option_value(idb, OPT_IDB_NAME, &text) == WTAP_OPTTYPE_SUCCESS)
            info.name = text;
        if (wtap_block_get_string_option_value(idb, OPT_IDB_DESCRIPTION, &text) ==
            WTAP_OPTTYPE_SUCCESS)
            info.retimed = valtocrane_interface_retimed(text);
        interfaces_.push_back(info);
    }
}

bool
file_reader::first_time(valtocrane_time *t)
{
    int err = 0;
    char *err_info = NULL;
    gint64 offset;

    while (valtocrane_record_read(wth_, &record_, &err, &err_info, &offset)) {
        const bool has = (record_.rec.presence_flags & WTAP_HAS_TS) != 0;
        *t = valtocrane_record_time(&record_.rec);
        valtocrane_record_reset(&record_);
        if (has)
            return true;
    }
    g_free(err_info);
    return false;
}

/* A frame's match key and, where flows are wanted, its flow, from its own
 * bytes. */
static void
key_and_flow(const read_rules &rules, const guint8 *own, frame_info *f)
{
    f->key = valtocrane_match_key(own, f->own, rules.kind);
    if (rules.flows)
        f->flow = valtocrane_flow_of(own, f->own);
}

/* The device time, match key, capture point and flow of a record, by the
 * plugin's rules. With --format disabled, and on an interface that
 * valtocrane-retime re-timed, the record's own time is the device time and
 * the frame holds no device bytes. The tick counter's time is its own: the
 * capture ties it to a clock, in order. */
void
file_reader::look_at(const read_rules &rules, file_batch *batch, frame_info *f)
{
    const wtap_rec *rec = &record_.rec;
    const guint8 *data = valtocrane_record_data(&record_);

    f->number = records_;
    f->packet = rec->rec_type == REC_TYPE_PACKET;
    f->has_time = false;
    f->counter = false;
    if (!f->packet)
        return;

    const wtap_packet_header *ph = &rec->rec_header.packet_header;
    f->interface = valtocrane_record_interface(wth_, rec);
    const bool plain = rules.format == VALTOCRANE_DISABLED ||
                       (f->interface < interfaces_.size() && interfaces_[f->interface].retimed);
    f->port = rules.format == VALTOCRANE_CAPTURE_HEADER && !plain ? NO_DEVICE_TIME
                                                                  : WHOLE_INTERFACE;
    f->host = valtocrane_record_time(rec);
    if (ph->pkt_encap != WTAP_ENCAP_ETHERNET)
        return;

    valtocrane_location at = { VALTOCRANE_NO_MARKER, 0, 0, 0, 0 };
    if (plain) {
        f->has_time = (rec->presence_flags & WTAP_HAS_TS) != 0;
        f->t = f->host;
    } else {
        at = valtocrane_locate(rules.format, data, ph->caplen, valtocrane_wire_length(ph),
                               ph->pseudo_header.eth.fcs_len);
        if (at.outcome == VALTOCRANE_FOUND) {
            f->has_time = true;
            f->t = valtocrane_device_time(rules.format, data, at);
            f->counter = rules.format == VALTOCRANE_TICK_TRAILER;
            if (rules.format == VALTOCRANE_CAPTURE_HEADER)
                f->port = static_cast<point_port>(valtocrane_port_index(
                    valtocrane_load_le32(data + VALTOCRANE_HEADER_PORT_OFF)));
        }
    }
    if (!f->has_time)
        return;
    const valtocrane_span own = valtocrane_own_bytes(at, ph->caplen, valtocrane_wire_length(ph),
                                                     ph->pseudo_header.eth.fcs_len);
    f->own = own.length;
    const guint32 device = at.front + at.back + at.fcs;
    f->wire = valtocrane_wire_length(ph) > device ? valtocrane_wire_length(ph) - device : 0;
    if (rules.bytes || rules.later) {
        f->bytes = batch->bytes.size();
        batch->bytes.insert(batch->bytes.end(), data + own.offset, data + own.offset + own.length);
    }
    if (!rules.later)
        key_and_flow(rules, data + own.offset, f);
}

void
file_reader::read(const read_rules &rules, file_batch *batch, std::size_t max)
{
    int err = 0;
    char *err_info = NULL;
    gint64 offset;

    batch->frames.clear();
    batch->frames.reserve(max);
    batch->bytes.clear();
    batch->status = READ_MORE;
    while (batch->frames.size() < max) {
        if (record_ready_)
            valtocrane_record_reset(&record_);
        record_ready_ = valtocrane_record_read(wth_, &record_, &err, &err_info, &offset);
        if (!record_ready_) {
            /* A file that stops abruptly has whole frames before. */
            batch->status = err == 0 ? READ_END
                          : err == WTAP_ERR_SHORT_READ ? READ_CUT_SHORT : READ_DAMAGED;
            batch->err = err;
            batch->err_info = err_info != NULL ? err_info : "";
            g_free(err_info);
            break;
        }
        note_new_interfaces();
        records_++;
        batch->frames.emplace_back();
        look_at(rules, batch, &batch->frames.back());
    }
    batch->interfaces = interfaces_;
    batch->read_so_far = wtap_read_so_far(wth_);
}

/* ---- Files read ahead ----------------------------------------------------- */

/* One file of a capture: read in batches by whoever takes it first, a
 * thread of the pool ahead of time or the matching thread when it gets
 * there. */
struct file_task {
    std::string path;
    std::string name;           /* as reports show it */
    std::mutex lock;
    std::condition_variable changed;
    enum { WAITING, READING, TAKEN } state = WAITING;  /* TAKEN: by the matching thread */
    std::deque<std::unique_ptr<file_batch>> ready;
    std::vector<std::unique_ptr<file_batch>> spare;  /* matched, to be filled again */
    bool done = false;          /* the last batch is in ready */
    bool opened = true;
    gint64 size = 0;
    file_reader reader;         /* the matching thread's, where it took the file */
};

/* Threads that read the files of every capture ahead, in the order they
 * are matched, at most `ahead` files beyond the one being matched and a
 * few batches each: memory stays bounded. */
class read_ahead {
public:
    void start(std::vector<file_task *> order, const read_rules &rules, unsigned threads,
               std::size_t ahead);
    void stop();
    /* The matching thread has finished the file at this place in order. */
    void done_with(file_task *task);
    bool running() const { return !threads_.empty(); }

private:
    void work();

    std::vector<file_task *> order_;
    read_rules rules_ = {};
    std::size_t ahead_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    std::size_t next_ = 0;      /* the next file to take */
    std::size_t finished_ = 0;  /* files the matching thread is done with */
    std::atomic<bool> stopping_{ false };
    std::vector<std::thread> threads_;
};

void
read_ahead::start(std::vector<file_task *> order, const read_rules &rules, unsigned threads,
                  std::size_t ahead)
{
    order_ = std::move(order);
    rules_ = rules;
    ahead_ = ahead;
    for (unsigned i = 0; i < threads; i++)
        threads_.emplace_back(&read_ahead::work, this);
}

void
read_ahead::stop()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (threads_.empty())
        return;
    for (file_task *t : order_) {
        std::lock_guard<std::mutex> hold(t->lock);
        t->ready.clear();
        t->changed.notify_all();
    }
    for (std::thread &t : threads_)
        t.join();
    threads_.clear();
}

void
read_ahead::done_with(file_task *)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        finished_++;
    }
    changed_.notify_all();
}

void
read_ahead::work()
{
    for (;;) {
        file_task *task = nullptr;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [this] {
                return stopping_ || next_ >= order_.size() || next_ < finished_ + ahead_;
            });
            if (stopping_ || next_ >= order_.size())
                return;
            task = order_[next_++];
        }
        {
            std::lock_guard<std::mutex> hold(task->lock);
            if (task->state != file_task::WAITING)
                continue;
            task->state = file_task::READING;
        }
        file_reader reader;
        bool more = reader.open(task->path.c_str(), task->name.c_str());
        {
            std::lock_guard<std::mutex> hold(task->lock);
            task->opened = more;
            task->size = reader.size();
            task->done = !more;
        }
        task->changed.notify_all();
        while (more) {
            std::unique_ptr<file_batch> batch;
            {
                std::lock_guard<std::mutex> hold(task->lock);
                if (!task->spare.empty()) {
                    batch = std::move(task->spare.back());
                    task->spare.pop_back();
                }
            }
            if (batch == nullptr)
                batch = std::make_unique<file_batch>();
            reader.read(rules_, batch.get(), BATCH_RECORDS);
            more = batch->status == READ_MORE;
            std::unique_lock<std::mutex> hold(task->lock);
            task->changed.wait(hold, [task, this] {
                return task->ready.size() < BATCHES_AHEAD || stopping_;
            });
            if (stopping_)
                return;
            task->ready.push_back(std::move(batch));
            task->done = !more;
            hold.unlock();
            task->changed.notify_all();
        }
    }
}

/* ---- Captures -------------------------------------------------------------- */

constexpr std::uint32_t NO_POINT = G_MAXUINT32;

/* One capture point's capture: a file, or a set of files read as one. */
struct capture_input {
    unsigned index;              /* 0: CAPTURE (A), 1: CAPTURE_B */
    std::string name;            /* as shown: the path(s), or "standard input" */
    std::vector<std::unique_ptr<file_task>> files;  /* in the order of their first times */
    std::size_t file;            /* the file being matched */
    std::unique_ptr<file_batch> batch;
    std::unique_ptr<file_batch> spare;  /* the last file's, to be filled again */
    std::size_t pos;
    gint64 size;                 /* of every file, for the progress on a terminal (0: none) */
    gint64 done_size;            /* of the files read through */

    /* The tick counter's tie: its own, or with --same-counter one for both. */
    valtocrane_tick_anchor own_anchor;
    valtocrane_tick_anchor *tick_anchor;
    std::map<std::pair<guint32, int>, std::uint32_t> point_of;  /* by interface and port */
    std::pair<guint32, int> last_key;                           /* the last one looked up */
    std::uint32_t last_point;

    guint64 frames;        /* records read (numbered over the whole set) */
    guint64 with_time;     /* frames with a device time */
    guint64 out_of_order;  /* frames with a device time earlier than the one before */
    bool have_last;
    valtocrane_time last;
    std::vector<std::string> cut_short;  /* files that end inside a record */
};

/* A frame with a device time as the matcher takes it, and what else the
 * run keeps of it. */
struct seen_frame {
    const file_task *file;
    guint64 number;          /* over the capture's set of files */
    const frame_info *info;
    const file_batch *batch;
    valtocrane_time t;       /* its device time, the tick counter tied */
    std::uint32_t point;
    std::uint32_t clock;
};

/* What the run keeps of a frame that waits for a copy, where an output
 * needs more than the matcher knows. */
struct waiting_frame {
    const file_task *file;
    guint64 frame;           /* in its file */
    valtocrane_flow flow;
    std::uint32_t wire;
    std::vector<guint8> bytes;
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

/* A text file written: the CSV of pairs, the time series, the export. */
struct text_output {
    const char *what;        /* as messages name it */
    valtocrane_output file;  /* path NULL for none */
    FILE *fp;
    bool failed;
    int err;
    bool to_stdout;          /* standard output, under any name */
};

/* The capture of the frames that found no copy. */
struct capture_output {
    valtocrane_output file;  /* path NULL for none */
    int fd;                  /* where it goes, until the writer takes it (-1 for stdout) */
    const char *format;      /* the run's format, as the file's comment names it */
    wtap_dumper *pdh;        /* opened with the first frame's interface */
    std::vector<guint32> interface_of;  /* by point; G_MAXUINT32 for none yet */
    guint32 interfaces;
    guint64 written;
    guint64 before_1970;     /* not written: pcapng holds no earlier time */
    bool failed;
    int err;
    std::string err_info;
};

struct latency_run {
    latency_options o;
    bool two_captures;
    read_rules rules;
    capture_input inputs[2];
    int input_count;
    read_ahead ahead;

    valtocrane_latency_stats stats;
    valtocrane_matcher matcher;
    std::unordered_map<std::uint64_t, waiting_frame> waiting;
    bool keep_waiting;       /* outputs need more than the matcher keeps */
    std::vector<point_times> times;  /* by point */
    std::vector<clock_step> steps;   /* the first STEPS_LISTED */
    guint64 step_count;

    text_output csv, series, exported;
    valtocrane_time series_margin;  /* an interval is closed this long after its end */
    capture_output unmatched;

    guint64 frames;          /* records read of every capture, for the progress */
    int shown;               /* the share last shown, -1 for none */
};

/* The capture point of a frame of one capture, added when first seen; two
 * captures are a point each. */
static std::uint32_t
point_of(latency_run *run, capture_input *in, const frame_info &f)
{
    if (run->two_captures)
        return in->index;
    const auto key = std::make_pair(f.interface, static_cast<int>(f.port));
    if (key == in->last_key && in->last_point != NO_POINT)
        return in->last_point;
    in->last_key = key;
    const auto found = in->point_of.find(key);
    if (found != in->point_of.end())
        return in->last_point = found->second;
    const std::vector<interface_info> &interfaces = in->batch->interfaces;
    const std::string label = valtocrane_point_label(
        f.interface, f.interface < interfaces.size() ? interfaces[f.interface].name.c_str() : NULL,
        f.port <= NO_DEVICE_TIME ? static_cast<int>(f.port) : -1);
    const std::uint32_t point = run->stats.point(label);
    in->point_of.emplace(key, point);
    return in->last_point = point;
}

/* ---- Reading --------------------------------------------------------------- */

/* The next batch of a file for the matching thread: one read ahead, or
 * read now where no thread has taken the file; used, the batch matched
 * before, to be filled again. NULL where the file cannot be opened
 * (said). */
static std::unique_ptr<file_batch>
next_batch(latency_run *run, file_task *task, std::unique_ptr<file_batch> used)
{
    std::unique_lock<std::mutex> hold(task->lock);
    if (used != nullptr && task->state == file_task::READING)
        task->spare.push_back(std::move(used));
    /* One capture's files are taken by the pool in order, so a thread is
     * free for this one (or is on it): waiting for it lets reading go on
     * beside the matching. Two captures' files are needed two at a time,
     * in an order the pool cannot know: one not yet taken is read here. */
    if (task->state == file_task::WAITING && run->ahead.running() && !run->two_captures)
        task->changed.wait(hold, [task] { return task->state != file_task::WAITING; });
    if (task->state == file_task::WAITING) {
        task->state = file_task::TAKEN;
        hold.unlock();
        if (!task->reader.open(task->path.c_str(), task->name.c_str()))
            return nullptr;
        hold.lock();
    }
    if (task->state == file_task::READING) {
        task->changed.wait(hold, [task] { return !task->ready.empty() || task->done; });
        if (task->ready.empty())
            return nullptr;
        std::unique_ptr<file_batch> batch = std::move(task->ready.front());
        task->ready.pop_front();
        hold.unlock();
        task->changed.notify_all();
        return batch;
    }
    hold.unlock();
    std::unique_ptr<file_batch> batch = used != nullptr ? std::move(used)
                                                        : std::make_unique<file_batch>();
    task->reader.read(run->rules, batch.get(), BATCH_RECORDS);
    return batch;
}

/* What reading a capture's next record gave. */
enum next_outcome { NEXT_FRAME, NEXT_END, NEXT_DAMAGED };

/* The next record of a capture, over its files in order. A file that ends
 * inside a record (a capture stopped abruptly) has whole records before
 * it; a damaged one is said here. */
static next_outcome
next_record(latency_run *run, capture_input *in, frame_info **f)
{
    while (in->batch == nullptr || in->pos >= in->batch->frames.size()) {
        if (in->file >= in->files.size())
            return NEXT_END;
        file_task *task = in->files[in->file].get();
        if (in->batch != nullptr && in->batch->status != READ_MORE) {
            /* The file is read through. */
            const file_batch &last = *in->batch;
            if (last.status == READ_DAMAGED) {
                char *what = g_strdup_printf("%s is damaged (frame %" G_GUINT64_FORMAT ")",
                                             task->name.c_str(), in->frames + 1);
                valtocrane_tool_library_error(PROGRAM, what, last.err,
                                              last.err_info.empty() ? NULL
                                                                    : g_strdup(last.err_info.c_str()));
                g_free(what);
                return NEXT_DAMAGED;
            }
            if (last.status == READ_CUT_SHORT)
                in->cut_short.push_back(task->name);
            in->done_size += task->size > 0 ? task->size : task->reader.size();
            in->spare = std::move(in->batch);
            in->file++;
            run->ahead.done_with(task);
            {
                /* Its batches and its file go, or a set of thousands of
                 * files would keep a few batches and a reader of each. */
                std::lock_guard<std::mutex> hold(task->lock);
                task->spare.clear();
                task->spare.shrink_to_fit();
                if (task->state == file_task::TAKEN)
                    task->reader.close();
            }
            continue;
        }
        in->batch = next_batch(run, task, std::move(in->batch != nullptr ? in->batch : in->spare));
        in->pos = 0;
        if (in->batch == nullptr)
            return NEXT_DAMAGED;
    }
    *f = &in->batch->frames[in->pos++];
    return NEXT_FRAME;
}

/* Bytes read of the captures' files, on one line rewritten in place. */
static void
note_progress(latency_run *run)
{
    if (run->frames % 16384 != 0 || run->inputs[0].size <= 0)
        return;
    gint64 done = 0, size = 0;
    for (int i = 0; i < run->input_count; i++) {
        const capture_input &in = run->inputs[i];
        done += in.done_size + (in.batch != nullptr ? in.batch->read_so_far : 0);
        size += in.size;
    }
    valtocrane_tool_show_progress(PROGRAM, done, size, &run->shown);
}

/* The next frame of a capture, and whether it has a device time (that the
 * matcher takes). */
static next_outcome
next_frame(latency_run *run, capture_input *in, seen_frame *f)
{
    frame_info *info;
    const next_outcome r = next_record(run, in, &info);
    if (r != NEXT_FRAME)
        return r;
    in->frames++;
    run->frames++;
    note_progress(run);
    f->file = in->files[in->file].get();
    f->number = in->frames;
    f->info = info;
    f->batch = in->batch.get();
    f->point = NO_POINT;
    if (!info->packet)
        return NEXT_FRAME;
    f->point = point_of(run, in, *info);
    f->clock = in->index << 16 | (info->interface & 0xFFFF);
    run->stats.seen(f->point, info->has_time);
    if (!info->has_time)
        return NEXT_FRAME;
    if (run->rules.later)
        key_and_flow(run->rules, in->batch->bytes.data() + info->bytes, info);

    /* The tick counter is tied to the capture's clock at its first frame
     * with a readable counter. */
    f->t = info->counter ? valtocrane_tick_anchor_apply(in->tick_anchor, info->host, info->t)
                         : info->t;
    in->with_time++;
    if (in->have_last && valtocrane_time_cmp(f->t, in->last) < 0)
        in->out_of_order++;
    in->last = f->t;
    in->have_last = true;
    if (f->point >= run->times.size())
        run->times.resize(f->point + 1, point_times());
    point_times &pt = run->times[f->point];
    if (!pt.seen || valtocrane_time_cmp(f->t, pt.first) < 0)
        pt.first = f->t;
    if (!pt.seen || valtocrane_time_cmp(f->t, pt.last) > 0)
        pt.last = f->t;
    pt.seen = true;
    return NEXT_FRAME;
}

/* ---- Outputs --------------------------------------------------------------- */

static void
text_failed(text_output *out)
{
    if (!out->failed) {
        out->failed = true;
        out->err = errno;
    }
}

static void
write_text(text_output *out, const std::string &text)
{
    if (out->fp != NULL && !out->failed && fputs(text.c_str(), out->fp) < 0)
        text_failed(out);
}

/* A flow's columns of the export: protocol, addresses, ports, VLAN. */
static std::string
flow_columns(const valtocrane_flow &f)
{
    char src[64] = "", dst[64] = "";
    if (f.version != 0) {
        const int family = f.version == 6 ? AF_INET6 : AF_INET;
        inet_ntop(family, f.src, src, sizeof src);
        inet_ntop(family, f.dst, dst, sizeof dst);
    }
    return std::to_string(f.protocol) + "," + src + "," + dst + "," +
           std::to_string(f.src_port) + "," + std::to_string(f.dst_port) + "," +
           (f.has_vlan ? std::to_string(f.vlan) : std::string("-1"));
}

static const char EXPORT_HEADER[] =
    "kind,from_point,to_point,earlier_file,earlier_frame,later_file,later_frame,"
    "earlier_time_ns,later_time_ns,latency_ns,protocol,src,dst,src_port,dst_port,vlan,"
    "frame_length\n";

/* The description of the interface of a capture point in the capture of
 * frames that found no copy: named after the point, noted as the tool
 * notes what it re-timed (the plugin leaves the frames alone). */
static wtap_block_t
unmatched_interface(const std::string &name)
{
    wtap_block_t idb = wtap_block_create(WTAP_BLOCK_IF_ID_AND_INFO);
    auto *mand = static_cast<wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(idb));
    mand->wtap_encap = WTAP_ENCAP_ETHERNET;
    mand->time_units_per_second = 1000000000;
    mand->tsprecision = WTAP_TSPREC_NSEC;
    mand->snap_len = WTAP_MAX_PACKET_SIZE_STANDARD;
    const std::string note = std::string(VALTOCRANE_RETIMED_NOTE) +
                             " [frames without a copy, written by valtocrane-latency]";
    wtap_block_add_string_option(idb, OPT_IDB_NAME, name.c_str(), name.size());
    wtap_block_add_string_option(idb, OPT_IDB_DESCRIPTION, note.c_str(), note.size());
    wtap_block_add_uint8_option(idb, OPT_IDB_TSRESOL, 9);
    wtap_block_add_uint8_option(idb, OPT_IDB_FCSLEN, 0);
    return idb;
}

/* The writer of the capture of frames that found no copy, with its first
 * interface (or, where there is none, the library's own). */
static bool
start_unmatched(capture_output *out, wtap_block_t first)
{
    const int pcapng = wtap_pcapng_file_type_subtype();
    wtap_dump_params params = WTAP_DUMP_PARAMS_INIT;
    wtapng_iface_descriptions_t idb_inf;
    char *err_info = NULL;

    params.encap = WTAP_ENCAP_ETHERNET;
    params.tsprec = WTAP_TSPREC_NSEC;
    params.snaplen = WTAP_MAX_PACKET_SIZE_STANDARD;
    idb_inf.interface_data = g_array_new(FALSE, FALSE, sizeof(wtap_block_t));
    if (first != NULL)
        g_array_append_val(idb_inf.interface_data, first);
    params.idb_inf = &idb_inf;
    params.shb_hdrs = g_array_new(FALSE, FALSE, sizeof(wtap_block_t));
    wtap_block_t shb = wtap_block_create(WTAP_BLOCK_SECTION);
    char *comment = g_strdup_printf("Frames that found no copy at another capture point within "
                                    "the window, written by %s %s (format %s), each with its "
                                    "device time", PROGRAM, VALTOCRANE_VERSION, out->format);
    wtap_block_add_string_option(shb, OPT_COMMENT, comment, strlen(comment));
    wtap_block_add_string_option_format(shb, OPT_SHB_USERAPPL, "%s %s", PROGRAM,
                                        VALTOCRANE_VERSION);
    g_free(comment);
    g_array_append_val(params.shb_hdrs, shb);
    if (out->fd < 0) {
        out->pdh = wtap_dump_open_stdout(pcapng, WTAP_UNCOMPRESSED, &params, &out->err,
                                         &err_info);
    } else {
        out->pdh = wtap_dump_fdopen(out->fd, pcapng, WTAP_UNCOMPRESSED, &params, &out->err,
                                    &err_info);
        if (out->pdh != NULL)
            out->fd = -1;
    }
    wtap_block_array_free(params.shb_hdrs);
    g_array_free(idb_inf.interface_data, TRUE);
    if (out->pdh == NULL) {
        out->failed = true;
        out->err_info = err_info != NULL ? err_info : "";
        g_free(err_info);
        return false;
    }
    return true;
}

/* The capture of frames that found no copy: each on an interface of its
 * capture point, with its device time as its time and without the
 * device's bytes. */
static void
write_unmatched(latency_run *run, std::uint32_t point, valtocrane_time t, const waiting_frame &w)
{
    capture_output *out = &run->unmatched;
    if (out->file.path == NULL || out->failed)
        return;
    if (t.secs < 0) {
        out->before_1970++;
        return;
    }
    if (point >= out->interface_of.size())
        out->interface_of.resize(point + 1, G_MAXUINT32);
    int err = 0;
    char *err_info = NULL;
    if (out->interface_of[point] == G_MAXUINT32) {
        wtap_block_t idb = unmatched_interface(run->stats.name(point));
        const bool added = out->pdh == NULL ? start_unmatched(out, idb)
                                            : wtap_dump_add_idb(out->pdh, idb, &err, &err_info);
        wtap_block_unref(idb);
        if (!added) {
            if (!out->failed) {
                out->failed = true;
                out->err = err;
                out->err_info = err_info != NULL ? err_info : "";
            }
            g_free(err_info);
            return;
        }
        out->interface_of[point] = out->interfaces++;
    }
    valtocrane_record record;
    valtocrane_record_init(&record);
    wtap_rec &rec = record.rec;
    rec.rec_type = REC_TYPE_PACKET;
    rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN | WTAP_HAS_INTERFACE_ID;
    rec.ts = valtocrane_nstime(t);
    rec.tsprec = WTAP_TSPREC_NSEC;
    rec.rec_header.packet_header.caplen = static_cast<guint32>(w.bytes.size());
    rec.rec_header.packet_header.len = std::max(w.wire, static_cast<guint32>(w.bytes.size()));
    rec.rec_header.packet_header.pkt_encap = WTAP_ENCAP_ETHERNET;
    rec.rec_header.packet_header.pseudo_header.eth.fcs_len = 0;
    valtocrane_record_set_interface(&rec, out->interface_of[point]);
    static const guint8 none = 0;
    if (!valtocrane_record_dump(out->pdh, &record, w.bytes.empty() ? &none : w.bytes.data(), &err,
                                &err_info)) {
        out->failed = true;
        out->err = err;
        out->err_info = err_info != NULL ? err_info : "";
        g_free(err_info);
    } else {
        out->written++;
    }
    valtocrane_record_cleanup(&record);
}

/* The rows of the time series whose intervals can no longer change: every
 * frame of them has found its copy or been given up, since the device
 * clock passed their end by twice the window. */
static void
write_series(latency_run *run, bool all)
{
    if (run->o.interval_ns == 0)
        return;
    std::vector<valtocrane_interval_row> rows;
    if (all) {
        rows = run->stats.close_all_intervals();
    } else {
        const valtocrane_time before = valtocrane_time_sub(run->matcher.clock(),
                                                           run->series_margin);
        if (!run->stats.closes(before))
            return;
        rows = run->stats.close_intervals(before);
    }
    for (const valtocrane_interval_row &row : rows)
        write_text(&run->series, run->stats.interval_csv_row(row));
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
        const auto w = run->waiting.find(e.id);
        const waiting_frame *frame = w != run->waiting.end() ? &w->second : nullptr;
        run->stats.lost(e.point, e.t, frame != nullptr ? &frame->flow : nullptr,
                        e.kind == VALTOCRANE_NO_ROOM);
        if (frame != nullptr) {
            if (run->exported.fp != NULL) {
                const std::string partner = run->stats.partner_name(e.point);
                write_text(&run->exported,
                           "lost," + valtocrane_csv_field(run->stats.name(e.point)) + "," +
                               valtocrane_csv_field(partner) + "," +
                               valtocrane_csv_field(frame->file->name) + "," +
                               std::to_string(frame->frame) + ",,0," +
                               valtocrane_ns_text(e.t) + ",0,0," + flow_columns(frame->flow) +
                               "," + std::to_string(frame->wire) + "\n");
            }
            write_unmatched(run, e.point, e.t, *frame);
            run->waiting.erase(w);
        }
    }
    run->matcher.clear_events();
}

/* Feeds a frame with a device time to the matcher; a copy's latency is
 * counted for its direction and written where asked. */
static void
match(latency_run *run, const capture_input *in, const seen_frame &f)
{
    const frame_info &info = *f.info;
    const std::uint64_t id = std::uint64_t(in->index) << ID_CAPTURE_SHIFT | f.number;
    const valtocrane_copy copy =
        run->matcher.add({ info.key, id, f.point, f.clock, f.t, info.host });

    if (copy.found) {
        run->stats.copy(copy.earlier_point, f.point, copy.earlier_time, f.t,
                        run->o.by_flow ? &info.flow : nullptr);
        const valtocrane_time d = valtocrane_time_sub(f.t, copy.earlier_time);
        const std::int64_t latency = d.secs * static_cast<std::int64_t>(VALTOCRANE_NS_PER_SEC) +
                                     d.nsecs;
        const guint64 earlier_number = copy.earlier & ID_NUMBER_MASK;
        const bool rows = run->csv.fp != NULL || run->exported.fp != NULL;
        const std::string earlier_time = rows ? valtocrane_ns_text(copy.earlier_time) : "";
        const std::string later_time = rows ? valtocrane_ns_text(f.t) : "";
        if (run->csv.fp != NULL) {
            char row[256];
            if (run->two_captures)
                snprintf(row, sizeof row, "%c,%" G_GUINT64_FORMAT ",%c,%" G_GUINT64_FORMAT
                         ",%s,%s,%" PRId64 "\n", "AB"[copy.earlier >> ID_CAPTURE_SHIFT],
                         earlier_number, "AB"[in->index], f.number, earlier_time.c_str(),
                         later_time.c_str(), latency);
            else
                snprintf(row, sizeof row, "%" G_GUINT64_FORMAT ",%" G_GUINT64_FORMAT
                         ",%s,%s,%" PRId64 "\n", earlier_number, f.number, earlier_time.c_str(),
                         later_time.c_str(), latency);
            write_text(&run->csv, row);
        }
        const auto w = run->waiting.find(copy.earlier);
        if (w != run->waiting.end()) {
            if (run->exported.fp != NULL)
                write_text(&run->exported,
                           "pair," +
                               valtocrane_csv_field(run->stats.name(copy.earlier_point)) + "," +
                               valtocrane_csv_field(run->stats.name(f.point)) + "," +
                               valtocrane_csv_field(w->second.file->name) + "," +
                               std::to_string(w->second.frame) + "," +
                               valtocrane_csv_field(f.file->name) + "," +
                               std::to_string(info.number) + "," + earlier_time + "," + later_time + "," +
                               std::to_string(latency) + "," + flow_columns(info.flow) + "," +
                               std::to_string(info.wire) + "\n");
            run->waiting.erase(w);
        }
    } else if (run->keep_waiting) {
        waiting_frame &w = run->waiting[id];
        w.file = f.file;
        w.frame = info.number;
        w.flow = info.flow;
        w.wire = info.wire;
        if (run->rules.bytes)
            w.bytes.assign(f.batch->bytes.begin() + static_cast<std::ptrdiff_t>(info.bytes),
                           f.batch->bytes.begin() +
                               static_cast<std::ptrdiff_t>(info.bytes + info.own));
    }
    note_events(run);
    write_series(run, false);
}

/* One capture: its frames, in capture order. */
static bool
read_one(latency_run *run)
{
    capture_input *in = &run->inputs[0];
    seen_frame f;
    next_outcome r;

    while ((r = next_frame(run, in, &f)) == NEXT_FRAME) {
        if (f.point != NO_POINT && f.info->has_time)
            match(run, in, f);
    }
    return r != NEXT_DAMAGED;
}

/* The next frame with a device time of a capture, if it has one more. */
static next_outcome
next_timed(latency_run *run, capture_input *in, seen_frame *f)
{
    next_outcome r;

    while ((r = next_frame(run, in, f)) == NEXT_FRAME) {
        if (f->point != NO_POINT && f->info->has_time)
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
        const next_outcome r = next_timed(run, &run->inputs[i], &next[i]);
        if (r == NEXT_DAMAGED)
            return false;
        have[i] = r == NEXT_FRAME;
    }
    while (have[0] || have[1]) {
        const int i = have[0] && (!have[1] || valtocrane_time_cmp(next[0].t, next[1].t) <= 0) ? 0
                                                                                              : 1;
        match(run, &run->inputs[i], next[i]);
        const next_outcome r = next_timed(run, &run->inputs[i], &next[i]);
        if (r == NEXT_DAMAGED)
            return false;
        have[i] = r == NEXT_FRAME;
    }
    return true;
}

/* ---- The report ------------------------------------------------------------ */

/* A device clock as the report names it: a capture's interface. */
static std::string
clock_label(const latency_run *run, std::uint32_t clock)
{
    const capture_input *in = &run->inputs[clock >> 16];
    std::string label = "interface " + std::to_string(clock & 0xFFFF);
    for (const auto &p : in->point_of) {
        if (p.first.first == (clock & 0xFFFF)) {
            label = run->stats.name(p.second);
            label = label.substr(0, valtocrane_point_port_offset(label));
            break;
        }
    }
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
            valtocrane_duration(run->o.window_ns).c_str());
    fprintf(out, "- The match key (%s): \"ip\" for a router, which changes TTL, checksum and "
            "MAC addresses; \"frame\" for a switch, which changes nothing.\n",
            run->o.kind == VALTOCRANE_MATCH_IP ? "ip" : "frame");
}

static void
print_report(FILE *out, const latency_run *run)
{
    fprintf(out, "%s %s: format %s, match key %s, window %s\n", PROGRAM, VALTOCRANE_VERSION,
            valtocrane_format_info_of(run->o.format).name,
            run->o.kind == VALTOCRANE_MATCH_IP ? "ip" : "frame",
            valtocrane_duration(run->o.window_ns).c_str());
    /* Two captures are points of their own, each a row of the table. */
    if (!run->two_captures)
        fprintf(out, "%s: %" G_GUINT64_FORMAT " frames read, %" G_GUINT64_FORMAT
                " with a device time\n", run->inputs[0].name.c_str(), run->inputs[0].frames,
                run->inputs[0].with_time);
    fputc('\n', out);
    fputs(run->stats.points_text().c_str(), out);

    if (run->stats.copies() == 0)
        print_no_copies(out, run);
    fputs(run->stats.directions_text().c_str(), out);
    if (run->o.by_flow) {
        fprintf(out, "\nBy flow, the worst p99 first (percentiles %s):\n",
                VALTOCRANE_PERCENTILE_PRECISION);
        fputs(run->stats.flows_text(FLOWS_LISTED).c_str(), out);
    }

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
    if (run->two_captures && run->o.format == VALTOCRANE_TICK_TRAILER && !run->o.same_counter)
        fprintf(out, "\nEach capture's tick counter is tied to its own capture host's clock: the "
                "latencies include the difference between the two hosts' clocks. Where both "
                "captures carry one device's counter, --same-counter ties them at one counter.\n");
    if (run->unmatched.file.path != NULL) {
        fprintf(out, "\n%" G_GUINT64_FORMAT " frames without a copy written to %s",
                run->unmatched.written, run->unmatched.file.path);
        if (run->unmatched.before_1970 != 0)
            fprintf(out, " (%" G_GUINT64_FORMAT " more with a device time before 1970, which "
                    "pcapng cannot hold)", run->unmatched.before_1970);
        fputs("\n", out);
    }
}

/* ---- Command line ---------------------------------------------------------- */

static void
print_usage(FILE *out)
{
    fprintf(out,
        "Usage: %s --format NAME [--window SECONDS] [--match ip|frame]\n"
        "          [--same-counter] [--by flow] [--interval SECONDS] [--csv FILE]\n"
        "          [--series FILE] [--export FILE] [--unmatched FILE] [--jobs N]\n"
        "          CAPTURE [CAPTURE_B]\n"
        "\n"
        "Measures how long frames take through a system from the ValtoCrane device\n"
        "times of the same frame seen at two capture points: in one CAPTURE, its\n"
        "interfaces and, in the capture header format, the device's ports (A, B,\n"
        "other); or two captures taken at two places with synchronised device clocks,\n"
        "CAPTURE point A and CAPTURE_B point B. A frame is a copy of one seen earlier\n"
        "at another point when both have the same match key and device times at most\n"
        "the window apart; each earlier frame is matched once, oldest first. Its\n"
        "latency is its device time less the earlier one's. A frame that found no\n"
        "copy within the window is lost.\n"
        "\n"
        "  -f, --format NAME       the device's timestamp layout, as in the plugin:\n",
        PROGRAM);
    valtocrane_tool_print_formats(out, "          ", NULL, "the frames' own times, no device bytes");
    fprintf(out,
        "      --window SECONDS    how far apart a frame and its copy may be, a decimal\n"
        "                          number of seconds (0.001, 5e-6; default %s)\n"
        "      --match ip          key IPv4 and IPv6 frames on the datagram without the\n"
        "                          TTL or hop limit and the IPv4 checksum (no MAC\n"
        "                          addresses, VLAN tags, padding, FCS), other frames on\n"
        "                          the whole frame (the default; a router)\n"
        "      --match frame       key every frame on the whole frame (a switch)\n"
        "      --same-counter      (tick-counter trailer, two captures) both carry the\n"
        "                          counter of one device: tie both at the same counter,\n"
        "                          not each to its own capture host's clock\n"
        "      --by flow           also report each flow (IP protocol, addresses and\n"
        "                          ports), the worst p99 first\n"
        "      --interval SECONDS  also write a time series: for each interval of\n"
        "                          device time and direction, copies, lost frames, min,\n"
        "                          p50, p99 and max (CSV, to --series FILE)\n"
        "      --series FILE       where the time series goes (default: standard output)\n"
        "      --csv FILE          write each matched pair to FILE: frame numbers,\n"
        "                          device times and the latency in nanoseconds\n"
        "      --export FILE       write each pair and each lost frame to FILE as rows\n"
        "                          for a database (CSV with a header row, integer\n"
        "                          nanoseconds): points, files and frame numbers, device\n"
        "                          times, latency, flow and VLAN, frame length\n"
        "      --unmatched FILE    write the lost frames to FILE (pcapng), each with its\n"
        "                          device time, on an interface named after its point\n"
        "      --jobs N            read with N threads beside the matching (files read\n"
        "                          ahead; the same results; default: the processors\n"
        "                          this runs on, at most 4)\n"
        "  -h, --help              show this help and exit\n"
        "  -V, --version           show the version and exit\n"
        "\n"
        "A report goes to standard output (to standard error where an output FILE is\n"
        "standard output): for each capture point the frames read, with a device time\n"
        "and lost; for each direction the copies, the frames lost and the latency\n"
        "(min, mean, p50, p90, p99, p99.9, max; percentiles within 0.8%%) with a\n"
        "histogram; the steps of a device clock (PTP setting it, a restart), after\n"
        "which matching goes on. Frame numbers are Wireshark's, 1-based in each\n"
        "capture. With two captures, each is assumed to be in device-time order;\n"
        "their frames are taken in that order.\n"
        "\n"
        "CAPTURE is any capture file the host's library reads, or a comma-separated\n"
        "set of them (a ring buffer's files), read as one capture in the order of\n"
        "their first record times; \"-\" reads standard input (CAPTURE only). FILE\n"
        "\"-\" is standard output; any other FILE is written under a temporary name\n"
        "beside it and put in place when complete. Memory is bounded by the window\n"
        "(at most %zu frames wait for a copy), the flows and the open intervals,\n"
        "not by the length of the captures.\n"
        "\n"
        "Exit codes:\n"
        "  0  done\n"
        "  1  bad usage (or FILE is a capture)\n"
        "  2  a capture unreadable or damaged; no report, no FILE\n"
        "  3  a FILE (or the report) could not be written\n"
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

/* ---- Output files ---------------------------------------------------------- */

/* Whether an output is standard output, under any name (/dev/stdout, the
 * file standard output was sent to), once opened as fd. */
static bool
is_standard_output(const valtocrane_output *file, int fd)
{
    struct stat o, c;

    if (file->kind == VALTOCRANE_OUTPUT_STDOUT)
        return true;
    if (fstat(STDOUT_FILENO, &o) != 0)
        return false;
    if (fd >= 0 && fstat(fd, &c) == 0 && c.st_dev == o.st_dev && c.st_ino == o.st_ino)
        return true;
    return file->kind == VALTOCRANE_OUTPUT_REPLACE && file->exists &&
           file->attrs.st_dev == o.st_dev && file->attrs.st_ino == o.st_ino;
}

/* Opens a text output as planned, and writes its header. */
static bool
open_text(text_output *out, const char *header)
{
    if (out->file.kind == VALTOCRANE_OUTPUT_STDOUT) {
        out->fp = stdout;
        out->to_stdout = true;
    } else {
        const int fd = valtocrane_output_open(&out->file, "latency", &out->err);
        if (fd < 0) {
            out->failed = true;
            return false;
        }
        out->to_stdout = is_standard_output(&out->file, fd);
        if ((out->fp = fdopen(fd, "w")) == NULL) {
            out->err = errno;
            out->failed = true;
            close(fd);
            return false;
        }
        setvbuf(out->fp, NULL, _IOFBF, 1 << 16);
    }
    write_text(out, header);
    return true;
}

/* Closes a text output and, where keep, puts it in place; otherwise, or
 * where it could not be written whole, removes what was written and says
 * so. */
static bool
finish_text(text_output *out, bool keep)
{
    if (out->file.path == NULL)
        return true;
    bool written = !out->failed;
    if (out->fp != NULL) {
        if (fflush(out->fp) != 0 && written)
            text_failed(out), written = false;
        if (out->fp != stdout && fclose(out->fp) != 0 && written)
            text_failed(out), written = false;
        out->fp = NULL;
    }
    if (keep && written && !valtocrane_output_commit(&out->file, &out->err))
        written = false;
    if (keep && !written)
        fprintf(stderr, "%s: cannot write %s: %s\n", PROGRAM,
                strcmp(out->file.path, "-") == 0 ? "standard output" : out->file.path,
                g_strerror(out->err));
    if (!keep || !written)
        valtocrane_output_discard(&out->file, PROGRAM);
    valtocrane_output_free(&out->file);
    return written;
}

/* Opens the capture of frames without a copy as planned; its writer
 * starts with its first interface. */
static bool
open_unmatched(capture_output *out, const char *format)
{
    out->format = format;
    out->fd = -1;
    if (out->file.kind == VALTOCRANE_OUTPUT_STDOUT)
        return true;
    out->fd = valtocrane_output_open(&out->file, "unmatched", &out->err);
    out->failed = out->fd < 0;
    return !out->failed;
}

static bool
finish_unmatched(capture_output *out, bool keep)
{
    if (out->file.path == NULL)
        return true;
    if (keep && !out->failed && out->pdh == NULL)
        start_unmatched(out, NULL);  /* no frame: a capture of none */
    if (out->fd >= 0)
        close(out->fd);
    out->fd = -1;
    bool written = !out->failed;
    if (out->pdh != NULL) {
        int err = 0;
        char *err_info = NULL;
        if (!wtap_dump_close(out->pdh, NULL, &err, &err_info) && written) {
            written = false;
            out->err = err;
            out->err_info = err_info != NULL ? err_info : "";
        }
        g_free(err_info);
        out->pdh = NULL;
    }
    if (keep && written && !valtocrane_output_commit(&out->file, &out->err))
        written = false;
    if (keep && !written) {
        char *what = g_strdup_printf("cannot write %s", strcmp(out->file.path, "-") == 0
                                                            ? "standard output" : out->file.path);
        valtocrane_tool_library_error(PROGRAM, what, out->err,
                                      out->err_info.empty() ? NULL
                                                            : g_strdup(out->err_info.c_str()));
        g_free(what);
    }
    if (!keep || !written)
        valtocrane_output_discard(&out->file, PROGRAM);
    valtocrane_output_free(&out->file);
    return written;
}

/* ---- Main ------------------------------------------------------------------ */

/* The files of a capture: a path, or a comma-separated set, read in the
 * order of their first record times. False where one cannot be read
 * (said). */
static bool
open_capture(latency_run *run, capture_input *in, unsigned index, const char *arg)
{
    in->index = index;
    in->last_point = NO_POINT;
    in->tick_anchor = run->o.same_counter ? &run->inputs[0].own_anchor : &in->own_anchor;
    std::vector<std::pair<valtocrane_time, std::string>> files;
    gchar **paths = g_strsplit(arg, ",", -1);
    for (gchar **p = paths; *p != NULL; p++) {
        if (**p != '\0')
            files.emplace_back(valtocrane_time(), *p);
    }
    g_strfreev(paths);
    if (files.size() > 1) {
        for (auto &f : files) {
            file_reader reader;
            if (!reader.open(f.second.c_str(), f.second.c_str()))
                return false;
            if (!reader.first_time(&f.first))
                f.first = { INT64_MAX, 0 };
        }
        std::stable_sort(files.begin(), files.end(), [](const auto &a, const auto &b) {
            return valtocrane_time_cmp(a.first, b.first) < 0;
        });
    }
    const bool progress = isatty(STDERR_FILENO) && strcmp(arg, "-") != 0;
    for (const auto &f : files) {
        auto task = std::make_unique<file_task>();
        task->path = f.second;
        task->name = f.second == "-" ? "standard input" : f.second;
        struct stat st;
        if (progress && stat(f.second.c_str(), &st) == 0)
            in->size += static_cast<gint64>(st.st_size);
        in->name += (in->name.empty() ? "" : ",") + task->name;
        in->files.push_back(std::move(task));
    }
    return true;
}

static int
measure(latency_run *run, char *const args[])
{
    const latency_options &o = run->o;
    run->rules = { o.format, o.kind, o.by_flow || o.exported != NULL, o.unmatched != NULL,
                   o.jobs > 1 };
    run->keep_waiting = o.by_flow || o.exported != NULL || o.unmatched != NULL;
    run->stats.reset(o.by_flow, o.interval_ns);
    for (int i = 0; i < run->input_count; i++) {
        if (!open_capture(run, &run->inputs[i], static_cast<unsigned>(i), args[i]))
            return LATENCY_BAD_INPUT;
    }
    if (run->two_captures) {
        for (int i = 0; i < 2; i++)
            run->stats.point(std::string(1, "AB"[i]) + " (" + run->inputs[i].name + ")",
                             std::string(1, "AB"[i]));
    }

    bool opened = true;
    if (run->csv.file.path != NULL)
        opened = open_text(&run->csv, run->two_captures
                                          ? "earlier_capture,earlier_frame,later_capture,"
                                            "later_frame,earlier_time_ns,later_time_ns,"
                                            "latency_ns\n"
                                          : "earlier_frame,later_frame,earlier_time_ns,"
                                            "later_time_ns,latency_ns\n");
    if (opened && run->series.file.path != NULL)
        opened = open_text(&run->series, valtocrane_latency_stats::interval_csv_header());
    if (opened && run->exported.file.path != NULL)
        opened = open_text(&run->exported, EXPORT_HEADER);
    if (opened && run->unmatched.file.path != NULL)
        opened = open_unmatched(&run->unmatched, valtocrane_format_info_of(o.format).name);
    if (!opened) {
        for (text_output *t : { &run->csv, &run->series, &run->exported })
            finish_text(t, true);
        finish_unmatched(&run->unmatched, true);
        return LATENCY_BAD_OUTPUT;
    }

    /* Files are matched capture by capture in order, two captures by
     * device time: read ahead in the order of their first times. */
    std::vector<file_task *> order;
    for (int i = 0; i < run->input_count; i++)
        for (auto &t : run->inputs[i].files)
            order.push_back(t.get());
    if (o.jobs > 1)
        run->ahead.start(order, run->rules, o.jobs - 1, o.jobs);

    run->matcher.reset(o.window_ns);
    run->series_margin = valtocrane_time_of_wide(2 * static_cast<valtocrane_wide>(o.window_ns));
    run->shown = -1;
    const bool read = run->two_captures ? read_two(run) : read_one(run);
    run->ahead.stop();
    valtocrane_tool_end_progress(run->shown);
    if (!read) {
        for (text_output *t : { &run->csv, &run->series, &run->exported })
            finish_text(t, false);
        finish_unmatched(&run->unmatched, false);
        return LATENCY_BAD_INPUT;
    }
    run->matcher.finish();
    note_events(run);
    write_series(run, true);

    int exit_code = LATENCY_DONE;
    bool to_stdout = run->unmatched.file.path != NULL &&
                     run->unmatched.file.kind == VALTOCRANE_OUTPUT_STDOUT;
    for (text_output *t : { &run->csv, &run->series, &run->exported }) {
        to_stdout = to_stdout || t->to_stdout;
        if (!finish_text(t, true))
            exit_code = LATENCY_BAD_OUTPUT;
    }
    if (!finish_unmatched(&run->unmatched, true))
        exit_code = LATENCY_BAD_OUTPUT;

    /* The report goes where no output file does. */
    FILE *report = to_stdout ? stderr : stdout;
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
                    PROGRAM, in.name.c_str(), in.out_of_order);
        for (const std::string &cut : in.cut_short) {
            if (in.files.size() == 1)
                fprintf(stderr, "%s: warning: %s ends inside frame %" G_GUINT64_FORMAT
                        " (the capture was cut short); the report counts the %" G_GUINT64_FORMAT
                        " whole frames before it\n", PROGRAM, cut.c_str(), in.frames + 1,
                        in.frames);
            else
                fprintf(stderr, "%s: warning: %s ends inside a frame (cut short); the report "
                        "counts its whole frames before it\n", PROGRAM, cut.c_str());
            if (exit_code == LATENCY_DONE)
                exit_code = LATENCY_CUT_SHORT;
        }
    }
    return exit_code;
}

/* Plans an output file (-1 for none); a usage error or an error's exit
 * code where it is a capture or cannot be written. */
static int
plan_output(valtocrane_output *file, const char *const captures[], int count)
{
    if (file->path == NULL)
        return -1;
    for (int i = 0; i < count; i++) {
        gchar **paths = g_strsplit(captures[i], ",", -1);
        bool same = false;
        for (gchar **p = paths; *p != NULL && !same; p++)
            same = **p != '\0' && valtocrane_tool_same_file(*p, file->path);
        g_strfreev(paths);
        if (same) {
            fprintf(stderr, "%s: %s is %s: refusing to write over a capture\n", PROGRAM,
                    strcmp(file->path, "-") == 0 ? "standard output" : file->path,
                    strcmp(captures[i], "-") == 0 ? "standard input" : captures[i]);
            return LATENCY_USAGE;
        }
    }
    const int err = valtocrane_output_plan(file);
    if (err != 0) {
        valtocrane_output_plan_failed(file, PROGRAM, err);
        return LATENCY_BAD_OUTPUT;
    }
    return -1;
}

int
main(int argc, char *argv[])
{
    enum { OPT_WINDOW = 256, OPT_MATCH, OPT_CSV, OPT_SAME_COUNTER, OPT_BY, OPT_INTERVAL,
           OPT_SERIES, OPT_EXPORT, OPT_UNMATCHED, OPT_JOBS };
    static const struct option long_options[] = {
        { "format",       required_argument, NULL, 'f' },
        { "window",       required_argument, NULL, OPT_WINDOW },
        { "match",        required_argument, NULL, OPT_MATCH },
        { "csv",          required_argument, NULL, OPT_CSV },
        { "same-counter", no_argument,       NULL, OPT_SAME_COUNTER },
        { "by",           required_argument, NULL, OPT_BY },
        { "interval",     required_argument, NULL, OPT_INTERVAL },
        { "series",       required_argument, NULL, OPT_SERIES },
        { "export",       required_argument, NULL, OPT_EXPORT },
        { "unmatched",    required_argument, NULL, OPT_UNMATCHED },
        { "jobs",         required_argument, NULL, OPT_JOBS },
        { "help",         no_argument,       NULL, 'h' },
        { "version",      no_argument,       NULL, 'V' },
        { NULL, 0, NULL, 0 }
    };
    static latency_run run;
    latency_options &o = run.o;
    const char *format_name = NULL;
    int opt;

    o.kind = VALTOCRANE_MATCH_IP;
    o.window_ns = static_cast<std::uint64_t>(VALTOCRANE_LATENCY_WINDOW_DEFAULT_US) * 1000;
    /* Reading goes on beside the matching where there is a processor for
     * it; more than a few threads read files further ahead than helps. */
    o.jobs = std::min(std::max(std::thread::hardware_concurrency(), 1u), DEFAULT_JOBS_MAX);
    opterr = 0;
    while ((opt = getopt_long(argc, argv, ":f:hV", long_options, NULL)) != -1) {
        switch (opt) {
        case 'f':
            format_name = optarg;
            break;
        case OPT_WINDOW:
        case OPT_INTERVAL: {
            std::uint64_t *ns = opt == OPT_WINDOW ? &o.window_ns : &o.interval_ns;
            const char *wrong = valtocrane_parse_seconds(optarg, ns);
            if (wrong != NULL) {
                fprintf(stderr, "%s: %s '%s' %s\nTry '%s --help' for more information.\n",
                        PROGRAM, opt == OPT_WINDOW ? "--window" : "--interval", optarg, wrong,
                        PROGRAM);
                return LATENCY_USAGE;
            }
            break;
        }
        case OPT_MATCH:
            if (strcmp(optarg, "ip") == 0)
                o.kind = VALTOCRANE_MATCH_IP;
            else if (strcmp(optarg, "frame") == 0)
                o.kind = VALTOCRANE_MATCH_FRAME;
            else
                return usage_error("--match takes ip or frame, not '%s'", optarg);
            break;
        case OPT_CSV:
            o.csv = optarg;
            break;
        case OPT_SAME_COUNTER:
            o.same_counter = true;
            break;
        case OPT_BY:
            if (strcmp(optarg, "flow") != 0)
                return usage_error("--by takes flow, not '%s'", optarg);
            o.by_flow = true;
            break;
        case OPT_SERIES:
            o.series = optarg;
            break;
        case OPT_EXPORT:
            o.exported = optarg;
            break;
        case OPT_UNMATCHED:
            o.unmatched = optarg;
            break;
        case OPT_JOBS: {
            char *end;
            const unsigned long jobs = strtoul(optarg, &end, 10);
            if (*optarg < '1' || *optarg > '9' || *end != '\0' || jobs > 256)
                return usage_error("--jobs takes a number of threads from 1 to 256, not '%s'",
                                   optarg);
            o.jobs = static_cast<unsigned>(jobs);
            break;
        }
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
    o.format = format->format;
    if (argc - optind != 1 && argc - optind != 2)
        return usage_error("%s", "one CAPTURE or two (CAPTURE CAPTURE_B) are required, and "
                                 "nothing else");
    run.input_count = argc - optind;
    run.two_captures = run.input_count == 2;
    if (o.same_counter && (!run.two_captures || o.format != VALTOCRANE_TICK_TRAILER))
        return usage_error("%s", "--same-counter ties the tick counters of two captures: it "
                                 "needs --format valtocrane-q3-graphite and CAPTURE_B");
    if (o.series != NULL && o.interval_ns == 0)
        return usage_error("%s", "--series needs --interval SECONDS");
    if (o.interval_ns != 0 && o.series == NULL)
        o.series = "-";
    char *const *captures = argv + optind;
    for (int i = 0; i < run.input_count; i++) {
        const bool stdin_in_set = strcmp(captures[i], "-") != 0 &&
                                  (strstr(captures[i], ",-,") != NULL ||
                                   g_str_has_prefix(captures[i], "-,") ||
                                   g_str_has_suffix(captures[i], ",-"));
        if ((i == 1 && strcmp(captures[i], "-") == 0) || stdin_in_set)
            return usage_error("%s", "standard input ('-') can be only the first capture, "
                                     "and alone");
    }
    int stdout_users = 0;
    for (const char *path : { o.csv, o.series, o.exported, o.unmatched })
        stdout_users += path != NULL && strcmp(path, "-") == 0;
    if (stdout_users > 1)
        return usage_error("%s", "only one output FILE can be standard output ('-')");

    run.csv = { "--csv", {}, NULL, false, 0, false };
    run.series = { "--series", {}, NULL, false, 0, false };
    run.exported = { "--export", {}, NULL, false, 0, false };
    run.csv.file.path = o.csv;
    run.series.file.path = o.series;
    run.exported.file.path = o.exported;
    run.unmatched.file.path = o.unmatched;
    run.unmatched.fd = -1;
    for (valtocrane_output *file : { &run.csv.file, &run.series.file, &run.exported.file,
                                     &run.unmatched.file }) {
        const int code = plan_output(file, captures, run.input_count);
        if (code >= 0)
            return code;
    }

    valtocrane_host_startup(PROGRAM, argv[0]);
    wtap_init(TRUE);

    valtocrane_tool_clean_up_on_signals();

    const int exit_code = measure(&run, captures);
    for (int i = 0; i < run.input_count; i++)
        run.inputs[i].files.clear();
    run.matcher.release();
    wtap_cleanup();
    return exit_code;
}
