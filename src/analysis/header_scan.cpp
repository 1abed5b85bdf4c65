// The "Message Header Scan" section: walks every message header of .JHR with its subfield
// block, checks dates, subfields, attributes, CRCs and where the text lies, and fills the table.
#include "analysis/analysis.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A large stdio buffer: the walk reads the file front to back in small pieces.
constexpr std::size_t JHR_BUFFER = 256 * 1024;
// How far a subfield block may reach past the end of .JHR before its length is taken as
// garbage and the walk stops; a shorter overreach is only an unreadable block.
constexpr int64_t SUBFIELD_SLACK = 65536;
constexpr std::size_t NAME_LEN = 100; // captured From/To/Subject texts are cut to this

// What one message's subfield walk found, for the checks, the -v line and the table. The
// names are shown only by the -v line, so they are copied only with -v.
struct sf_capture {
    bool keep_names;
    char from[NAME_LEN + 1];
    char to[NAME_LEN + 1];
    bool has_from, has_to, has_msgid, has_replyid, has_file, has_freq;
    uint32_t msgid_crc_calc, reply_crc_calc;

    void reset() {
        from[0] = to[0] = '\0';
        has_from = has_to = has_msgid = has_replyid = has_file = has_freq = false;
        msgid_crc_calc = reply_crc_calc = ALL_ONES;
    }
};

// Keeps a name for the -v line, which ends it at its first NUL; control bytes become '.'.
void capture_text(char *out, const unsigned char *data, uint32_t len) {
    const std::size_t n = len < NAME_LEN ? len : NAME_LEN;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = terminal_char(data[i]);
    out[n] = '\0';
}

bool ascii_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// A UTC offset is an optional sign and four digits; only the bytes present are judged.
void check_tzutc(const unsigned char *data, uint32_t len, int index, scan_report &report) {
    const uint32_t start = (data[0] == '+' || data[0] == '-') ? 1 : 0;
    for (uint32_t p = start; p <= start + 3 && p < len; ++p)
        if (!ascii_digit(data[p])) {
            add_issue(report, "Msg[%d]: TZUTCINFO contains non-digit offset characters", index);
            return;
        }
}

void capture(const subfield_header &sf, const unsigned char *data, int index, sf_capture &cap,
             scan_report &report) {
    switch (sf.LoID) {
    case SF_SENDERNAME:
        if (cap.keep_names)
            capture_text(cap.from, data, sf.DatLen);
        cap.has_from = true;
        break;
    case SF_RECEIVERNAME:
        if (cap.keep_names)
            capture_text(cap.to, data, sf.DatLen);
        cap.has_to = true;
        break;
    case SF_MSGID:
        cap.has_msgid = true;
        cap.msgid_crc_calc = jam_crc_buf(data, sf.DatLen);
        break;
    case SF_REPLYID:
        cap.has_replyid = true;
        cap.reply_crc_calc = jam_crc_buf(data, sf.DatLen);
        break;
    case SF_ENCLOSEDFILE:
    case SF_ENCLOSEDFILEWALIAS:
    case SF_ENCLOSEDFILEWCARD:
    case SF_ENCLOSEDINDIRECTFILE:
        cap.has_file = true;
        break;
    case SF_ENCLOSEDFREQ:
        cap.has_freq = true;
        break;
    case SF_TZUTCINFO:
        if (sf.DatLen >= 4)
            check_tzutc(data, sf.DatLen, index, report);
        break;
    default:
        break;
    }
}

// Walks the subfields of one block. A subfield header cut off by the block end, or data
// reaching past it, ends the walk; what was captured before stays.
void walk_subfields(const unsigned char *block, uint32_t len, int index, bool verbose,
                    sf_capture &cap, scan_report &report) {
    uint64_t pos = 0;
    for (int k = 0; pos < len; ++k) {
        if (pos + SUBFIELD_HEADER_SIZE > len) {
            add_issue(report, "Msg[%d]: SF[%d] header truncated at pos %u", index, k,
                      static_cast<uint32_t>(pos));
            return;
        }
        const subfield_header sf = decode_subfield_header(block + pos);
        const unsigned lo = sf.LoID;
        if (sf.HiID != 0 && verbose)
            std::printf("      SF[%d] LoID=%-5u: non-zero HiID=0x%04X (reserved)\n", k, lo,
                        static_cast<unsigned>(sf.HiID));
        if (pos + SUBFIELD_HEADER_SIZE + sf.DatLen > len) {
            add_issue(report, "Msg[%d]: SF[%d] LoID=%u DatLen=%u overruns subfield block", index, k,
                      lo, sf.DatLen);
            return;
        }
        if (const sf_entry *row = sf_lookup(sf.LoID)) {
            if (row->limit != 0 && sf.DatLen > row->limit)
                add_issue(report, "Msg[%d]: SF %s DatLen=%u exceeds limit %u", index, row->name,
                          sf.DatLen, row->limit);
            if (verbose)
                std::printf("      SF[%d] %-22s len=%u\n", k, row->name, sf.DatLen);
        } else if (verbose) {
            std::printf("      SF[%d] LoID=%-5u (unknown)  len=%u\n", k, lo, sf.DatLen);
        }
        capture(sf, block + pos + SUBFIELD_HEADER_SIZE, index, cap, report);
        pos += SUBFIELD_HEADER_SIZE + sf.DatLen;
    }
}

