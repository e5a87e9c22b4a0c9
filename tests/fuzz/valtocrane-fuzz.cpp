/* valtocrane-fuzz.cpp
 * libFuzzer target: the host's dissection library, in-process, with the
 * ValtoCrane dissector registered, dissecting each input as a short capture
 * of Ethernet frames, the way TShark and Wireshark drive it.
 *
 * The plugin's sources are compiled into this program with the fuzzer's
 * coverage instrumentation and the address and undefined-behaviour
 * sanitizers, and registered through the plugin's own plugin_register()
 * before epan_init(), as the host registers the plugins it loads. This file
 * is built with the sanitizers but without coverage instrumentation, so the
 * edges the fuzzer counts are the plugin's alone. The host's libraries are
 * the distribution's own.
 *
 * An input is one capture. Byte 0 chooses the format the capture is opened
 * with (its low 2 bits: disabled, tick-counter trailer, seconds-and-fraction
 * trailer, capture header) and, in the rest modulo 10, the packet list's
 * time format (relative, absolute, with date, delta, epoch, UTC...). Then
 * come frames, each a 20-byte record and its bytes (little-endian fields):
 *
 *   0      flags:  0x01 dissect with a visible protocol tree
 *                  0x02 fill in the packet list's columns afterwards
 *                  0x04 the frame was cut by a snap length: its reported
 *                       length exceeds the captured one by bytes 6-7 + 1
 *                  0x08 Time Shift: bytes 16-19 are the frame's offset
 *                  0x10 the frame is Ethernet inside PPI, not the record itself
 *                  0x20 after this frame, dissect every frame of the capture
 *                       again from the start (as the GUI does after a change)
 *                  0x40 before that (or this frame, without 0x20), apply the
 *                       format in byte 1's low 2 bits
 *                  0x80 after this frame the first reading is done
 *   1      bits 0-1 the format for 0x40; 0x04 the file keeps microseconds;
 *          0x08 close the capture and open a new one before this frame;
 *          0x10 a tree is built but not shown (another protocol's fields
 *          were asked for)
 *   2-3    frame number less 1
 *   4-5    captured length (at most what the input has left)
 *   6-7    for 0x04, reported length less captured length less 1
 *   8-11   capture file time, signed seconds since 1970
 *   12-15  its nanoseconds (taken modulo 10^9)
 *   16-17  Time Shift, signed seconds; 18-19 its fraction in 1/65536 s
 *
 * With VALTOCRANE_FUZZ_FORMAT set to a format's preference value, every
 * capture is opened in that format and a format switch chooses between it
 * (format bits not 0) and "disabled" (0), so a run can stay with one format;
 * with "disabled" fixed, a switch goes to the format the bits say.
 *
 * A new dissection of the whole capture is made twice, and each frame must
 * get the same time from both. After every new dissection in "Disabled"
 * each frame must also show its capture file time again (check_file_times;
 * VALTOCRANE_FUZZ_TIME_CHECK=0 leaves the check out, for runs over a
 * plugin with a known fault there).
 *
 * Every input starts from the same state: the previous capture is closed and
 * an empty one is opened and read through, which by the plugin's own rules
 * forgets frames of closed captures.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <wireshark.h>
#include <epan/column.h>
#include <epan/column-info.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/timestamp.h>
#include <epan/tvbuff.h>
#include <wiretap/wtap.h>
#include <wsutil/filesystem.h>
#include <wsutil/privileges.h>
#include <wsutil/report_message.h>
#include <wsutil/wslog.h>

#include "host-startup.h"
#include "valtocrane-host.h"
#include "valtocrane-time.h"

extern "C" void plugin_register(void);

namespace {

constexpr std::size_t RECORD_LEN = 20;
constexpr unsigned MAX_FRAMES = 16;
/* The packet list's time formats, TS_RELATIVE to TS_UTC_WITH_YDOY. */
constexpr unsigned TIME_FORMATS = TS_UTC_WITH_YDOY + 1;

const char *const FORMATS[] = {
    "disabled", "valtocrane-q3-graphite", "valtocrane-proprietary-headers", "valtocrane-pcapng",
};

/* A PPI header: version 0, no flags, 8 bytes, link type Ethernet. */
const guint8 PPI_ETHERNET[] = { 0, 0, 8, 0, 1, 0, 0, 0 };

