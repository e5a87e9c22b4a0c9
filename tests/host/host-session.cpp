/* host-session.cpp
 * The GUI's capture file steps, after the host's file.c,
 * file_packet_provider.c, ui/time_shift.c and the packet list's row records
 * (ui/qt/models/packet_list_record.cpp). The comments name the GUI routine
 * each part follows.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "host-session.h"

namespace host {

namespace {

/* A capture file, read with the host's capture-file library. */
class FileRecords : public Records {
public:
    explicit FileRecords(wtap *wth) : wth_(wth) {}
    ~FileRecords() override { wtap_close(wth_); }

    /* A failure other than the end of the file is the GUI's read failure
     * alert. */
    bool next(valtocrane_record *r, gint64 *offset) override
    {
        int err = 0;
        gchar *err_info = NULL;
        const bool ok = valtocrane_record_read(wth_, r, &err, &err_info, offset);
        g_free(err_info);
        if (!ok && err != 0)
            valtocrane_host_reports++;
        return ok;
    }

    bool at(gint64 offset, valtocrane_record *r) override
    {
        int err = 0;
        gchar *err_info = NULL;
        const bool ok = valtocrane_record_read_at(wth_, offset, r, &err, &err_info);
        g_free(err_info);
        if (!ok)
            valtocrane_host_reports++;
        return ok;
    }

    void sequential_close() override { wtap_sequential_close(wth_); }
    int file_type_subtype() const override { return wtap_file_type_subtype(wth_); }

    /* cap_file_provider_get_interface_name and _description */
    const char *interface_name(guint32 id) override
    {
        const char *options[] = { option(id, OPT_IDB_NAME), option(id, OPT_IDB_DESCRIPTION),
                                  option(id, OPT_IDB_HARDWARE) };
        for (const char *name : options) {
            if (name)
                return name;
        }
        return "unknown";
    }

    const char *interface_description(guint32 id) override
    {
        return option(id, OPT_IDB_DESCRIPTION);
    }

private:
    const char *option(guint32 id, guint code)
    {
        wtapng_iface_descriptions_t *idb_info = wtap_file_get_idb_info(wth_);
        wtap_block_t idb = id < idb_info->interface_data->len
                               ? g_array_index(idb_info->interface_data, wtap_block_t, id)
                               : NULL;
        char *value = NULL;
        g_free(idb_info);
        if (idb && wtap_block_get_string_option_value(idb, code, &value) == WTAP_OPTTYPE_SUCCESS)
            return value;
        return NULL;
    }

    wtap *wth_;
};

} // namespace

std::unique_ptr<Records>
open_file(const std::string &path)
{
    int err = 0;
    gchar *err_info = NULL;
    wtap *wth = wtap_open_offline(path.c_str(), WTAP_TYPE_AUTO, &err, &err_info, TRUE);

    g_free(err_info);
    if (wth == NULL)
        return nullptr;
    return std::make_unique<FileRecords>(wth);
}

/* ws_get_frame_ts */
const nstime_t *
Session::get_frame_ts(packet_provider_data *prov, guint32 frame_num)
{
    if (prov->prev_dis && prov->prev_dis->num == frame_num)
        return &prov->prev_dis->abs_ts;
    if (prov->prev_cap && prov->prev_cap->num == frame_num)
        return &prov->prev_cap->abs_ts;
    if (prov->frames) {
        frame_data *fd = frame_data_sequence_find(prov->frames, frame_num);
        return fd ? &fd->abs_ts : NULL;
    }
    return NULL;
}

/* cap_file_provider_get_interface_name and _description; 4.4 added the
 * section number, which a capture of one section does not need. */
template <typename... Section>
static const char *
get_interface_name(packet_provider_data *prov, guint32 id, Section...)
{
    return prov->records->interface_name(id);
}

template <typename... Section>
static const char *
get_interface_description(packet_provider_data *prov, guint32 id, Section...)
{
    return prov->records->interface_description(id);
}

/* ws_epan_new; a block edited in the GUI is left out. */
void
Session::start_session()
{
    static struct packet_provider_funcs funcs;  /* the rest NULL */

    funcs.get_frame_ts = get_frame_ts;
    funcs.get_interface_name = get_interface_name;
    funcs.get_interface_description = get_interface_description;
    epan_ = epan_new(&provider_, &funcs);
}

void
Session::end_session()
{
    epan_free(epan_);
    epan_ = nullptr;
}

void
Session::note_dissected(const epan_dissect_t *edt, const frame_data *fd)
{
    pinfo_ts_[fd->num] = edt->pi.abs_ts;
    dissected_[fd->num] = true;
}

