/* valtocrane-capture.cpp
 * Records of capture files, with the host's capture-file library.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "valtocrane-capture.h"

#include <cstring>

/* Room for a full-size Ethernet frame to begin with; the library grows it. */
constexpr unsigned VALTOCRANE_RECORD_INITIAL_SPACE = 1514;

void
valtocrane_record_init(valtocrane_record *r)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    wtap_rec_init(&r->rec, VALTOCRANE_RECORD_INITIAL_SPACE);
#else
    wtap_rec_init(&r->rec);
    ws_buffer_init(&r->buf, VALTOCRANE_RECORD_INITIAL_SPACE);
#endif
}

bool
valtocrane_record_read(wtap *wth, valtocrane_record *r, int *err, char **err_info,
                       gint64 *offset)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return wtap_read(wth, &r->rec, err, err_info, offset);
#else
    return wtap_read(wth, &r->rec, &r->buf, err, err_info, offset) != 0;
#endif
}

bool
valtocrane_record_read_at(wtap *wth, gint64 offset, valtocrane_record *r, int *err,
                          char **err_info)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return wtap_seek_read(wth, offset, &r->rec, err, err_info);
#else
    return wtap_seek_read(wth, offset, &r->rec, &r->buf, err, err_info) != 0;
#endif
}

guint8 *
valtocrane_record_data(valtocrane_record *r)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return ws_buffer_start_ptr(&r->rec.data);
#else
    return ws_buffer_start_ptr(&r->buf);
#endif
}

void
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

const guint8 *
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

bool
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

guint32
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

void
valtocrane_record_set_interface(wtap_rec *rec, guint32 id)
{
    rec->rec_header.packet_header.interface_id = id;
    rec->presence_flags |= WTAP_HAS_INTERFACE_ID;
    rec->section_number = 0;
}

void
valtocrane_record_reset(valtocrane_record *r)
{
    wtap_rec_reset(&r->rec);
}

void
valtocrane_record_cleanup(valtocrane_record *r)
{
    wtap_rec_cleanup(&r->rec);
#if !VALTOCRANE_HOST_AT_LEAST(4, 6)
    ws_buffer_free(&r->buf);
#endif
}

valtocrane_record *
valtocrane_record_new(void)
{
    valtocrane_record *r = g_new(valtocrane_record, 1);
    valtocrane_record_init(r);
    return r;
}

void
valtocrane_record_free(valtocrane_record *r)
{
    valtocrane_record_cleanup(r);
    g_free(r);
}

/* A buffer holding a copy of length bytes and no more: the library's own
 * are at least 2 kB. ws_buffer_free() frees it as one of those. */
static Buffer
valtocrane_exact_buffer(const guint8 *bytes, guint32 length)
{
    Buffer buf;

    buf.data = length != 0 ? static_cast<guint8 *>(g_memdup2(bytes, length)) : NULL;
    buf.allocated = length;
    buf.start = 0;
    buf.first_free = length;
    return buf;
}

valtocrane_record *
valtocrane_record_keep(valtocrane_record *r, const guint8 *data)
{
    valtocrane_record *k = g_new(valtocrane_record, 1);

    /* The header and the options block move; the buffers are k's own (a
     * packet needs no file-type specific data to be written). */
    k->rec = r->rec;
    r->rec.block = NULL;
    k->rec.options_buf = valtocrane_exact_buffer(NULL, 0);
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    k->rec.data = valtocrane_exact_buffer(data, r->rec.rec_header.packet_header.caplen);
#else
    k->buf = valtocrane_exact_buffer(data, r->rec.rec_header.packet_header.caplen);
#endif
    return k;
}

std::size_t
valtocrane_record_size(const valtocrane_record *r)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    return sizeof *r + r->rec.options_buf.allocated + r->rec.data.allocated;
#else
    return sizeof *r + r->rec.options_buf.allocated + r->buf.allocated;
#endif
}

guint32
valtocrane_wire_length(const wtap_packet_header *ph)
{
    return MAX(ph->len, ph->caplen);
}

valtocrane_time
valtocrane_record_time(const wtap_rec *rec)
{
    return valtocrane_from_nstime(&rec->ts);
}

valtocrane_location
valtocrane_record_device_time(valtocrane_format format, const wtap_rec *rec, const guint8 *data,
                              valtocrane_tick_anchor *anchor, valtocrane_time *t)
{
    const wtap_packet_header *ph = &rec->rec_header.packet_header;
    const valtocrane_location at = valtocrane_locate(format, data, ph->caplen,
                                                     valtocrane_wire_length(ph),
                                                     ph->pseudo_header.eth.fcs_len);

    if (at.outcome == VALTOCRANE_FOUND) {
        *t = valtocrane_device_time(format, data, at);
        if (format == VALTOCRANE_TICK_TRAILER)
            *t = valtocrane_tick_anchor_apply(anchor, valtocrane_record_time(rec), *t);
    }
    return at;
}
