/* host-session.h
 * An open capture file as the host's GUI keeps and dissects it, for tests
 * that load the plugin into the host's own libraries.
 *
 * Each step follows the GUI's code (file.c, ui/time_shift.c and the packet
 * list's row records) call for call as far as the frame times are
 * concerned: the GUI keeps one frame record per frame while the capture is
 * open, reads the packet record again from the file for every later
 * dissection, and dissects again and again: after a preference change (a
 * new dissection session, every frame reset), for a display filter, for
 * the rows it draws and for the frame the user selects. What the GUI does
 * besides (the packet list's columns and colours, progress dialogs, taps,
 * the interface names shown in the tree) does not touch the frame times and
 * is left out.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_HOST_SESSION_H
#define VALTOCRANE_HOST_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

#include <wireshark.h>
#include <epan/dfilter/dfilter.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/frame_data_sequence.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/tap.h>
#include <wiretap/wtap.h>
#include <wsutil/buffer.h>

#include "host-startup.h"
#include "retime-host.h"

/* ---- What differs between the host series (start-up: host-startup.h) --- */

/* A packet record and the bytes read with it, read as valtocrane-retime
 * reads them (retime-host.h). From 4.6 on the dissection makes the frame's
 * tvb over the record's own bytes; before, it is handed a tvb over them, as
 * the GUI's frame_tvbuff is (frame_tvbuff.c belongs to the programs, not
 * the libraries; a real-data tvb is the same to a dissector: the top-level
 * buffer, of the frame's captured and reported length). */
typedef retime_record host_record;

/* wtap_read; a failure other than the end of the file is the GUI's read
 * failure alert. */
static inline gboolean
host_read_next(wtap *wth, host_record *r, gint64 *offset)
{
    int err = 0;
    gchar *err_info = NULL;
    const bool ok = retime_record_read(wth, r, &err, &err_info, offset);
    g_free(err_info);
    if (!ok && err != 0)
        host_reports++;
    return ok;
}

/* wtap_seek_read */
static inline gboolean
host_read_at(wtap *wth, gint64 offset, host_record *r)
{
    int err = 0;
    gchar *err_info = NULL;
    const bool ok = retime_record_read_at(wth, offset, r, &err, &err_info);
    g_free(err_info);
    if (!ok)
        host_reports++;  /* the GUI's read failure alert */
    return ok;
}

/* epan_dissect_run(_with_taps), without column information */
static inline void
host_dissect(epan_dissect_t *edt, gboolean with_taps, int file_type_subtype, host_record *r,
             frame_data *fd)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    if (with_taps)
        epan_dissect_run_with_taps(edt, file_type_subtype, &r->rec, fd, NULL);
    else
        epan_dissect_run(edt, file_type_subtype, &r->rec, fd, NULL);
#else
    tvbuff_t *tvb = tvb_new_real_data(retime_record_data(r), fd->cap_len,
                                      fd->pkt_len > G_MAXINT ? G_MAXINT
                                                             : static_cast<gint>(fd->pkt_len));
    if (with_taps)
        epan_dissect_run_with_taps(edt, file_type_subtype, &r->rec, tvb, fd, NULL);
    else
        epan_dissect_run(edt, file_type_subtype, &r->rec, tvb, fd, NULL);
#endif
}

/* The fields postdissectors want on a frame's first pass: primed by the
 * GUI before 4.6, by the dissection library itself from 4.6 on. */
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
#define host_prime_first_pass(edt) ((void)(edt))
#else
#define host_prime_first_pass(edt) prime_epan_dissect_with_postdissector_wanted_hfids(edt)
#endif

/* wtap_dump of a packet record and its bytes */
static inline gboolean
host_dump(wtap_dumper *wdh, wtap_rec *rec, const guint8 *bytes, int *err, gchar **err_info)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    ws_buffer_append(&rec->data, bytes, rec->rec_header.packet_header.caplen);
    return wtap_dump(wdh, rec, err, err_info);
#else
    return wtap_dump(wdh, rec, bytes, err, err_info);
