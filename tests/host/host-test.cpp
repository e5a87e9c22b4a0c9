// The built plugin loaded into the host's own libraries, dissected the way
// the GUI dissects an open capture again and again (host-session.h), and
// every frame's time compared after each step: with values worked out by
// hand, and with a fresh open of the same capture in the final state.
//
// The host is set up once a process, as TShark sets itself up: an empty
// temporary HOME so that no user preferences leak in, the capture-file
// library, the plugin's registration handed to the host before the
// dissection library starts (the host ignores plugin folders for root, so
// the file ctest names in VALTOCRANE_PLUGIN is opened directly), then the
// preferences loaded and applied.

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <wireshark.h>
#include <epan/epan.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto.h>
#include <epan/stat_tap_ui.h>
#include <epan/tap.h>
#include <wiretap/wtap.h>
#include <wsutil/filesystem.h>
#include <wsutil/privileges.h>
#include <wsutil/report_message.h>
#include <wsutil/wslog.h>

#include "host-session.h"

namespace {

using host::FrameTime;
using host::Session;
using host::TimeShift;

// ---- The host, set up once a process ----------------------------------

const char *program_path = "valtocrane-host-test";
std::string work_dir;
dissector_handle_t host_ethernet;  // what the host has under link type Ethernet

void
report_failure(const char *format, va_list ap)
{
    std::vfprintf(stderr, format, ap);
    std::fputc('\n', stderr);
    valtocrane_host_reports++;
}

dissector_handle_t
ethernet_entry()
{
    return dissector_get_uint_handle(find_dissector_table("wtap_encap"), WTAP_ENCAP_ETHERNET);
}

class Host : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char *plugin = std::getenv("VALTOCRANE_PLUGIN");
        ASSERT_TRUE(plugin != nullptr && *plugin != '\0')
            << "VALTOCRANE_PLUGIN must name the built valtocrane.so (run the tests through ctest)";

        gchar *dir = g_dir_make_tmp("valtocrane-host-XXXXXX", NULL);
        ASSERT_TRUE(dir != nullptr);
        work_dir = dir;
        g_free(dir);
        const std::string home = work_dir + "/home";
        ASSERT_EQ(g_mkdir_with_parents((home + "/.config").c_str(), 0700), 0);
        g_setenv("HOME", home.c_str(), TRUE);
        g_setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
        g_setenv("TZ", "UTC", TRUE);

        // tshark.c's order.
        valtocrane_host_startup("valtocrane-host-test", program_path);
        static report_message_routines report_routines;
        valtocrane_host_report_routines(&report_routines, report_failure);
        init_report_message("valtocrane-host-test", &report_routines);
        wtap_init(FALSE);

        // What the host's plugin loader does with a plugin file: check the
        // series it was built for, then call its registration.
        void *so = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(so != nullptr) << dlerror();
        const auto *want_major = static_cast<const int *>(dlsym(so, "plugin_want_major"));
        const auto *want_minor = static_cast<const int *>(dlsym(so, "plugin_want_minor"));
        const auto *version = static_cast<const char *>(dlsym(so, "plugin_version"));
        auto *register_plugin = reinterpret_cast<void (*)(void)>(dlsym(so, "plugin_register"));
        ASSERT_TRUE(want_major && want_minor && version && register_plugin)
            << plugin << " does not export the plugin entry points";
        int major = 0, minor = 0, micro = 0;
        epan_get_version_number(&major, &minor, &micro);
        ASSERT_EQ(*want_major, major);
        ASSERT_EQ(*want_minor, minor);
        register_plugin();

        // No plugin folders: the plugin is registered already, and one
        // installed on this machine would be registered twice.
        ASSERT_TRUE(epan_init(NULL, NULL, FALSE));
        // The program's own tap listeners: none; the plugin's statistics.
        static tap_reg_t no_taps[] = { { NULL, NULL } };
        register_all_tap_listeners(no_taps);
        epan_load_settings();
        prefs_apply_all();

        host_ethernet = ethernet_entry();
        ASSERT_TRUE(find_dissector("valtocrane") != nullptr);
        ASSERT_TRUE(host_ethernet != nullptr);
        ASSERT_NE(host_ethernet, find_dissector("valtocrane"))
            << "the default is Disabled: the host's own Ethernet dissector under link type Ethernet";
    }

    void TearDown() override
    {
        EXPECT_EQ(valtocrane_host_reports, 0) << "the host reported errors (reading the captures, say)";
        epan_cleanup();
        wtap_cleanup();
        if (!work_dir.empty()) {
            const std::string rm = "rm -rf '" + work_dir + "'";
            if (std::system(rm.c_str()) != 0)
                std::fprintf(stderr, "could not remove %s\n", work_dir.c_str());
        }
    }
};

// ---- Capture files, written with the host's capture-file library -------

typedef std::vector<guint8> Bytes;

struct Interface {
    int encap;
    int tsprec;  // WTAP_TSPREC_USEC or WTAP_TSPREC_NSEC
    const char *description = nullptr;
};

struct Record {
    gint64 secs;
    gint32 nsecs;
    Bytes frame;
    guint32 interface_id;
    guint32 wire_length = 0;  // more than the frame's bytes: cut by a snap length
};

const std::vector<Interface> ethernet_ns = { { WTAP_ENCAP_ETHERNET, WTAP_TSPREC_NSEC } };
const std::vector<Interface> ethernet_us = { { WTAP_ENCAP_ETHERNET, WTAP_TSPREC_USEC } };

// A pcapng file, one interface description per entry of interfaces.
std::string
write_pcapng(const char *name, const std::vector<Interface> &interfaces,
             const std::vector<Record> &records)
{
    const std::string path = work_dir + "/" + name + ".pcapng";
    wtapng_iface_descriptions_t idb_inf;
    idb_inf.interface_data = g_array_new(FALSE, FALSE, sizeof(wtap_block_t));
    for (const Interface &i : interfaces) {
        wtap_block_t idb = wtap_block_create(WTAP_BLOCK_IF_ID_AND_INFO);
        auto *mand = static_cast<wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(idb));
        mand->wtap_encap = i.encap;
        mand->tsprecision = i.tsprec;
        mand->snap_len = 262144;
        if (i.description != nullptr)
            wtap_block_add_string_option(idb, OPT_IDB_DESCRIPTION, i.description,
                                         strlen(i.description));
        if (i.tsprec == WTAP_TSPREC_NSEC) {
            mand->time_units_per_second = 1000000000;
            wtap_block_add_uint8_option(idb, OPT_IDB_TSRESOL, 9);
        } else {
            mand->time_units_per_second = 1000000;  // the default resolution, no option
        }
        g_array_append_val(idb_inf.interface_data, idb);
    }

    wtap_dump_params params = {};
    params.encap = interfaces.size() == 1 ? interfaces[0].encap : WTAP_ENCAP_PER_PACKET;
    params.snaplen = 262144;
    params.tsprec = interfaces[0].tsprec;
    params.idb_inf = &idb_inf;

    int err = 0;
    gchar *err_info = NULL;
    wtap_dumper *wdh = wtap_dump_open(path.c_str(), wtap_pcapng_file_type_subtype(),
                                      WTAP_UNCOMPRESSED, &params, &err, &err_info);
    if (wdh == NULL)
        g_error("cannot write %s: %s", path.c_str(), err_info ? err_info : g_strerror(err));
    for (const Record &r : records) {
        valtocrane_record record;
        valtocrane_record_init(&record);
        wtap_rec &rec = record.rec;
        rec.rec_type = REC_TYPE_PACKET;
        rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN | WTAP_HAS_INTERFACE_ID;
        rec.ts.secs = static_cast<time_t>(r.secs);
        rec.ts.nsecs = r.nsecs;
        rec.tsprec = interfaces[r.interface_id].tsprec;
        rec.rec_header.packet_header.caplen = static_cast<guint32>(r.frame.size());
        rec.rec_header.packet_header.len =
            std::max(static_cast<guint32>(r.frame.size()), r.wire_length);
        rec.rec_header.packet_header.pkt_encap = interfaces[r.interface_id].encap;
        rec.rec_header.packet_header.interface_id = r.interface_id;
        if (!valtocrane_record_dump(wdh, &record, r.frame.data(), &err, &err_info))
            g_error("cannot write to %s: %s", path.c_str(), err_info ? err_info : g_strerror(err));
        valtocrane_record_cleanup(&record);
    }
    if (!wtap_dump_close(wdh, NULL, &err, &err_info))
        g_error("cannot close %s", path.c_str());
    for (guint i = 0; i < idb_inf.interface_data->len; i++)
        wtap_block_unref(g_array_index(idb_inf.interface_data, wtap_block_t, i));
    g_array_free(idb_inf.interface_data, TRUE);
    return path;
}

