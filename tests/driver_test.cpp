// The command line, the banner and Files lines, file discovery and the issue list.
#include "driver/command_line.h"
#include "driver/driver.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const char *const USAGE_TAIL = " [options] <basename>\n"
                               "\n"
                               "  <basename>  path without extension (e.g. /bbs/msg/GENERAL)\n"
                               "              on Windows: C:\\bbs\\msg\\GENERAL\n"
                               "\n"
                               "Options:\n"
                               "  -a   Analyze only, no changes (default)\n"
                               "  -r   Repair all auto-fixable issues\n"
                               "  -p   Pack: rebuild .JDX from .JHR (also applies -r fixes)\n"
                               "  -x   Extended: reply-chain integrity + MSGID/REPLYID CRC\n"
                               "  -v   Verbose: per-message and per-subfield detail\n"
                               "  -b   Backup all files to .bak before any write\n"
                               "  -s   Show message summary table\n"
                               "  -h   Help\n"
                               "\n"
                               "Exit codes:  0 = clean   2 = issues found   1 = fatal error\n"
                               "\n"
                               "Recommended for a damaged base:\n";

std::string usage_for(const std::string &prog) {
    return "cairnfix v0.3  -  FidoNet JAM Message Base Analyzer & Repair\n\nUsage: " + prog +
           USAGE_TAIL + "  " + prog + " -r -x -p -b <basename>\n";
}

struct scanned {
    scan_outcome outcome;
    run_options opts;
};

scanned scan(std::vector<std::string> words) {
    words.insert(words.begin(), "cairnfix");
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    scanned s;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    s.outcome = scan_options(static_cast<int>(argv.size()), argv.data(), s.opts);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return s;
}

std::string mode_line(const std::string &out) {
    const auto at = out.find("Mode : ");
    return out.substr(at, out.find('\n', at) - at);
}

} // namespace

TEST(OptionScanning, FlagsGroupsAndTheBaseName) {
    struct row {
        std::vector<std::string> args;
        scan_outcome outcome;
        std::string base;
        bool repair, pack, analyze;
    };
    const row rows[] = {
        {{"-r", "-a", "b"}, scan_outcome::run, "b", true, false, true},
        {{"-a", "-r", "b"}, scan_outcome::run, "b", true, false, false},
        {{"-rp", "b"}, scan_outcome::run, "b", true, true, false},
        {{"b", "-v", "-q"}, scan_outcome::run, "b", false, false, true},
        {{"--", "-odd"}, scan_outcome::run, "-odd", false, false, true},
        {{"-", "x"}, scan_outcome::run, "-", false, false, true},
        {{""}, scan_outcome::run, "", false, false, true},
        {{"-h", "b"}, scan_outcome::help, "", false, false, true},
        {{"-q", "b"}, scan_outcome::usage_error, "", false, false, true},
        {{"-rq", "b"}, scan_outcome::usage_error, "", true, false, false},
        {{"--"}, scan_outcome::usage_error, "", false, false, true},
        {{"-x", "-v"}, scan_outcome::usage_error, "", false, false, true},
    };
    for (const row &r : rows) {
        const scanned s = scan(r.args);
        const std::string what = testing::PrintToString(r.args);
        EXPECT_EQ(s.outcome, r.outcome) << what;
        EXPECT_EQ(s.opts.base_name, r.base) << what;
        EXPECT_EQ(s.opts.repair, r.repair) << what;
        EXPECT_EQ(s.opts.pack, r.pack) << what;
        EXPECT_EQ(s.opts.analyze, r.analyze) << what;
    }
    const scanned all = scan({"-xvbs", "b"});
    EXPECT_TRUE(all.opts.extended && all.opts.verbose && all.opts.backup && all.opts.summary);
}

