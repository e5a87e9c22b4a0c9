/* host-startup.h
 * The host's start-up calls that differ between the host series, for the
 * programs that load the plugin into the host's own libraries (the
 * in-process host tests and the fuzz target).
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_HOST_STARTUP_H
#define VALTOCRANE_HOST_STARTUP_H

#include <cstdarg>
#include <type_traits>

#include <wireshark.h>
#include <wsutil/filesystem.h>
#include <wsutil/report_message.h>
#include <wsutil/wslog.h>

#include "valtocrane-host.h"

/* Start-up: 4.6 dropped the program name from the logging set-up and the
 * namespace from the configuration set-up. */
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
#define host_log_init(name) ws_log_init(NULL)
#define host_configuration_init(arg0) configuration_init(arg0)
#else
#define host_log_init(name) ws_log_init(name, NULL)
#define host_configuration_init(arg0) configuration_init(arg0, NULL)
#endif

/* The host's message routines. Their argument types differ between series
 * and 4.6 added one (for renaming a file), so each is set by name; the file
 * errors are only counted. */
inline int host_reports = 0;

template <typename F> struct host_count_report;
template <typename... A> struct host_count_report<void (*)(A...)> {
    static void report(A...) { host_reports++; }
};

#define HOST_COUNT_REPORT(r, member) \
    ((r)->member = host_count_report<std::remove_reference_t<decltype((r)->member)>>::report)

static inline void
host_report_routines(report_message_routines *r, void (*vreport)(const char *, va_list))
{
    r->vreport_failure = vreport;
    r->vreport_warning = vreport;
    HOST_COUNT_REPORT(r, report_open_failure);
    HOST_COUNT_REPORT(r, report_read_failure);
    HOST_COUNT_REPORT(r, report_write_failure);
#if VALTOCRANE_HOST_AT_LEAST(4, 6)
    HOST_COUNT_REPORT(r, report_rename_failure);
#endif
    HOST_COUNT_REPORT(r, report_cfile_open_failure);
    HOST_COUNT_REPORT(r, report_cfile_dump_open_failure);
    HOST_COUNT_REPORT(r, report_cfile_read_failure);
    HOST_COUNT_REPORT(r, report_cfile_write_failure);
    HOST_COUNT_REPORT(r, report_cfile_close_failure);
}

#endif /* VALTOCRANE_HOST_STARTUP_H */