struct Frame {
    frame_data fd;
    wtap_rec rec;
    guint8 *bytes;  /* what the file holds of the frame */
    guint32 captured;
};

epan_t *session;
column_info cinfo;
Frame frames[MAX_FRAMES];
unsigned frame_count;
const char *fixed_format;
bool disabled;  /* the format now chosen is "Disabled" */
bool time_check = true;
void (*plugin_init)(void);
unsigned long new_captures;

/* What the host keeps across one pass over the frames. */
nstime_t elapsed;
const frame_data *ref_frame;
const frame_data *prev_dis;
guint32 cum_bytes;

const nstime_t *
frame_ts(struct packet_provider_data *, guint32 frame_num)
{
    for (unsigned i = 0; i < frame_count; i++) {
        if (frames[i].fd.num == frame_num)
            return &frames[i].fd.abs_ts;
    }
    return NULL;
}

/* Every frame's interface, whatever the series' parameters (4.4 added the
 * section number). */
template <typename... Rest>
const char *
interface_name(struct packet_provider_data *, Rest...)
{
    return "device";
}

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

/* What the user sees after a whole new dissection in "Disabled": every frame
 * with its capture file time (plus its Time Shift) and the file's time
 * precision, as the host alone shows it. Anything else is a fault the
 * sanitizers cannot see: it stops the run like a crash. */
void
check_file_times(void)
{
    for (unsigned i = 0; i < frame_count; i++) {
        const frame_data &fd = frames[i].fd;
        const nstime_t &file = frames[i].rec.ts;
        const valtocrane_time expected = valtocrane_time_normalise(
            static_cast<std::int64_t>(file.secs) + fd.shift_offset.secs,
            static_cast<std::int64_t>(file.nsecs) + fd.shift_offset.nsecs);
        const valtocrane_time shown = valtocrane_time_normalise(fd.abs_ts.secs, fd.abs_ts.nsecs);

        if (!valtocrane_time_equal(shown, expected) ||
            fd.tsprec != static_cast<unsigned>(frames[i].rec.tsprec)) {
            fprintf(stderr, "frame %u (number %u) after a new dissection in \"Disabled\": "
                    "time %lld.%09d precision %u, capture file time %lld.%09d precision %d\n",
                    i + 1, fd.num, static_cast<long long>(shown.secs), shown.nsecs, fd.tsprec,
                    static_cast<long long>(expected.secs), expected.nsecs, frames[i].rec.tsprec);
            abort();
        }
    }
}

void
set_format(unsigned bits)
{
    const char *name = FORMATS[bits & 3];
    char pref[128];
    char *errmsg = NULL;

    /* One format fixed: a switch goes between it and "Disabled"; with
     * "Disabled" fixed, to any format, so that frames get retimed. */
    if (fixed_format && strcmp(fixed_format, "disabled") != 0)
        name = (bits & 3) ? fixed_format : "disabled";
    disabled = strcmp(name, "disabled") == 0;
    snprintf(pref, sizeof pref, "valtocrane.ts_type:%s", name);
    if (prefs_set_pref(pref, &errmsg) != PREFS_SET_OK) {
        fprintf(stderr, "cannot set %s: %s\n", pref, errmsg ? errmsg : "");
        abort();
    }
    g_free(errmsg);
    prefs_apply_all();
}

/* A new dissection of a capture. The host runs every dissector's init
 * routine in epan_new(), which takes some 30 ms (with the sanitizers more)
 * and keeps about 10 MB that epan_free() does not give back (4.0.17): far
 * too much for every input. What the plugin sees of it is its own init
 * routine, so that is what runs for every new dissection; a whole new
 * session of the host (epan_free() and epan_new()) replaces it at the
 * first new capture of the run and at every 20,000th after it. */
void
new_dissection(bool whole_session)
{
    static struct packet_provider_funcs funcs;

    if (whole_session || !session || !plugin_init) {
        funcs.get_frame_ts = frame_ts;
        funcs.get_interface_name = interface_name;
        funcs.get_interface_description = interface_name;
        if (session)
            epan_free(session);
        session = epan_new(NULL, &funcs);
    } else {
        plugin_init();
    }
    nstime_set_zero(&elapsed);
    ref_frame = NULL;
    prev_dis = NULL;
    cum_bytes = 0;
}

