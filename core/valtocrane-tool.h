/* valtocrane-tool.h
 * What the project's command-line tools (valtocrane-retime,
 * valtocrane-latency) share: their command lines, the records they read,
 * and the files they write, which they treat as the host's editcap treats
 * its output file.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_TOOL_H
#define VALTOCRANE_TOOL_H

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "valtocrane-format.h"
#include "valtocrane-host.h"

/* ---- Command lines --------------------------------------------------------- */

/* A usage error, with the way to the help; the exit code for it. */
static inline int
valtocrane_tool_usage_error(const char *program, const char *message, const char *arg)
{
    fprintf(stderr, "%s: ", program);
    fprintf(stderr, message, arg);
    fprintf(stderr, "\nTry '%s --help' for more information.\n", program);
    return 1;
}

/* The formats --format takes (every value of the plugin's preference), one a
 * line with what it is after indent, or in one line between separators;
 * disabled says what "disabled" means to the tool. */
static inline void
valtocrane_tool_print_formats(FILE *out, const char *indent, const char *separator,
                              const char *disabled)
{
    bool first = true;

    for (const valtocrane_format_info &info : VALTOCRANE_FORMATS) {
        if (separator != NULL)
            fprintf(out, "%s%s", first ? "" : separator, info.name);
        else
            fprintf(out, "%s%-32s%s\n", indent, info.name,
                    info.format == VALTOCRANE_DISABLED ? disabled : info.layout);
        first = false;
    }
}

/* The format a --format name selects; NULL, with the usage error said, for
 * a name that is none. */
static inline const valtocrane_format_info *
valtocrane_tool_format(const char *program, const char *name)
{
    const valtocrane_format_info *format = valtocrane_format_by_name(name);

    if (format == NULL) {
        fprintf(stderr, "%s: unknown format '%s' (", program, name);
        valtocrane_tool_print_formats(stderr, NULL, ", ", NULL);
        fprintf(stderr, ")\nTry '%s --help' for more information.\n", program);
    }
    return format;
}

static inline void
valtocrane_tool_print_version(const char *program)
{
    printf("%s %s (libwiretap of Wireshark %d.%d.%d)\n", program, VALTOCRANE_VERSION,
           WIRESHARK_VERSION_MAJOR, WIRESHARK_VERSION_MINOR, WIRESHARK_VERSION_MICRO);
}

/* A library error: what failed, the library's text and, where it gave
 * one, its detail (which is freed). */
static inline void
valtocrane_tool_library_error(const char *program, const char *what, int err, char *err_info)
{
    fprintf(stderr, "%s: %s: %s", program, what, wtap_strerror(err));
    if (err_info != NULL)
        fprintf(stderr, " (%s)", err_info);
    fputc('\n', stderr);
    g_free(err_info);
}

/* ---- Progress ------------------------------------------------------------- */

/* The size of an input whose reading is shown on standard error, where
 * that is a terminal; 0 for none. */
static inline gint64
valtocrane_tool_progress_size(wtap *wth, const char *path)
{
    int err;

    if (strcmp(path, "-") == 0 || !isatty(STDERR_FILENO))
        return 0;
    return wtap_file_size(wth, &err);
}

/* How much of size bytes has been read, on one line rewritten in place;
 * shown is the share last shown (-1 for none). */
static inline void
valtocrane_tool_show_progress(const char *program, gint64 done, gint64 size, int *shown)
{
    const int percent = static_cast<int>(done * 100 / size);

    if (percent != *shown) {
        *shown = percent;
        fprintf(stderr, "\r%s: %3d%% read (%" PRId64 " of %" PRId64 " MB)", program, percent,
                done >> 20, size >> 20);
    }
}

/* Clears the progress line, where one was shown. */
static inline void
valtocrane_tool_end_progress(int shown)
{
    if (shown >= 0)
        fprintf(stderr, "\r%*s\r", 60, "");
}

/* ---- Records ----------------------------------------------------------------- */

/* A record that claims more bytes captured than there were on the wire is
 * damaged; the host's frame dissector takes the captured length for the
 * frame's length before any link-layer dissector sees it, and so do the
 * tools, so that they and the plugin find the trailer at the same place. */
static inline guint32
valtocrane_wire_length(const wtap_packet_header *ph)
{
    return MAX(ph->len, ph->caplen);
}

/* The capture file's own time of a record. */
static inline valtocrane_time
valtocrane_record_time(const wtap_rec *rec)
{
    return valtocrane_from_nstime(&rec->ts);
}

/* The device time of an Ethernet packet record by the plugin's rules, and
 * where the device's bytes lie; t is set where the outcome is
 * VALTOCRANE_FOUND. A frame that keeps its Ethernet FCS (the file says so:
 * pcapng per interface, pcap in its link type) has the trailer before it.
 * The tick counter is tied to the capture file's clock at the first frame
 * with a readable counter, as in the plugin. */