// ---- Frames -------------------------------------------------------------

// A 60-byte Ethernet II frame (local experimental EtherType). Its first
// four bytes read as the little-endian word 2, not the capture header's
// marker 6.
Bytes
ethernet_frame(size_t size = 60)
{
    Bytes f = { 0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, 0x88, 0xB5 };
    for (guint8 i = 0; f.size() < size; i++)
        f.push_back(i);
    return f;
}

void
put_le32(Bytes &b, guint32 v)
{
    for (int i = 0; i < 4; i++)
        b.push_back(static_cast<guint8>(v >> (8 * i)));
}

void
put_be32(Bytes &b, guint32 v)
{
    for (int i = 3; i >= 0; i--)
        b.push_back(static_cast<guint8>(v >> (8 * i)));
}

// 28-byte capture header (marker 6, spare word, port, seconds, fraction of
// which 0xFFFFFFFF is a whole second, captured and packet length), then the
// frame.
Bytes
with_header(guint32 secs, guint32 fraction, guint32 port = 0, const Bytes &frame = ethernet_frame())
{
    Bytes b;
    for (guint32 w : { 6U, 0U, port, secs, fraction, 60U, 60U })
        put_le32(b, w);
    b.insert(b.end(), frame.begin(), frame.end());
    return b;
}

// The frame, then an 8-byte trailer of two big-endian words: seconds and
// fraction (2^-32 s), or a 56-bit count of 5 ns ticks and a spare byte.
Bytes
with_trailer(guint32 w1, guint32 w2, size_t size = 60)
{
    Bytes b = ethernet_frame(size);
    put_be32(b, w1);
    put_be32(b, w2);
    return b;
}

