// The in-place repairs after the issue list: the fixed header, stray bytes, last-read
// records, reply links and stored CRCs. Each mends what the analysis found and marked;
// none tests the base again.
#include "format/files.h"
#include "repair/repair.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Stages a changed header to go back where it was read.
void stage_header(record_writer &out, int64_t offset, const msg_header &h) {
    unsigned char raw[MSG_HEADER_SIZE];
    encode_msg_header(h, raw);
    out.stage(offset, raw, sizeof raw);
}

// Closes a file that was written to. When the close fails, none of the records may be
// counted as fixed: the count becomes 0.
void close_written(jam_file &f, const std::string &path, int64_t &count) {
    if (f.close())
        return;
    print_write_error(path);
    count = 0;
}

// Cuts a companion file back to whole records; the measured size stays as it was.
void truncate_to_records(const std::string &path, int64_t size, int64_t record, const char *ext) {
    if (size % record == 0)
        return;
    const int64_t whole = size - size % record;
    std::printf("  Truncating %s %" PRId64 " -> %" PRId64 " bytes\n", ext, size, whole);
    if (portable_truncate(path, whole) != 0)
        error_line("  WARN: truncate %s: %s\n", ext, std::strerror(errno));
}

// Zeroes the links marked dangling, with one line for each.
void zero_dangling(const msg_info &m, int index, msg_header &h) {
    const struct {
        uint8_t bit;
        const char *name;
        uint32_t &field;
    } links[] = {{LINK_REPLY_TO, "ReplyTo", h.ReplyTo},
                 {LINK_REPLY_1ST, "Reply1st", h.Reply1st},
                 {LINK_REPLY_NEXT, "ReplyNext", h.ReplyNext}};
    for (const auto &link : links) {
        if (!(m.dangling & link.bit))
            continue;
        std::printf("  Msg[%d]: zero dangling %s=%u\n", index, link.name, link.field);
        link.field = 0;
    }
}

} // namespace

void repair_in_place(run_context &ctx, const repair_plan &plan) {
    std::printf("\n=== Repairs ===\n");
    fixed_header &fh = ctx.fhdr;
    bool header_changed = false;
    if (fh.Signature != JAM_SIGNATURE) {
        std::printf("  Fixing .JHR signature\n");
        fh.Signature = JAM_SIGNATURE;
        header_changed = true;
    }
    if (fh.BaseMsgNum != repaired_base_msg_num(fh.BaseMsgNum)) {
        std::printf("  Fixing BaseMsgNum %u -> %u\n", fh.BaseMsgNum,
                    repaired_base_msg_num(fh.BaseMsgNum));
        fh.BaseMsgNum = repaired_base_msg_num(fh.BaseMsgNum);
        header_changed = true;
    }
    const int32_t active = ctx.report.active_count;
    if (plan.active_msgs == skip_reason::walk_stopped) {
        std::printf("  Not fixing ActiveMsgs: header walk stopped at offset %" PRId64 "\n",
                    plan.walk_stop_offset);
    } else if (plan.active_msgs == skip_reason::none) {
        std::printf("  Fixing ActiveMsgs %u -> %d\n", fh.ActiveMsgs, active);
        fh.ActiveMsgs = static_cast<uint32_t>(active);
        header_changed = true;
    }
    if (header_changed)
        write_fhdr(ctx.jhr_path, fh);

    const int64_t trailing = ctx.report.trailing;
    if (trailing > 0) {
        const int64_t shorter = ctx.jhr_size - trailing;
        std::printf("  Removing %" PRId64 " trailing byte(s) from .JHR (%" PRId64 " -> %" PRId64
                    " bytes)\n",
                    trailing, ctx.jhr_size, shorter);
        if (portable_truncate(ctx.jhr_path, shorter) == 0)
            ctx.jhr_size = shorter;
        else
            error_line("  WARN: truncate .JHR: %s\n", std::strerror(errno));
    }
    truncate_to_records(ctx.jdx_path, ctx.jdx_size, IDX_RECORD_SIZE, ".JDX");
    truncate_to_records(ctx.jlr_path, ctx.jlr_size, LASTREAD_RECORD_SIZE, ".JLR");
    fix_high_read(ctx);
}

