// File discovery and the issue list; the command line and the banner are report cases
// (usage-*, banner-*, operand-*).
#include "driver/driver.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

// The lower-case name wins when both exist, and a missing file is named in lower case; a
// path far beyond 600 characters is used as given, never cut.
TEST(CommandLine, FileDiscovery) {
    base_builder tmp;
    const std::string deep = tmp.dir() + "/" + std::string(250, 'd') + "/" + std::string(250, 'e');
    std::filesystem::create_directories(deep);
    base_builder b(deep, std::string(200, 'n'));
    b.upper(jam_ext::jhr).upper(jam_ext::jdx).missing(jam_ext::jdt).write();
    write_file(b.base() + ".jdx", "");
    const std::string at = "  " + b.base();
    // Where the file system ignores case, the lower-case probe finds the upper-case file.
    const std::string jhr = std::filesystem::exists(b.base() + ".jhr") ? ".jhr" : ".JHR";
    EXPECT_TRUE(contains(run_cairnfix({b.base()}).out,
                         "\nFiles:\n  .JHR" + at + jhr + "  [found]\n  .JDT" + at +
                             ".jdt  [not found]\n  .JDX" + at + ".jdx  [found]\n  .JLR" + at +
                             ".jlr  [found]\n"));
}

// At most 512 issues are kept, each cut to 319 characters; all of them are counted.
TEST(CommandLine, IssueListCapAndCut) {
    scan_report report;
    add_issue(report, issue_id::revision, "%s", std::string(400, 'q').c_str());
    for (int i = 1; i <= 600; ++i)
        add_issue(report, issue_id::revision, "Msg[%d]: x", i);
    EXPECT_EQ(std::tuple(report.issue_count, report.raised_count), std::tuple(512, 601));
    const std::string out = capture_output([&] { print_issue_list(report); }).out;
    const std::vector<std::string> texts = issue_texts(out);
    ASSERT_TRUE(contains(out, "\n=== Issues Found: 512 ===\n") && texts.size() == 512u);
    EXPECT_EQ(std::tuple(texts[0], texts[511]), std::tuple(std::string(319, 'q'), "Msg[511]: x"));
}
