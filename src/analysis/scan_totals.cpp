// The totals that close the "Message Header Scan" section after any kind of stop: trailing
// bytes, the counts, and the fixed-header fields that depend on them.
#include "analysis/scan.h"

#include <cinttypes>
#include <cstdio>

void finish_walk(run_context &ctx, const walk_end &end) {
    scan_report &report = ctx.report;
    const int64_t offset = end.offset;
    // A first header cut short is reported as truncated and, since the repairs can only
    // remove trailing bytes, also as trailing bytes.
    const int64_t remaining = ctx.jhr_size - offset;
    if (report.trailing <= 0 && !end.bad_sig && remaining >= 1 &&
        remaining < static_cast<int64_t>(MSG_HEADER_SIZE))
        report.trailing = remaining;
    if (report.trailing > 0)
        RAISE_ISSUE(report, jhr_trailing_bytes, report.trailing);

    std::printf("  Active msgs  : %d\n", report.active_count);
    std::printf("  Deleted msgs : %d\n", report.deleted_count);
    if (end.bad_sig)
        std::printf("  Bad sigs     : %d  *** ERROR ***\n", 1);
    if (end.truncated)
        std::printf("  Truncated    : %d  *** WARNING ***\n", 1);
    if (report.trailing != 0)
        std::printf("  Trailing     : %" PRId64 " extra byte(s) past last msg  *** WARNING ***\n",
                    report.trailing);

    if (static_cast<int64_t>(ctx.fhdr.ActiveMsgs) != report.active_count)
        RAISE_ISSUE(report, active_msgs_count, ctx.fhdr.ActiveMsgs, report.active_count);
    if (ctx.fhdr.ModCounter == ALL_ONES)
        RAISE_ISSUE(report, mod_counter_wraps);
}
