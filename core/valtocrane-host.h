/* valtocrane-host.h
 * Everything that differs between the host series the project is built for
 * (Wireshark 4.0, 4.4 and 4.6), in one place, keyed on the version macros
 * of the host's own headers: the plugin's entry points, the start-up of a
 * program on the host's libraries, reading and writing records with the
 * capture-file library (libwiretap), and running a dissection. A plugin
 * loads only into the series it was built against, so each series gets its
 * own build from the same sources.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_HOST_H
#define VALTOCRANE_HOST_H

#include <cstdarg>
#include <cstring>
#include <type_traits>

#include <ws_version.h>

#define VALTOCRANE_HOST_AT_LEAST(major, minor) \
    (WIRESHARK_VERSION_MAJOR > (major) || \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

/* From 4.2 on, the loader asks a plugin what it provides through an exported
 * plugin_describe(); without it "tshark -G plugins" lists the plugin's type
 * as "unknown". */
#if VALTOCRANE_HOST_AT_LEAST(4, 2)
#include <wsutil/plugins.h>
#define VALTOCRANE_HOST_HAS_PLUGIN_DESCRIBE 1
#else
#define VALTOCRANE_HOST_HAS_PLUGIN_DESCRIBE 0
#endif

#include <wireshark.h>
#include <epan/column-utils.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/packet_info.h>
#include <wiretap/wtap.h>
#include <wsutil/buffer.h>
#include <wsutil/filesystem.h>
#include <wsutil/privileges.h>
#include <wsutil/report_message.h>
#include <wsutil/wslog.h>

#include "valtocrane-time.h"

/* ---- Times ------------------------------------------------------------------ */

/* The host's times (nstime_t: a frame's, a record's) and the project's. */
static inline valtocrane_time
valtocrane_from_nstime(const nstime_t *t)
{
    return valtocrane_time_normalise(static_cast<std::int64_t>(t->secs), t->nsecs);
}

static inline nstime_t
valtocrane_nstime(const valtocrane_time &vt)
{
    nstime_t t;

    t.secs = static_cast<time_t>(vt.secs);
    t.nsecs = static_cast<int>(vt.nsecs);
    return t;
}

/* ---- Dissectors ----------------------------------------------------------- */

/* The description of the interface the record being dissected was
 * captured on, where the capture file gives one; 4.4 added the section of
 * the file the interface belongs to. */
static inline const char *
valtocrane_host_interface_description(const packet_info *pinfo)
{
    if (pinfo->rec == NULL || !(pinfo->rec->presence_flags & WTAP_HAS_INTERFACE_ID))
        return NULL;
#if VALTOCRANE_HOST_AT_LEAST(4, 4)
    return epan_get_interface_description(pinfo->epan,
                                          pinfo->rec->rec_header.packet_header.interface_id,
                                          pinfo->rec->section_number);
#else
    return epan_get_interface_description(pinfo->epan,
                                          pinfo->rec->rec_header.packet_header.interface_id);
#endif
}

/* The interface the record being dissected was captured on, one number for
 * each interface of the file. From 4.4 on a record names its interface by
 * its section's own numbering, so the section counts too (as
 * valtocrane_record_interface counts it, over the whole file); 4.0 takes
 * the section's number as it is, as its programs do. */
static inline guint32
valtocrane_host_interface(const packet_info *pinfo)
{
    if (pinfo->rec == NULL || !(pinfo->rec->presence_flags & WTAP_HAS_INTERFACE_ID))
        return 0;
    const guint32 id = pinfo->rec->rec_header.packet_header.interface_id;
#if VALTOCRANE_HOST_AT_LEAST(4, 4)
    return pinfo->rec->section_number << 16 | (id & 0xFFFF);
#else
    return id;
#endif
}

/* ---- Start-up ------------------------------------------------------------ */

/* Logging and the program's folders (which the library's file-format plugins
 * are found from), set up as the host's own programs do. From 4.6 on the
 * program name is GLib's alone and the configuration namespace goes with
 * the application flavour. */