/* cf_open, and cf_set_rfcode as "wireshark -R" and the Open dialog do */
void
Session::open_records(std::unique_ptr<Records> records, const char *read_filter)
{
    close();

    records_ = std::move(records);
    valtocrane_record_init(&current_);
    provider_.records = records_.get();
    cd_t_ = records_->file_type_subtype();
    count_ = 0;
    provider_.frames = new_frame_data_sequence();
    nstime_set_zero(&elapsed_time_);
    provider_.ref = NULL;
    provider_.prev_dis = NULL;
    provider_.prev_cap = NULL;
    cum_bytes_ = 0;
    start_session();
    open_ = true;
    pinfo_ts_.assign(1, nstime_t());
    dissected_.assign(1, false);
    if (read_filter && !dfilter_compile(read_filter, &rfcode_, NULL))
        g_error("cannot compile the read filter %s", read_filter);
}

/* cf_read */
void
Session::read()
{
    reset_tap_listeners();
    finish_tail();

    /* The first displayed frame is selected. */
    for (guint32 i = 1; i <= count_; i++) {
        if (frame_data_sequence_find(provider_.frames, i)->passed_dfilter) {
            select(i);
            break;
        }
    }
}

/* read_record: the record tested against the read filter, with a
 * dissection of its own, then kept (and dissected for the packet list) or
 * dropped for good. */
bool
Session::read_record(valtocrane_record *r, gint64 offset, epan_dissect_t *edt,
                     dfilter_t *dfcode)
{
    frame_data fdlocal;
    frame_data_init(&fdlocal, count_ + 1, &r->rec, offset, cum_bytes_);

    gboolean passed = TRUE;
    if (rfcode_) {
        epan_dissect_t rf_edt;
        epan_dissect_init(&rf_edt, epan_, TRUE, FALSE);
        epan_dissect_prime_with_dfilter(&rf_edt, rfcode_);
        valtocrane_host_dissect(&rf_edt, FALSE, cd_t_, r, &fdlocal, NULL);
        passed = dfilter_apply_edt(rfcode_, &rf_edt);
        epan_dissect_cleanup(&rf_edt);
    }
    if (!passed) {
        frame_data_destroy(&fdlocal);
        return false;
    }
    frame_data *fdata = frame_data_sequence_add(provider_.frames, &fdlocal);
    count_++;
    pinfo_ts_.push_back(nstime_t());
    dissected_.push_back(false);
    add_packet_to_packet_list(fdata, edt, dfcode, r);
    return true;
}

/* cf_continue_tail: up to limit more records read in order, as in cf_read. */
void
Session::continue_tail(guint32 limit)
{
    dfilter_t *dfcode = NULL;
    if (!dfilter_.empty())
        dfilter_compile(dfilter_.c_str(), &dfcode, NULL);
    const gboolean create_proto_tree =
        dfcode != NULL || have_filtering_tap_listeners() ||
        (union_of_tap_listener_flags() & TL_REQUIRES_PROTO_TREE) || postdissectors_want_hfids();
    epan_dissect_t edt;
    epan_dissect_init(&edt, epan_, create_proto_tree, FALSE);

    valtocrane_record r;
    valtocrane_record_init(&r);
    gint64 data_offset = 0;
    for (guint32 n = 0; n < limit && records_->next(&r, &data_offset); n++) {
        read_record(&r, data_offset, &edt, dfcode);
        valtocrane_record_reset(&r);
    }
    dfilter_free(dfcode);
    epan_dissect_cleanup(&edt);
    valtocrane_record_cleanup(&r);
}

/* cf_finish_tail, and the end of cf_read: every record left read, then
 * the dissectors told that the sequential reading is done. */
void
Session::finish_tail()
{
    continue_tail(G_MAXUINT32);
    records_->sequential_close();
    postseq_cleanup_all_protocols();
}

/* add_packet_to_packet_list */
void
Session::add_packet_to_packet_list(frame_data *fdata, epan_dissect_t *edt, dfilter_t *dfcode,
                                   valtocrane_record *r)
{
    frame_data_set_before_dissect(fdata, &elapsed_time_, &provider_.ref, provider_.prev_dis);
    provider_.prev_cap = fdata;

    if (dfcode != NULL)
        epan_dissect_prime_with_dfilter(edt, dfcode);
    if (!fdata->visited)
        valtocrane_host_prime_first_pass(edt);

    valtocrane_host_dissect(edt, TRUE, cd_t_, r, fdata, NULL);
    note_dissected(edt, fdata);

    if (dfcode != NULL)
        fdata->passed_dfilter = dfilter_apply_edt(dfcode, edt) ? 1 : 0;
    else
        fdata->passed_dfilter = 1;

    if (fdata->passed_dfilter || fdata->ref_time) {
        frame_data_set_after_dissect(fdata, &cum_bytes_);
        provider_.prev_dis = fdata;
    }
    epan_dissect_reset(edt);
}

