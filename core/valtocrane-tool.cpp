/* valtocrane-tool.cpp
 * Command lines, progress and output files of the project's tools.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "valtocrane-tool.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "valtocrane-host.h"

/* The temporary file while it exists, for the signal handler. */
static char *volatile valtocrane_tool_temp_path = NULL;

int
valtocrane_tool_usage_error(const char *program, const char *message, const char *arg)
{
    fprintf(stderr, "%s: ", program);
    fprintf(stderr, message, arg);
    fprintf(stderr, "\nTry '%s --help' for more information.\n", program);
    return 1;
}

void
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

const valtocrane_format_info *
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

void
valtocrane_tool_print_version(const char *program)
{
    printf("%s %s (libwiretap of Wireshark %d.%d.%d)\n", program, VALTOCRANE_VERSION,
           WIRESHARK_VERSION_MAJOR, WIRESHARK_VERSION_MINOR, WIRESHARK_VERSION_MICRO);
}

void
valtocrane_tool_library_error(const char *program, const char *what, int err, char *err_info)
{
    fprintf(stderr, "%s: %s: %s", program, what, wtap_strerror(err));
    if (err_info != NULL)
        fprintf(stderr, " (%s)", err_info);
    fputc('\n', stderr);
    g_free(err_info);
}

const char *
valtocrane_tool_parse_seconds(const char *text, std::uint64_t *ns)
{
    static const char NOT_A_NUMBER[] = "is not a number of seconds (such as 0.001 or 5e-6)";
    std::string digits;
    long exponent = 0;  /* the value is digits times 10^exponent */
    bool point = false;
    const char *p = text;

    if (*p == '-')
        return "must be more than 0 s";
    for (; *p != '\0'; p++) {
        if (*p >= '0' && *p <= '9') {
            digits += *p;
            exponent -= point ? 1 : 0;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits.empty())
        return NOT_A_NUMBER;
    if (*p == 'e' || *p == 'E') {
        p++;
        const bool negative = *p == '-';
        if (*p == '-' || *p == '+')
            p++;
        if (*p < '0' || *p > '9')
            return NOT_A_NUMBER;
        long e = 0;
        for (; *p >= '0' && *p <= '9'; p++)
            e = e < 100000 ? e * 10 + (*p - '0') : e;
        exponent += negative ? -e : e;
    }
    if (*p != '\0')
        return NOT_A_NUMBER;

    exponent += 9;  /* in nanoseconds */
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty())
        return "must be more than 0 s";
    while (exponent < 0 && digits.back() == '0') {
        digits.pop_back();
        exponent++;
    }
    if (exponent < 0)
        return "is not a whole number of nanoseconds";
    if (static_cast<long>(digits.size()) + exponent > 15)
        return "is more than a day";
    std::uint64_t value = std::strtoull(digits.c_str(), NULL, 10);
    for (long i = 0; i < exponent; i++)
        value *= 10;
    if (value > VALTOCRANE_TOOL_SECONDS_MAX_NS)
        return "is more than a day";
    *ns = value;
    return NULL;
}

gint64
valtocrane_tool_progress_size(wtap *wth, const char *path)
{
    int err;

    if (strcmp(path, "-") == 0 || !isatty(STDERR_FILENO))
        return 0;
    return wtap_file_size(wth, &err);
}

void
valtocrane_tool_show_progress(const char *program, gint64 done, gint64 size, int *shown)
{
    const int percent = static_cast<int>(done * 100 / size);

    if (percent != *shown) {
        *shown = percent;
        fprintf(stderr, "\r%s: %3d%% read (%" PRId64 " of %" PRId64 " MB)", program, percent,
                done >> 20, size >> 20);
    }
}

void
valtocrane_tool_end_progress(int shown)
{
    if (shown >= 0)
        fprintf(stderr, "\r%*s\r", 60, "");
}

bool
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

static void
valtocrane_tool_remove_temp_on_signal(int sig)
{
    if (valtocrane_tool_temp_path != NULL)
        unlink(valtocrane_tool_temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

void
valtocrane_tool_clean_up_on_signals(void)
{
    for (int sig : { SIGINT, SIGTERM, SIGHUP })
        signal(sig, valtocrane_tool_remove_temp_on_signal);
}

static int
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

static bool
valtocrane_system_folder(const char *folder)
{
    char real[PATH_MAX];

    if (realpath(folder, real) == NULL)
        return false;
    return strcmp(real, "/dev") == 0 || strncmp(real, "/dev/", 5) == 0 ||
           strcmp(real, "/proc") == 0 || strncmp(real, "/proc/", 6) == 0;
}

int
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

void
valtocrane_output_plan_failed(const valtocrane_output *out, const char *program, int err)
{
    if (err == EISDIR)
        fprintf(stderr, "%s: %s is a folder, not a file name\n", program, out->path);
    else
        fprintf(stderr, "%s: cannot write %s: %s\n%s: %s not written%s\n", program, out->path,
                g_strerror(err), program, out->path,
                out->exists ? "; the file already there is unchanged" : "");
}

static int
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

int
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

bool
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

void
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

void
valtocrane_output_free(valtocrane_output *out)
{
    g_free(out->target);
    out->target = NULL;
}
