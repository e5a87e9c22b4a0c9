/* valtocrane-retime.cpp
 * Writes a capture whose own frame times are the ValtoCrane device times,
 * for every tool that reads capture files without this project's plugin
 * (tcpdump, mergecap, Zeek, replay tools, Python readers).
 *
 *   valtocrane-retime --format NAME [--keep-device-bytes] INFILE OUTFILE
 *
 * Every frame of an Ethernet interface whose device time can be read gets
 * that time as its record's time, and loses the device's trailer or header
 * (unless --keep-device-bytes): the very layouts and rules of the plugin,
 * from the same host-free code, so the two cannot disagree. Everything
 * else is copied as the host's capture-file library (libwiretap) reads it.
 * The output is pcapng with nanosecond times on every interface.
 *
 * The output is written to a temporary file beside OUTFILE and put in place
 * only when every frame was written and the file closed without error.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <wiretap/wtap.h>

#include "valtocrane-format.h"
#include "valtocrane-host.h"

static const char PROGRAM[] = "valtocrane-retime";

/* Exit codes, as --help and the README list them. */
enum retime_exit_code {
    RETIME_DONE       = 0,
    RETIME_USAGE      = 1, /* bad usage, or OUTFILE would overwrite INFILE */
    RETIME_BAD_INPUT  = 2, /* input unreadable or damaged: nothing written */
    RETIME_BAD_OUTPUT = 3, /* output could not be written: nothing written */
    RETIME_CUT_SHORT  = 4  /* input ends inside a record: every whole frame written */
};

/* What became of a frame: re-timed, or left as it was and why. */
enum retime_outcome {
    RETIMED,
    NOT_A_PACKET,
    OTHER_LINK_TYPE,
    TOO_SHORT,
    TRAILER_CUT_OFF,
    NO_HEADER_MARKER,
    HEADER_CUT_SHORT,
    BEFORE_1970,
    OUTCOME_COUNT
};

static const char *const outcome_text[OUTCOME_COUNT] = {
    "re-timed",
    "not a packet (an event or other record)",
    "other link type than Ethernet",
    "too short to hold a device time",
    "trailer cut off by the snap length",
    "without the capture header (first word not 6)",
    "capture header cut short",
    "device time before 1970, which pcapng cannot hold",
};

/* What the shared rules found in a frame, as the tool counts it. */
static retime_outcome
frame_outcome(valtocrane_outcome found)
{
    switch (found) {
    case VALTOCRANE_FOUND:
        break;
    case VALTOCRANE_TOO_SHORT:
        return TOO_SHORT;
    case VALTOCRANE_TRAILER_CUT_OFF:
        return TRAILER_CUT_OFF;
    case VALTOCRANE_NO_MARKER:
        return NO_HEADER_MARKER;
    case VALTOCRANE_HEADER_CUT_SHORT:
        return HEADER_CUT_SHORT;
    }
    return RETIMED;
}

/* Records between two looks at how far the input has been read. */
constexpr guint64 PROGRESS_INTERVAL = 16384;

struct retimer {
    valtocrane_format format;
    bool keep_device_bytes;

    /* The tick counter tied to the capture file's clock at the first frame
     * with a readable counter. */
    valtocrane_tick_anchor tick_anchor;

    guint64 frames;
    guint64 count[OUTCOME_COUNT];

    /* Device time minus capture file time, over the re-timed frames. */
    valtocrane_time least_offset;
    valtocrane_time greatest_offset;
};

/* The temporary output file while it exists, for the signal handler. */
static char *volatile temp_path;