/* rescan_packets */
void
Session::rescan_packets(bool redissect)
{
    if (!open_)
        return;

    dfilter_t *dfcode = NULL;
    if (!dfilter_.empty())
        dfilter_compile(dfilter_.c_str(), &dfcode, NULL);
    gboolean create_proto_tree =
        dfcode != NULL || have_filtering_tap_listeners() ||
        (union_of_tap_listener_flags() & TL_REQUIRES_PROTO_TREE) ||
        (redissect && postdissectors_want_hfids());

    if (redissect) {
        end_session();
        if (edt_ && edt_->pi.fd)
            frame_data_destroy(edt_->pi.fd);
        start_session();
        if (!create_proto_tree && have_filtering_tap_listeners())
            create_proto_tree = TRUE;
    }

    provider_.ref = NULL;
    provider_.prev_dis = NULL;
    provider_.prev_cap = NULL;
    cum_bytes_ = 0;
    reset_tap_listeners();

    epan_dissect_t edt;
    epan_dissect_init(&edt, epan_, create_proto_tree, FALSE);

    /* The selected frame, or else the nearest displayed one (the one
     * before it first), is selected again once the frames are done. */
    frame_data *const selected_frame = current_frame_;
    frame_data *preceding_frame = NULL, *following_frame = NULL, *reselect = NULL;

    valtocrane_record r;
    valtocrane_record_init(&r);
    for (guint32 framenum = 1; framenum <= count_; framenum++) {
        frame_data *fdata = frame_data_sequence_find(provider_.frames, framenum);
        if (redissect)
            frame_data_reset(fdata);
        fdata->dependent_of_displayed = 0;
        /* cf_read_record */
        if (!records_->at(fdata->file_off, &r))
            break;
        add_packet_to_packet_list(fdata, &edt, dfcode, &r);
        valtocrane_record_reset(&r);

        if (fdata->passed_dfilter) {
            if (fdata == selected_frame)
                reselect = fdata;
            else if (selected_frame == NULL || fdata->num < selected_frame->num)
                preceding_frame = fdata;
            else if (following_frame == NULL)
                following_frame = fdata;
        }
    }
    epan_dissect_cleanup(&edt);
    valtocrane_record_cleanup(&r);
    dfilter_free(dfcode);

    if (reselect == NULL && selected_frame == NULL) {
        for (guint32 i = 1; i <= count_ && reselect == NULL; i++) {
            frame_data *fd = frame_data_sequence_find(provider_.frames, i);
            if (fd->passed_dfilter)
                reselect = fd;
        }
    } else if (reselect == NULL) {
        reselect = preceding_frame ? preceding_frame : following_frame;
    }
    if (reselect != NULL)
        select(reselect->num);
}

void
Session::redissect()
{
    rescan_packets(true);
}

/* cf_filter_packets */
void
Session::filter(const char *text)
{
    dfilter_ = text ? text : "";
    rescan_packets(false);
}

/* cf_retap_packets and retap_packet */
void
Session::retap()
{
    const guint tap_flags = union_of_tap_listener_flags();
    const gboolean create_proto_tree =
        have_filtering_tap_listeners() || (tap_flags & TL_REQUIRES_PROTO_TREE);
    reset_tap_listeners();

    epan_dissect_t edt;
    epan_dissect_init(&edt, epan_, create_proto_tree, FALSE);
    valtocrane_record r;
    valtocrane_record_init(&r);
    for (guint32 framenum = 1; framenum <= count_; framenum++) {
        frame_data *fdata = frame_data_sequence_find(provider_.frames, framenum);
        if (!records_->at(fdata->file_off, &r))
            break;
        valtocrane_host_dissect(&edt, TRUE, cd_t_, &r, fdata, NULL);
        note_dissected(&edt, fdata);
        epan_dissect_reset(&edt);
        valtocrane_record_reset(&r);
    }
    epan_dissect_cleanup(&edt);
    valtocrane_record_cleanup(&r);
    draw_tap_listeners(TRUE);
}

/* The Preferences dialog's OK (module_prefs_unstash, prefs_apply_all), then
 * the redissection it queues for a changed dissection preference. */
void
Session::change_format(const char *name)
{
    set_format(name);
    redissect();
}

