/* valtocrane-fuzz.cpp
 * libFuzzer target: the host's dissection library, in-process, with the
 * ValtoCrane dissector registered, taking each input as a capture that the
 * GUI opens, reads and dissects again and again, through the host tests'
 * replay of the GUI (tests/host/host-session.h).
 *
 * The plugin's sources are compiled into this program with the fuzzer's
 * coverage instrumentation and the address and undefined-behaviour
 * sanitizers, and registered through the plugin's own plugin_register()
 * before epan_init(), as the host registers the plugins it loads. The rest
 * is built with the sanitizers but without coverage instrumentation, so the
 * edges the fuzzer counts are the plugin's alone. The host's libraries are
 * the distribution's own. A dissector bug the host reports aborts the run
 * (WIRESHARK_ABORT_ON_DISSECTOR_BUG), as a crash does.
 *
 * An input is one capture, held in memory. Byte 0 chooses the format the
 * capture is opened with (its low 2 bits: disabled, tick-counter trailer,
 * seconds-and-fraction trailer, capture header), the packet list's time
 * format (bits 2-5, modulo 10: relative, absolute, with date, delta,
 * epoch, UTC...) and a read filter (bits 6-7: none, "valtocrane",
 * "!valtocrane.ts", "udp"). Then come frames, each a 20-byte record and its
 * bytes (little-endian fields). Each frame is read as a live capture reads
 * it, then the steps its record asks for are taken, in the order of the
 * bits (byte 1's 0x10 and 0x80 after byte 0's 0x02, 0x80 before 0x40):
 *
 *   0      flags:  0x01 select the frame (a visible tree)
 *                  0x02 draw every row (columns filled in)
 *                  0x04 the frame was cut by a snap length: its reported
 *                       length exceeds the captured one by bytes 6-7 + 1
 *                  0x08 Edit > Time Shift every frame by bytes 16-19 (one shift
 *                       until it is undone: the host's own arithmetic on
 *                       the frame records loses nanoseconds, and then
 *                       overflows, when fractions of several shifts add
 *                       up past a second)
 *                  0x10 the frame is Ethernet inside PPI, not the record itself
 *                  0x20 dissect every frame anew (a new session)
 *                  0x40 change the format to byte 1's low 2 bits (the
 *                       Preferences dialog: a new session)
 *                  0x80 the capture stops: every frame is read (a frame
 *                       after it opens a new capture)
 *   1      bits 0-1 the format for 0x40; 0x04 the file keeps microseconds;
 *          0x08 close the capture and open a new one with this frame;
 *          0x10 apply the display filter of bits 5-6 ("", "valtocrane",
 *          "eth", "valtocrane.ts"); 0x80 undo every Time Shift
 *   2      bits 0-1 the FCS length the file gives (1: none, 2: 4 bytes, else
 *          not known); 0x04 the frame's interface is one valtocrane-retime
 *          re-timed (its description carries the tool's note)
 *   3      Statistics: 0x01 open the ValtoCrane Latency window (its
 *          listener on the plugin's tap, filled by a retap); 0x02 draw
 *          it (every row of every table read); 0x04 close it; 0x08 print
 *          the "-z valtocrane,latency" report (to /dev/null), whose
 *          listener is registered for the whole run
 *   4-5    captured length (at most what the input has left)
 *   6-7    for 0x04, reported length less captured length less 1
 *   8-11   capture file time, signed seconds since 1970
 *   12-15  its nanoseconds (taken modulo 10^9)
 *   16-17  Time Shift, signed seconds; 18-19 its fraction in 1/65536 s
 *
 * With VALTOCRANE_FUZZ_FORMAT set to a format's preference value, every
 * capture is opened in that format and a format change goes between it
 * (format bits not 0) and "disabled" (0), so a run can stay with one format;
 * with "disabled" fixed, a change goes to the format the bits say. With
 * "host" every format is "disabled": the plugin never holds link type
 * Ethernet and the host is alone, so that a crashing input can show
 * whether the fault is the host's own.
 *
 * Every new dissection of the capture is made twice, and each frame must
 * get the same time from both. After one in "Disabled" each frame must also
 * show its capture file time again (VALTOCRANE_FUZZ_TIME_CHECK=0 leaves
 * that check out, for runs over a plugin with a known fault there).
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <wireshark.h>
#include <epan/column.h>
#include <epan/prefs.h>
#include <epan/stat_tap_ui.h>
#include <epan/tap.h>
#include <epan/timestamp.h>

#include "host-session.h"
#include "valtocrane-format.h"

extern "C" void plugin_register(void);

namespace {

constexpr std::size_t RECORD_LEN = 20;
constexpr unsigned MAX_FRAMES = 16;
/* The packet list's time formats, TS_RELATIVE to TS_UTC_WITH_YDOY. */
constexpr unsigned TIME_FORMATS = TS_UTC_WITH_YDOY + 1;