static void
remove_temp_on_signal(int sig)
{
    if (temp_path != NULL)
        unlink(temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

/* The layouts --format takes, for the help and for errors: every one the
 * plugin decodes. */
static void
print_formats(FILE *out, const char *indent, const char *separator)
{
    bool first = true;

    for (const valtocrane_format_info &info : VALTOCRANE_FORMATS) {
        if (info.format == VALTOCRANE_DISABLED)
            continue;
        if (separator != NULL)
            fprintf(out, "%s%s", first ? "" : separator, info.name);
        else
            fprintf(out, "%s%-32s%s\n", indent, info.name, info.layout);
        first = false;
    }
}

static void
print_usage(FILE *out)
{
    fprintf(out,
        "Usage: %s --format NAME [--keep-device-bytes] INFILE OUTFILE\n"
        "\n"
        "Writes INFILE again as OUTFILE (pcapng, nanosecond times) with the time\n"
        "that the ValtoCrane capture device stamped on each frame as the frame's own\n"
        "time, so that tools without the Wireshark plugin (tcpdump, mergecap, ...)\n"
        "see the device's clock. Every Ethernet frame with a readable device time is\n"
        "re-timed and its trailer or header removed; other frames and everything\n"
        "else in the file are copied unchanged. A summary goes to standard error.\n"
        "\n"
        "  -f, --format NAME        the device's timestamp layout, as in the plugin:\n",
        PROGRAM);
    print_formats(out, "                             ", NULL);
    fprintf(out,
        "  -k, --keep-device-bytes  re-time, but leave the trailer or header in the frames\n"
        "  -h, --help               show this help and exit\n"
        "  -V, --version            show the version and exit\n"
        "\n"
        "INFILE is any capture file the host's library reads (pcap, pcapng, compressed\n"
        "ones, ...); OUTFILE must not be INFILE. \"-\" reads standard input or writes\n"
        "standard output. OUTFILE is written beside itself under a temporary name and\n"
        "put in place only when complete; on an error an existing OUTFILE is kept.\n"
        "\n"
        "Exit codes:\n"
        "  0  done\n"
        "  1  bad usage (or OUTFILE is INFILE)\n"
        "  2  input unreadable or damaged; no output\n"
        "  3  output could not be written; no output\n"
        "  4  input ends inside a record (cut short): OUTFILE holds every whole frame\n");
}

static int
usage_error(const char *message, const char *arg)
{
    fprintf(stderr, "%s: ", PROGRAM);
    fprintf(stderr, message, arg);
    fprintf(stderr, "\nTry '%s --help' for more information.\n", PROGRAM);
    return RETIME_USAGE;
}

static const char *
shown_name(const char *path, bool input)
{
    if (strcmp(path, "-") == 0)
        return input ? "standard input" : "standard output";
    return path;
}

/* A library error: its text and, where the library gave one, its detail. */
static void
print_library_error(const char *what, int err, char *err_info)
{
    fprintf(stderr, "%s: %s: %s", PROGRAM, what, wtap_strerror(err));
    if (err_info != NULL)
        fprintf(stderr, " (%s)", err_info);
    fputc('\n', stderr);
    g_free(err_info);
}

/* Whether writing OUTFILE would write over INFILE: the same file under any
 * name (a hard link, a symbolic one), or standard output appending to the
 * file standard input reads. */
static bool
same_file(const char *in, const char *out)
{
    struct stat in_st, out_st;
    const int in_ok = strcmp(in, "-") == 0 ? fstat(STDIN_FILENO, &in_st) : stat(in, &in_st);
    const int out_ok = strcmp(out, "-") == 0 ? fstat(STDOUT_FILENO, &out_st) : stat(out, &out_st);

    if (in_ok != 0 || out_ok != 0)
        return strcmp(in, "-") != 0 && strcmp(in, out) == 0;
    return S_ISREG(out_st.st_mode) && in_st.st_dev == out_st.st_dev &&
           in_st.st_ino == out_st.st_ino;
}

/* A record that claims more bytes captured than there were on the wire is
 * damaged; the host's frame dissector takes the captured length for the
 * frame's length before any link-layer dissector sees it, and so does the
 * tool, so that the two find the trailer at the same place. */
static guint32
wire_length(const wtap_packet_header *ph)
{
    return MAX(ph->len, ph->caplen);
}

static valtocrane_time
file_time(const wtap_rec *rec)
{
    return valtocrane_time_normalise(static_cast<std::int64_t>(rec->ts.secs), rec->ts.nsecs);
}

/* The device time of a record by the plugin's rules, and where the
 * device's bytes lie. The tick counter is anchored at the first frame with
 * a readable counter, as in the plugin, even where that frame is then left
 * unchanged. */
static retime_outcome
device_time(retimer *rt, const wtap_rec *rec, const guint8 *data, valtocrane_time *t,
            valtocrane_location *at)
{
    if (rec->rec_type != REC_TYPE_PACKET)
        return NOT_A_PACKET;

    const wtap_packet_header *ph = &rec->rec_header.packet_header;
    if (ph->pkt_encap != WTAP_ENCAP_ETHERNET)
        return OTHER_LINK_TYPE;

    *at = valtocrane_locate(rt->format, data, ph->caplen, wire_length(ph), -1);
    if (at->outcome != VALTOCRANE_FOUND)
        return frame_outcome(at->outcome);
    *t = valtocrane_device_time(rt->format, data, *at);
    if (rt->format == VALTOCRANE_TICK_TRAILER)
        *t = valtocrane_tick_anchor_apply(&rt->tick_anchor, file_time(rec), *t);

    /* pcapng keeps times as unsigned counts since 1970. */
    if (t->secs < 0)
        return BEFORE_1970;
    return RETIMED;
}

/* Makes t the record's time and, unless the device bytes are kept, cuts
 * them off; returns where the frame's bytes now start. */
static const guint8 *
apply_device_time(retimer *rt, valtocrane_record *record, const guint8 *data, valtocrane_time t,
                  const valtocrane_location &at)
{
    wtap_rec *rec = &record->rec;
    const valtocrane_time offset = valtocrane_time_sub(t, file_time(rec));

    if (rt->count[RETIMED] == 1) {
        rt->least_offset = offset;
        rt->greatest_offset = offset;
    } else if (offset.secs < rt->least_offset.secs ||
               (offset.secs == rt->least_offset.secs && offset.nsecs < rt->least_offset.nsecs)) {
        rt->least_offset = offset;
    } else if (offset.secs > rt->greatest_offset.secs ||
               (offset.secs == rt->greatest_offset.secs &&
                offset.nsecs > rt->greatest_offset.nsecs)) {
        rt->greatest_offset = offset;
    }

    rec->ts.secs = static_cast<time_t>(t.secs);
    rec->ts.nsecs = static_cast<int>(t.nsecs);
    rec->presence_flags |= WTAP_HAS_TS;
    if (!rt->keep_device_bytes) {
        rec->rec_header.packet_header.len = wire_length(&rec->rec_header.packet_header)
                                            - (at.front + at.back);
        rec->rec_header.packet_header.caplen -= at.front + at.back;
        if (at.front != 0)
            data = valtocrane_record_drop_front(record, data, at.front,
                                                rec->rec_header.packet_header.caplen);
    }
    return data;
}

/* Copies the interfaces the input has described since the last call into
 * the output, with nanosecond time resolution (all else as it was). */
static bool
copy_new_interfaces(wtap *wth, wtap_dumper *pdh, int *err, char **err_info)
{
    wtap_block_t idb;

    while ((idb = wtap_get_next_interface_description(wth)) != NULL) {
        wtap_block_t copy = wtap_block_make_copy(idb);
        auto *mand = static_cast<wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(copy));

        mand->time_units_per_second = 1000000000;
        mand->tsprecision = WTAP_TSPREC_NSEC;
        if (wtap_block_set_uint8_option_value(copy, OPT_IDB_TSRESOL, 9) != WTAP_OPTTYPE_SUCCESS)
            wtap_block_add_uint8_option(copy, OPT_IDB_TSRESOL, 9);
        const bool added = wtap_dump_add_idb(pdh, copy, err, err_info);
        wtap_block_unref(copy);
        if (!added)
            return false;
    }
    return true;
}

/* The output's first section header says that and how it was re-timed. */
static void
describe_output(wtap_dump_params *params, const retimer *rt)
{
    wtap_block_t shb;
    char *appl;

    if (params->shb_hdrs == NULL) {
        params->shb_hdrs = g_array_new(FALSE, FALSE, sizeof(wtap_block_t));
        shb = wtap_block_create(WTAP_BLOCK_SECTION);
        g_array_append_val(params->shb_hdrs, shb);
    }
    shb = g_array_index(params->shb_hdrs, wtap_block_t, 0);

    char *comment = g_strdup_printf(
        "Re-timed by %s %s: every Ethernet frame with a readable ValtoCrane device time "
        "has it as its time (format %s: %s, %s the frames)", PROGRAM, VALTOCRANE_VERSION,
        valtocrane_format_info_of(rt->format).name, valtocrane_format_info_of(rt->format).layout,
        rt->keep_device_bytes ? "kept in" : "removed from");
    wtap_block_add_string_option(shb, OPT_COMMENT, comment, strlen(comment));
    g_free(comment);

    if (wtap_block_get_string_option_value(shb, OPT_SHB_USERAPPL, &appl) != WTAP_OPTTYPE_SUCCESS)
        wtap_block_add_string_option_format(shb, OPT_SHB_USERAPPL, "%s %s", PROGRAM,
                                            VALTOCRANE_VERSION);
}

/* A relative time with its sign, from a normalised one. */
static void
format_offset(char *out, size_t size, valtocrane_time d)
{
    std::int64_t secs = d.secs;
    std::int32_t nsecs = d.nsecs;

    if (secs < 0 && nsecs != 0) {
        secs = -secs - 1;
        nsecs = static_cast<std::int32_t>(VALTOCRANE_NS_PER_SEC) - nsecs;
    } else if (secs < 0) {
        secs = -secs;
    }
    snprintf(out, size, "%c%" PRId64 ".%09" PRId32 " s", d.secs < 0 ? '-' : '+', secs, nsecs);
}

static void
print_summary(const retimer *rt)
{
    const guint64 unchanged = rt->frames - rt->count[RETIMED];

    fprintf(stderr, "%s: %" G_GUINT64_FORMAT " frames read, %" G_GUINT64_FORMAT
            " re-timed, %" G_GUINT64_FORMAT " left unchanged\n",
            PROGRAM, rt->frames, rt->count[RETIMED], unchanged);
    for (int o = RETIMED + 1; o < OUTCOME_COUNT; o++) {
        if (rt->count[o] != 0)
            fprintf(stderr, "  unchanged, %s: %" G_GUINT64_FORMAT "\n", outcome_text[o],
                    rt->count[o]);
    }
    if (rt->count[RETIMED] != 0) {
        char least[48], greatest[48];

        format_offset(least, sizeof least, rt->least_offset);
        format_offset(greatest, sizeof greatest, rt->greatest_offset);
        fprintf(stderr, "  device time minus capture file time: %s to %s\n", least, greatest);
    }
}

/* Bytes read of the file's size, on one line rewritten in place. */
static void
show_progress(wtap *wth, gint64 size, int *shown)
{
    const gint64 done = wtap_read_so_far(wth);
    const int percent = static_cast<int>(done * 100 / size);

    if (percent != *shown) {
        *shown = percent;
        fprintf(stderr, "\r%s: %3d%% read (%" PRId64 " of %" PRId64 " MB)", PROGRAM, percent,
                done >> 20, size >> 20);
    }
}

/* The output: standard output, or a temporary file beside OUTFILE. */
struct retime_output {
    const char *path;
    char *temp;
    wtap_dumper *pdh;
};

static bool
open_output(retime_output *out, const wtap_dump_params *params, int *err, char **err_info)
{
    const int pcapng = wtap_pcapng_file_type_subtype();

    if (strcmp(out->path, "-") == 0) {
        out->pdh = wtap_dump_open_stdout(pcapng, WTAP_UNCOMPRESSED, params, err, err_info);
        return out->pdh != NULL;
    }

    char *dir = g_path_get_dirname(out->path);
    char *base = g_path_get_basename(out->path);
    out->temp = g_strdup_printf("%s/.%s.retime-XXXXXX", dir, base);
    g_free(dir);
    g_free(base);

    const int fd = mkstemp(out->temp);
    if (fd < 0) {
        *err = errno;
        g_free(out->temp);
        out->temp = NULL;
        return false;
    }
    temp_path = out->temp;

    /* The permissions a new file gets, not mkstemp's private ones. */
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) {
        *err = errno;
        close(fd);
        return false;
    }
    out->pdh = wtap_dump_fdopen(fd, pcapng, WTAP_UNCOMPRESSED, params, err, err_info);
    if (out->pdh == NULL)
        close(fd);
    return out->pdh != NULL;
}

