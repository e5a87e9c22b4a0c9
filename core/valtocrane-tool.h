/* valtocrane-tool.h
 * What the project's command-line tools (valtocrane-retime,
 * valtocrane-latency) share: their command lines, progress on a terminal,
 * and the files they write, which they treat as the host's editcap treats
 * its output file.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_TOOL_H
#define VALTOCRANE_TOOL_H

#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

#include <wireshark.h>
#include <wiretap/wtap.h>

#include "valtocrane-format.h"

/* ---- Command lines --------------------------------------------------------- */

/* A usage error, with the way to the help; the exit code for it. */
int valtocrane_tool_usage_error(const char *program, const char *message, const char *arg);

/* The formats --format takes (every value of the plugin's preference), one a
 * line with what it is after indent, or in one line between separators;
 * disabled says what "disabled" means to the tool. */
void valtocrane_tool_print_formats(FILE *out, const char *indent, const char *separator,
                                   const char *disabled);

/* The format a --format name selects; NULL, with the usage error said, for
 * a name that is none. */
const valtocrane_format_info *valtocrane_tool_format(const char *program, const char *name);

void valtocrane_tool_print_version(const char *program);


/* A library error: what failed, the library's text and, where it gave
 * one, its detail (which is freed). */
void valtocrane_tool_library_error(const char *program, const char *what, int err, char *err_info);

/* ---- Progress ------------------------------------------------------------- */

/* The size of an input whose reading is shown on standard error, where
 * that is a terminal; 0 for none. */
gint64 valtocrane_tool_progress_size(wtap *wth, const char *path);

/* How much of size bytes has been read, on one line rewritten in place;
 * shown is the share last shown (-1 for none). */
void valtocrane_tool_show_progress(const char *program, gint64 done, gint64 size, int *shown);

/* Clears the progress line, where one was shown. */
void valtocrane_tool_end_progress(int shown);

/* ---- Files written --------------------------------------------------------- */

/* How a file is written, as editcap writes its output: standard output for
 * "-"; a regular file (through symbolic links, which stay), or a new one,
 * under a temporary name beside it, put in place only when complete, with
 * the permissions (and, for root, the owner and group) of the file it
 * replaces; anything else (a device, a named pipe, a socket, a terminal,
 * /dev/stdout, /dev/fd/N) straight, as is. No temporary file goes into
 * /dev or /proc. */
enum valtocrane_output_kind { VALTOCRANE_OUTPUT_STDOUT, VALTOCRANE_OUTPUT_REPLACE,
                              VALTOCRANE_OUTPUT_STRAIGHT };

struct valtocrane_output {
    const char *path;  /* as given */
    valtocrane_output_kind kind;
    char *target;      /* REPLACE: the file that links lead to */
    bool exists;       /* REPLACE: and it is there already, as attrs */
    struct stat attrs;
    int descriptor;    /* STRAIGHT: a descriptor of this process, or -1 */
    char *temp;        /* REPLACE, while written */
};

/* Whether writing out would write over in: the same file under any name (a
 * hard link, a symbolic one), or standard output appending to the file
 * standard input reads. */
bool valtocrane_tool_same_file(const char *in, const char *out);

/* An interrupted tool leaves no temporary file behind. */
void valtocrane_tool_clean_up_on_signals(void);

/* Decides how out->path is written, before anything is read: follows
 * symbolic links to the file they lead to (which need not exist yet). A
 * file in /dev (or /proc) is written straight into too. Returns 0, or an
 * errno value. */
int valtocrane_output_plan(valtocrane_output *out);

/* Says why out->path cannot be written as planned (err from
 * valtocrane_output_plan). */
void valtocrane_output_plan_failed(const valtocrane_output *out, const char *program, int err);

/* A descriptor to write out into: a temporary file (REPLACE) or the file
 * itself (STRAIGHT); -1 and err on failure. STDOUT is the caller's. */
int valtocrane_output_open(valtocrane_output *out, const char *tag, int *err);

/* Puts a complete file in place; false and err on failure. */
bool valtocrane_output_commit(valtocrane_output *out, int *err);

/* Removes what was written under a temporary name, and says what became of
 * the file. */
void valtocrane_output_discard(valtocrane_output *out, const char *program);

void valtocrane_output_free(valtocrane_output *out);

#endif /* VALTOCRANE_TOOL_H */
