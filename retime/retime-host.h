/* retime-host.h
 * What differs, for the re-timing tool (and the tests that read captures
 * with the host's libraries as it does), between the series of the host's
 * capture-file library (libwiretap) it is built against: Wireshark 4.0,
 * 4.4 and 4.6. Keyed on the version macros of the host's own headers, like
 * the plugin's valtocrane-host.h.
 *
 * Up to 4.4 a record's bytes are read into a Buffer of the caller's, beside
 * the record; from 4.6 on the record holds its bytes itself.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef RETIME_HOST_H
#define RETIME_HOST_H

#include <cstring>

#include <wiretap/wtap.h>
#include <wsutil/buffer.h>
#include <wsutil/filesystem.h>
#include <wsutil/pint.h>
#include <wsutil/privileges.h>
#include <wsutil/wslog.h>

#include "valtocrane-host.h"

/* Logging, the program's folders (which the library's file-format plugins
 * are found from) and the library, set up as the host's own tools do. From
 * 4.6 on the program name is GLib's alone and the configuration namespace
 * goes with the application flavour. */
static inline void
retime_host_init(const char *program, const char *argv0)
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
    wtap_init(TRUE);
}

/* Unaligned big- and little-endian 32-bit words (renamed in 4.6). */
static inline guint32
retime_ntoh32(const guint8 *p)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return pntohu32(p);
#else
    return pntoh32(p);
#endif
}

static inline guint32
retime_letoh32(const guint8 *p)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return pletohu32(p);
#else
    return pletoh32(p);
#endif
}

/* One record as read from the input: its header, options and bytes. */
struct retime_record {
    wtap_rec rec;
#if !VALTOCRANE_HOST_AT_LEAST(4, 6)
    Buffer buf;
#endif
};

/* Room for a full-size Ethernet frame to begin with; the library grows it. */
constexpr unsigned RETIME_INITIAL_RECORD_SPACE = 1514;

static inline void
retime_record_init(retime_record *r)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    wtap_rec_init(&r->rec, RETIME_INITIAL_RECORD_SPACE);
#else
    wtap_rec_init(&r->rec);
    ws_buffer_init(&r->buf, RETIME_INITIAL_RECORD_SPACE);
#endif
}

/* Reads the next record, and where it lies in the file; false at the end
 * of the input or on an error (err 0 at the end). */
static inline bool
retime_record_read(wtap *wth, retime_record *r, int *err, char **err_info, gint64 *offset)
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
retime_record_read_at(wtap *wth, gint64 offset, retime_record *r, int *err, char **err_info)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return wtap_seek_read(wth, offset, &r->rec, err, err_info);
#else
    return wtap_seek_read(wth, offset, &r->rec, &r->buf, err, err_info) != 0;
#endif
}

static inline guint8 *
retime_record_data(retime_record *r)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return ws_buffer_start_ptr(&r->rec.data);
#else
    return ws_buffer_start_ptr(&r->buf);
#endif
}

/* Drops the first bytes of the record's data (remaining stay); returns
 * where its data now start. Up to 4.4 the bytes written are the caller's
 * pointer; from 4.6 on they are those at the start of the record's own
 * buffer, so the rest is moved there. */
static inline const guint8 *
retime_record_drop_front(retime_record *r, const guint8 *data, guint32 bytes, guint32 remaining)
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

static inline bool
retime_record_dump(wtap_dumper *pdh, retime_record *r, const guint8 *data, int *err,
                   char **err_info)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    (void)data;
    return wtap_dump(pdh, &r->rec, err, err_info);
#else
    return wtap_dump(pdh, &r->rec, data, err, err_info) != 0;
#endif
}

/* Frees what the last record read brought along (its options: comments,
 * flags, drop counts), so that memory stays flat over the whole input. */
static inline void
retime_record_reset(retime_record *r)
{
    wtap_rec_reset(&r->rec);
}

static inline void
retime_record_cleanup(retime_record *r)
{
    wtap_rec_cleanup(&r->rec);
#if !VALTOCRANE_HOST_AT_LEAST(4, 6)
    ws_buffer_free(&r->buf);
#endif
}

#endif /* RETIME_HOST_H */
