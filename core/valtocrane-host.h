/* valtocrane-host.h
 * Everything that differs between the host series the project is built for
 * (Wireshark 4.0, 4.4 and 4.6), in one place, keyed on the version macros
 * of the host's own headers: the plugin's entry points, what a dissector
 * asks of the record it dissects, and the start-up of a program on the
 * host's libraries (valtocrane-capture.h has the capture-file library's
 * differences). A plugin loads only into the series it was built against,
 * so each series gets its own build from the same sources.
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

/* The name of an interface of the capture (by valtocrane_host_interface's
 * number), as the program dissecting knows it: its name, else its
 * description, else its hardware, else "unknown". 4.4 added the section. */
static inline const char *
valtocrane_host_interface_name(const packet_info *pinfo, guint32 interface)
{
#if VALTOCRANE_HOST_AT_LEAST(4, 4)
    return epan_get_interface_name(pinfo->epan, interface & 0xFFFF, interface >> 16);
#else
    return epan_get_interface_name(pinfo->epan, interface);
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

#endif /* VALTOCRANE_HOST_H */