const char *const READ_FILTERS[] = { nullptr, "valtocrane", "!valtocrane.ts", "udp" };
const char *const DISPLAY_FILTERS[] = { "", "valtocrane", "eth", "valtocrane.ts" };

/* A PPI header: version 0, no flags, 8 bytes, link type Ethernet. */
const guint8 PPI_ETHERNET[] = { 0, 0, 8, 0, 1, 0, 0, 0 };

/* A record of the capture as the file would hold it. */
struct Stored {
    nstime_t ts;
    int tsprec;
    guint32 reported;
    int encap;
    int fcs_len;
    guint32 interface_id;
    std::vector<guint8> bytes;
};

/* The capture's records, read as they are added, as from a live capture's
 * file. */
class MemoryRecords : public host::Records {
public:
    std::vector<Stored> stored;

    bool next(valtocrane_record *r, gint64 *offset) override
    {
        if (read_ >= stored.size())
            return false;
        *offset = static_cast<gint64>(read_);
        return at(static_cast<gint64>(read_++), r);
    }

    bool at(gint64 offset, valtocrane_record *r) override
    {
        const Stored &s = stored[static_cast<std::size_t>(offset)];
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
        /* 4.6 names the record's type, and the frame dissector shows the name. */
        wtap_setup_packet_rec(&r->rec, s.encap);
#else
        r->rec.rec_type = REC_TYPE_PACKET;
#endif
        r->rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN | WTAP_HAS_INTERFACE_ID;
        r->rec.ts = s.ts;
        r->rec.tsprec = s.tsprec;
        r->rec.rec_header.packet_header.caplen = static_cast<guint32>(s.bytes.size());
        r->rec.rec_header.packet_header.len = s.reported;
        r->rec.rec_header.packet_header.pkt_encap = s.encap;
        r->rec.rec_header.packet_header.interface_id = s.interface_id;
        r->rec.rec_header.packet_header.pseudo_header.eth.fcs_len = s.fcs_len;
        valtocrane_record_set_data(r, s.bytes.data(), static_cast<guint32>(s.bytes.size()));
        return true;
    }

    /* Interface 1 is one valtocrane-retime re-timed and stripped. */
    const char *interface_description(guint32 id) override
    {
        return id == 1 ? VALTOCRANE_RETIMED_NOTE : nullptr;
    }

private:
    std::size_t read_ = 0;
};

/* The host's dissection session, kept: epan_new() runs every dissector's
 * init routine, which takes some 30 ms (with the sanitizers more) and keeps
 * about 10 MB that epan_free() does not give back (4.0.17), far too much
 * for every input. What the plugin sees of a new session is its own init
 * routine, so that is what runs for each; a whole new session of the host
 * replaces it at the first and then at every 20,000th. */
void (*plugin_init)(void);

class FuzzSession : public host::Session {
protected:
    void end_session() override {}
    void start_session() override
    {
        if (epan_ == nullptr || ++sessions_ % 20000 == 0) {
            if (epan_ != nullptr)
                host::Session::end_session();
            host::Session::start_session();
        } else {
            plugin_init();
        }
    }

private:
    unsigned long sessions_ = 0;
};

FuzzSession *session;
MemoryRecords *records;
column_info cinfo;
const char *fixed_format;
bool disabled;  /* the format now chosen is "Disabled" */
bool time_check = true;

void
report(const char *format, va_list ap)
{
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
}

} // namespace

/* The plugin's init routine, as the plugin registers it (the link wraps
 * the plugin's calls of register_init_routine with this). */
extern "C" void __real_register_init_routine(void (*func)(void));