Bytes
first_bytes(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

Bytes
with_ticks(guint64 ticks, size_t size = 60)
{
    return with_trailer(static_cast<guint32>(ticks >> 24), static_cast<guint32>(ticks << 8), size);
}

// ---- Expected times -------------------------------------------------------

struct Expected {
    gint64 secs;
    gint32 nsecs;
    int tsprec;
};

constexpr int US = WTAP_TSPREC_USEC;
constexpr int NS = WTAP_TSPREC_NSEC;

std::string
show(const nstime_t &t)
{
    char s[64];
    std::snprintf(s, sizeof s, "%lld.%09d", static_cast<long long>(t.secs), t.nsecs);
    return s;
}

// Whether two times stand for the same instant, whatever the signs they
// were kept with (the host keeps a time before 1970 that its own arithmetic
// made with both parts negative).
bool
same_instant(const nstime_t &a, const nstime_t &b)
{
    const gint64 na = static_cast<gint64>(a.secs) * 1000000000 + a.nsecs;
    const gint64 nb = static_cast<gint64>(b.secs) * 1000000000 + b.nsecs;
    return na == nb;
}

bool
normalised(const nstime_t &t)
{
    return t.nsecs >= 0 && t.nsecs < 1000000000;
}

// Every frame as in the table, exactly: the frame record and what the
// frame's later dissectors saw.
::testing::AssertionResult
times_are(const std::vector<FrameTime> &got, const std::vector<Expected> &want)
{
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " frames, not " << want.size();
    bool ok = true;
    std::string report;
    for (size_t i = 0; i < got.size(); i++) {
        const nstime_t w = { static_cast<time_t>(want[i].secs), want[i].nsecs };
        const FrameTime &g = got[i];
        if (g.abs_ts.secs != w.secs || g.abs_ts.nsecs != w.nsecs || g.tsprec != want[i].tsprec ||
            !g.dissected || g.pinfo_ts.secs != w.secs || g.pinfo_ts.nsecs != w.nsecs) {
            ok = false;
            report += "\n  frame " + std::to_string(i + 1) + ": frame record " + show(g.abs_ts) +
                      " precision " + std::to_string(g.tsprec) + ", later dissectors saw " +
                      show(g.pinfo_ts) + "; expected " + show(w) + " precision " +
                      std::to_string(want[i].tsprec);
        }
    }
    if (ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << report;
}

// Every frame as in a reference state (a fresh open, maybe shifted): the
// same instant and precision in the frame record, the same instant seen by
// the frame's later dissectors; and the very same seconds and nanoseconds
// wherever the reference keeps them normalised.
::testing::AssertionResult
same_times(const std::vector<FrameTime> &got, const std::vector<FrameTime> &reference)
{
    if (got.size() != reference.size())
        return ::testing::AssertionFailure() << got.size() << " frames, not " << reference.size();
    bool ok = true;
    std::string report;
    for (size_t i = 0; i < got.size(); i++) {
        const FrameTime &g = got[i];
        const nstime_t &r = reference[i].abs_ts;
        const bool exact = !normalised(r) ||
            (g.abs_ts.secs == r.secs && g.abs_ts.nsecs == r.nsecs &&
             g.pinfo_ts.secs == r.secs && g.pinfo_ts.nsecs == r.nsecs);
        if (!same_instant(g.abs_ts, r) || g.tsprec != reference[i].tsprec || !g.dissected ||
            !same_instant(g.pinfo_ts, r) || !exact) {
            ok = false;
            report += "\n  frame " + std::to_string(i + 1) + ": frame record " + show(g.abs_ts) +
                      " precision " + std::to_string(g.tsprec) + ", later dissectors saw " +
                      show(g.pinfo_ts) + "; reference " + show(r) + " precision " +
                      std::to_string(reference[i].tsprec);
        }
    }
    if (ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << report;
}

// A fresh open of a capture in a format, read through (and shifted).
std::vector<FrameTime>
fresh_open(const std::string &path, const char *format,
           const std::vector<TimeShift> &shifts = {}, bool undo = false)
{
    host::set_format(format);
    Session s;
    if (!s.open(path))
        ADD_FAILURE() << "cannot open " << path;
    // The host's own arithmetic on the frame records, no row drawn since.
    for (const TimeShift &shift : shifts)
        s.time_shift_all(shift);
    if (undo)
        s.time_shift_undo_all();
    return s.times();
}

// Whether the selected frame num lists protocol among its layers.
bool
selected_shows(Session &s, guint32 num, const char *protocol)
{
    s.select(num);
    return s.selected() != nullptr && proto_is_frame_protocol(s.selected()->pi.layers, protocol);
}

// ---- Captures and their times, worked out by hand -------------------------

const char *const DISABLED = "disabled";
const char *const TICKS = "valtocrane-q3-graphite";
const char *const FRACTION = "valtocrane-proprietary-headers";
const char *const HEADER = "valtocrane-pcapng";

// Capture header, microsecond pcapng. Fractions: 0x80000000 * 10^9 /
// (2^32 - 1) = 500000000.1 -> 500000000 ns; 0x40000000 -> 250000000.06
// -> 250000000; 0xFFFFFFFF is a whole second, carried; 5 -> 1.16 -> 1.
std::string
header_capture()
{
    return write_pcapng("header-us", ethernet_us, {
        { 1700000000, 100000000, with_header(1600000000, 0x80000000), 0 },
        { 1700000000, 200000000, with_header(1600000001, 0x40000000), 0 },
        { 1700000000, 300000000, ethernet_frame(), 0 },       // no marker: not the device's
        { 1700000000, 400000000, with_header(1600000002, 0xFFFFFFFF), 0 },
        { 1700000000, 500000000, with_header(1600000004, 5), 0 },
        { 1700000000, 600000000, first_bytes(with_header(1600000005, 0), 20), 0 },  // header cut short
    });
}

const std::vector<Expected> header_decoded = {
    { 1600000000, 500000000, NS },
    { 1600000001, 250000000, NS },
    { 1700000000, 300000000, US },
    { 1600000003, 0, NS },
    { 1600000004, 1, NS },
    { 1700000000, 600000000, US },
};

const std::vector<Expected> header_file_times = {
    { 1700000000, 100000000, US }, { 1700000000, 200000000, US },
    { 1700000000, 300000000, US }, { 1700000000, 400000000, US },
    { 1700000000, 500000000, US }, { 1700000000, 600000000, US },
};

// Trailers whose 8 bytes read both ways (nanosecond pcapng):
//   words (1, 0):          1 s + 0                 | ticks 2^24 = 16777216
//   words (1, 0x80000000): 1 s + 2^31 * 2^-32 s    | ticks 2^24 + 2^23 = 25165824
//   words (2, 0x100):      2 s + 256 * 2^-32 s = 59.6 ns -> 59 | ticks 2^25 + 1 = 33554433
//   words (0, 0x100):      59 ns                    | ticks 1
// Tick counter tied at frame 1 (file time 1700000000.0): frame n is
// 1700000000 s + (ticks_n - 16777216) * 5 ns: +41943040 ns, +83886085 ns,
// -83886075 ns.
std::string
trailer_capture()
{
    return write_pcapng("trailers", ethernet_ns, {
        { 1700000000, 0, with_trailer(1, 0), 0 },
        { 1700000000, 100000000, with_trailer(1, 0x80000000), 0 },
        { 1700000000, 200000000, with_trailer(2, 0x100), 0 },
        { 1700000000, 300000000, with_trailer(0, 0x100), 0 },
    });
}

const std::vector<Expected> fraction_decoded = {
    { 1, 0, NS }, { 1, 500000000, NS }, { 2, 59, NS }, { 0, 59, NS },
};

const std::vector<Expected> ticks_decoded = {
    { 1700000000, 0, NS },
    { 1700000000, 41943040, NS },
    { 1700000000, 83886085, NS },
    { 1699999999, 916113925, NS },
};

const std::vector<Expected> trailer_file_times = {
    { 1700000000, 0, NS }, { 1700000000, 100000000, NS },
    { 1700000000, 200000000, NS }, { 1700000000, 300000000, NS },
};

const TimeShift plus_one_hour = { false, { 3600, 0 } };           // "1:00:00"
const TimeShift minus_hour_and_quarter = { true, { 3600, 250000000 } };  // "-1:00:00.25"

// ---- A. Back to Disabled -------------------------------------------------

TEST(Disabled, AfterDecodingEveryFrameHasItsFileTimeAndPrecisionBack)
{
    const std::string capture = header_capture();

    host::set_format(HEADER);
    Session s;
    ASSERT_TRUE(s.open(capture));
    EXPECT_TRUE(times_are(s.times(), header_decoded));
    EXPECT_EQ(ethernet_entry(), find_dissector("valtocrane"));

    s.change_format(DISABLED);
    EXPECT_TRUE(times_are(s.times(), header_file_times)) << "after the redissection";
    s.select(4);
    s.select(1);
    const std::vector<FrameTime> disabled = s.times();
    EXPECT_TRUE(times_are(disabled, header_file_times)) << "after selecting frames 4 and 1";

    s.redissect();
    EXPECT_EQ(ethernet_entry(), host_ethernet)
        << "once every frame has its file time back, the host's own Ethernet dissector";
    EXPECT_TRUE(same_times(s.times(), disabled));
    s.close();

    Session fresh;
    fresh.open_records(host::open_file(capture));
    EXPECT_EQ(ethernet_entry(), host_ethernet) << "a fresh open in Disabled, from the start";
    fresh.read();
    EXPECT_TRUE(same_times(disabled, fresh.times())) << "against a fresh open in Disabled";
}

// A live capture dissected anew while it runs (a preference changed during
// the capture), then stopped: its frames retimed before the new dissection
// are still the open capture's, and "Disabled" must give them their file
// times back, though no frame after the new dissection had a device time.
TEST(Disabled, LiveCaptureDissectedAnewWhileRunningGetsItsFileTimesBack)
{
    const std::string capture = write_pcapng("live", ethernet_us, {
        { 1700000000, 100000000, with_header(1600000000, 0x80000000), 0 },
        { 1700000000, 200000000, ethernet_frame(), 0 },  // no marker
    });
    const std::vector<Expected> file_times = {
        { 1700000000, 100000000, US }, { 1700000000, 200000000, US },
    };

    host::set_format(HEADER);
    Session s;
    s.open_records(host::open_file(capture));
    s.continue_tail(1);
    s.redissect();
    s.continue_tail(1);
    s.finish_tail();
    EXPECT_TRUE(times_are(s.times(), { { 1600000000, 500000000, NS }, file_times[1] }));

    s.change_format(DISABLED);
    EXPECT_TRUE(times_are(s.times(), file_times)) << "after the capture stopped";
    s.redissect();
    EXPECT_EQ(ethernet_entry(), host_ethernet);
    EXPECT_TRUE(times_are(s.times(), file_times)) << "once the host's Ethernet is back";
}

// Whatever a decoding format did to the frame records (a device time, or
// only nanosecond precision where the device time is the file time), one
// dissection in "Disabled" gives every frame its file time back, and the
// next has the host's Ethernet dissector alone under link type Ethernet:
// frame.protocols as without the plugin.
TEST(Disabled, TheHostHasItsEntryBackAfterOneRedissection)
{
    // Microseconds in the file; the counter of frame 1 ties it at its own
    // file time, so only the precision changes.
    const std::string precision_only = write_pcapng("precision-only", ethernet_us, {
        { 1700000000, 123000, with_ticks(5), 0 },
        { 1700000001, 0, Bytes{ 0x02, 0, 0 }, 0 },
    });
    const struct {
        std::string capture;
        const char *format;
        const char *read_filter;
        std::vector<Expected> file_times;
    } cases[] = {
        { header_capture(), HEADER, nullptr, header_file_times },
        { precision_only, TICKS, nullptr, { { 1700000000, 123000, US }, { 1700000001, 0, US } } },
        // The frames the read filter dropped were retimed once, then never
        // dissected again.
        { header_capture(), HEADER, "frame.len != 88", { header_file_times[2],
                                                         header_file_times[5] } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.format) + (c.read_filter ? " with a read filter" : ""));
        host::set_format(c.format);
        Session s;
        ASSERT_TRUE(s.open(c.capture, c.read_filter));
        s.change_format(DISABLED);
        EXPECT_TRUE(times_are(s.times(), c.file_times));
        s.redissect();
        EXPECT_EQ(ethernet_entry(), host_ethernet);
        EXPECT_TRUE(times_are(s.times(), c.file_times));
        EXPECT_FALSE(selected_shows(s, 1, "valtocrane"));
    }
}

// ---- B. One decoding format to another -----------------------------------

TEST(Formats, FractionTrailerSwitchedToTickCounterEqualsAFreshTickOpen)
{
    const std::string capture = trailer_capture();

    host::set_format(FRACTION);
    Session s;
    ASSERT_TRUE(s.open(capture));
    EXPECT_TRUE(times_are(s.times(), fraction_decoded));

    s.change_format(TICKS);
    EXPECT_TRUE(times_are(s.times(), ticks_decoded)) << "frame 1 keeps its file time";
    s.select(3);
    s.select(1);
    s.redraw();
    const std::vector<FrameTime> switched = s.times();
    EXPECT_TRUE(times_are(switched, ticks_decoded)) << "after selections and a redraw";
    s.close();

    EXPECT_TRUE(same_times(switched, fresh_open(capture, TICKS)));
    EXPECT_TRUE(times_are(fresh_open(capture, DISABLED), trailer_file_times));
}

// Capture headers whose frames the snap length cut 12 bytes short: the
// header is whole, the last 8 bytes on the wire were not captured. Read as
// a trailer format, no frame has a device time.
TEST(Formats, FramesWithoutADeviceTimeInTheNewFormatGetTheirFileTimesBack)
{
    const std::string capture = write_pcapng("cut-headers", ethernet_ns, {
        { 1700000000, 0, with_header(1600000000, 0x80000000), 0, 100 },
        { 1700000001, 0, with_header(1600000001, 0), 0, 100 },
    });
    const std::vector<Expected> file_times = { { 1700000000, 0, NS }, { 1700000001, 0, NS } };

    host::set_format(HEADER);
    Session s;
    ASSERT_TRUE(s.open(capture));
    EXPECT_TRUE(times_are(s.times(), { { 1600000000, 500000000, NS }, { 1600000001, 0, NS } }));
    for (const char *trailer : { FRACTION, TICKS }) {
        s.change_format(trailer);
        EXPECT_TRUE(times_are(s.times(), file_times)) << trailer;
        s.change_format(HEADER);
    }
}

// ---- C. Time Shift in each decoding format -------------------------------

// Each step, and the state of a fresh open it must equal: 0 plain, 1 with
// +1 h, 2 with +1 h then -1:00:00.25, 3 with both shifts undone.
struct Seen {
    const char *step;
    std::vector<FrameTime> times;
    int reference;
};

void
expect_shifts_as_on_a_fresh_open(const std::string &capture, const char *format)
{
    std::vector<Seen> seen;

    host::set_format(format);
    Session s;
    ASSERT_TRUE(s.open(capture));
    s.time_shift(plus_one_hour);
    seen.push_back({ "+1 h, rows drawn", s.times(), 1 });
    s.filter("valtocrane || eth");
    seen.push_back({ "+1 h, display filter", s.times(), 1 });
    s.redissect();
    seen.push_back({ "+1 h, redissected", s.times(), 1 });
    s.select(2);
    s.select(1);
    seen.push_back({ "+1 h, frames 2 and 1 selected", s.times(), 1 });
    s.time_shift(minus_hour_and_quarter);
    seen.push_back({ "-1:00:00.25 more, rows drawn", s.times(), 2 });
    s.filter("");
    seen.push_back({ "-1:00:00.25 more, filter cleared", s.times(), 2 });
    s.redissect();
    seen.push_back({ "-1:00:00.25 more, redissected", s.times(), 2 });
    s.time_shift_undo();
    seen.push_back({ "shifts undone, rows drawn", s.times(), 3 });
    s.redissect();
    seen.push_back({ "shifts undone, redissected", s.times(), 0 });
    s.close();

    const std::vector<FrameTime> references[] = {
        fresh_open(capture, format),
        fresh_open(capture, format, { plus_one_hour }),
        fresh_open(capture, format, { plus_one_hour, minus_hour_and_quarter }),
        fresh_open(capture, format, { plus_one_hour, minus_hour_and_quarter }, true),
    };
    for (const Seen &step : seen)
        EXPECT_TRUE(same_times(step.times, references[step.reference])) << step.step;
}

TEST(TimeShift, CaptureHeaderEqualsAFreshOpenWithTheSameShift)
{
    expect_shifts_as_on_a_fresh_open(header_capture(), HEADER);
}

TEST(TimeShift, FractionTrailerEqualsAFreshOpenWithTheSameShift)
{
    expect_shifts_as_on_a_fresh_open(trailer_capture(), FRACTION);
}

TEST(TimeShift, TickCounterEqualsAFreshOpenWithTheSameShift)
{
    expect_shifts_as_on_a_fresh_open(trailer_capture(), TICKS);
}

// The fraction trailer's times lie near 1970, so the second shift takes
// them before it: +1 h then -1:00:00.25 is -0.25 s on each, and frame 4's
// 59 ns becomes -0.249999941 s, that is -1 s + 750000059 ns.
TEST(TimeShift, TimesShiftedBefore1970AreShownNormalised)
{
    host::set_format(FRACTION);
    Session s;
    ASSERT_TRUE(s.open(trailer_capture()));
    s.time_shift(plus_one_hour);
    s.time_shift(minus_hour_and_quarter);
    const std::vector<Expected> shifted = {
        { 0, 750000000, NS }, { 1, 250000000, NS }, { 1, 750000059, NS }, { -1, 750000059, NS },
    };
    EXPECT_TRUE(times_are(s.times(), shifted)) << "rows drawn";
    s.redissect();
    EXPECT_TRUE(times_are(s.times(), shifted)) << "redissected";
}

// Opened "Disabled", then a format chosen, Time Shift, and the format
// switched off and on again: the shift is kept through every change.
TEST(TimeShift, KeptThroughEveryChangeOfFormat)
{
    const std::string capture = header_capture();
    const TimeShift minus_half_hour = { true, { 1800, 0 } };
    std::vector<Seen> seen;

    host::set_format(DISABLED);
    Session s;
    ASSERT_TRUE(s.open(capture));
    s.change_format(HEADER);
    seen.push_back({ "format chosen", s.times(), 0 });
    s.time_shift(minus_half_hour);
    seen.push_back({ "-30 min", s.times(), 1 });
    s.change_format(DISABLED);
    seen.push_back({ "Disabled", s.times(), 2 });
    s.change_format(HEADER);
    seen.push_back({ "format chosen again", s.times(), 1 });
    s.close();

    const std::vector<FrameTime> references[] = {
        fresh_open(capture, HEADER),
        fresh_open(capture, HEADER, { minus_half_hour }),
        fresh_open(capture, DISABLED, { minus_half_hour }),
    };
    for (const Seen &step : seen)
        EXPECT_TRUE(same_times(step.times, references[step.reference])) << step.step;
}

// ---- D. The tick counter's anchor ----------------------------------------

// Two interfaces: frame 1 is a raw IP packet, frame 2 a 4-byte Ethernet
// frame (too short for a trailer): both keep their file times. Frame 3
// carries the first readable counter, 1000 ticks (5 us), so the anchor is
// 1700000100.0 - 5 us; frame 4 (201000 ticks) is 1.005 ms after the
// anchor, frame 5 (0 ticks) is the anchor itself.
std::string
late_counter_capture()
{
    const std::vector<Interface> two = {
        { WTAP_ENCAP_ETHERNET, WTAP_TSPREC_NSEC }, { WTAP_ENCAP_RAW_IP, WTAP_TSPREC_NSEC },
    };
    const Bytes ip = { 0x45, 0, 0, 28, 0, 1, 0, 0, 64, 17, 0, 0, 192, 0, 2, 1, 192, 0, 2, 2,
                       0xC0, 0, 0xC0, 1, 0, 8, 0, 0 };
    return write_pcapng("late-counter", two, {
        { 1700000099, 0, ip, 1 },
        { 1700000099, 500000000, Bytes{ 0x02, 0, 0, 0 }, 0 },
        { 1700000100, 0, with_ticks(1000), 0 },
        { 1700000100, 500000000, with_ticks(201000), 0 },
        { 1700000101, 0, with_ticks(0), 0 },
    });
}

const std::vector<Expected> late_counter_ticks = {
    { 1700000099, 0, NS },
    { 1700000099, 500000000, NS },
    { 1700000100, 0, NS },
    { 1700000100, 1000000, NS },
    { 1700000099, 999995000, NS },
};

// Same counters as the first capture's frame 3 on, another clock: tied at
// its own frame 1 (1800000000.0), frame 2 is 5 us later.
std::string
second_counter_capture()
{
    return write_pcapng("second-counter", ethernet_ns, {
        { 1800000000, 0, with_ticks(1000), 0 },
        { 1800000000, 700000000, with_ticks(2000), 0 },
    });
}

const std::vector<Expected> second_counter_ticks = {
    { 1800000000, 0, NS }, { 1800000000, 5000, NS },
};

TEST(TickCounter, AnchoredAtTheFirstReadableCounterOfEachCapture)
{
    const std::string first = late_counter_capture();

    host::set_format(TICKS);
    Session s;
    ASSERT_TRUE(s.open(first));
    EXPECT_TRUE(times_are(s.times(), late_counter_ticks));
    s.select(5);
    s.select(1);
    s.select(3);
    EXPECT_TRUE(times_are(s.times(), late_counter_ticks)) << "after selecting 5, 1, 3";
    s.redissect();
    EXPECT_TRUE(times_are(s.times(), late_counter_ticks)) << "after a redissection";
    s.close();

    Session second;
    ASSERT_TRUE(second.open(second_counter_capture()));
    EXPECT_TRUE(times_are(second.times(), second_counter_ticks))
        << "a second capture ties the counter at its own first frame";
    second.close();

    Session switched;
    host::set_format(FRACTION);
    ASSERT_TRUE(switched.open(first));
    switched.change_format(TICKS);
    EXPECT_TRUE(times_are(switched.times(), late_counter_ticks)) << "after a format change";
    switched.filter("valtocrane");
    switched.redissect();
    EXPECT_TRUE(times_are(switched.times(), late_counter_ticks)) << "after a filtered redissection";
    const std::vector<FrameTime> seen = switched.times();
    switched.close();
    EXPECT_TRUE(same_times(seen, fresh_open(first, TICKS)));
}

// The counter tied at 100 ns after 1970 (frame 1, 200000000 ticks = 1 s):
// 100 ticks is 100 ns - 999999500 ns = -999999400 ns, that is -1 s +
// 600 ns; 0 ticks is -1 s + 100 ns; 400000000 ticks is 1 s + 100 ns.
TEST(TickCounter, TimesBefore1970AreNormalised)
{
    host::set_format(TICKS);
    Session s;
    ASSERT_TRUE(s.open(write_pcapng("near-1970", ethernet_ns, {
        { 0, 100, with_ticks(200000000), 0 },
        { 0, 100000000, with_ticks(100), 0 },
        { 0, 200000000, with_ticks(0), 0 },
        { 0, 300000000, with_ticks(400000000), 0 },
    })));
    const std::vector<Expected> want = {
        { 0, 100, NS }, { -1, 600, NS }, { -1, 100, NS }, { 1, 100, NS },
    };
    EXPECT_TRUE(times_are(s.times(), want));
    s.select(3);
    s.redissect();
    EXPECT_TRUE(times_are(s.times(), want)) << "after a selection and a redissection";
}

// ---- The device's intervals, whatever order the GUI dissects frames in ----

// The time or frame number field abbrev of frame num as the detail pane
// shows it once the frame is clicked ("-" where the frame has none); a time
// as seconds.nanoseconds.
std::string
field_shown(Session &s, guint32 num, const char *abbrev)
{
    s.select(num);
    GPtrArray *all = proto_all_finfos(s.selected()->tree);
    std::string shown = "-";
    for (guint i = 0; i < all->len; i++) {
        auto *fi = static_cast<field_info *>(g_ptr_array_index(all, i));
        if (strcmp(fi->hfinfo->abbrev, abbrev) != 0)
            continue;
        fvalue_t *value = valtocrane_host_field_value(fi);
        if (fi->hfinfo->type == FT_FRAMENUM) {
            shown = std::to_string(fvalue_get_uinteger(value));
        } else {
            const nstime_t *t = fvalue_get_time(value);
            shown = (t->secs < 0 || t->nsecs < 0 ? "-" : "") +
                    show({ ABS(t->secs), ABS(t->nsecs) });
        }
        break;
    }
    g_ptr_array_free(all, TRUE);
    return shown;
}

// Device times 100.5, 101, 100.75, none (no marker), 102 s: the intervals
// count from the first and from the frame before with a device time, in
// capture order, whichever frame is clicked first, and Time Shift, a
// display filter or a new dissection leave them as they are.
TEST(DeviceIntervals, TheSameInEveryOrderOfDissection)
{
    const std::string capture = write_pcapng("intervals", ethernet_ns, {
        { 1700000000, 0, with_header(100, 0x80000000), 0 },
        { 1700000001, 0, with_header(101, 0), 0 },
        { 1700000002, 0, with_header(100, 0xC0000000), 0 },
        { 1700000003, 0, ethernet_frame(), 0 },
        { 1700000004, 0, with_header(102, 0), 0 },
    });
    const char *const relative[] = { "0.000000000", "0.500000000", "0.250000000", "-",
                                     "1.500000000" };
    const char *const delta[] = { "0.000000000", "0.500000000", "-0.250000000", "-",
                                  "1.250000000" };
    host::set_format(HEADER);
    Session s;
    ASSERT_TRUE(s.open(capture));
    const std::function<void()> steps[] = {
        [] {},
        [&s] { s.time_shift(plus_one_hour); },
        [&s] { s.filter("valtocrane.time_delta >= 0"); },
        [&s] { s.redissect(); },
    };
    for (const auto &step : steps) {
        step();
        for (guint32 num : { 5U, 3U, 1U, 4U, 2U }) {
            EXPECT_EQ(field_shown(s, num, "valtocrane.time_relative"), relative[num - 1]) << num;
            EXPECT_EQ(field_shown(s, num, "valtocrane.time_delta"), delta[num - 1]) << num;
        }
    }
}

// ---- The same frame seen twice -----------------------------------------

// Frame f (a 60-byte frame whose byte 59 is f) seen on port at 100 s + us.
Bytes
seen(guint8 f, guint32 port, guint32 us)
{
    Bytes frame = ethernet_frame();
    frame.back() = f;
    const guint32 fraction =
        static_cast<guint32>((static_cast<guint64>(us) * 1000 * (G_GUINT64_CONSTANT(1) << 32) +
                              999999999) / 1000000000);
    return with_header(100, fraction, port, frame);
}

const guint32 A = 0, B = 1;

// Frames x, y, z on port A and then port B (z the other way round):
// copies 4 us, 5 us and 1 us after their earlier ones. With a read filter
// dropping frame 2 (file time 1700000001), the copy of y has none; the
// kept frames are numbered 1 to 5.
std::string
copies_capture()
{
    return write_pcapng("copies", ethernet_ns, {
        { 1700000000, 0, seen('x', A, 0), 0 },
        { 1700000001, 0, seen('y', A, 2), 0 },
        { 1700000002, 0, seen('x', B, 4), 0 },
        { 1700000003, 0, seen('y', B, 7), 0 },
        { 1700000004, 0, seen('z', B, 9), 0 },
        { 1700000005, 0, seen('z', A, 10), 0 },
    });
}

struct Copy {
    const char *latency;
    const char *earlier;
};

void
expect_copies(Session &s, const std::vector<Copy> &want, const char *step)
{
    for (guint32 num = static_cast<guint32>(want.size()); num >= 1; num--) {
        EXPECT_EQ(field_shown(s, num, "valtocrane.latency"), want[num - 1].latency)
            << step << ", frame " << num;
        EXPECT_EQ(field_shown(s, num, "valtocrane.latency_frame"), want[num - 1].earlier)
            << step << ", frame " << num;
    }
}

TEST(Copies, TheSameInEveryOrderOfDissectionAndWithAReadFilter)
{
    const std::vector<Copy> all = {
        { "-", "-" }, { "-", "-" }, { "0.000004000", "1" }, { "0.000005000", "2" },
        { "-", "-" }, { "0.000001000", "5" },
    };
    const std::vector<Copy> kept = {
        { "-", "-" }, { "0.000004000", "1" }, { "-", "-" }, { "-", "-" },
        { "0.000001000", "4" },
    };
    host::set_format(HEADER);
    Session s;
    ASSERT_TRUE(s.open(copies_capture()));
    expect_copies(s, all, "opened");
    s.time_shift(plus_one_hour);
    s.filter("valtocrane.latency");
    expect_copies(s, all, "Time Shift, display filter");
    s.redissect();
    expect_copies(s, all, "dissected anew");
    s.close();

    Session filtered;
    ASSERT_TRUE(filtered.open(copies_capture(), "frame.time_epoch != 1700000001"));
    expect_copies(filtered, kept, "read filter");
    filtered.redissect();
    expect_copies(filtered, kept, "read filter, dissected anew");
}

// ---- The GUI's read filter ------------------------------------------------

// Frame 1 (61 + 8 bytes: frame.len 69) fails the read filter: dissected
// once, then dropped. It carries the first counter, 1000 ticks (5 us), so
// the counter is tied at it: 1700000000.0 less 5 us. The kept frames lie
// 3000 ticks (+15 us), 201000 (+1.005 ms) and 0 (0) from that tie.
std::string
read_filter_capture()
{
    return write_pcapng("read-filter", ethernet_ns, {
        { 1700000000, 0, with_ticks(1000, 61), 0 },
        { 1700000001, 0, with_ticks(3000), 0 },
        { 1700000002, 0, with_ticks(201000), 0 },
        { 1700000003, 0, with_ticks(0), 0 },
    });
}

const char *const DROP_FIRST = "frame.len != 69";

// The kept frames keep the first reading's tie in every later dissection,
// as "tshark -2 -R" ties it; a switch to the tick counter ties it anew at
// the first kept frame (file time 1700000001.0, 3000 ticks): the next lie
// 990 us after it and 15 us before it.
TEST(ReadFilter, TickCounterKeepsTheTieOfTheFirstReading)
{
    const std::vector<Expected> tied = {
        { 1700000000, 10000, NS }, { 1700000000, 1000000, NS }, { 1699999999, 999995000, NS },
    };
    const std::vector<Expected> shifted = {
        { 1700003600, 10000, NS }, { 1700003600, 1000000, NS }, { 1700003599, 999995000, NS },
    };
    host::set_format(TICKS);
    Session s;
    ASSERT_TRUE(s.open(read_filter_capture(), DROP_FIRST));
    EXPECT_TRUE(times_are(s.times(), tied)) << "first reading";
    s.redissect();
    EXPECT_TRUE(times_are(s.times(), tied)) << "dissected anew";
    s.filter("valtocrane");
    s.select(3);
    EXPECT_TRUE(times_are(s.times(), tied)) << "display filter";
    s.time_shift(plus_one_hour);
    s.redissect();
    EXPECT_TRUE(times_are(s.times(), shifted)) << "+1 h, dissected anew";
    s.time_shift_undo();
    s.change_format(FRACTION);
    s.change_format(TICKS);
    EXPECT_TRUE(times_are(s.times(), { { 1700000001, 0, NS }, { 1700000001, 990000, NS },
                                       { 1700000000, 999985000, NS } }))
        << "switched to the tick counter";
}

// A record of link type PPI, Ethernet inside, with a read filter: the GUI
// dissects the record it read twice, and the host's PPI path rewrote the
// record's link type to Ethernet in the first dissection, so the second
// hands the whole record to the link-type table as Ethernet. Whatever that
// one did, the frame has its file time once dissected again.
TEST(ReadFilter, EthernetInsidePpiKeepsItsFileTime)
{
    const Bytes ppi = { 0, 0, 8, 0, 1, 0, 0, 0 };  // version 0, 8 bytes, Ethernet
    Bytes frame = with_trailer(1600000000, 0x80000000);
    frame.insert(frame.begin(), ppi.begin(), ppi.end());
    const std::string capture = write_pcapng("ppi", { { WTAP_ENCAP_PPI, WTAP_TSPREC_NSEC } }, {
        { 1700000000, 5, frame, 0 },
    });
    host::set_format(FRACTION);
    Session s;
    ASSERT_TRUE(s.open(capture, "frame"));
    EXPECT_TRUE(times_are(s.times(), { { 1700000000, 5, NS } }));
}

// ---- The host's Ethernet dissector, once nothing is left to restore -------

// A UDP datagram in two IPv4 fragments (16 and 8 bytes), reassembled in
// frame 2. Which dissection of frame 2 shows the reassembled datagram is
// decided by layer numbers the host notes on the first pass.
std::string
fragments_capture()
{
    const auto fragment = [](guint16 total, guint16 flags_offset, const Bytes &payload) {
        Bytes f = { 0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, 0x08, 0x00,
                    0x45, 0, static_cast<guint8>(total >> 8), static_cast<guint8>(total),
                    0x12, 0x34, static_cast<guint8>(flags_offset >> 8),
                    static_cast<guint8>(flags_offset), 64, 17, 0, 0,
                    192, 0, 2, 1, 192, 0, 2, 2 };
        f.insert(f.end(), payload.begin(), payload.end());
        return f;
    };
    // UDP 49152 -> 49153, length 24, no checksum; 16 bytes of payload.
    const Bytes first = { 0xC0, 0, 0xC0, 1, 0, 24, 0, 0, 'v', 'a', 'l', 't', 'o', 'c', 'r', 'a' };
    const Bytes second = { 'n', 'e', ' ', 'h', 'o', 's', 't', '!' };
    return write_pcapng("fragments", ethernet_ns, {
        { 1700000200, 0, fragment(36, 0x2000, first), 0 },   // more fragments, offset 0
        { 1700000200, 1000, fragment(28, 0x0002, second), 0 },  // last, offset 2 (16 bytes)
    });
}

// A capture whose frames were retimed (and dissected anew) is closed,
// "Disabled" is chosen, and another capture is opened. Whatever has link type Ethernet while it is
// read first, the frame's later dissections must number its layers as that
// first pass did: the host finds what it noted on the first pass by layer
// number (here the reassembled datagram, which frame 2 shows only then).
// A further redissection in "Disabled" has the host's own Ethernet
// dissector under link type Ethernet.
TEST(Disabled, CaptureOpenedAfterARetimedOneIsDissectedAsByTheHostAlone)
{
    const std::string retimed = header_capture();
    const std::string fragments = fragments_capture();
    const std::vector<Expected> fragment_times = {
        { 1700000200, 0, NS }, { 1700000200, 1000, NS },
    };

    host::set_format(DISABLED);
    Session plain;
    ASSERT_TRUE(plain.open(fragments));
    EXPECT_TRUE(selected_shows(plain, 2, "udp"))
        << "in a process where nothing was retimed, frame 2 shows the reassembled datagram";
    plain.close();

    host::set_format(HEADER);
    Session s;
    ASSERT_TRUE(s.open(retimed));
    s.redissect();
    EXPECT_TRUE(times_are(s.times(), header_decoded));
    s.close();

    host::set_format(DISABLED);
    Session next;
    ASSERT_TRUE(next.open(fragments));
    EXPECT_TRUE(times_are(next.times(), fragment_times));
    EXPECT_TRUE(selected_shows(next, 2, "udp")) << "frame 2 selected: the reassembled datagram";
    next.redraw();
    EXPECT_TRUE(selected_shows(next, 2, "udp")) << "frame 2 selected again, rows drawn";
    next.filter("ip");
    EXPECT_TRUE(selected_shows(next, 2, "udp")) << "after a display filter";

    next.redissect();
    EXPECT_EQ(ethernet_entry(), host_ethernet) << "after a redissection in Disabled";
    EXPECT_TRUE(times_are(next.times(), fragment_times));
    EXPECT_TRUE(selected_shows(next, 2, "udp")) << "after a redissection";
}

// A frame the read filter drops is taken back whatever record comes after
// it: another Ethernet frame, a raw IP packet, Ethernet inside PPI. Device
// times 1000, 2000 (dropped), 3000 s: the last kept frame lies 2000 s after
// the first, not 1000 s after the dropped one.
TEST(ReadFilter, ADroppedFrameIsTakenBackWhateverComesNext)
{
    Bytes ip = ethernet_frame(60);
    ip.erase(ip.begin(), ip.begin() + 14);
    ip[0] = 0x45;  // an IPv4 header's first byte: no device's frame
    const Bytes ppi_header = { 0, 0, 8, 0, 1, 0, 0, 0 };  // version 0, 8 bytes, Ethernet
    Bytes ppi = ethernet_frame();
    ppi.insert(ppi.begin(), ppi_header.begin(), ppi_header.end());
    const struct {
        const char *what;
        Interface next_link;
        Bytes next;
    } cases[] = {
        { "raw IP", { WTAP_ENCAP_RAW_IP, WTAP_TSPREC_NSEC }, ip },
        { "PPI", { WTAP_ENCAP_PPI, WTAP_TSPREC_NSEC }, ppi },
        { "Ethernet", { WTAP_ENCAP_ETHERNET, WTAP_TSPREC_NSEC }, ethernet_frame() },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string capture = write_pcapng("dropped", { ethernet_ns[0], c.next_link }, {
            { 1700000000, 0, with_header(1000, 0), 0 },
            { 1700000001, 0, with_header(2000, 0), 0 },
            { 1700000002, 0, c.next, 1 },
            { 1700000003, 0, with_header(3000, 0), 0 },
        });
        host::set_format(HEADER);
        Session s;
        ASSERT_TRUE(s.open(capture, "frame.time_epoch != 1700000001"));
        for (int pass = 0; pass < 2; pass++) {
            EXPECT_EQ(field_shown(s, 3, "valtocrane.time_delta"), "2000.000000000") << pass;
            EXPECT_EQ(field_shown(s, 3, "valtocrane.time_relative"), "2000.000000000") << pass;
            s.redissect();
        }
    }
}

// The tick counter lies before a 4-byte FCS that the capture file does not
// mention: eth.fcs decides. Frame 1 has 10 bytes: a counter in its last 8
// when frames have no FCS, too short for one before an FCS. Dissected anew
// after eth.fcs changed, the counter is read elsewhere and tied afresh at
// the first frame that has one now, frame 2, to its file time (not to what
// its record held); frame 3 lies 2000 ticks (10 us) after it.
TEST(TickCounter, TiedAfreshWhenTheFcsPreferenceMovesTheCounter)
{
    const Bytes fcs = { 0xAA, 0xBB, 0xCC, 0xDD };
    Bytes f2 = with_ticks(1000), f3 = with_ticks(3000);
    f2.insert(f2.end(), fcs.begin(), fcs.end());
    f3.insert(f3.end(), fcs.begin(), fcs.end());
    const std::string capture = write_pcapng("fcs-ticks", ethernet_ns, {
        { 1700000000, 0, first_bytes(with_ticks(7), 10), 0 },
        { 1700000001, 0, f2, 0 },
        { 1700000002, 0, f3, 0 },
    });
    host::set_preference("eth.fcs:never");
    host::set_format(TICKS);
    Session s;
    ASSERT_TRUE(s.open(capture));
    host::set_preference("eth.fcs:always");
    s.redissect();
    EXPECT_TRUE(times_are(s.times(), { { 1700000000, 0, NS }, { 1700000001, 0, NS },
                                       { 1700000001, 10000, NS } }));
    host::set_preference("eth.fcs:heuristic");
}

// Which interfaces valtocrane-retime re-timed is looked up for each
// capture: interface 0 of one capture carries the tool's note, interface 0
// of the next does not, and its frames are decoded.
TEST(Retimed, InterfacesAreLookedUpAfreshForEachCapture)
{
    const char *const note =
        "eth0 [device times applied by valtocrane-retime, device bytes removed]";
    const std::string retimed = write_pcapng("retimed", {
        { WTAP_ENCAP_ETHERNET, WTAP_TSPREC_NSEC, note } }, {
        { 1600000000, 0, ethernet_frame(), 0 },
    });
    host::set_format(HEADER);
    Session s;
    ASSERT_TRUE(s.open(retimed));
    EXPECT_TRUE(times_are(s.times(), { { 1600000000, 0, NS } }));
    s.close();
    ASSERT_TRUE(s.open(header_capture()));
    EXPECT_TRUE(times_are(s.times(), header_decoded));
}

// ---- Frames that waited in vain, and the latency statistics ---------------

// Frames x and v on port A, w on port B: x's copy comes 3 us later on B,
// w's and v's never. Their copies missing is known once the capture is read
// (or the window passed), and shown in every later dissection.
std::string
missing_capture()
{
    return write_pcapng("missing", ethernet_ns, {
        { 1700000000, 0, seen('x', A, 0), 0 },
        { 1700000001, 0, seen('w', B, 1), 0 },
        { 1700000002, 0, seen('x', B, 3), 0 },
        { 1700000003, 0, seen('v', A, 5), 0 },
    });
}

const char *const MISSING = "valtocrane.copy_missing";

bool
copy_missing(Session &s, guint32 num)
{
    s.select(num);
    GPtrArray *found = proto_find_first_finfo(s.selected()->tree,
                                              proto_registrar_get_id_byname(MISSING));
    const bool missing = found != nullptr && found->len != 0;
    return missing;
}

TEST(CopyMissing, TheSameInEveryOrderOfDissection)
{
    const std::vector<bool> missing = { false, true, false, true };
    host::set_format(HEADER);
    Session s;
    ASSERT_TRUE(s.open(missing_capture()));
    const std::function<void()> steps[] = {
        [] {},
        [&s] { s.time_shift(plus_one_hour); },
        [&s] { s.filter(MISSING); },
        [&s] { s.redissect(); },  // the capture is not read again: still none
    };
    for (const auto &step : steps) {
        step();
        for (guint32 num : { 4U, 2U, 3U, 1U })
            EXPECT_EQ(copy_missing(s, num), missing[num - 1]) << num;
    }
    s.close();

    // A live capture: frame 2 has had no copy so far, frame 1 has had one.
    Session live;
    live.open_records(host::open_file(missing_capture()));
    live.continue_tail(3);
    EXPECT_FALSE(copy_missing(live, 1));
    EXPECT_TRUE(copy_missing(live, 2));
    live.finish_tail();
    EXPECT_TRUE(copy_missing(live, 4));
}

// The Statistics table as the host's dialog shows it (its own listener on
// the plugin's tap, the tables reset and filled by a retap, read when the
// dialog draws), from Port A to Port B: the copy of x (3 us), w and v lost
// where they are on the way to the other port.
struct StatisticsDialog {
    explicit StatisticsDialog(const char *filter = nullptr)
        : ui(stat_tap_by_name("valtocrane,tables"))
    {
        data.stat_tap_data = ui;
        data.user_data = nullptr;
        ui->stat_tap_init_cb(ui);
        GString *error = register_tap_listener(ui->tap_name, &data, filter, 0, reset,
                                               ui->packet_func, nullptr, nullptr);
        EXPECT_EQ(error, nullptr);
    }
    ~StatisticsDialog() { remove_tap_listener(&data); }

    static void reset(void *sd) { reset_stat_table(static_cast<stat_data_t *>(sd)->stat_tap_data); }

    // label, copies, lost, min and max in us, of the rows of a table.
    std::vector<std::string> rows(const char *title) const
    {
        std::vector<std::string> out;
        const stat_tap_table *table = stat_tap_find_table(ui, title);
        for (guint row = 0; table != nullptr && row < table->num_elements; row++) {
            const auto *f = stat_tap_get_field_data(table, row, 0);
            char text[256];
            std::snprintf(text, sizeof text, "%s|%u|%u", f[0].value.string_value,
                          f[1].value.uint_value, f[2].value.uint_value);
            std::string line = text;
            for (int c : { 3, 9 }) {
                if (f[c].type == TABLE_ITEM_FLOAT) {
                    std::snprintf(text, sizeof text, "|%.3f", f[c].value.float_value);
                    line += text;
                }
            }
            if (*f[0].value.string_value != '\0')
                out.push_back(line);
        }
        std::sort(out.begin(), out.end());  // as the dialog sorts them
        return out;
    }

    stat_tap_table_ui *ui;
    stat_data_t data;
};

TEST(Statistics, TheTablesInEveryOrderOfDissection)
{
    const std::vector<std::string> directions = { "Port A -> Port B|1|1|3.000|3.000",
                                                  "Port B -> Port A|0|1" };
    host::set_format(HEADER);
    {
        Session s;
        ASSERT_TRUE(s.open(missing_capture()));
        StatisticsDialog dialog;
        s.retap();
        EXPECT_EQ(dialog.rows("By direction"), directions) << "opened after the capture";
        s.time_shift(plus_one_hour);
        s.redissect();
        EXPECT_EQ(dialog.rows("By direction"), directions) << "dissected anew";
    }
    {
        // Open while a live capture runs: the frames come one by one.
        StatisticsDialog dialog;
        Session live;
        live.open_records(host::open_file(missing_capture()));
        live.continue_tail(1);
        live.continue_tail(3);
        live.finish_tail();
        EXPECT_EQ(dialog.rows("By direction"), directions) << "a live capture";
    }
    {
        // The dialog's display filter: only frames of port B count.
        Session s;
        ASSERT_TRUE(s.open(missing_capture()));
        StatisticsDialog dialog("valtocrane.interface == \"Port B\"");
        s.retap();
        EXPECT_EQ(dialog.rows("By direction"),
                  (std::vector<std::string>{ "Port A -> Port B|1|0|3.000|3.000",
                                             "Port B -> Port A|0|1" }));
    }
}

} // namespace

int
main(int argc, char **argv)
{
    if (argc > 0)
        program_path = argv[0];
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Host);
    return RUN_ALL_TESTS();
}
