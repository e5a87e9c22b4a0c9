/* packet-valtocrane.h
 * What the ValtoCrane dissector offers the rest of the plugin: its
 * registration routines, called from the plugin's entry point, and what it
 * tells the latency statistics (stats-valtocrane.cpp) of each frame.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_VALTOCRANE_H
#define PACKET_VALTOCRANE_H

#include <wireshark.h>

#include "valtocrane-match.h"
#include "valtocrane-time.h"

void proto_register_valtocrane(void);
void proto_reg_handoff_valtocrane(void);

/* What became of a frame with a device time that is no copy of an earlier
 * one, as far as the dissection knows. */
enum valtocrane_fate : guint8 {
    VALTOCRANE_FATE_WAITING,  /* for a copy, while the window lasts */
    VALTOCRANE_FATE_COPIED,   /* a later frame is its copy */
    VALTOCRANE_FATE_LOST      /* no copy came within the window */
};

/* A whole Ethernet frame of a capture the plugin decodes, as the tap
 * "valtocrane" hands it to the statistics: its capture point, its device
 * time, and whether it is a copy of an earlier frame or what became of it. */
struct valtocrane_tap_frame {
    guint32 num;
    const char *point;          /* its capture point, as the statistics name it */
    gboolean has_time;          /* the rest only where it has a device time */
    valtocrane_time t;
    gboolean copy;              /* a copy of an earlier frame: */
    const char *earlier_point;
    valtocrane_time earlier_t;
    valtocrane_fate fate;       /* else what became of it (waiting: not known yet) */
    gboolean has_flow;
    valtocrane_flow flow;
};

/* What became of a frame with a device time that waited for a copy, as the
 * session knows it now; waiting where it knows no more (or of no frame). */
valtocrane_fate valtocrane_frame_fate(guint32 num);

/* The settings the figures are made with, as a report names them. */
const char *valtocrane_format_name(void);
const char *valtocrane_match_name(void);
guint64 valtocrane_window_ns(void);

/* The statistics' tap listeners, registered when the host asks for them;
 * whether one wants the frames' flows; the end of the sequential reading
 * of a capture, after which no frame waits for a copy. */
void valtocrane_register_statistics(void);
extern gboolean valtocrane_statistics_want_flows;
void valtocrane_statistics_finish(void);

#endif /* PACKET_VALTOCRANE_H */
