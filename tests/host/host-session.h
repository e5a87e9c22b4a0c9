/* host-session.h
 * An open capture file as the host's GUI keeps and dissects it, for the
 * programs that load the plugin into the host's own libraries: the host
 * tests and the fuzz target.
 *
 * Each step follows the GUI's code (file.c, ui/time_shift.c and the packet
 * list's row records) call for call as far as the frame times are
 * concerned: the GUI keeps one frame record per frame while the capture is
 * open, reads the packet record again for every later dissection, and
 * dissects again and again: after a preference change (a new dissection
 * session, every frame reset), for a display filter, for the rows it draws
 * and for the frame the user selects. A read filter given when the capture
 * is opened drops the frames that fail it after their first dissection.
 * What the GUI does besides (colours, progress dialogs, the packet list's
 * own records) does not touch the frame times and is left out.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_HOST_SESSION_H
#define VALTOCRANE_HOST_SESSION_H

#include <memory>
#include <string>
#include <vector>

#include <wireshark.h>
#include <epan/column-info.h>
#include <epan/dfilter/dfilter.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/frame_data_sequence.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/tap.h>
#include <wiretap/wtap.h>

#include "valtocrane-capture.h"
#include "valtocrane-host.h"

/* ---- Dissection ----------------------------------------------------------- */

/* epan_dissect_run(_with_taps) of a record, without column information.
 * From 4.6 on the dissection makes the frame's tvb over the record's own
 * bytes; before, it is handed a tvb over them, as the GUI's frame_tvbuff
 * is (frame_tvbuff.c belongs to the programs, not the libraries; a
 * real-data tvb is the same to a dissector: the top-level buffer, of the
 * frame's captured and reported length). */
static inline void
valtocrane_host_dissect(epan_dissect_t *edt, gboolean with_taps, int file_type_subtype,
                        valtocrane_record *r, frame_data *fd, column_info *cinfo)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    if (with_taps)
        epan_dissect_run_with_taps(edt, file_type_subtype, &r->rec, fd, cinfo);
    else
        epan_dissect_run(edt, file_type_subtype, &r->rec, fd, cinfo);
#else
    tvbuff_t *tvb = tvb_new_real_data(valtocrane_record_data(r), fd->cap_len,
                                      fd->pkt_len > G_MAXINT ? G_MAXINT
                                                             : static_cast<gint>(fd->pkt_len));
    if (with_taps)
        epan_dissect_run_with_taps(edt, file_type_subtype, &r->rec, tvb, fd, cinfo);
    else
        epan_dissect_run(edt, file_type_subtype, &r->rec, tvb, fd, cinfo);
#endif
}

/* The value of a field in a dissection's tree: 4.4 made it a pointer. */
static inline fvalue_t *
valtocrane_host_field_value(field_info *fi)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 4)
    return fi->value;
#else
    return &fi->value;
#endif
}

/* The fields postdissectors want on a frame's first pass: primed by the
 * program before 4.6, by the dissection library itself from 4.6 on. */
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
#define valtocrane_host_prime_first_pass(edt) ((void)(edt))
#else
#define valtocrane_host_prime_first_pass(edt) prime_epan_dissect_with_postdissector_wanted_hfids(edt)
#endif

namespace host {
class Records;
}

/* The part of the GUI's capture_file (cfile.h) that the dissection library
 * asks about other frames and the capture's interfaces. */
struct packet_provider_data {
    host::Records *records;
    const frame_data *ref;
    frame_data *prev_dis;
    frame_data *prev_cap;
    frame_data_sequence *frames;
};

