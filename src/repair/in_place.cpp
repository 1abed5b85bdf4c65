// The repair step after the issue list: which repairs run for which options and results,
// and the in-place fixes of the fixed header, stray bytes, last-read records and links.
#include "format/files.h"
#include "repair/repair.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// A link value that is set but names none of the headers the scan found.
bool dangling(uint32_t link, uint32_t base, int64_t count) {
    uint64_t index = 0;
    return link != 0 && !names_message(link, base, static_cast<uint64_t>(count), &index);
}

bool read_header(jam_file &f, int64_t offset, msg_header &h) {
    unsigned char raw[MSG_HEADER_SIZE];
    if (!f.seek(offset) || !f.read_exact(raw, sizeof raw))
        return false;
    h = decode_msg_header(raw);
    return true;
}

// Writes a header back where it was read; a failure is reported and returns false.
bool write_header(jam_file &f, int64_t offset, const msg_header &h, const std::string &path) {
    unsigned char raw[MSG_HEADER_SIZE];
    encode_msg_header(h, raw);
    if (f.seek(offset) && f.write(raw, sizeof raw))
        return true;
    print_write_error(path);
    return false;
}

// Closes a file that was written to. When the close fails, buffered records may not have
// reached the disk, so none of them may be counted as fixed: the count becomes 0.
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
        std::fprintf(stderr, "  WARN: truncate %s: %s\n", ext, std::strerror(errno));
}

// Whether the index holds a whole record once its stray bytes are cut: one that does not
// is empty, whatever bytes it had, so one run does what a second would.
bool index_has_records(const run_context &ctx) {
    return ctx.jdx_found && ctx.jdx_size >= static_cast<int64_t>(IDX_RECORD_SIZE);
}

// The -r alone rebuild: the index is missing, or empty although headers were found.
bool index_needs_rebuild(const run_context &ctx) {
    return !ctx.jdx_found || (!index_has_records(ctx) && ctx.msg_count > 0);
}

} // namespace

void run_repair_phase(run_context &ctx) {
    const run_options &opts = ctx.options;
    if (!opts.repair && !opts.pack)
        return;
    if (ctx.report.issue_count > 0)
        repair_in_place(ctx);
    if (opts.pack || index_needs_rebuild(ctx)) {
        std::printf("\n=== Rebuilding .JDX ===\n");
        // An existing index still points at the headers past an early stop; one rebuilt
        // from the partial walk would lose them.
        const bool partial = ctx.walk_stop_offset >= 0 && index_has_records(ctx);
        if (ctx.table_valid && partial)
            std::printf("  Keeping .JDX: header walk stopped at offset %" PRId64 "\n",
                        ctx.walk_stop_offset);
        else if (ctx.table_valid)
            rebuild_index(ctx);
    }
    if (opts.repair)
        create_missing_files(ctx);
}

void repair_in_place(run_context &ctx) {
    std::printf("\n=== Repairs ===\n");
    fixed_header &fh = ctx.fhdr;
    bool header_changed = false;
    if (fh.Signature != JAM_SIGNATURE) {
        std::printf("  Fixing .JHR signature\n");
        fh.Signature = JAM_SIGNATURE;
        header_changed = true;
    }
    if (fh.BaseMsgNum == 0) {
        std::printf("  Fixing BaseMsgNum 0 -> 1\n");
        fh.BaseMsgNum = 1;
        header_changed = true;
    }
    const int32_t active = ctx.report.active_count;
    if (ctx.table_valid && fh.ActiveMsgs != static_cast<uint32_t>(active)) {
        // A walk that stopped early did not count the headers after the stop.
        if (ctx.walk_stop_offset >= 0) {
            std::printf("  Not fixing ActiveMsgs: header walk stopped at offset %" PRId64 "\n",
                        ctx.walk_stop_offset);
        } else {
            std::printf("  Fixing ActiveMsgs %u -> %d\n", fh.ActiveMsgs, active);
            fh.ActiveMsgs = static_cast<uint32_t>(active);
            header_changed = true;
        }
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
            std::fprintf(stderr, "  WARN: truncate .JHR: %s\n", std::strerror(errno));
    }
    truncate_to_records(ctx.jdx_path, ctx.jdx_size, IDX_RECORD_SIZE, ".JDX");
    truncate_to_records(ctx.jlr_path, ctx.jlr_size, LASTREAD_RECORD_SIZE, ".JLR");
    if (ctx.jlr_size > 0)
        fix_high_read(ctx);
    if (ctx.options.extended && ctx.table_valid) {
        fix_reply_links(ctx);
        fix_id_crcs(ctx);
    }
}