void
close_capture(void)
{
    for (unsigned i = 0; i < frame_count; i++) {
        frame_data_destroy(&frames[i].fd);
        wtap_rec_cleanup(&frames[i].rec);
        g_free(frames[i].bytes);
    }
    frame_count = 0;
}

void
dissect(Frame &f, bool tree, bool visible, bool columns)
{
    epan_dissect_t *edt = epan_dissect_new(session, tree, visible);

    frame_data_set_before_dissect(&f.fd, &elapsed, &ref_frame, prev_dis);
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    ws_buffer_clean(&f.rec.data);
    ws_buffer_append(&f.rec.data, f.bytes, f.captured);
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &f.rec, &f.fd, columns ? &cinfo : NULL);
#else
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &f.rec,
                     tvb_new_real_data(f.bytes, f.captured,
                                       static_cast<gint>(f.rec.rec_header.packet_header.len)),
                     &f.fd, columns ? &cinfo : NULL);
#endif
    if (columns)
        epan_dissect_fill_in_columns(edt, FALSE, TRUE);
    frame_data_set_after_dissect(&f.fd, &cum_bytes);
    prev_dis = &f.fd;
    epan_dissect_free(edt);
}

/* A new dissection of every frame of the capture, done twice: both start
 * from the same frames in the same format, so each frame must get the very
 * same time and precision from both, as every view of a frame shows it
 * whichever dissection drew it. */
