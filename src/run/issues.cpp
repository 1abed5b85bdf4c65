// The issue list: adding issues with the 512-entry cap, printing the list, and what the
// count left at the end means for the exit status.
#include "run/context.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

void add_issue(scan_report &report, issue_id id, const char *format, ...) {
    ++report.raised_count;
    if (id == issue_id::reply_to_missing || id == issue_id::reply_1st_missing ||
        id == issue_id::reply_next_missing)
        ++report.dangling_link_count;
    if (report.issue_count >= MAX_ISSUES)
        return;
    char text[ISSUE_LEN];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    report.issues.emplace_back(text);
    report.issue_count = static_cast<int32_t>(report.issues.size());
}

void print_issue_list(const scan_report &report) {
    std::printf("\n=== Issues Found: %d ===\n", report.issue_count);
    if (report.issue_count == 0) {
        std::printf("  No issues detected. Message base appears healthy.\n");
        return;
    }
    int number = 1;
    for (const std::string &text : report.issues)
        std::printf("  [%3d] %s\n", number++, text.c_str());
}

int exit_status(const scan_report &report, bool repair_failed) {
    if (repair_failed)
        return 1;
    return report.issue_count > 0 ? 2 : 0;
}

void count_repaired_links(scan_report &report, int64_t headers) {
    const int64_t count = report.issue_count;
    const int64_t others = report.raised_count - report.dangling_link_count;
    report.issue_count = static_cast<int32_t>(std::max(count - headers, std::min(count, others)));
}