void fix_high_read(run_context &ctx) {
    const int64_t records = ctx.jlr_size / static_cast<int64_t>(LASTREAD_RECORD_SIZE);
    jam_file f;
    if (!f.open(ctx.jlr_path, "r+b")) {
        print_open_error(ctx.jlr_path);
        return;
    }
    int64_t fixed = 0;
    for (int64_t i = 0; i < records; ++i) {
        const int64_t offset = i * static_cast<int64_t>(LASTREAD_RECORD_SIZE);
        unsigned char raw[LASTREAD_RECORD_SIZE];
        if (!f.seek(offset) || !f.read_exact(raw, sizeof raw))
            break;
        lastread_record r = decode_lastread_record(raw);
        if (is_deleted_slot(r) || r.HighReadMsg >= r.LastReadMsg)
            continue;
        std::printf("  JLR[%" PRId64 "]: HighReadMsg %u -> %u\n", i, r.HighReadMsg, r.LastReadMsg);
        r.HighReadMsg = r.LastReadMsg;
        encode_lastread_record(r, raw);
        if (f.seek(offset) && f.write(raw, sizeof raw))
            ++fixed;
        else
            print_write_error(ctx.jlr_path);
    }
    close_written(f, ctx.jlr_path, fixed);
    if (fixed > 0)
        std::printf("  Fixed %" PRId64 " JLR HighReadMsg entries\n", fixed);
}

void fix_reply_links(run_context &ctx) {
    const uint32_t base = ctx.fhdr.BaseMsgNum;
    const std::size_t stored = ctx.stored_count();
    const auto is_dangling = [&](uint32_t link) { return dangling(link, base, ctx.msg_count); };

    // After an early stop the links to headers past it look dangling but are not.
    if (ctx.walk_stop_offset >= 0) {
        for (std::size_t i = 0; i < stored; ++i) {
            const msg_info &m = ctx.msg_table[i];
            if (!m.deleted && (is_dangling(m.reply_to) || is_dangling(m.reply_1st) ||
                               is_dangling(m.reply_next))) {
                std::printf("  Not zeroing reply links: header walk stopped at offset %" PRId64
                            "\n",
                            ctx.walk_stop_offset);
                break;
            }
        }
        return;
    }

    jam_file f;
    if (!f.open(ctx.jhr_path, "r+b")) {
        print_open_error(ctx.jhr_path);
        return;
    }
    int64_t fixed = 0;
    for (std::size_t i = 0; i < stored; ++i) {
        const msg_info &m = ctx.msg_table[i];
        if (m.deleted)
            continue;
        const int index = static_cast<int>(i);
        uint32_t to = m.reply_to, first = m.reply_1st, next = m.reply_next;
        bool zeroed = false;
        if (is_dangling(to)) {
            std::printf("  Msg[%d]: zero dangling ReplyTo=%u\n", index, to);
            to = 0;
            zeroed = true;
        }
        if (is_dangling(first)) {
            std::printf("  Msg[%d]: zero dangling Reply1st=%u\n", index, first);
            first = 0;
            zeroed = true;
        }
        if (is_dangling(next)) {
            std::printf("  Msg[%d]: zero dangling ReplyNext=%u\n", index, next);
            next = 0;
            zeroed = true;
        }
        msg_header h;
        if (!zeroed || !read_header(f, m.hdr_offset, h))
            continue;
        h.ReplyTo = to;
        h.Reply1st = first;
        h.ReplyNext = next;
        if (write_header(f, m.hdr_offset, h, ctx.jhr_path))
            ++fixed;
    }
    close_written(f, ctx.jhr_path, fixed);
    if (fixed == 0)
        return;
    // One rewritten header may stand for several link issues, so the count can drop below
    // what is still wrong; it never drops below the issues that are not dangling links
    // (including those the full list dropped).
    scan_report &rep = ctx.report;
    const int64_t count = rep.issue_count;
    const int64_t others = rep.raised_count - rep.no_such_message_count;
    rep.issue_count = static_cast<int32_t>(std::max(count - fixed, std::min(count, others)));
    std::printf("  Fixed %" PRId64 " reply-chain entries\n", fixed);
}

void fix_id_crcs(run_context &ctx) {
    jam_file f;
    if (!f.open(ctx.jhr_path, "r+b")) {
        print_open_error(ctx.jhr_path);
        return;
    }
    int64_t fixed = 0;
    const std::size_t stored = ctx.stored_count();
    for (std::size_t i = 0; i < stored; ++i) {
        const msg_info &m = ctx.msg_table[i];
        msg_header h;
        if (m.deleted || !read_header(f, m.hdr_offset, h))
            continue;
        const int index = static_cast<int>(i);
        bool changed = false;
        // A stored all-ones value means no CRC is kept; it is left that way.
        if (m.has_msgid && h.MSGIDcrc != ALL_ONES && h.MSGIDcrc != m.msgid_crc_calc) {
            std::printf("  Msg[%d]: MSGIDcrc 0x%08X -> 0x%08X\n", index, h.MSGIDcrc,
                        m.msgid_crc_calc);
            h.MSGIDcrc = m.msgid_crc_calc;
            changed = true;
        }
        if (m.has_replyid && h.REPLYcrc != ALL_ONES && h.REPLYcrc != m.reply_crc_calc) {
            std::printf("  Msg[%d]: REPLYcrc 0x%08X -> 0x%08X\n", index, h.REPLYcrc,
                        m.reply_crc_calc);
            h.REPLYcrc = m.reply_crc_calc;
            changed = true;
        }
        if (changed && write_header(f, m.hdr_offset, h, ctx.jhr_path))
            ++fixed;
    }
    close_written(f, ctx.jhr_path, fixed);
    if (fixed > 0)
        std::printf("  Fixed %" PRId64 " MSGID/REPLYID CRCs\n", fixed);
}
