// The rules for one message header: its revision and dates, and for a live message its
// attribute bits, its stored MSGID/REPLYID CRCs and where its text lies in .JDT. A new
// per-message check goes here.
#include "analysis/scan.h"

#include <cinttypes>

void check_header_fields(const msg_header &h, uint32_t date_limit, int index, scan_report &report) {
    if (h.Revision > 1)
        RAISE_ISSUE(report, revision, index, static_cast<unsigned>(h.Revision), 1u);
    if (implausible_date(h.DateWritten, date_limit))
        RAISE_ISSUE(report, date_written, index, fmt_ts(h.DateWritten).c_str());
    if (implausible_date(h.DateReceived, date_limit))
        RAISE_ISSUE(report, date_received, index, fmt_ts(h.DateReceived).c_str());
    if (implausible_date(h.DateProcessed, date_limit))
        RAISE_ISSUE(report, date_processed, index, fmt_ts(h.DateProcessed).c_str());
}

void check_live_message(const run_context &ctx, const msg_header &h, const sf_capture &cap,
                        int index, window_reader *jdt, msg_info &entry, scan_report &report) {
    const uint32_t a = h.Attribute;
    if (const uint32_t r = a & MSG_RESERVED_BITS)
        RAISE_ISSUE(report, reserved_attributes, index, r);
    const uint32_t t = a & (MSG_TYPELOCAL | MSG_TYPEECHO | MSG_TYPENET);
    if ((t & (t - 1)) != 0)
        RAISE_ISSUE(report, exclusive_types, index);
    if ((a & MSG_FILEATTACH) && !cap.has_file)
        RAISE_ISSUE(report, file_attach_alone, index);
    if ((a & MSG_FILEREQUEST) && !cap.has_freq)
        RAISE_ISSUE(report, file_request_alone, index);
    if ((a & MSG_TRUNCFILE) && !(a & MSG_FILEATTACH))
        RAISE_ISSUE(report, truncfile_alone, index);
    if ((a & MSG_KILLFILE) && !(a & MSG_FILEATTACH))
        RAISE_ISSUE(report, killfile_alone, index);
    if (a & MSG_ENCRYPT)
        RAISE_ISSUE(report, encrypt_reserved, index);
    if (a & MSG_COMPRESS)
        RAISE_ISSUE(report, compress_reserved, index);

    // A stored all-ones CRC means "none stored" and is never compared.
    if (ctx.options.extended) {
        entry.msgid_crc_stale =
            cap.has_msgid && h.MSGIDcrc != ALL_ONES && h.MSGIDcrc != cap.msgid_crc_calc;
        entry.reply_crc_stale =
            cap.has_replyid && h.REPLYcrc != ALL_ONES && h.REPLYcrc != cap.reply_crc_calc;
        if (entry.msgid_crc_stale)
            RAISE_ISSUE(report, msgid_crc_stale, index, h.MSGIDcrc, cap.msgid_crc_calc);
        if (entry.reply_crc_stale)
            RAISE_ISSUE(report, reply_crc_stale, index, h.REPLYcrc, cap.reply_crc_calc);
    }

    if (ctx.jdt_size <= 0 || h.TxtLen == 0)
        return;
    const int64_t text_end = static_cast<int64_t>(h.TxtOffset) + h.TxtLen;
    if (static_cast<int64_t>(h.TxtOffset) >= ctx.jdt_size)
        RAISE_ISSUE(report, text_offset_beyond, index, h.TxtOffset, ctx.jdt_size);
    else if (text_end > ctx.jdt_size)
        RAISE_ISSUE(report, text_overruns, index, h.TxtOffset, h.TxtLen, ctx.jdt_size);
    else if ((a & MSG_ESCAPED) && jdt != nullptr)
        check_escaped(jdt, h.TxtOffset, h.TxtLen, index, report);
}