void fix_high_read(run_context &ctx) {
    if (ctx.stale_high_read.empty())
        return;
    jam_file f;
    if (!f.open(ctx.jlr_path, "r+b")) {
        print_open_error(ctx.jlr_path);
        return;
    }
    int64_t fixed = 0;
    for (const int64_t i : ctx.stale_high_read) {
        const int64_t offset = i * static_cast<int64_t>(LASTREAD_RECORD_SIZE);
        unsigned char raw[LASTREAD_RECORD_SIZE];
        if (f.read_at(offset, raw, sizeof raw) != sizeof raw)
            break;
        lastread_record r = decode_lastread_record(raw);
        std::printf("  JLR[%" PRId64 "]: HighReadMsg %u -> %u\n", i, r.HighReadMsg, r.LastReadMsg);
        r.HighReadMsg = r.LastReadMsg;
        encode_lastread_record(r, raw);
        if (f.write_at(offset, raw, sizeof raw))
            ++fixed;
        else
            print_write_error(ctx.jlr_path);
    }
    close_written(f, ctx.jlr_path, fixed);
    if (fixed > 0)
        std::printf("  Fixed %" PRId64 " JLR HighReadMsg entries\n", fixed);
}

void fix_reply_links(run_context &ctx, const repair_plan &plan) {
    if (plan.reply_links == skip_reason::walk_stopped)
        std::printf("  Not zeroing reply links: header walk stopped at offset %" PRId64 "\n",
                    plan.walk_stop_offset);
    if (plan.reply_links != skip_reason::none)
        return;
    const std::size_t stored = ctx.stored_count();

    jam_file f;
    if (!f.open(ctx.jhr_path, "r+b")) {
        print_open_error(ctx.jhr_path);
        return;
    }
    window_reader headers(f);
    record_writer changed(f, headers);
    for (std::size_t i = 0; i < stored; ++i) {
        const msg_info &m = ctx.msg_table[i];
        msg_header h;
        if (m.dangling == 0 || !read_msg_header(headers, m.hdr_offset, h))
            continue;
        zero_dangling(m, static_cast<int>(i), h);
        stage_header(changed, m.hdr_offset, h);
    }
    changed.flush();
    int64_t fixed = changed.written();
    close_written(f, ctx.jhr_path, fixed);
    if (fixed == 0)
        return;
    count_repaired_links(ctx.report, fixed);
    std::printf("  Fixed %" PRId64 " reply-chain entries\n", fixed);
}

void fix_id_crcs(run_context &ctx) {
    jam_file f;
    if (!f.open(ctx.jhr_path, "r+b")) {
        print_open_error(ctx.jhr_path);
        return;
    }
    window_reader headers(f);
    record_writer changed(f, headers);
    const std::size_t stored = ctx.stored_count();
    for (std::size_t i = 0; i < stored; ++i) {
        const msg_info &m = ctx.msg_table[i];
        msg_header h;
        if (!(m.msgid_crc_stale || m.reply_crc_stale) || !read_msg_header(headers, m.hdr_offset, h))
            continue;
        const int index = static_cast<int>(i);
        if (m.msgid_crc_stale) {
            std::printf("  Msg[%d]: MSGIDcrc 0x%08X -> 0x%08X\n", index, h.MSGIDcrc,
                        m.msgid_crc_calc);
            h.MSGIDcrc = m.msgid_crc_calc;
        }
        if (m.reply_crc_stale) {
            std::printf("  Msg[%d]: REPLYcrc 0x%08X -> 0x%08X\n", index, h.REPLYcrc,
                        m.reply_crc_calc);
            h.REPLYcrc = m.reply_crc_calc;
        }
        stage_header(changed, m.hdr_offset, h);
    }
    changed.flush();
    int64_t fixed = changed.written();
    close_written(f, ctx.jhr_path, fixed);
    if (fixed > 0)
        std::printf("  Fixed %" PRId64 " MSGID/REPLYID CRCs\n", fixed);
}