static inline valtocrane_location
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

/* ---- Files written --------------------------------------------------------- */

/* Whether writing out would write over in: the same file under any name (a
 * hard link, a symbolic one), or standard output appending to the file
 * standard input reads. */
static inline bool
valtocrane_tool_same_file(const char *in, const char *out)
{
    struct stat in_st, out_st;
    const int in_ok = strcmp(in, "-") == 0 ? fstat(STDIN_FILENO, &in_st) : stat(in, &in_st);
    const int out_ok = strcmp(out, "-") == 0 ? fstat(STDOUT_FILENO, &out_st) : stat(out, &out_st);

    if (in_ok != 0 || out_ok != 0)
        return strcmp(in, "-") != 0 && strcmp(in, out) == 0;
    return S_ISREG(out_st.st_mode) && in_st.st_dev == out_st.st_dev &&
           in_st.st_ino == out_st.st_ino;
}

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

/* The temporary file while it exists, for the signal handler. */
inline char *volatile valtocrane_tool_temp_path = NULL;

static inline void
valtocrane_tool_remove_temp_on_signal(int sig)
{
    if (valtocrane_tool_temp_path != NULL)
        unlink(valtocrane_tool_temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

/* An interrupted tool leaves no temporary file behind. */
static inline void
valtocrane_tool_clean_up_on_signals(void)
{
    for (int sig : { SIGINT, SIGTERM, SIGHUP })
        signal(sig, valtocrane_tool_remove_temp_on_signal);
}

/* The descriptor of this process a path names (/dev/stdout, /dev/fd/N,
 * /proc/self/fd/N), or -1. */
static inline int
valtocrane_descriptor_path(const char *path)
{
    static const char *const prefixes[] = { "/dev/fd/", "/proc/self/fd/" };

    if (strcmp(path, "/dev/stdin") == 0)
        return STDIN_FILENO;
    if (strcmp(path, "/dev/stdout") == 0)
        return STDOUT_FILENO;
    if (strcmp(path, "/dev/stderr") == 0)
        return STDERR_FILENO;
    for (const char *prefix : prefixes) {
        const size_t n = strlen(prefix);
        if (strncmp(path, prefix, n) == 0 && g_ascii_isdigit(path[n])) {
            char *end;
            const guint64 fd = g_ascii_strtoull(path + n, &end, 10);
            if (*end == '\0' && fd <= G_MAXINT)
                return static_cast<int>(fd);
        }
    }
    return -1;
}

/* Whether a folder is (or is inside) /dev or /proc, where no temporary
 * file belongs. */
static inline bool
valtocrane_system_folder(const char *folder)
{
    char real[PATH_MAX];

    if (realpath(folder, real) == NULL)
        return false;
    return strcmp(real, "/dev") == 0 || strncmp(real, "/dev/", 5) == 0 ||
           strcmp(real, "/proc") == 0 || strncmp(real, "/proc/", 6) == 0;
}

/* Decides how out->path is written, before anything is read: follows
 * symbolic links to the file they lead to (which need not exist yet). A
 * file in /dev (or /proc) is written straight into too. Returns 0, or an
 * errno value. */
static inline int
valtocrane_output_plan(valtocrane_output *out)
{
    /* Symbolic links followed before giving up, as the kernel counts them. */
    constexpr int MAX_LINKS = 40;

    out->descriptor = -1;
    if (strcmp(out->path, "-") == 0) {
        out->kind = VALTOCRANE_OUTPUT_STDOUT;
        return 0;
    }

    char *path = g_strdup(out->path);
    for (int links = 0;; links++) {
        const int fd = valtocrane_descriptor_path(path);
        if (fd >= 0) {
            g_free(path);
            out->kind = VALTOCRANE_OUTPUT_STRAIGHT;
            out->descriptor = fd;
            return 0;
        }
        struct stat st;
        if (lstat(path, &st) != 0) {
            if (errno != ENOENT) {
                const int error = errno;
                g_free(path);
                return error;
            }
            out->exists = false;
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            out->exists = true;
            out->attrs = st;
            break;
        }
        if (links == MAX_LINKS) {
            g_free(path);
            return ELOOP;
        }
        char *link = g_file_read_link(path, NULL);
        if (link == NULL) {
            g_free(path);
            return EINVAL;
        }
        if (!g_path_is_absolute(link)) {
            char *folder = g_path_get_dirname(path);
            char *joined = g_build_filename(folder, link, NULL);
            g_free(folder);
            g_free(link);
            link = joined;
        }
        g_free(path);
        path = link;
    }

    if (out->exists && S_ISDIR(out->attrs.st_mode)) {
        g_free(path);
        return EISDIR;
    }
    char *folder = g_path_get_dirname(path);
    const bool straight = (out->exists && !S_ISREG(out->attrs.st_mode)) ||
                          valtocrane_system_folder(folder);
    g_free(folder);
    if (straight) {
        g_free(path);
        out->kind = VALTOCRANE_OUTPUT_STRAIGHT;
        return 0;
    }
    /* A file this user may not write is not replaced either (as editcap
     * cannot open it). */
    if (out->exists && access(path, W_OK) != 0) {
        const int error = errno;
        g_free(path);
        return error;
    }
    out->kind = VALTOCRANE_OUTPUT_REPLACE;
    out->target = path;
    return 0;
}

/* Says why out->path cannot be written as planned (err from
 * valtocrane_output_plan). */
static inline void
valtocrane_output_plan_failed(const valtocrane_output *out, const char *program, int err)
{
    if (err == EISDIR)
        fprintf(stderr, "%s: %s is a folder, not a file name\n", program, out->path);
    else
        fprintf(stderr, "%s: cannot write %s: %s\n%s: %s not written%s\n", program, out->path,
                g_strerror(err), program, out->path,
                out->exists ? "; the file already there is unchanged" : "");
}

/* A temporary file beside the target (named after tag), with the
 * permissions (and, as far as this user may, the owner and group) of the
 * file it replaces, or those of any new file. */
static inline int
valtocrane_output_open_temporary(valtocrane_output *out, const char *tag, int *err)
{
    char *folder = g_path_get_dirname(out->target);
    char *base = g_path_get_basename(out->target);
    out->temp = g_strdup_printf("%s/.%s.%s-XXXXXX", folder, base, tag);
    g_free(folder);
    g_free(base);

    const int fd = mkstemp(out->temp);
    if (fd < 0) {
        *err = errno;
        g_free(out->temp);
        out->temp = NULL;
        return -1;
    }
    valtocrane_tool_temp_path = out->temp;

    mode_t mode;
    if (out->exists) {
        /* Another owner only where this user may give the file one (root);
         * the group where this user belongs to it. The mode after, as a
         * change of owner clears the set-user-ID bit. */
        if (fchown(fd, geteuid() == 0 ? out->attrs.st_uid : static_cast<uid_t>(-1),
                   out->attrs.st_gid) != 0 && geteuid() == 0) {
            *err = errno;
            close(fd);
            return -1;
        }
        mode = out->attrs.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0) {
        *err = errno;
        close(fd);
        return -1;
    }
    return fd;
}

/* A descriptor to write out into: a temporary file (REPLACE) or the file
 * itself (STRAIGHT); -1 and err on failure. STDOUT is the caller's. */
static inline int
valtocrane_output_open(valtocrane_output *out, const char *tag, int *err)
{
    int fd = -1;

    switch (out->kind) {
    case VALTOCRANE_OUTPUT_STDOUT:
        fd = dup(STDOUT_FILENO);
        break;
    case VALTOCRANE_OUTPUT_STRAIGHT:
        if (out->descriptor >= 0)
            fd = dup(out->descriptor);
        else
            fd = open(out->path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
        break;
    case VALTOCRANE_OUTPUT_REPLACE:
        return valtocrane_output_open_temporary(out, tag, err);
    }
    if (fd < 0)
        *err = errno;
    return fd;
}

/* Puts a complete file in place; false and err on failure. */
static inline bool
valtocrane_output_commit(valtocrane_output *out, int *err)
{
    if (out->temp == NULL)
        return true;
    if (rename(out->temp, out->target) != 0) {
        *err = errno;
        return false;
    }
    valtocrane_tool_temp_path = NULL;
    g_free(out->temp);
    out->temp = NULL;
    return true;
}

/* Removes what was written under a temporary name, and says what became of
 * the file. */
static inline void
valtocrane_output_discard(valtocrane_output *out, const char *program)
{
    if (out->temp != NULL) {
        valtocrane_tool_temp_path = NULL;
        unlink(out->temp);
        g_free(out->temp);
        out->temp = NULL;
    }
    if (out->kind != VALTOCRANE_OUTPUT_REPLACE)
        fprintf(stderr, "%s: what was written to %s is incomplete\n", program,
                strcmp(out->path, "-") == 0 ? "standard output" : out->path);
    else
        fprintf(stderr, "%s: %s not written%s\n", program, out->path,
                out->exists ? "; the file already there is unchanged" : "");
}

static inline void
valtocrane_output_free(valtocrane_output *out)
{
    g_free(out->target);
    out->target = NULL;
}

#endif /* VALTOCRANE_TOOL_H */