static inline void
valtocrane_host_startup(const char *program, const char *argv0)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    g_set_prgname(program);
    ws_log_init(NULL);
    init_process_policies();
    g_free(configuration_init(argv0));
#else
    ws_log_init(program, NULL);
    init_process_policies();
    g_free(configuration_init(argv0, NULL));
#endif
}

/* The host's message routines, for programs that load the dissection
 * library. Their argument types differ between series and 4.6 added one
 * (for renaming a file), so each is set by name; the file errors are only
 * counted, in valtocrane_host_reports. */
inline int valtocrane_host_reports = 0;

template <typename F> struct valtocrane_host_count_report;
template <typename... A> struct valtocrane_host_count_report<void (*)(A...)> {
    static void report(A...) { valtocrane_host_reports++; }
};

#define VALTOCRANE_HOST_COUNT_REPORT(r, member) \
    ((r)->member = valtocrane_host_count_report< \
         std::remove_reference_t<decltype((r)->member)>>::report)

static inline void
valtocrane_host_report_routines(report_message_routines *r,
                                void (*vreport)(const char *, va_list))
{
    r->vreport_failure = vreport;
    r->vreport_warning = vreport;
    VALTOCRANE_HOST_COUNT_REPORT(r, report_open_failure);
    VALTOCRANE_HOST_COUNT_REPORT(r, report_read_failure);
    VALTOCRANE_HOST_COUNT_REPORT(r, report_write_failure);
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    VALTOCRANE_HOST_COUNT_REPORT(r, report_rename_failure);
#endif
    VALTOCRANE_HOST_COUNT_REPORT(r, report_cfile_open_failure);
    VALTOCRANE_HOST_COUNT_REPORT(r, report_cfile_dump_open_failure);
    VALTOCRANE_HOST_COUNT_REPORT(r, report_cfile_read_failure);
    VALTOCRANE_HOST_COUNT_REPORT(r, report_cfile_write_failure);
    VALTOCRANE_HOST_COUNT_REPORT(r, report_cfile_close_failure);
}

/* ---- Records of the capture-file library --------------------------------- */

/* One record as read from a capture: its header, options and bytes. Up to
 * 4.4 the bytes are read into a Buffer of the caller's, beside the record;
 * from 4.6 on the record holds its bytes itself. */
struct valtocrane_record {
    wtap_rec rec;
#if !VALTOCRANE_HOST_AT_LEAST(4, 6)
    Buffer buf;
#endif
};

/* Room for a full-size Ethernet frame to begin with; the library grows it. */
constexpr unsigned VALTOCRANE_RECORD_INITIAL_SPACE = 1514;

static inline void
valtocrane_record_init(valtocrane_record *r)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    wtap_rec_init(&r->rec, VALTOCRANE_RECORD_INITIAL_SPACE);
#else
    wtap_rec_init(&r->rec);
    ws_buffer_init(&r->buf, VALTOCRANE_RECORD_INITIAL_SPACE);
#endif
}

/* Reads the next record, and where it lies in the file; false at the end
 * of the input or on an error (err 0 at the end). */
static inline bool
valtocrane_record_read(wtap *wth, valtocrane_record *r, int *err, char **err_info,
                       gint64 *offset)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return wtap_read(wth, &r->rec, err, err_info, offset);
#else
    return wtap_read(wth, &r->rec, &r->buf, err, err_info, offset) != 0;
#endif
}

/* Reads the record at a known offset again, as the host's programs do for
 * every dissection after the first. */
static inline bool
valtocrane_record_read_at(wtap *wth, gint64 offset, valtocrane_record *r, int *err,
                          char **err_info)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return wtap_seek_read(wth, offset, &r->rec, err, err_info);
#else
    return wtap_seek_read(wth, offset, &r->rec, &r->buf, err, err_info) != 0;
#endif
}