/* Removes what was written of the output, and says so. */
static void
discard_output(retime_output *out)
{
    if (out->pdh != NULL) {
        int err;
        char *err_info = NULL;

        wtap_dump_close(out->pdh, NULL, &err, &err_info);
        g_free(err_info);
        out->pdh = NULL;
    }
    if (out->temp != NULL) {
        temp_path = NULL;
        unlink(out->temp);
        g_free(out->temp);
        out->temp = NULL;
    }
    if (strcmp(out->path, "-") == 0)
        fprintf(stderr, "%s: what was written to standard output is incomplete\n", PROGRAM);
    else
        fprintf(stderr, "%s: %s not written%s\n", PROGRAM, out->path,
                access(out->path, F_OK) == 0 ? "; the file already there is unchanged" : "");
}

/* Closes the output and puts it in place. */
static bool
finish_output(retime_output *out, int *err, char **err_info)
{
    const bool closed = wtap_dump_close(out->pdh, NULL, err, err_info);

    out->pdh = NULL;
    if (!closed)
        return false;
    if (out->temp != NULL) {
        if (rename(out->temp, out->path) != 0) {
            *err = errno;
            return false;
        }
        temp_path = NULL;
        g_free(out->temp);
        out->temp = NULL;
    }
    return true;
}

/* Reads INFILE through, re-timing and writing every record. */
static int
retime_file(retimer *rt, const char *in_path, const char *out_path)
{
    const char *in_name = shown_name(in_path, true);
    const char *out_name = shown_name(out_path, false);
    wtap_dump_params params = WTAP_DUMP_PARAMS_INIT;
    retime_output out = { out_path, NULL, NULL };
    valtocrane_record record;
    int err = 0;
    char *err_info = NULL;
    int exit_code = RETIME_DONE;

    wtap *wth = wtap_open_offline(in_path, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (wth == NULL) {
        char *what = g_strdup_printf("cannot read %s", in_name);
        print_library_error(what, err, err_info);
        g_free(what);
        return RETIME_BAD_INPUT;
    }

    wtap_dump_params_init_no_idbs(&params, wth);
    params.tsprec = WTAP_TSPREC_NSEC;
    describe_output(&params, rt);

    if (!open_output(&out, &params, &err, &err_info) ||
        !copy_new_interfaces(wth, out.pdh, &err, &err_info)) {
        char *what = g_strdup_printf("cannot write %s", out_name);
        print_library_error(what, err, err_info);
        g_free(what);
        discard_output(&out);
        wtap_dump_params_cleanup(&params);
        wtap_close(wth);
        return RETIME_BAD_OUTPUT;
    }

    gint64 size = 0;
    int shown = -1;
    if (strcmp(in_path, "-") != 0 && isatty(STDERR_FILENO)) {
        int size_err;
        size = wtap_file_size(wth, &size_err);
    }

    valtocrane_record_init(&record);
    gint64 offset;
    while (valtocrane_record_read(wth, &record, &err, &err_info, &offset)) {
        wtap_rec *rec = &record.rec;
        const guint8 *data = valtocrane_record_data(&record);
        valtocrane_time t;
        valtocrane_location at;

        rt->frames++;
        const retime_outcome outcome = device_time(rt, rec, data, &t, &at);
        rt->count[outcome]++;
        if (outcome == RETIMED)
            data = apply_device_time(rt, &record, data, t, at);
        /* Every time is written in nanoseconds. (A record without an
         * interface of its own, from a pcap file, is written for the
         * interface of its link type and time precision.) */
        rec->tsprec = WTAP_TSPREC_NSEC;

        if (!copy_new_interfaces(wth, out.pdh, &err, &err_info) ||
            !valtocrane_record_dump(out.pdh, &record, data, &err, &err_info)) {
            exit_code = RETIME_BAD_OUTPUT;
            break;
        }
        valtocrane_record_reset(&record);
        if (size > 0 && rt->frames % PROGRESS_INTERVAL == 0)
            show_progress(wth, size, &shown);
    }
    valtocrane_record_cleanup(&record);
    if (shown >= 0)
        fprintf(stderr, "\r%*s\r", 60, "");

    if (exit_code == RETIME_BAD_OUTPUT) {
        char *what = g_strdup_printf("cannot write %s (frame %" G_GUINT64_FORMAT ")", out_name,
                                     rt->frames);
        print_library_error(what, err, err_info);
        g_free(what);
    } else if (err == WTAP_ERR_SHORT_READ) {
        /* A capture stopped abruptly: the frames before are whole. */
        g_free(err_info);
        err_info = NULL;
        exit_code = RETIME_CUT_SHORT;
    } else if (err != 0) {
        char *what = g_strdup_printf("%s is damaged (frame %" G_GUINT64_FORMAT ")", in_name,
                                     rt->frames + 1);
        print_library_error(what, err, err_info);
        g_free(what);
        exit_code = RETIME_BAD_INPUT;
    }

    if (exit_code == RETIME_DONE || exit_code == RETIME_CUT_SHORT) {
        if (!finish_output(&out, &err, &err_info)) {
            char *what = g_strdup_printf("cannot write %s", out_name);
            print_library_error(what, err, err_info);
            g_free(what);
            exit_code = RETIME_BAD_OUTPUT;
        }
    }
    if (exit_code == RETIME_BAD_INPUT || exit_code == RETIME_BAD_OUTPUT)
        discard_output(&out);

    print_summary(rt);
    if (exit_code == RETIME_CUT_SHORT)
        fprintf(stderr, "%s: warning: %s ends inside frame %" G_GUINT64_FORMAT
                " (the capture was cut short); %s holds the %" G_GUINT64_FORMAT
                " whole frames before it\n", PROGRAM, in_name, rt->frames + 1, out_name,
                rt->frames);

    wtap_dump_params_cleanup(&params);
    wtap_close(wth);
    return exit_code;
}

int
main(int argc, char *argv[])
{
    static const struct option long_options[] = {
        { "format",            required_argument, NULL, 'f' },
        { "keep-device-bytes", no_argument,       NULL, 'k' },
        { "help",              no_argument,       NULL, 'h' },
        { "version",           no_argument,       NULL, 'V' },
        { NULL, 0, NULL, 0 }
    };
    retimer rt = {};
    const char *format_name = NULL;
    int opt;

    opterr = 0;
    while ((opt = getopt_long(argc, argv, ":f:khV", long_options, NULL)) != -1) {
        switch (opt) {
        case 'f':
            format_name = optarg;
            break;
        case 'k':
            rt.keep_device_bytes = true;
            break;
        case 'h':
            print_usage(stdout);
            return RETIME_DONE;
        case 'V':
            printf("%s %s (libwiretap of Wireshark %d.%d.%d)\n", PROGRAM, VALTOCRANE_VERSION,
                   WIRESHARK_VERSION_MAJOR, WIRESHARK_VERSION_MINOR, WIRESHARK_VERSION_MICRO);
            return RETIME_DONE;
        case ':':
            return usage_error("option '%s' needs a value", argv[optind - 1]);
        default:
            return usage_error("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (format_name == NULL)
        return usage_error("%s", "--format NAME is required");
    const valtocrane_format_info *format = valtocrane_format_by_name(format_name);
    if (format == NULL || format->format == VALTOCRANE_DISABLED) {
        fprintf(stderr, "%s: unknown format '%s' (", PROGRAM, format_name);
        print_formats(stderr, NULL, ", ");
        fprintf(stderr, ")\nTry '%s --help' for more information.\n", PROGRAM);
        return RETIME_USAGE;
    }
    rt.format = format->format;
    if (argc - optind != 2)
        return usage_error("%s", "INFILE and OUTFILE are required, and nothing else");

    const char *in_path = argv[optind];
    const char *out_path = argv[optind + 1];
    if (same_file(in_path, out_path)) {
        fprintf(stderr, "%s: %s is %s: refusing to write over the input\n", PROGRAM,
                shown_name(out_path, false), shown_name(in_path, true));
        return RETIME_USAGE;
    }
    struct stat out_st;
    if (strcmp(out_path, "-") != 0 && stat(out_path, &out_st) == 0 && S_ISDIR(out_st.st_mode)) {
        fprintf(stderr, "%s: %s is a folder, not a file name\n", PROGRAM, out_path);
        return RETIME_BAD_OUTPUT;
    }

    valtocrane_host_startup(PROGRAM, argv[0]);
    wtap_init(TRUE);

    for (int sig : { SIGINT, SIGTERM, SIGHUP })
        signal(sig, remove_temp_on_signal);

    const int exit_code = retime_file(&rt, in_path, out_path);
    wtap_cleanup();
    return exit_code;
}
