// The reply-link repair where the count of open issues and failed writes
// are concerned; the exact bytes they leave are held by the complete repair run.
#include "driver/driver.h"
#include "repair/repair.h"
#include "support/repair_context.h"

#include <gtest/gtest.h>

TEST(InPlace, IssueCountNeverDropsBelowIssuesThatAreNotLinks) {
    // messages, links in each, issue count, issues raised, of them dangling links, count
    // after, where the header walk stopped
    const int rows[][7] = {{3, 1, 3, 3, 3, 0, -1},            // only link issues: clean after
                           {1, 2, 2, 2, 2, 1, -1},            // one header, two links: one less
                           {600, 1, 512, 1100, 600, 500, -1}, // full list: the 500 others stay
                           {2, 1, 512, 1100, 2, 512, -1},     // the cap dropped more than fixed
                           {1, 1, 1, 1, 1, 1, 1500}}; // links past an early stop may be valid
    for (const auto &r : rows) {
        base_builder b;
        for (int i = 0; i < r[0]; ++i)
            b.add_message().links(90000, 0, r[1] == 2 ? 90001 : 0);
        b.write();
        run_context ctx;
        fill_context(ctx, b);
        ctx.report.issue_count = r[2];
        ctx.report.raised_count = r[3];
        ctx.report.dangling_link_count = r[4];
        ctx.walk_stop_offset = r[6];
        ctx.options.extended = true;
        capture_output([&] { fix_reply_links(ctx, plan_repairs(ctx)); });
        EXPECT_EQ(ctx.report.issue_count, r[5]) << r[0];
    }
}

TEST(InPlace, FailedWritesAreReportedAndNotCounted) {
    // The repair opens .JHR, reads the header, writes it and closes: operation 3 is the write,
    // 4 the close. Neither the "Fixed" line nor the lowered count may follow.
    for (const uint64_t failing : {3u, 4u}) {
        base_builder b;
        b.add_message().links(77, 0, 0);
        b.write();
        run_context ctx;
        fill_context(ctx, b);
        ctx.report.issue_count = 1;
        ctx.report.raised_count = ctx.report.dangling_link_count = 1;
        ctx.options.extended = true;
        const repair_plan plan = plan_repairs(ctx);
        io_fail_at(failing, false);
        const run_result c = capture_output([&] { fix_reply_links(ctx, plan); });
        io_fail_at(0, false);
        EXPECT_EQ(c.out + c.err, "  Msg[0]: zero dangling ReplyTo=77\n  ERROR: write failed on " +
                                     ctx.jhr_path + ": Input/output error\n");
        EXPECT_EQ(ctx.report.issue_count, 1) << failing;
    }
}