static inline guint8 *
valtocrane_record_data(valtocrane_record *r)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return ws_buffer_start_ptr(&r->rec.data);
#else
    return ws_buffer_start_ptr(&r->buf);
#endif
}

/* Makes bytes (length of them) the record's bytes. */
static inline void
valtocrane_record_set_data(valtocrane_record *r, const guint8 *bytes, guint32 length)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    ws_buffer_clean(&r->rec.data);
    ws_buffer_append(&r->rec.data, bytes, length);
#else
    /* (4.0 takes the bytes without const.) */
    ws_buffer_clean(&r->buf);
    ws_buffer_append(&r->buf, const_cast<guint8 *>(bytes), length);
#endif
}

/* Drops the first bytes of the record's data (remaining stay); returns
 * where its data now start. Up to 4.4 the bytes written are the caller's
 * pointer; from 4.6 on they are those at the start of the record's own
 * buffer, so the rest is moved there. */
static inline const guint8 *
valtocrane_record_drop_front(valtocrane_record *r, const guint8 *data, guint32 bytes,
                             guint32 remaining)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    guint8 *start = ws_buffer_start_ptr(&r->rec.data);
    (void)data;
    memmove(start, start + bytes, remaining);
    return start;
#else
    (void)r;
    (void)remaining;
    return data + bytes;
#endif
}

/* Writes the record, its bytes those at data. */
static inline bool
valtocrane_record_dump(wtap_dumper *pdh, valtocrane_record *r, const guint8 *data, int *err,
                       char **err_info)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    if (data != ws_buffer_start_ptr(&r->rec.data))
        valtocrane_record_set_data(r, data, r->rec.rec_header.packet_header.caplen);
    return wtap_dump(pdh, &r->rec, err, err_info);
#else
    return wtap_dump(pdh, &r->rec, data, err, err_info) != 0;
#endif
}

/* The interface a packet record was captured on, numbered over the whole
 * input as the library describes the interfaces (a record without one, from
 * a pcap file say, belongs to the first). A pcapng record carries the
 * number its own section gives the interface; the 4.4 and 4.6 libraries map
 * it to the whole file's numbering, as their programs do. 4.0 has no such
 * map and its programs take the section's number as it is; so does this. */
static inline guint32
valtocrane_record_interface(wtap *wth, const wtap_rec *rec)
{
    const guint32 id = (rec->presence_flags & WTAP_HAS_INTERFACE_ID)
                           ? rec->rec_header.packet_header.interface_id : 0;
#if VALTOCRANE_HOST_AT_LEAST(4, 4)
    if (rec->presence_flags & WTAP_HAS_SECTION_NUMBER)
        return wtap_file_get_shb_global_interface_id(wth, rec->section_number, id);
#else
    (void)wth;
#endif
    return id;
}

/* Puts a packet record on an interface of the output, numbered as the
 * output's interfaces were added. The 4.4 and 4.6 writers take a record's
 * number as its section's own and map it through the sections of the file
 * read (so that a copy numbers interfaces as the reader does); the output
 * has one section, the first, and 4.0's writer takes the number as it is. */
static inline void
valtocrane_record_set_interface(wtap_rec *rec, guint32 id)
{
    rec->rec_header.packet_header.interface_id = id;
    rec->presence_flags |= WTAP_HAS_INTERFACE_ID;
    rec->section_number = 0;
}

/* Frees what the last record read brought along (its options: comments,
 * flags, drop counts), so that memory stays flat over the whole input. */
static inline void
valtocrane_record_reset(valtocrane_record *r)
{
    wtap_rec_reset(&r->rec);
}

static inline void
valtocrane_record_cleanup(valtocrane_record *r)
{
    wtap_rec_cleanup(&r->rec);
#if !VALTOCRANE_HOST_AT_LEAST(4, 6)
    ws_buffer_free(&r->buf);
#endif
}

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

#endif /* VALTOCRANE_HOST_H */
