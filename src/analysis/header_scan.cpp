// The "Message Header Scan" section: the walk over every message header of .JHR, where it
// stops, and the table it fills. The subfield walk, the rules for one message and the
// closing totals live in files of their own (see scan.h).
#include "analysis/scan.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Where a message header stands and what the walk made of it.
struct message_at {
    int64_t offset;
    int index;
    bool deleted;
};

// The -v line of one message,
// "  [%4d] @%-8" PRId64 " #%-6u attr=0x%08X jdt=[%u+%u] sf=%u  %s -> %s  %s\n".
void print_message_line(line_buffer &lines, const msg_header &h, const message_at &at,
                        const sf_capture &cap) {
    lines.text("  [");
    lines.number(at.index, 4);
    lines.text("] @");
    lines.number(at.offset, -8);
    lines.text(" #");
    lines.number(h.MessageNumber, -6);
    lines.text(" attr=");
    lines.hex(h.Attribute, 8);
    lines.text(" jdt=[");
    lines.number(h.TxtOffset);
    lines.text("+");
    lines.number(h.TxtLen);
    lines.text("] sf=");
    lines.number(h.SubfieldLen);
    lines.text("  ");
    lines.text(cap.has_from ? cap.from : "?");
    lines.text(" -> ");
    lines.text(cap.has_to ? cap.to : "?");
    lines.text("  ");
    char when[TS_TEXT_SIZE];
    lines.text(std::string_view(when, put_ts(h.DateWritten, when)));
    lines.end_line();
}

// The subfields, the rules for a live message and the -v lines of one header whose
// subfield block is plausible; returns the header's table entry. With -v the lines go to
// `lines`, else that is null.
msg_info examine_message(run_context &ctx, const msg_header &h, const message_at &at,
                         window_reader &headers, window_reader *jdt, sf_capture &cap,
                         line_buffer *lines) {
    scan_report &report = ctx.report;
    const int64_t block_at = at.offset + static_cast<int64_t>(MSG_HEADER_SIZE);
    cap.reset();
    if (h.SubfieldLen > 0) {
        // A block reaching past the end of the file cannot be read whole; saying so up
        // front spares reading the part the file holds.
        const bool walked =
            block_at + h.SubfieldLen <= ctx.jhr_size &&
            walk_subfields(headers, block_at, h.SubfieldLen, at.index, lines, cap, report);
        if (!walked) {
            RAISE_ISSUE(report, subfields_unreadable, at.index);
            // The headers that may lie inside the unread block were never examined, as
            // after a bad signature.
            ctx.walk_stop_offset = at.offset;
        }
    }

    msg_info entry{.hdr_offset = at.offset,
                   .reply_to = h.ReplyTo,
                   .reply_1st = h.Reply1st,
                   .reply_next = h.ReplyNext,
                   .msgid_crc_calc = cap.msgid_crc_calc,
                   .reply_crc_calc = cap.reply_crc_calc,
                   .user_crc = h.SubfieldLen <= SF_INDEXED_BLOCK_MAX ? cap.user_crc : ALL_ONES,
                   .has_msgid = cap.has_msgid,
                   .has_replyid = cap.has_replyid,
                   .deleted = at.deleted};
    if (!at.deleted)
        check_live_message(ctx, h, cap, at.index, jdt, entry, report);
    if (lines != nullptr)
        print_message_line(*lines, h, at, cap);
    return entry;
}

// Opens .JDT for the escaped-text check. Without a readable .JDT the text locations are
// still judged against its size; only that check needs the stream.
bool open_texts(const run_context &ctx, jam_file &jdt) {
    if (ctx.jdt_size <= 0 || !file_exists(ctx.jdt_path))
        return false;
    if (jdt.open(ctx.jdt_path, "rb"))
        return true;
    print_open_error(ctx.jdt_path);
    return false;
}

// The walk from the first header to the end of .JHR or to the first header it cannot go
// past: fills the table and the counts, and returns where it ended.
walk_end walk_headers(run_context &ctx, window_reader &headers, window_reader *jdt) {
    scan_report &report = ctx.report;
    const uint32_t date_limit = date_limit_now();
    int64_t offset = FIXED_HEADER_SIZE;
    // Room for as many headers as the file could hold, at most the checked number: the
    // table is then filled without copying, and unused room is never touched.
    const int64_t room = (ctx.jhr_size - offset) / static_cast<int64_t>(MSG_HEADER_SIZE);
    ctx.msg_table.reserve(static_cast<std::size_t>(std::clamp<int64_t>(room, 0, MAX_MSGS)));
    sf_capture cap;
    cap.keep_names = ctx.options.verbose;
    // Nothing but the -v lines is printed until the walk ends; they are all out when it
    // returns.
    line_buffer listing;
    line_buffer *lines = ctx.options.verbose ? &listing : nullptr;

    while (offset < ctx.jhr_size) {
        const int idx = static_cast<int>(ctx.msg_table.size());
        msg_header h;
        if (!read_msg_header(headers, offset, h)) {
            const int64_t remaining = ctx.jhr_size - offset;
            if (remaining < static_cast<int64_t>(MSG_HEADER_SIZE) && idx >= 1) {
                report.trailing = remaining;
                return walk_end{offset, false, false};
            }
            RAISE_ISSUE(report, jhr_truncated, offset, remaining);
            return walk_end{offset, false, true};
        }
        if (h.Signature != JAM_SIGNATURE) {
            RAISE_ISSUE(report, jhr_bad_message_signature, h.Signature, offset);
            ctx.walk_stop_offset = offset;
            return walk_end{offset, true, false};
        }

        const bool deleted = (h.Attribute & MSG_DELETED) != 0;
        if (deleted)
            ++report.deleted_count;
        else
            ++report.active_count;
        check_header_fields(h, date_limit, idx, report);

        const int64_t hdr_end = offset + static_cast<int64_t>(MSG_HEADER_SIZE) + h.SubfieldLen;
        if (hdr_end > ctx.jhr_size + SF_BLOCK_SLACK) {
            RAISE_ISSUE(report, subfield_len_implausible, idx, h.SubfieldLen, offset);
            ctx.walk_stop_offset = offset;
            return walk_end{offset, false, false};
        }

        ctx.msg_table.push_back(
            examine_message(ctx, h, message_at{offset, idx, deleted}, headers, jdt, cap, lines));
        offset = hdr_end;
    }
    return walk_end{offset, false, false};
}

} // namespace

void scan_headers(run_context &ctx) {
    scan_report &report = ctx.report;
    ctx.msg_table.clear();
    ctx.msg_count = 0;
    ctx.table_valid = false;
    ctx.walk_stop_offset = -1;
    ctx.walk_complete = false;

    jam_file jhr;
    if (!jhr.open(ctx.jhr_path, "rb")) {
        error_line("ERROR: %s\n", std::strerror(errno));
        return;
    }
    window_reader headers(jhr);
    jam_file jdt_stream;
    window_reader jdt_texts(jdt_stream, 0); // each escaped text is read on its own
    window_reader *jdt = open_texts(ctx, jdt_stream) ? &jdt_texts : nullptr;

    std::printf("\n=== Message Header Scan ===\n");
    report.active_count = 0;
    report.deleted_count = 0;
    report.trailing = 0;
    const walk_end end = walk_headers(ctx, headers, jdt);
    finish_walk(ctx, end);
    ctx.walk_complete = ctx.walk_stop_offset < 0 && !end.truncated;
    ctx.msg_count = static_cast<int64_t>(ctx.msg_table.size());
    ctx.table_valid = true;
}