namespace host {

/* Where a capture's records come from: a file, read with the host's
 * capture-file library as the GUI reads it, or records held in memory (the
 * fuzz target's). An offset is what next() gave for the record. */
class Records {
public:
    virtual ~Records() = default;
    virtual bool next(valtocrane_record *r, gint64 *offset) = 0;  /* wtap_read */
    virtual bool at(gint64 offset, valtocrane_record *r) = 0;     /* wtap_seek_read */
    virtual void sequential_close() {}
    virtual int file_type_subtype() const { return WTAP_FILE_TYPE_SUBTYPE_UNKNOWN; }
    /* The interface's name and description (cap_file_provider_get_interface_*). */
    virtual const char *interface_name(guint32) { return "unknown"; }
    virtual const char *interface_description(guint32) { return nullptr; }
};

/* A capture file. */
std::unique_ptr<Records> open_file(const std::string &path);

/* A frame's time as the GUI shows and uses it after a step. */
struct FrameTime {
    nstime_t abs_ts;        /* fd->abs_ts: the Time column, deltas, references */
    int tsprec;             /* fd->tsprec: the digits the Time column shows */
    nstime_t pinfo_ts;      /* pinfo->abs_ts when the frame's latest dissection
                               ended: what every later dissector of it saw */
    bool dissected;         /* whether pinfo_ts was seen at all */
    nstime_t shift_offset;  /* fd->shift_offset: what Time Shift added */
    gint64 file_off;        /* where the frame's record is (Records::at) */
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
    virtual ~Session() { close(); }

    /* File > Open, with a read filter if given: cf_open, then cf_read
     * through the file. */
    bool open(const std::string &path, const char *read_filter = nullptr)
    {
        std::unique_ptr<Records> records = open_file(path);
        if (!records)
            return false;
        open_records(std::move(records), read_filter);
        read();
        return true;
    }
    /* cf_open (and cf_set_rfcode): the records opened, a new dissection
     * session. */
    void open_records(std::unique_ptr<Records> records, const char *read_filter = nullptr);
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
    /* cf_retap_packets: every frame dissected again for the tap listeners
     * (a statistics dialog opened or its filter applied), then drawn. */
    void retap();
    /* Edit > Time Shift on every frame record (time_shift_all), then the
     * rows drawn again (packet_list_queue_draw). */
    void time_shift(const TimeShift &shift) { time_shift_all(shift); redraw(); }
    void time_shift_all(const TimeShift &shift);
    /* Edit > Time Shift, "Undo all shifts", then the rows drawn again. */
    void time_shift_undo() { time_shift_undo_all(); redraw(); }
    void time_shift_undo_all();
    /* The packet list draws (dissects) every row, its columns filled in
     * where show_columns was given. */
    void redraw();
    void show_columns(column_info *cinfo) { cinfo_ = cinfo; }
    /* A click on frame num: dissected with a visible tree. */
    void select(guint32 num);

    guint32 count() const { return count_; }
    std::vector<FrameTime> times() const;
    /* The dissection of the selected frame, as the detail pane shows it. */
    epan_dissect_t *selected() const { return edt_; }

protected:
    /* The dissection session's end (epan_free) and start (ws_epan_new):
     * at every open, close and redissection. */
    virtual void end_session();
    virtual void start_session();
    epan_t *epan_ = nullptr;

private:
    static const nstime_t *get_frame_ts(packet_provider_data *prov, guint32 frame_num);
    bool read_record(valtocrane_record *r, gint64 offset, epan_dissect_t *edt,
                     dfilter_t *dfcode);
    void add_packet_to_packet_list(frame_data *fdata, epan_dissect_t *edt, dfilter_t *dfcode,
                                   valtocrane_record *r);
    void rescan_packets(bool redissect);
    void note_dissected(const epan_dissect_t *edt, const frame_data *fd);

    std::unique_ptr<Records> records_;
    bool open_ = false;
    packet_provider_data provider_ = {};
    int cd_t_ = 0;
    guint32 count_ = 0;
    nstime_t elapsed_time_ = {};
    guint32 cum_bytes_ = 0;
    dfilter_t *rfcode_ = nullptr;
    std::string dfilter_;
    column_info *cinfo_ = nullptr;
    valtocrane_record current_ = {};
    epan_dissect_t *edt_ = nullptr;
    frame_data *current_frame_ = nullptr;
    std::vector<nstime_t> pinfo_ts_;
    std::vector<bool> dissected_;
};

/* The GUI's preference change without a capture open (no redissection):
 * prefs_set_pref with "module.name:value", then every module's apply
 * routine; set_format for valtocrane.ts_type. */
void set_preference(const char *setting);
void set_format(const char *name);

} // namespace host

#endif /* VALTOCRANE_HOST_SESSION_H */
