// The command line, the banner and Files lines, file discovery and the issue list.
#include "driver/driver.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

// The usage, the options and the banner rows are report cases (usage-*, banner-*); these
// runs name no base where a case puts it last. A missing base name is an error with the
// usage; arguments after the base name are not looked at, only named; "--" ends the
// options; a name ending in ".jhr" with no such base is looked for as given.
TEST(CommandLine, RunsTheCasesCannotExpress) {
    const auto not_found = [](const std::string &base) {
        return "\nFATAL: .JHR not found.\n  Looked for " + base + ".jhr and " + base + ".JHR\n";
    };
    const std::tuple<std::vector<std::string>, int, std::string, std::string> runs[] = {
        {{"-r"}, 1, "\n\nUsage: ", "Error: no basename given.\n\n"},
        {{"b", "-v", "x", "-"},
         1,
         "Base : b\nMode : ANALYZE-ONLY\n",
         "  WARN: ignored argument after the base name: -v (options go before the base name)\n"
         "  WARN: ignored argument after the base name: x\n"
         "  WARN: ignored argument after the base name: -\n" +
             not_found("b")},
        {{"--", "-odd"}, 1, "Base : -odd\nMode : ANALYZE-ONLY\n", not_found("-odd")},
        {{"missing.jhr"}, 1, "Base : missing.jhr\n", not_found("missing.jhr")},
    };
    for (const auto &[args, status, out, err] : runs) {
        const run_result r = run_cairnfix(args);
        EXPECT_TRUE(r.status == status && r.err == err && contains(r.out, out)) << r.out << r.err;
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

// The name of any file of a base, under either case form of its extension, stands for the
// base when no header file exists for it as a base name; a base whose own name ends in
// ".jhr" is still found under that name.
TEST(CommandLine, FileNameOfTheBaseAsOperand) {
    base_builder b("area"), named_like_a_file(b.dir(), "area.jhr");
    b.upper(jam_ext::jdx).write();
    for (const char *ext : {".jhr", ".jdt", ".JDX", ".jlr"}) {
        const run_result r = run_cairnfix({"-x", b.base() + ext});
        EXPECT_TRUE(r.status == 0 && contains(r.out, "Base : " + b.base() + "\n") && r.err.empty())
            << ext << "\n"
            << r.out << r.err;
    }
    named_like_a_file.write();
    const run_result own = run_cairnfix({named_like_a_file.base()});
    EXPECT_TRUE(contains(own.out, "  .JHR  " + b.base() + ".jhr.jhr  [found]\n")) << own.out;
}

// "cairnfix base -r" analyses and says that -r was ignored; -b without -r or -p says that
// there is nothing to back up. Neither writes anything.
TEST(CommandLine, IgnoredOptionsAreNamed) {
    base_builder b;
    b.write();
    b.append(jam_ext::jdx, "\x01");
    const std::string jdx = b.bytes(jam_ext::jdx);
    const run_result late = run_cairnfix({b.base(), "-r", "-b"});
    EXPECT_TRUE(late.status == 2 && contains(late.out, "Mode : ANALYZE-ONLY\n")) << late.out;
    EXPECT_EQ(
        late.err,
        "  WARN: ignored argument after the base name: -r (options go before the base name)\n"
        "  WARN: ignored argument after the base name: -b (options go before the base name)\n");
    const run_result backup = run_cairnfix({"-b", b.base()});
    EXPECT_EQ(backup.err,
              "  WARN: nothing to back up: an analysis writes nothing (-b works with -r or -p)\n");
    EXPECT_EQ(b.bytes(jam_ext::jdx), jdx);
    EXPECT_FALSE(std::filesystem::exists(b.path(jam_ext::jdx) + ".bak"));
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
