// A run_context filled as the analysis leaves it for a base written by base_builder, so
// that the repairs can be driven directly, and capture of what they print.
#pragma once

#include "format/files.h"
#include "run/context.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <string>

// Paths, found flags and sizes of the files as they are on disk, the fixed header, the
// active count and one table entry per message of the builder, with the marks the analysis
// would set; the table is valid.
inline void fill_context(run_context &ctx, const base_builder &b) {
    std::string *paths[] = {&ctx.jhr_path, &ctx.jdt_path, &ctx.jdx_path, &ctx.jlr_path};
    bool *found[] = {&ctx.jhr_found, &ctx.jdt_found, &ctx.jdx_found, &ctx.jlr_found};
    int64_t *sizes[] = {&ctx.jhr_size, &ctx.jdt_size, &ctx.jdx_size, &ctx.jlr_size};
    for (int i = 0; i < 4; ++i) {
        *paths[i] = b.path(static_cast<jam_ext>(i));
        *found[i] = file_exists(*paths[i]);
        *sizes[i] = *found[i] ? fsize(*paths[i]) : 0;
    }
    const std::string jhr = b.bytes(jam_ext::jhr);
    ctx.fhdr = decode_fixed_header(reinterpret_cast<const unsigned char *>(jhr.data()));
    ctx.msg_table.clear();
    ctx.report.active_count = 0;
    for (std::size_t i = 0; i < b.messages.size(); ++i) {
        const test_message &t = b.messages[i];
        msg_info m;
        m.hdr_offset = b.header_offset(i);
        m.reply_to = t.hdr.ReplyTo;
        m.reply_1st = t.hdr.Reply1st;
        m.reply_next = t.hdr.ReplyNext;
        m.user_crc = b.derived_index(i).UserCRC;
        for (const auto &sf : t.subfields) {
            if (sf.LoID == SF_MSGID) {
                m.has_msgid = true;
                m.msgid_crc_calc = jam_crc_buf(sf.data.data(), sf.data.size());
            } else if (sf.LoID == SF_REPLYID) {
                m.has_replyid = true;
                m.reply_crc_calc = jam_crc_buf(sf.data.data(), sf.data.size());
            }
        }
        m.deleted = (t.hdr.Attribute & MSG_DELETED) != 0;
        if (!m.deleted)
            ++ctx.report.active_count;
        m.msgid_crc_stale = !m.deleted && m.has_msgid && t.hdr.MSGIDcrc != ALL_ONES &&
                            t.hdr.MSGIDcrc != m.msgid_crc_calc;
        m.reply_crc_stale = !m.deleted && m.has_replyid && t.hdr.REPLYcrc != ALL_ONES &&
                            t.hdr.REPLYcrc != m.reply_crc_calc;
        ctx.msg_table.push_back(m);
    }
    ctx.msg_count = static_cast<int64_t>(ctx.msg_table.size());
    // The links the reply-chain check marks.
    for (msg_info &m : ctx.msg_table)
        m.dangling = m.deleted ? 0 : ctx.dangling_links(m);
    ctx.table_valid = true;
}

// Counted file operations that `f` performs, so a test can make the k-th from the end fail.
template <class F> uint64_t count_io(F &&f) {
    io_fail_at(0, false);
    capture_output(f);
    return io_op_count();
}
