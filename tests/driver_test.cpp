// The command line, the banner and Files lines, file discovery and the issue list.
#include "cairnfix_version.h"
#include "driver/driver.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

static std::string usage_for(const std::string &prog) {
    return "cairnfix v" CAIRNFIX_VERSION
           "  -  FidoNet JAM Message Base Analyzer & Repair\n\nUsage: " +
           prog +
           " [options] <basename>\n\n"
           "  <basename>  path without extension (e.g. /bbs/msg/GENERAL)\n"
           "              on Windows: C:\\bbs\\msg\\GENERAL\n\n"
           "Options:\n"
           "  -a   Analyze only, no changes (default)\n"
           "  -r   Repair all auto-fixable issues\n"
           "  -p   Pack: rebuild .JDX from .JHR (also applies -r fixes)\n"
           "  -x   Extended: reply-chain integrity + MSGID/REPLYID CRC\n"
           "  -v   Verbose: per-message and per-subfield detail\n"
           "  -b   Backup all files to .bak before any write\n"
           "  -s   Show message summary table\n"
           "  -h   Help\n\n"
           "Exit codes:  0 = clean   2 = issues found   1 = fatal error\n\n"
           "Recommended for a damaged base:\n  " +
           prog + " -r -x -p -b <basename>\n";
}

// -h prints the usage even with a base name; an unknown option or a missing base name is
// an error. Otherwise the banner shows what the options select: a later -a does not undo
// -r, flags group, and options after the base name are not looked at.
TEST(CommandLine, UsageOptionsAndBanner) {
    const std::string usage = usage_for(CAIRNFIX_BIN), fatal = "\nFATAL: .JHR not found.\n";
    const std::tuple<std::vector<std::string>, int, std::string, std::string> runs[] = {
        {{"-h", "/nonexistent/base"}, 0, usage, ""},
        {{"-q", "b"}, 1, usage, "Unknown option: -q\n"},
        {{"-r"}, 1, usage, "Error: no basename given.\n\n"},
        {{"-x", "-b", "/nonexistent/gone"},
         1,
         "cairnfix v" CAIRNFIX_VERSION "  -  FidoNet JAM Message Base Tool\n"
         "==============================================\n"
         "Base : /nonexistent/gone\n"
         "Mode : ANALYZE-ONLY +EXTENDED-CHECKS +BACKUP\n"
         "\nFiles:\n"
         "  .JHR  /nonexistent/gone.jhr  [NOT FOUND]\n"
         "  .JDT  /nonexistent/gone.jdt  [not found]\n"
         "  .JDX  /nonexistent/gone.jdx  [NOT FOUND]\n"
         "  .JLR  /nonexistent/gone.jlr  [not found]\n",
         fatal},
        {{"-r", "-a", "b"}, 1, "Base : b\nMode : REPAIR\n", fatal},
        {{"-a", "-r", "b"}, 1, "Base : b\nMode : REPAIR\n", fatal},
        {{"-rp", "b"}, 1, "Base : b\nMode : REPAIR\n", fatal},
        {{"-p", "b"}, 1, "Base : b\nMode : PACK\n", fatal},
        {{"b", "-v", "-q"}, 1, "Base : b\nMode : ANALYZE-ONLY\n", fatal},
        {{"--", "-odd"}, 1, "Base : -odd\nMode : ANALYZE-ONLY\n", fatal},
    };
    // The usage and the banner for a missing .JHR are the whole output.
    for (const auto &[args, status, out, err] : runs) {
        const run_result r = run_cairnfix(args);
        EXPECT_TRUE(r.status == status && r.err == err &&
                    (out.starts_with("Base") ? contains(r.out, out) : r.out == out))
            << r.out << r.err;
    }
}

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
    add_issue(report, "%s", std::string(400, 'q').c_str());
    for (int i = 1; i <= 600; ++i)
        add_issue(report, "Msg[%d]: x", i);
    EXPECT_EQ(std::tuple(report.issue_count, report.raised_count), std::tuple(512, 601));
    const std::string out = capture_output([&] { print_issue_list(report); }).out;
    const std::vector<std::string> texts = issue_texts(out);
    ASSERT_TRUE(contains(out, "\n=== Issues Found: 512 ===\n") && texts.size() == 512u);
    EXPECT_EQ(std::tuple(texts[0], texts[511]), std::tuple(std::string(319, 'q'), "Msg[511]: x"));
}