/* modify_time_perform */
static void
modify_time_perform(frame_data *fd, bool negative, const nstime_t *offset, bool settozero)
{
    if (settozero) {
        nstime_subtract(&fd->abs_ts, &fd->shift_offset);
        nstime_set_zero(&fd->shift_offset);
    }
    if (!negative) {
        nstime_add(&fd->abs_ts, offset);
        nstime_add(&fd->shift_offset, offset);
    } else {
        nstime_subtract(&fd->abs_ts, offset);
        nstime_subtract(&fd->shift_offset, offset);
    }
}

/* time_shift_all, from the offset it parsed on */
void
Session::time_shift_all(const TimeShift &shift)
{
    for (guint32 i = 1; i <= count_; i++) {
        frame_data *fd = frame_data_sequence_find(provider_.frames, i);
        if (fd != NULL)
            modify_time_perform(fd, shift.negative, &shift.offset, false);
    }
}

/* time_shift_undo */
void
Session::time_shift_undo_all()
{
    const nstime_t nulltime = { 0, 0 };

    for (guint32 i = 1; i <= count_; i++) {
        frame_data *fd = frame_data_sequence_find(provider_.frames, i);
        if (fd != NULL)
            modify_time_perform(fd, true, &nulltime, true);
    }
}

/* PacketListRecord::dissect for every row: the record read again, no tree
 * (no colouring rules or custom columns here), the frame record as kept,
 * the columns filled in. */
void
Session::redraw()
{
    for (guint32 i = 1; i <= count_; i++) {
        frame_data *fdata = frame_data_sequence_find(provider_.frames, i);
        valtocrane_record r;
        valtocrane_record_init(&r);
        if (records_->at(fdata->file_off, &r)) {
            epan_dissect_t edt;
            epan_dissect_init(&edt, epan_, FALSE, FALSE);
            valtocrane_host_dissect(&edt, FALSE, cd_t_, &r, fdata, cinfo_);
            if (cinfo_)
                epan_dissect_fill_in_columns(&edt, FALSE, FALSE);
            note_dissected(&edt, fdata);
            epan_dissect_cleanup(&edt);
        }
        valtocrane_record_cleanup(&r);
    }
}

/* cf_select_packet */
void
Session::select(guint32 num)
{
    frame_data *fdata = frame_data_sequence_find(provider_.frames, num);
    if (fdata == NULL || !records_->at(fdata->file_off, &current_))
        return;
    current_frame_ = fdata;

    epan_dissect_t *old_edt = edt_;
    edt_ = epan_dissect_new(epan_, TRUE, TRUE);
    tap_build_interesting(edt_);
    valtocrane_host_dissect(edt_, FALSE, cd_t_, &current_, current_frame_, NULL);
    note_dissected(edt_, current_frame_);
    if (old_edt != NULL)
        epan_dissect_free(old_edt);
}

/* cf_close */
void
Session::close()
{
    if (!open_)
        return;
    reset_tap_listeners();
    records_.reset();
    provider_.records = nullptr;
    valtocrane_record_cleanup(&current_);
    free_frame_data_sequence(provider_.frames);
    provider_.frames = NULL;
    /* cf_unselect_packet */
    epan_dissect_t *old_edt = edt_;
    edt_ = NULL;
    current_frame_ = NULL;
    if (old_edt != NULL)
        epan_dissect_free(old_edt);
    dfilter_free(rfcode_);
    rfcode_ = NULL;
    count_ = 0;
    end_session();
    open_ = false;
}

std::vector<FrameTime>
Session::times() const
{
    std::vector<FrameTime> out;
    for (guint32 i = 1; i <= count_; i++) {
        const frame_data *fd = frame_data_sequence_find(provider_.frames, i);
        out.push_back({ fd->abs_ts, static_cast<int>(fd->tsprec), pinfo_ts_[i], dissected_[i],
                        fd->shift_offset, fd->file_off });
    }
    return out;
}

/* prefs_set_pref with "module.name:value", as "-o" and the Lua console's
 * set_preference do; the dialog's unstash has the same effect (the value
 * set, the module marked changed). Then prefs_apply_all. */
void
set_preference(const char *setting)
{
    gchar *arg = g_strdup(setting);
    char *errmsg = NULL;
    const prefs_set_pref_e result = prefs_set_pref(arg, &errmsg);
    g_free(arg);
    g_free(errmsg);
    if (result != PREFS_SET_OK)
        g_error("cannot set %s", setting);
    prefs_apply_all();
}

void
set_format(const char *name)
{
    gchar *setting = g_strdup_printf("valtocrane.ts_type:%s", name);
    set_preference(setting);
    g_free(setting);
}

} // namespace host