TEST(CommandLine, UsageHelpAndErrorsThroughTheBinary) {
    const run_result help = run_cairnfix({"-h", "/nonexistent/base"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage_for(CAIRNFIX_BIN));
    EXPECT_EQ(help.err, "");

    const run_result unknown = run_cairnfix({"-q"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "Unknown option: -q\n");
    EXPECT_EQ(unknown.out, usage_for(CAIRNFIX_BIN));

    const run_result none = run_cairnfix({"-r"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "Error: no basename given.\n\n");
    EXPECT_EQ(none.out, usage_for(CAIRNFIX_BIN));
}

TEST(CommandLine, BannerModeLineAndMissingHeaderFile) {
    const std::string dir = make_temp_dir();
    const std::string base = dir + "/gone";
    const run_result r = run_cairnfix({"-x", "-b", base});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cairnfix v0.3  -  FidoNet JAM Message Base Tool\n"
                     "==============================================\n"
                     "Base : " + base + "\n"
                     "Mode : ANALYZE-ONLY +EXTENDED-CHECKS +BACKUP\n"
                     "\nFiles:\n"
                     "  .JHR  " + base + ".jhr  [NOT FOUND]\n"
                     "  .JDT  " + base + ".jdt  [not found]\n"
                     "  .JDX  " + base + ".jdx  [NOT FOUND]\n"
                     "  .JLR  " + base + ".jlr  [not found]\n");
    EXPECT_EQ(r.err, "\nFATAL: .JHR not found.\n");

    const std::pair<std::vector<std::string>, std::string> modes[] = {
        {{"-r"}, "Mode : REPAIR"},
        {{"-p"}, "Mode : PACK"},
        {{"-rp"}, "Mode : REPAIR"},
        {{"-a"}, "Mode : ANALYZE-ONLY"},
        {{"-pxb"}, "Mode : PACK +EXTENDED-CHECKS +BACKUP"},
    };
    for (const auto &[args, line] : modes) {
        std::vector<std::string> all = args;
        all.push_back(base);
        EXPECT_EQ(mode_line(run_cairnfix(all).out), line);
    }
    std::filesystem::remove_all(dir);
}

TEST(FileDiscovery, LowerCaseWinsAndMissingFilesGetLowerCaseNames) {
    base_builder b("x");
    b.upper(jam_ext::jhr).upper(jam_ext::jdx).missing(jam_ext::jdt);
    b.write();
    std::string path;
    EXPECT_TRUE(find_ext(b.base(), "jhr", "JHR", path));
    EXPECT_EQ(path, b.base() + ".JHR");
    EXPECT_FALSE(find_ext(b.base(), "jdt", "JDT", path));
    EXPECT_EQ(path, b.base() + ".jdt");
    write_file(b.base() + ".jdx", "");
    EXPECT_TRUE(find_ext(b.base(), "jdx", "JDX", path));
    EXPECT_EQ(path, b.base() + ".jdx");

    const run_result r = run_cairnfix({b.base()});
    EXPECT_TRUE(contains(r.out, "  .JHR  " + b.base() + ".JHR  [found]\n"));
    EXPECT_TRUE(contains(r.out, "  .JDT  " + b.base() + ".jdt  [not found]\n"));

    // A path far beyond 600 characters is used as given, never cut.
    const std::string deep = b.dir() + "/" + std::string(250, 'd') + "/" + std::string(250, 'e');
    std::filesystem::create_directories(deep);
    const std::string long_base = deep + "/" + std::string(200, 'n');
    write_file(long_base + ".jhr", b.bytes(jam_ext::jhr));
    const run_result r2 = run_cairnfix({long_base});
    EXPECT_TRUE(contains(r2.out, "  .JHR  " + long_base + ".jhr  [found]\n"));
    EXPECT_TRUE(contains(r2.out, "  .JLR  " + long_base + ".jlr  [not found]\n"));
}

TEST(IssueList, CapCutAndHealthyLine) {
    scan_report report;
    testing::internal::CaptureStdout();
    print_issue_list(report);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n=== Issues Found: 0 ===\n  No issues detected. Message base appears healthy.\n");

    add_issue(report, "%s", std::string(400, 'q').c_str());
    EXPECT_EQ(report.issues[0], std::string(319, 'q'));
    for (int i = 1; i <= 600; ++i)
        add_issue(report, "Msg[%d]: x", i);
    EXPECT_EQ(report.issue_count, 512);
    EXPECT_EQ(report.issues.size(), 512u);
    EXPECT_EQ(report.raised_count, 601);

    testing::internal::CaptureStdout();
    print_issue_list(report);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, 26), "\n=== Issues Found: 512 ===");
    EXPECT_TRUE(contains(out, "\n  [  2] Msg[1]: x\n"));
    EXPECT_TRUE(contains(out, "\n  [512] Msg[511]: x\n"));
    EXPECT_FALSE(contains(out, "Msg[512]"));
}
