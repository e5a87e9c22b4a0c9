/* valtocrane-capture.h
 * Records of capture files, read and written with the host's capture-file
 * library (libwiretap) in every host series the project is built for, and
 * the device time of a record by the plugin's rules: what the tools and
 * the host tests share.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_CAPTURE_H
#define VALTOCRANE_CAPTURE_H

#include <cstddef>

#include <wireshark.h>
#include <wiretap/wtap.h>
#include <wsutil/buffer.h>

#include "valtocrane-format.h"
#include "valtocrane-host.h"

/* One record as read from a capture: its header, options and bytes. Up to
 * 4.4 the bytes are read into a Buffer of the caller's, beside the record;
 * from 4.6 on the record holds its bytes itself. */
struct valtocrane_record {
    wtap_rec rec;
#if !VALTOCRANE_HOST_AT_LEAST(4, 6)
    Buffer buf;
#endif
};

void valtocrane_record_init(valtocrane_record *r);

/* Reads the next record, and where it lies in the file; false at the end
 * of the input or on an error (err 0 at the end). */
bool valtocrane_record_read(wtap *wth, valtocrane_record *r, int *err, char **err_info,
                            gint64 *offset);

/* Reads the record at a known offset again, as the host's programs do for
 * every dissection after the first. */
bool valtocrane_record_read_at(wtap *wth, gint64 offset, valtocrane_record *r, int *err,
                               char **err_info);

guint8 *valtocrane_record_data(valtocrane_record *r);

/* Makes bytes (length of them) the record's bytes. */
void valtocrane_record_set_data(valtocrane_record *r, const guint8 *bytes, guint32 length);

/* Drops the first bytes of the record's data (remaining stay); returns
 * where its data now start. Up to 4.4 the bytes written are the caller's
 * pointer; from 4.6 on they are those at the start of the record's own
 * buffer, so the rest is moved there. */
const guint8 *valtocrane_record_drop_front(valtocrane_record *r, const guint8 *data, guint32 bytes,
                                            guint32 remaining);

/* Writes the record, its bytes those at data. */
bool valtocrane_record_dump(wtap_dumper *pdh, valtocrane_record *r, const guint8 *data, int *err,
                            char **err_info);

/* The interface a packet record was captured on, numbered over the whole
 * input as the library describes the interfaces (a record without one, from
 * a pcap file say, belongs to the first). A pcapng record carries the
 * number its own section gives the interface; the 4.4 and 4.6 libraries map
 * it to the whole file's numbering, as their programs do. 4.0 has no such
 * map and its programs take the section's number as it is; so does this. */
guint32 valtocrane_record_interface(wtap *wth, const wtap_rec *rec);

/* Puts a packet record on an interface of the output, numbered as the
 * output's interfaces were added. The 4.4 and 4.6 writers take a record's
 * number as its section's own and map it through the sections of the file
 * read (so that a copy numbers interfaces as the reader does); the output
 * has one section, the first, and 4.0's writer takes the number as it is. */
void valtocrane_record_set_interface(wtap_rec *rec, guint32 id);

/* Frees what the last record read brought along (its options: comments,
 * flags, drop counts), so that memory stays flat over the whole input. */
void valtocrane_record_reset(valtocrane_record *r);

void valtocrane_record_cleanup(valtocrane_record *r);

/* A packet record kept aside (to be written later): a new record with r's
 * header and options (r loses them: reset it) and a copy of its captured
 * bytes at data, in buffers no larger than they need; its bytes start at
 * valtocrane_record_data(). Free it with valtocrane_record_free(). */
valtocrane_record *valtocrane_record_keep(valtocrane_record *r, const guint8 *data);

/* A record of one's own to read into, and its end. */
valtocrane_record *valtocrane_record_new(void);
void valtocrane_record_free(valtocrane_record *r);

/* The memory a record takes: itself and its buffers (the library grows a
 * record's to the largest one read into it). */
std::size_t valtocrane_record_size(const valtocrane_record *r);

/* A record that claims more bytes captured than there were on the wire is
 * damaged; the host's frame dissector takes the captured length for the
 * frame's length before any link-layer dissector sees it, and so do the
 * tools, so that they and the plugin find the trailer at the same place. */
guint32 valtocrane_wire_length(const wtap_packet_header *ph);

/* The capture file's own time of a record. */
valtocrane_time valtocrane_record_time(const wtap_rec *rec);

/* The device time of an Ethernet packet record by the plugin's rules, and
 * where the device's bytes lie; t is set where the outcome is
 * VALTOCRANE_FOUND. A frame that keeps its Ethernet FCS (the file says so:
 * pcapng per interface, pcap in its link type) has the trailer before it.
 * The tick counter is tied to the capture file's clock at the first frame
 * with a readable counter, as in the plugin. */
valtocrane_location valtocrane_record_device_time(valtocrane_format format, const wtap_rec *rec, const guint8 *data,
                                                  valtocrane_tick_anchor *anchor, valtocrane_time *t);

#endif /* VALTOCRANE_CAPTURE_H */
