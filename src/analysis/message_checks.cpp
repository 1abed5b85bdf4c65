// The rules for one message header: its revision and dates, and for a live message its
// attribute bits, its stored MSGID/REPLYID CRCs and where its text lies in .JDT. A new
// per-message check goes here.
#include "analysis/scan.h"

#include <cinttypes>

void check_header_fields(const msg_header &h, uint32_t date_limit, int index, scan_report &report) {
    if (h.Revision > 1)
        add_issue(report, "Msg[%d]: Revision=%u (expected %u)", index,
                  static_cast<unsigned>(h.Revision), 1u);
    if (implausible_date(h.DateWritten, date_limit))
        add_issue(report, "Msg[%d]: implausible DateWritten: %s", index,
                  fmt_ts(h.DateWritten).c_str());
    if (implausible_date(h.DateReceived, date_limit))
        add_issue(report, "Msg[%d]: implausible DateReceived: %s", index,
                  fmt_ts(h.DateReceived).c_str());
    if (implausible_date(h.DateProcessed, date_limit))
        add_issue(report, "Msg[%d]: implausible DateProcessed: %s", index,
                  fmt_ts(h.DateProcessed).c_str());
}

void check_live_message(const run_context &ctx, const msg_header &h, const sf_capture &cap,
                        int index, window_reader *jdt, msg_info &entry, scan_report &report) {
    const uint32_t a = h.Attribute;
    if (const uint32_t r = a & MSG_RESERVED_BITS)
        add_issue(report, "Msg[%d]: reserved attribute bits set (0x%08X)", index, r);
    const uint32_t t = a & (MSG_TYPELOCAL | MSG_TYPEECHO | MSG_TYPENET);
    if ((t & (t - 1)) != 0)
        add_issue(report, "Msg[%d]: multiple exclusive type bits set (TYPELOCAL/ECHO/NET)", index);
    if ((a & MSG_FILEATTACH) && !cap.has_file)
        add_issue(report, "Msg[%d]: MSG_FILEATTACH set but no enclosed-file subfield", index);
    if ((a & MSG_FILEREQUEST) && !cap.has_freq)
        add_issue(report, "Msg[%d]: MSG_FILEREQUEST set but no SF_ENCLOSEDFREQ subfield", index);
    if ((a & MSG_TRUNCFILE) && !(a & MSG_FILEATTACH))
        add_issue(report, "Msg[%d]: MSG_TRUNCFILE without MSG_FILEATTACH", index);
    if ((a & MSG_KILLFILE) && !(a & MSG_FILEATTACH))
        add_issue(report, "Msg[%d]: MSG_KILLFILE without MSG_FILEATTACH", index);
    if (a & MSG_ENCRYPT)
        add_issue(report, "Msg[%d]: MSG_ENCRYPT is reserved in JAM rev 1", index);
    if (a & MSG_COMPRESS)
        add_issue(report, "Msg[%d]: MSG_COMPRESS is reserved in JAM rev 1", index);

    // A stored all-ones CRC means "none stored" and is never compared.
    if (ctx.options.extended) {
        entry.msgid_crc_stale =
            cap.has_msgid && h.MSGIDcrc != ALL_ONES && h.MSGIDcrc != cap.msgid_crc_calc;
        entry.reply_crc_stale =
            cap.has_replyid && h.REPLYcrc != ALL_ONES && h.REPLYcrc != cap.reply_crc_calc;
        if (entry.msgid_crc_stale)
            add_issue(report, "Msg[%d]: MSGIDcrc mismatch stored=0x%08X computed=0x%08X", index,
                      h.MSGIDcrc, cap.msgid_crc_calc);
        if (entry.reply_crc_stale)
            add_issue(report, "Msg[%d]: REPLYcrc mismatch stored=0x%08X computed=0x%08X", index,
                      h.REPLYcrc, cap.reply_crc_calc);
    }

    if (ctx.jdt_size <= 0 || h.TxtLen == 0)
        return;
    const int64_t text_end = static_cast<int64_t>(h.TxtOffset) + h.TxtLen;
    if (static_cast<int64_t>(h.TxtOffset) >= ctx.jdt_size)
        add_issue(report, "Msg[%d]: JDT offset %u beyond file end (%" PRId64 ")", index,
                  h.TxtOffset, ctx.jdt_size);
    else if (text_end > ctx.jdt_size)
        add_issue(report, "Msg[%d]: JDT text overruns file (off=%u len=%u jdt=%" PRId64 ")", index,
                  h.TxtOffset, h.TxtLen, ctx.jdt_size);
    else if ((a & MSG_ESCAPED) && jdt != nullptr)
        check_escaped(jdt, h.TxtOffset, h.TxtLen, index, report);
}
