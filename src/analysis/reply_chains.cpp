// The "Extended Checks" section: every ReplyTo, Reply1st and ReplyNext link of every live
// message must name an existing message, and linked messages must agree with each other.
#include "analysis/analysis.h"

#include <cstdio>

namespace {

enum class target { missing, unchecked, deleted, live };

struct link_target {
    target kind;
    const msg_info *entry; // set for deleted and live targets
};

// Resolves a non-zero link by its number. A message past the checked part of the table
// exists but has no entry to compare with; it is accepted as it is.
link_target resolve(const run_context &ctx, uint32_t link) {
    if (ctx.dangles(link, ctx.fhdr.BaseMsgNum))
        return {target::missing, nullptr};
    uint64_t index = 0;
    ctx.names_header(link, ctx.fhdr.BaseMsgNum, &index);
    if (index >= ctx.stored_count())
        return {target::unchecked, nullptr};
    const msg_info &m = ctx.msg_table[index];
    return {m.deleted ? target::deleted : target::live, &m};
}

} // namespace

void check_reply_chains(run_context &ctx) {
    scan_report &report = ctx.report;
    std::printf("\n=== Extended Checks ===\n");
    // Every error, also those whose text the full issue list drops.
    int32_t errors = 0;

    const std::size_t stored = ctx.stored_count();
    for (std::size_t i = 0; i < stored; ++i) {
        msg_info &m = ctx.msg_table[i];
        if (m.deleted)
            continue;
        // The links the link repair zeroes.
        m.dangling = ctx.dangling_links(m);
        const int j = static_cast<int>(i);
        const uint32_t own = msg_number(ctx.fhdr.BaseMsgNum, ctx.number_position(i));

        if (m.reply_to != 0) {
            const link_target t = resolve(ctx, m.reply_to);
            if (t.kind == target::missing) {
                RAISE_ISSUE(report, reply_to_missing, j, own, m.reply_to);
                ++errors;
            } else if (t.kind == target::deleted && ctx.options.verbose)
                std::printf("  Msg[%d] #%u: ReplyTo=%u points to deleted msg (warning)\n", j, own,
                            m.reply_to);
        }
        if (m.reply_1st != 0) {
            const link_target t = resolve(ctx, m.reply_1st);
            if (t.kind == target::missing) {
                RAISE_ISSUE(report, reply_1st_missing, j, own, m.reply_1st);
                ++errors;
            } else if (t.kind == target::live && t.entry->reply_to != own) {
                RAISE_ISSUE(report, reply_1st_mismatch, j, own, m.reply_1st, t.entry->reply_to,
                            own);
                ++errors;
            }
        }
        // Siblings share their parent.
        if (m.reply_next != 0) {
            const link_target t = resolve(ctx, m.reply_next);
            if (t.kind == target::missing) {
                RAISE_ISSUE(report, reply_next_missing, j, own, m.reply_next);
                ++errors;
            } else if (t.kind == target::live && t.entry->reply_to != m.reply_to) {
                RAISE_ISSUE(report, reply_next_mismatch, j, own, m.reply_next, t.entry->reply_to,
                            m.reply_to);
                ++errors;
            }
        }
    }

    if (errors == 0)
        std::printf("  Reply-chain  : OK\n");
    else
        std::printf("  Reply-chain  : %d error(s)  *** ERROR ***\n", errors);
}