extern "C" void
__wrap_register_init_routine(void (*func)(void))
{
    plugin_init = func;
    __real_register_init_routine(func);
}

namespace {

const char *
format_name(unsigned bits)
{
    const char *name = VALTOCRANE_FORMATS[bits & 3].name;

    /* One format fixed: a change goes between it and "Disabled"; with
     * "Disabled" fixed, to any format, so that frames get retimed. */
    if (fixed_format && strcmp(fixed_format, "host") == 0)
        name = "disabled";
    else if (fixed_format && strcmp(fixed_format, "disabled") != 0)
        name = (bits & 3) ? fixed_format : "disabled";
    disabled = strcmp(name, "disabled") == 0;
    return name;
}

/* What the user sees after a whole new dissection in "Disabled": every frame
 * with its capture file time (plus its Time Shift) and the file's time
 * precision, as the host alone shows it. Anything else is a fault the
 * sanitizers cannot see: it stops the run like a crash. */
void
check_file_times(const std::vector<host::FrameTime> &times)
{
    for (std::size_t i = 0; i < times.size(); i++) {
        const host::FrameTime &t = times[i];
        const Stored &s = records->stored[static_cast<std::size_t>(t.file_off)];
        const valtocrane_time expected = valtocrane_time_normalise(
            static_cast<std::int64_t>(s.ts.secs) + t.shift_offset.secs,
            static_cast<std::int64_t>(s.ts.nsecs) + t.shift_offset.nsecs);
        const valtocrane_time shown = valtocrane_time_normalise(t.abs_ts.secs, t.abs_ts.nsecs);

        if (!valtocrane_time_equal(shown, expected) || t.tsprec != s.tsprec) {
            fprintf(stderr, "frame %zu after a new dissection in \"Disabled\": time %lld.%09d "
                    "precision %d, capture file time %lld.%09d precision %d\n", i + 1,
                    static_cast<long long>(shown.secs), shown.nsecs, t.tsprec,
                    static_cast<long long>(expected.secs), expected.nsecs, s.tsprec);
            abort();
        }
    }
}

/* A new dissection of every frame of the capture, done twice: both start
 * from the same frames in the same format, so each frame must get the very
 * same time and precision from both, as every view of a frame shows it
 * whichever dissection drew it. */
void
redissect(void)
{
    session->redissect();
    const std::vector<host::FrameTime> first = session->times();
    session->redissect();
    const std::vector<host::FrameTime> second = session->times();
    for (std::size_t i = 0; i < first.size(); i++) {
        const nstime_t &a = first[i].abs_ts, &b = second[i].abs_ts;
        if (a.secs != b.secs || a.nsecs != b.nsecs || first[i].tsprec != second[i].tsprec) {
            fprintf(stderr, "frame %zu dissected anew twice: time %lld.%09d precision %d, "
                    "then %lld.%09d precision %d\n", i + 1, static_cast<long long>(a.secs),
                    a.nsecs, first[i].tsprec, static_cast<long long>(b.secs), b.nsecs,
                    second[i].tsprec);
            abort();
        }
    }
    if (disabled && time_check)
        check_file_times(second);
}

guint32
le16(const guint8 *p)
{
    return static_cast<guint32>(p[0] | p[1] << 8);
}

guint32
le32(const guint8 *p)
{
    return le16(p) | le16(p + 2) << 16;
}

/* The next frame of the input as a record of the capture; NULL when the
 * input has no whole record left. */
const guint8 *
read_frame(const guint8 *&data, std::size_t &size, Stored *s)
{
    if (size < RECORD_LEN)
        return NULL;
    const guint8 *h = data;
    const bool ppi = h[0] & 0x10;
    const guint32 captured = MIN(le16(h + 4), static_cast<guint32>(size - RECORD_LEN));
    const guint32 reported = captured + ((h[0] & 0x04) ? le16(h + 6) + 1 : 0);
    const guint32 front = ppi ? sizeof PPI_ETHERNET : 0;

    data += RECORD_LEN + captured;
    size -= RECORD_LEN + captured;

    s->bytes.assign(PPI_ETHERNET, PPI_ETHERNET + front);
    s->bytes.insert(s->bytes.end(), h + RECORD_LEN, h + RECORD_LEN + captured);
    s->reported = reported + front;
    s->encap = ppi ? WTAP_ENCAP_PPI : WTAP_ENCAP_ETHERNET;
    s->fcs_len = (h[2] & 3) == 1 ? 0 : (h[2] & 3) == 2 ? VALTOCRANE_FCS_LEN : -1;
    s->interface_id = (h[2] & 0x04) ? 1 : 0;
    s->ts.secs = static_cast<gint32>(le32(h + 8));
    s->ts.nsecs = static_cast<int>(le32(h + 12) % 1000000000U);
    s->tsprec = WTAP_TSPREC_NSEC;
    if (h[1] & 0x04) {
        s->tsprec = WTAP_TSPREC_USEC;
        s->ts.nsecs -= s->ts.nsecs % 1000;
    }
    return h;
}

/* Edit > Time Shift by the record's offset: a sign and an offset of one
 * sign, as the dialog parses it. */
host::TimeShift
time_shift(const guint8 *h)
{
    const auto secs = static_cast<gint16>(le16(h + 16));
    host::TimeShift shift;
    shift.negative = secs < 0;
    shift.offset.secs = secs < 0 ? -secs : secs;
    shift.offset.nsecs = static_cast<int>(le16(h + 18) * 15258U);  /* under 10^9 */
    return shift;
}

/* The ValtoCrane Latency window, as the GUI's statistics dialog holds it:
 * its own listener on the plugin's tap, tables reset and filled by a retap
 * and read whole when it draws. */
struct StatisticsWindow {
    StatisticsWindow() : ui(stat_tap_by_name("valtocrane,tables"))
    {
        data.stat_tap_data = ui;
        data.user_data = NULL;
        ui->stat_tap_init_cb(ui);
        GString *error = register_tap_listener(ui->tap_name, &data, NULL, 0, reset,
                                               ui->packet_func, NULL, NULL);
        if (error != NULL) {
            fprintf(stderr, "cannot open the statistics window: %s\n", error->str);
            abort();
        }
    }
    ~StatisticsWindow()
    {
        remove_tap_listener(&data);
        reset_stat_table(ui);
    }
    static void reset(void *sd) { reset_stat_table(static_cast<stat_data_t *>(sd)->stat_tap_data); }