void
redissect(bool tree, bool visible, bool columns)
{
    nstime_t first[MAX_FRAMES];
    unsigned first_tsprec[MAX_FRAMES];

    for (unsigned pass = 0; pass < 2; pass++) {
        new_dissection(false);
        /* As the GUI's rescan: every frame unvisited, its per-frame data
         * gone with the old session. */
        for (unsigned i = 0; i < frame_count; i++) {
            frame_data_reset(&frames[i].fd);
            dissect(frames[i], tree, visible, columns);
        }
        for (unsigned i = 0; i < frame_count; i++) {
            const frame_data &fd = frames[i].fd;
            if (pass == 0) {
                first[i] = fd.abs_ts;
                first_tsprec[i] = fd.tsprec;
            } else if (nstime_cmp(&first[i], &fd.abs_ts) != 0 || first_tsprec[i] != fd.tsprec) {
                fprintf(stderr, "frame %u (number %u) dissected anew twice: time %lld.%09d "
                        "precision %u, then %lld.%09d precision %u\n", i + 1, fd.num,
                        static_cast<long long>(first[i].secs), first[i].nsecs, first_tsprec[i],
                        static_cast<long long>(fd.abs_ts.secs), fd.abs_ts.nsecs, fd.tsprec);
                abort();
            }
        }
    }
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
Frame *
read_frame(const guint8 *&data, std::size_t &size, const guint8 *&h)
{
    if (size < RECORD_LEN || frame_count == MAX_FRAMES)
        return NULL;
    h = data;
    const bool ppi = h[0] & 0x10;
    guint32 captured = MIN(le16(h + 4), static_cast<guint32>(size - RECORD_LEN));
    guint32 reported = captured + ((h[0] & 0x04) ? le16(h + 6) + 1 : 0);
    Frame &f = frames[frame_count++];

    data += RECORD_LEN + captured;
    size -= RECORD_LEN + captured;

    f.captured = captured + (ppi ? sizeof PPI_ETHERNET : 0);
    f.bytes = static_cast<guint8 *>(g_malloc(f.captured + 1));
    if (ppi)
        memcpy(f.bytes, PPI_ETHERNET, sizeof PPI_ETHERNET);
    memcpy(f.bytes + (ppi ? sizeof PPI_ETHERNET : 0), h + RECORD_LEN, captured);

#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    /* 4.6 names the record's type, and the frame dissector shows the name. */
    wtap_rec_init(&f.rec, f.captured);
    wtap_setup_packet_rec(&f.rec, ppi ? WTAP_ENCAP_PPI : WTAP_ENCAP_ETHERNET);
#else
    wtap_rec_init(&f.rec);
    f.rec.rec_type = REC_TYPE_PACKET;
#endif
    f.rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN;
    f.rec.ts.secs = static_cast<gint32>(le32(h + 8));
    f.rec.ts.nsecs = static_cast<int>(le32(h + 12) % 1000000000U);
    f.rec.tsprec = WTAP_TSPREC_NSEC;
    if (h[1] & 0x04) {
        f.rec.tsprec = WTAP_TSPREC_USEC;
        f.rec.ts.nsecs -= f.rec.ts.nsecs % 1000;
    }
    f.rec.rec_header.packet_header.caplen = f.captured;
    f.rec.rec_header.packet_header.len = reported + (ppi ? sizeof PPI_ETHERNET : 0);
    f.rec.rec_header.packet_header.pkt_encap = ppi ? WTAP_ENCAP_PPI : WTAP_ENCAP_ETHERNET;

    frame_data_init(&f.fd, le16(h + 2) + 1, &f.rec, 0, cum_bytes);
    if (h[0] & 0x08) {
        /* As Edit > Time Shift does: into the frame's time and its offset,
         * both parts of the offset of one sign. */
        nstime_t shift;
        shift.secs = static_cast<gint16>(le16(h + 16));
        shift.nsecs = static_cast<int>(le16(h + 18) * 15258U);  /* under 10^9 */
        if (shift.secs < 0)
            shift.nsecs = -shift.nsecs;
        f.fd.shift_offset = shift;
        nstime_add(&f.fd.abs_ts, &shift);
    }
    return &f;
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
    g_setenv("G_SLICE", "always-malloc", FALSE);

    const char *check = getenv("VALTOCRANE_FUZZ_TIME_CHECK");
    time_check = !check || strcmp(check, "0") != 0;
    fixed_format = getenv("VALTOCRANE_FUZZ_FORMAT");
    if (fixed_format && !*fixed_format)
        fixed_format = NULL;

    host_log_init("valtocrane-fuzz");
    /* The host's warnings about frames it cannot find for time references
     * would fill the output; its errors and failed assertions still abort. */
    ws_log_set_level(LOG_LEVEL_CRITICAL);
    init_process_policies();
    g_free(host_configuration_init(argv0));
    /* The target opens no file: the host's file failures are only counted. */
    host_report_routines(&routines, report);
    init_report_message("valtocrane-fuzz", &routines);

    wtap_init(FALSE);
    /* The host's plugin loader would call this on loading valtocrane.so. */
    plugin_register();
    if (!epan_init(NULL, NULL, FALSE)) {
        fprintf(stderr, "epan_init failed\n");
        return 1;
    }
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
    timestamp_set_precision(TS_PREC_AUTO);
    timestamp_set_seconds_type(TS_SECONDS_DEFAULT);
    build_column_format_array(&cinfo, prefs_p->num_cols, TRUE);
    if (fixed_format)
        set_format(1);  /* checks the name */
    if (!plugin_init) {
        fprintf(stderr, "the plugin registered no init routine\n");
        return 1;
    }
    new_dissection(true);
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

    /* The previous capture closed; an empty one opened and read through. */
    close_capture();
    new_dissection(false);
    postseq_cleanup_all_protocols();

    set_format(data[0]);
    timestamp_set_type(static_cast<ts_type>((data[0] >> 2) % TIME_FORMATS));
    new_dissection(false);
    data++;
    size--;

    bool read_done = false;
    const guint8 *h;
    Frame *f;
    while ((f = read_frame(data, size, h)) != NULL) {
        const guint8 flags = h[0], more = h[1];
        const bool tree = (flags & 0x01) || (more & 0x10);
        const bool visible = flags & 0x01;

        if (more & 0x08) {
            /* Another capture: this frame becomes its first. */
            Frame fresh = *f;
            frame_count--;
            close_capture();
            frames[0] = fresh;
            frame_count = 1;
            f = &frames[0];
            new_dissection(++new_captures % 20000 == 1);
            read_done = false;
        }
        if ((flags & 0x40) && !(flags & 0x20))
            set_format(more);
        dissect(*f, tree, visible, flags & 0x02);
        if ((flags & 0x80) && !read_done) {
            postseq_cleanup_all_protocols();
            read_done = true;
        }
        if (flags & 0x20) {
            if (flags & 0x40)
                set_format(more);
            /* The frames keep what the host's dissectors noted on them. */
            redissect(tree, visible, flags & 0x02);
            if (disabled && time_check)
                check_file_times();
        }
    }
    return 0;
}