#endif
}

/* ---- The GUI's capture file ---------------------------------------------- */

/* The part of the GUI's capture_file (cfile.h) that the dissection library
 * asks about other frames. */
struct packet_provider_data {
    wtap *wth;
    const frame_data *ref;
    frame_data *prev_dis;
    frame_data *prev_cap;
    frame_data_sequence *frames;
};

namespace host {

/* A frame's time as the GUI shows and uses it after a step. */
struct FrameTime {
    nstime_t abs_ts;      /* fd->abs_ts: the Time column, deltas, references */
    int tsprec;           /* fd->tsprec: the digits the Time column shows */
    nstime_t pinfo_ts;    /* pinfo->abs_ts when the frame's latest dissection
                             ended: what every later dissector of it saw */
    bool dissected;       /* whether pinfo_ts was seen at all */
};

/* Edit > Time Shift, "Shift all packets": a sign and an offset. */
struct TimeShift {
    bool negative;
    nstime_t offset;
};

class Session {
public:
    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { close(); }

    /* File > Open: cf_open, then cf_read through the file. */
    bool open(const std::string &path)
    {
        if (!open_file(path))
            return false;
        read();
        return true;
    }
    /* cf_open: the file opened, a new dissection session. */
    bool open_file(const std::string &path);
    /* cf_read: every record read in order and dissected, then the
     * dissectors told that the sequential reading is done. */
    void read();
    /* A live capture: cf_continue_tail with up to limit records written
     * since, then cf_finish_tail once the capture stops (every record left
     * read, the dissectors told that the sequential reading is done). */
    void continue_tail(guint32 limit);
    void finish_tail();
    /* cf_close: frames and dissection session freed. */
    void close();
    /* A preference change as the Preferences dialog applies it, then the
     * redissection it asks for (for a dissection preference). */
    void change_format(const char *name);
    /* cf_redissect_packets: a new dissection session, every frame reset
     * and dissected again in order. */
    void redissect();
    /* cf_filter_packets: the frames dissected again in order, with a tree,
     * against a display filter, keeping what earlier passes built. */
    void filter(const char *text);
    /* Edit > Time Shift on every frame record (time_shift_all), then the
     * rows drawn again (packet_list_queue_draw). */
    void time_shift(const TimeShift &shift) { time_shift_all(shift); redraw(); }
    void time_shift_all(const TimeShift &shift);
    /* Edit > Time Shift, "Undo all shifts", then the rows drawn again. */
    void time_shift_undo() { time_shift_undo_all(); redraw(); }
    void time_shift_undo_all();
    /* The packet list draws (dissects) every row. */
    void redraw();
    /* A click on frame num: dissected with a visible tree. */
    void select(guint32 num);

    std::vector<FrameTime> times() const;
    /* The dissection of the selected frame, as the detail pane shows it. */
    epan_dissect_t *selected() const { return edt_; }

private:
    static const nstime_t *get_frame_ts(packet_provider_data *prov, guint32 frame_num);
    void add_packet_to_packet_list(frame_data *fdata, epan_dissect_t *edt, dfilter_t *dfcode,
                                   host_record *r);
    void rescan_packets(bool redissect);
    void note_dissected(const epan_dissect_t *edt, const frame_data *fd);
    epan_t *new_epan();

    bool open_ = false;
    packet_provider_data provider_ = {};
    epan_t *epan_ = nullptr;
    int cd_t_ = 0;
    guint32 count_ = 0;
    nstime_t elapsed_time_ = {};
    guint32 cum_bytes_ = 0;
    std::string dfilter_;
    host_record current_ = {};
    epan_dissect_t *edt_ = nullptr;
    frame_data *current_frame_ = nullptr;
    std::vector<nstime_t> pinfo_ts_;
    std::vector<bool> dissected_;
};

/* The GUI's preference change without a capture open (no redissection):
 * prefs_set_pref, then every module's apply routine. */
void set_format(const char *name);

} // namespace host

#endif /* VALTOCRANE_HOST_SESSION_H */