    void draw() const
    {
        for (guint t = 0; t < ui->tables->len; t++) {
            const auto *table = g_array_index(ui->tables, stat_tap_table *, t);
            for (guint row = 0; row < table->num_elements; row++) {
                const stat_tap_table_item_type *f = stat_tap_get_field_data(table, row, 0);
                for (guint c = 0; c < table->num_fields; c++)
                    if (f[c].type == TABLE_ITEM_STRING && f[c].value.string_value == NULL)
                        abort();
            }
        }
    }

    stat_tap_table_ui *ui;
    stat_data_t data;
};

std::unique_ptr<StatisticsWindow> statistics;

void
statistics_steps(const guint8 *h)
{
    if ((h[3] & 0x01) && !statistics) {
        statistics = std::make_unique<StatisticsWindow>();
        session->retap();
    }
    if ((h[3] & 0x02) && statistics)
        statistics->draw();
    if (h[3] & 0x04)
        statistics.reset();
    if (h[3] & 0x08)
        draw_tap_listeners(TRUE);
}

void
open_capture(const char *read_filter)
{
    auto fresh = std::make_unique<MemoryRecords>();
    records = fresh.get();
    session->open_records(std::move(fresh), read_filter);
}

int
initialise(const char *argv0)
{
    static struct report_message_routines routines;

    /* No user's preferences, profiles or caches: every run the same. */
    g_setenv("XDG_CACHE_HOME", "/nonexistent", TRUE);
    g_setenv("XDG_CONFIG_HOME", "/nonexistent", TRUE);
    g_setenv("XDG_DATA_HOME", "/nonexistent", TRUE);
    g_setenv("WIRESHARK_DEBUG_WMEM_OVERRIDE", "simple", FALSE);
    g_setenv("WIRESHARK_ABORT_ON_DISSECTOR_BUG", "1", TRUE);
    g_setenv("G_SLICE", "always-malloc", FALSE);

    const char *check = getenv("VALTOCRANE_FUZZ_TIME_CHECK");
    time_check = !check || strcmp(check, "0") != 0;
    fixed_format = getenv("VALTOCRANE_FUZZ_FORMAT");
    if (fixed_format && !*fixed_format)
        fixed_format = NULL;

    valtocrane_host_startup("valtocrane-fuzz", argv0);
    /* The host's warnings about frames it cannot find for time references
     * would fill the output; its errors and failed assertions still abort. */
    ws_log_set_level(LOG_LEVEL_CRITICAL);
    /* The target opens no file: the host's file failures are only counted. */
    valtocrane_host_report_routines(&routines, report);
    init_report_message("valtocrane-fuzz", &routines);

    wtap_init(FALSE);
    /* The host's plugin loader would call this on loading valtocrane.so. */
    plugin_register();
    if (!epan_init(NULL, NULL, FALSE)) {
        fprintf(stderr, "epan_init failed\n");
        return 1;
    }
    /* The program's own tap listeners: none; the plugin's statistics. */
    static tap_reg_t no_taps[] = { { NULL, NULL } };
    register_all_tap_listeners(no_taps);
    e_prefs *prefs_p = epan_load_settings();
    /* Remote captures (RPCAP over UDP) of Ethernet: the host dissects their
     * frames through the link-type table, so Ethernet inside an Ethernet
     * frame reaches the plugin too. */
    char rpcap[] = "rpcap.linktype:1";
    char *errmsg = NULL;
    if (prefs_set_pref(rpcap, &errmsg) != PREFS_SET_OK)
        fprintf(stderr, "cannot set %s: %s\n", rpcap, errmsg ? errmsg : "");
    g_free(errmsg);
    prefs_apply_all();
    if (fixed_format && strcmp(fixed_format, "host") != 0 &&
        !valtocrane_format_by_name(fixed_format)) {
        fprintf(stderr, "VALTOCRANE_FUZZ_FORMAT: no format %s\n", fixed_format);
        return 1;
    }
    if (!plugin_init) {
        fprintf(stderr, "the plugin registered no init routine\n");
        return 1;
    }
    timestamp_set_precision(TS_PREC_AUTO);
    timestamp_set_seconds_type(TS_SECONDS_DEFAULT);
    build_column_format_array(&cinfo, prefs_p->num_cols, TRUE);
    /* tshark -z valtocrane,latency,...: its report goes nowhere. */
    if (!freopen("/dev/null", "w", stdout) ||
        !process_stat_cmd_arg("valtocrane,latency,interval=0.001,by=flow")) {
        fprintf(stderr, "cannot ask for the -z valtocrane,latency report\n");
        return 1;
    }
    start_requested_stats();
    session = new FuzzSession;
    session->show_columns(&cinfo);
    return 0;
}

} // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***argv)
{
    if (initialise((*argv)[0]) != 0)
        exit(1);
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;

    const char *read_filter = READ_FILTERS[data[0] >> 6];
    host::set_format(format_name(data[0]));
    timestamp_set_type(static_cast<ts_type>(((data[0] >> 2) & 0xF) % TIME_FORMATS));
    open_capture(read_filter);
    data++;
    size--;

    bool reading = true;
    bool shifted = false;
    unsigned frames = 0;
    Stored stored;
    const guint8 *h;
    while (frames < MAX_FRAMES && (h = read_frame(data, size, &stored)) != NULL) {
        const guint8 flags = h[0], more = h[1];

        if ((more & 0x08) || !reading) {
            /* Another capture: this frame becomes its first. */
            open_capture(read_filter);
            reading = true;
            shifted = false;
        }
        records->stored.push_back(stored);
        frames++;
        session->continue_tail(1);

        if (more & 0x10)
            session->filter(DISPLAY_FILTERS[(more >> 5) & 3]);
        if (flags & 0x01)
            session->select(session->count());
        if (flags & 0x02)
            session->redraw();
        if ((flags & 0x08) && !shifted) {
            session->time_shift(time_shift(h));
            shifted = true;
        }
        if (more & 0x80) {
            session->time_shift_undo();
            shifted = false;
        }
        if (flags & 0x80) {
            session->finish_tail();
            reading = false;
        }
        if (flags & 0x40)
            host::set_format(format_name(more));
        if (flags & 0x60)
            redissect();
        statistics_steps(h);
    }
    session->close();
    statistics.reset();
    return 0;
}
