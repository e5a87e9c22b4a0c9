/* retime-host.h
 * What differs, for the re-timing tool, between the series of the host's
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

#include <ws_version.h>
#include <wiretap/wtap.h>
#include <wsutil/buffer.h>

#define RETIME_HOST_AT_LEAST(major, minor) \
    (WIRESHARK_VERSION_MAJOR > (major) || \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

/* One record as read from the input: its header, options and bytes. */
struct retime_record {
    wtap_rec rec;
#if !RETIME_HOST_AT_LEAST(4, 6)
    Buffer buf;
#endif
};

/* Room for a full-size Ethernet frame to begin with; the library grows it. */
constexpr unsigned RETIME_INITIAL_RECORD_SPACE = 1514;

static inline void
retime_record_init(retime_record *r)
{
#if RETIME_HOST_AT_LEAST(4, 6)
    wtap_rec_init(&r->rec, RETIME_INITIAL_RECORD_SPACE);
#else
    wtap_rec_init(&r->rec);
    ws_buffer_init(&r->buf, RETIME_INITIAL_RECORD_SPACE);
#endif
}

/* Reads the next record; false at the end of the input or on an error
 * (err 0 at the end). */
static inline bool
retime_record_read(wtap *wth, retime_record *r, int *err, char **err_info)
{
    gint64 offset;

#if RETIME_HOST_AT_LEAST(4, 6)
    return wtap_read(wth, &r->rec, err, err_info, &offset);
#else
    return wtap_read(wth, &r->rec, &r->buf, err, err_info, &offset) != 0;
#endif
}

static inline guint8 *
retime_record_data(retime_record *r)
{
#if RETIME_HOST_AT_LEAST(4, 6)
    return ws_buffer_start_ptr(&r->rec.data);
#else
    return ws_buffer_start_ptr(&r->buf);
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
#if !RETIME_HOST_AT_LEAST(4, 6)
    ws_buffer_free(&r->buf);
#endif
}

#endif /* RETIME_HOST_H */