// The checks that only make sense for a live message: attribute bits, with -x the stored
// MSGID/REPLYID CRCs, and where its text lies in .JDT.
void check_live_message(const run_context &ctx, const msg_header &h, const sf_capture &cap,
                        int index, jam_file *jdt, scan_report &report) {
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
        if (cap.has_msgid && h.MSGIDcrc != ALL_ONES && h.MSGIDcrc != cap.msgid_crc_calc)
            add_issue(report, "Msg[%d]: MSGIDcrc mismatch stored=0x%08X computed=0x%08X", index,
                      h.MSGIDcrc, cap.msgid_crc_calc);
        if (cap.has_replyid && h.REPLYcrc != ALL_ONES && h.REPLYcrc != cap.reply_crc_calc)
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

void check_dates(const msg_header &h, uint32_t date_limit, int index, scan_report &report) {
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

// The closing checks after any kind of stop: trailing bytes, totals, ActiveMsgs, ModCounter.
void finish_walk(run_context &ctx, int64_t offset, bool bad_sig, bool truncated) {
    scan_report &report = ctx.report;
    // A first header cut short is reported as truncated and, since the repairs can only
    // remove trailing bytes, also as trailing bytes.
    const int64_t remaining = ctx.jhr_size - offset;
    if (report.trailing <= 0 && !bad_sig && remaining >= 1 &&
        remaining < static_cast<int64_t>(MSG_HEADER_SIZE))
        report.trailing = remaining;
    if (report.trailing > 0)
        add_issue(report,
                  ".JHR: %" PRId64 " trailing byte(s) after last message header (editor newline?)",
                  report.trailing);

    std::printf("  Active msgs  : %d\n", report.active_count);
    std::printf("  Deleted msgs : %d\n", report.deleted_count);
    if (bad_sig)
        std::printf("  Bad sigs     : %d  *** ERROR ***\n", 1);
    if (truncated)
        std::printf("  Truncated    : %d  *** WARNING ***\n", 1);
    if (report.trailing != 0)
        std::printf("  Trailing     : %" PRId64 " extra byte(s) past last msg  *** WARNING ***\n",
                    report.trailing);

    if (static_cast<int64_t>(ctx.fhdr.ActiveMsgs) != report.active_count)
        add_issue(report, ".JHR: ActiveMsgs=%u but counted %d active messages", ctx.fhdr.ActiveMsgs,
                  report.active_count);
    if (ctx.fhdr.ModCounter == ALL_ONES)
        add_issue(report, ".JHR: ModCounter at 0xFFFFFFFF (will wrap to 0 on next write)");
}

} // namespace

void scan_headers(run_context &ctx) {
    scan_report &report = ctx.report;
    const bool verbose = ctx.options.verbose;
    ctx.msg_table.clear();
    ctx.msg_count = 0;
    ctx.table_valid = false;
    ctx.walk_stop_offset = -1;

    jam_file jhr;
    if (!jhr.open(ctx.jhr_path, "rb", JHR_BUFFER)) {
        std::fprintf(stderr, "ERROR: %s\n", std::strerror(errno));
        return;
    }
    // Without a readable .JDT the text locations are still judged against its size; only
    // the escaped-text check needs the stream.
    jam_file jdt_stream;
    jam_file *jdt = nullptr;
    if (ctx.jdt_size > 0 && file_exists(ctx.jdt_path)) {
        if (jdt_stream.open(ctx.jdt_path, "rb"))
            jdt = &jdt_stream;
        else
            print_open_error(ctx.jdt_path);
    }
    const uint32_t date_limit = date_limit_now();

    std::printf("\n=== Message Header Scan ===\n");
    report.active_count = 0;
    report.deleted_count = 0;
    report.trailing = 0;
    bool bad_sig = false, truncated = false;
    int64_t offset = FIXED_HEADER_SIZE;
    int64_t index = 0;
    // Room for as many headers as the file could hold, at most the checked number: the
    // table is then filled without copying, and unused room is never touched.
    const int64_t room = (ctx.jhr_size - offset) / static_cast<int64_t>(MSG_HEADER_SIZE);
    ctx.msg_table.reserve(static_cast<std::size_t>(std::clamp<int64_t>(room, 0, MAX_MSGS)));
    std::vector<unsigned char> block; // reused for every header; grows to the largest block
    sf_capture cap;
    cap.keep_names = verbose;

    while (offset < ctx.jhr_size) {
        unsigned char raw[MSG_HEADER_SIZE];
        const std::size_t got = jhr.seek(offset) ? jhr.read(raw, sizeof raw) : 0;
        if (got < sizeof raw) {
            const int64_t remaining = ctx.jhr_size - offset;
            if (remaining < static_cast<int64_t>(MSG_HEADER_SIZE) && index >= 1) {
                report.trailing = remaining;
            } else {
                add_issue(report,
                          ".JHR: truncated at offset %" PRId64 " (%" PRId64 " bytes remaining)",
                          offset, remaining);
                truncated = true;
            }
            break;
        }
        const msg_header h = decode_msg_header(raw);
        if (h.Signature != JAM_SIGNATURE) {
            add_issue(report, ".JHR: bad message sig 0x%08X at offset %" PRId64, h.Signature,
                      offset);
            bad_sig = true;
            ctx.walk_stop_offset = offset;
            break;
        }

        const bool deleted = (h.Attribute & MSG_DELETED) != 0;
        if (deleted)
            ++report.deleted_count;
        else
            ++report.active_count;
        const int idx = static_cast<int>(index);
        if (h.Revision > 1)
            add_issue(report, "Msg[%d]: Revision=%u (expected %u)", idx,
                      static_cast<unsigned>(h.Revision), 1u);
        check_dates(h, date_limit, idx, report);

        const int64_t hdr_end = offset + static_cast<int64_t>(MSG_HEADER_SIZE) + h.SubfieldLen;
        if (hdr_end > ctx.jhr_size + SUBFIELD_SLACK) {
            add_issue(report, "Msg[%d]: SubfieldLen=%u implausible at offset %" PRId64, idx,
                      h.SubfieldLen, offset);
            ctx.walk_stop_offset = offset;
            break;
        }

        cap.reset();
        if (h.SubfieldLen > 0) {
            // A block reaching past the end of the file cannot be read whole; saying so
            // up front spares a buffer of a size the file cannot back.
            bool ok = hdr_end <= ctx.jhr_size;
            if (ok) {
                if (block.size() < h.SubfieldLen)
                    block.resize(h.SubfieldLen);
                ok = jhr.read_exact(block.data(), h.SubfieldLen);
            }
            if (ok) {
                walk_subfields(block.data(), h.SubfieldLen, idx, verbose, cap, report);
            } else {
                add_issue(report, "Msg[%d]: could not read subfield data", idx);
                // The headers that may lie inside the unread block were never examined,
                // as after a bad signature.
                ctx.walk_stop_offset = offset;
            }
        }

        if (!deleted)
            check_live_message(ctx, h, cap, idx, jdt, report);
        if (verbose)
            std::printf("  [%4d] @%-8" PRId64
                        " #%-6u attr=0x%08X jdt=[%u+%u] sf=%u  %s -> %s  %s\n",
                        idx, offset, h.MessageNumber, h.Attribute, h.TxtOffset, h.TxtLen,
                        h.SubfieldLen, cap.has_from ? cap.from : "?", cap.has_to ? cap.to : "?",
                        fmt_ts(h.DateWritten).c_str());

        ctx.msg_table.push_back(msg_info{offset, h.ReplyTo, h.Reply1st, h.ReplyNext,
                                         cap.msgid_crc_calc, cap.reply_crc_calc, cap.has_msgid,
                                         cap.has_replyid, deleted});
        ++index;
        offset = hdr_end;
    }

    finish_walk(ctx, offset, bad_sig, truncated);
    jdt_stream.close();
    jhr.close();

    ctx.msg_count = index;
    if (ctx.options.extended && ctx.msg_count != 0)
        check_reply_chains(ctx);
    ctx.table_valid = true;
}
