// The issue list: adding issues with the 512-entry cap and printing the list.
#include "run/context.h"

#include <cstdarg>
#include <cstdio>

void add_issue(scan_report &report, const char *format, ...) {
    ++report.raised_count;
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
