// The ".JDX File", ".JDT File" and ".JLR File" sections: sizes, record judgements, issues.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

std::vector<std::string> companion_issues(const std::string &out) {
    std::vector<std::string> mine;
    for (const std::string &t : issue_texts(out))
        if (t.rfind(".JDX: ", 0) == 0 || t.rfind(".JLR: ", 0) == 0)
            mine.push_back(t);
    return mine;
}

const std::string EMPTY_JDX =
    "\n=== .JDX File ===\n  Size         : 0 bytes\n  Records      : 0\n  Deleted      : 0\n";
const std::string EMPTY_JDT =
    "\n=== .JDT File ===\n  Size         : 0 bytes\n  Status       : Empty\n";
const std::string EMPTY_JLR =
    "\n=== .JLR File ===\n  Size         : 0 bytes\n  Records      : 0\n  Deleted      : 0\n";

} // namespace

TEST(CompanionFiles, SectionsAndIssues) {
    const struct {
        const char *name;
        std::function<void(base_builder &)> make; // builds and writes the base
        std::string sections;                     // the three sections, -v given
        std::vector<std::string> issues;
    } cases[] = {
        {"empty index beside a header-only .JHR",
         [](base_builder &b) { b.write(); },
         EMPTY_JDX + EMPTY_JDT + EMPTY_JLR,
         {}},
        {"empty index beside message data, no .JDT or .JLR",
         [](base_builder &b) {
             b.missing(jam_ext::jdt).missing(jam_ext::jlr).write();
             b.append(jam_ext::jhr, "x");
         },
         EMPTY_JDX + "\n=== .JDT File ===\n  Not found (empty area OK)\n" +
             "\n=== .JLR File ===\n  Not found (no users yet - OK)\n",
         {".JDX: file is empty but .JHR has message data - rebuild with -p or -r"}},
        {"stray bytes after the last records",
         [](base_builder &b) {
             b.index = std::vector<idx_record>{{ALL_ONES, ALL_ONES}};
             b.lastread = {{1, 5, 2, 3}};
             b.jdt_prefix = "abc";
             b.write();
             b.append(jam_ext::jdx, "12345");
             b.append(jam_ext::jlr, "1234");
         },
         "\n=== .JDX File ===\n  Size         : 13 bytes\n  Records      : 1\n  Deleted      : 1\n"
         "\n=== .JDT File ===\n  Size         : 3 bytes\n  Status       : Present\n"
         "\n=== .JLR File ===\n  Size         : 20 bytes\n  Records      : 1\n"
         "    [  0] CRC=0x00000001 ID=5      Last=2      High=3\n  Deleted      : 0\n",
         {".JDX: 5 stray bytes after last complete record",
          ".JLR: 4 stray bytes after last complete record"}},
        {"HdrOffset range with a .JHR of 5000 bytes",
         [](base_builder &b) {
             b.index = std::vector<idx_record>{
                 {0x11, 1024},    {0x22, 4999},         {0, 1023},     {0, 5000}, {0, 0},
                 {0, 0x80000000}, {ALL_ONES, ALL_ONES}, {1, ALL_ONES}, {0, 16}};
             b.write();
             b.append(jam_ext::jhr, std::string(5000 - 1024, '\0'));
         },
         "\n=== .JDX File ===\n  Size         : 72 bytes\n  Records      : 9\n"
         "    [   0] off=0x00000400 UserCRC=0x00000011\n"
         "    [   1] off=0x00001387 UserCRC=0x00000022\n"
         "  Deleted      : 1\n  Orphans      : 6  *** ERROR ***\n" +
             EMPTY_JDT + EMPTY_JLR,
         {".JDX: record 2 HdrOffset=0x000003FF out of JHR range",
          ".JDX: record 3 HdrOffset=0x00001388 out of JHR range",
          ".JDX: record 4 HdrOffset=0x00000000 out of JHR range",
          ".JDX: record 5 HdrOffset=0x80000000 out of JHR range",
          ".JDX: record 7 HdrOffset=0xFFFFFFFF out of JHR range",
          ".JDX: record 8 HdrOffset=0x00000010 out of JHR range"}},
        {"last-read duplicates, UserID 0 and a deleted slot, no .JDX",
         [](base_builder &b) {
             b.missing(jam_ext::jdx);
             b.lastread = {
                 {1, 7, 5, 5}, {2, 7, 6, 5}, {3, 7, 1, ALL_ONES}, {ALL_ONES, ALL_ONES, 9, 1},
                 {4, 0, 0, 0}, {5, 0, 0, 0}, {8, ALL_ONES, 0, 0}};
             b.write();
         },
         "\n=== .JDX File ===\n  NOT FOUND  *** ERROR ***\n" + EMPTY_JDT +
             "\n=== .JLR File ===\n  Size         : 112 bytes\n  Records      : 7\n"
             "    [  0] CRC=0x00000001 ID=7      Last=5      High=5\n"
             "    [  1] CRC=0x00000002 ID=7      Last=6      High=5\n"
             "    [  2] CRC=0x00000003 ID=7      Last=1      High=4294967295\n"
             "    [  4] CRC=0x00000004 ID=0      Last=0      High=0\n"
             "    [  5] CRC=0x00000005 ID=0      Last=0      High=0\n"
             "    [  6] CRC=0x00000008 ID=4294967295 Last=0      High=0\n"
             "  Deleted      : 1\n",
         {".JDX: file missing", ".JLR: record 1 HighReadMsg(5) < LastReadMsg(6)",
          ".JLR: record 1 duplicate UserID=7", ".JLR: record 2 duplicate UserID=7",
          ".JLR: record 4 UserID=0 (should be >= 1)", ".JLR: record 5 UserID=0 (should be >= 1)",
          ".JLR: record 5 duplicate UserID=0"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        base_builder b;
        c.make(b);
        const run_result r = run_cairnfix({"-v", b.base()});
        EXPECT_EQ(report_section(r.out, ".JDX File") + report_section(r.out, ".JDT File") +
                      report_section(r.out, ".JLR File"),
                  c.sections);
        EXPECT_EQ(companion_issues(r.out), c.issues);
    }
}

TEST(CompanionFiles, LargeFilesAreLinearAndCountPastTheIssueCap) {
    base_builder b;
    // 200,000 last-read records in which every UserID occurs twice, and 1,000 orphans.
    for (uint32_t i = 0; i < 200000; ++i)
        b.lastread.push_back({i, i % 100000 + 1, 0, 0});
    b.index = std::vector<idx_record>(1000, idx_record{0, 0});
    b.write();
    run_context ctx;
    ctx.jdt_path = b.path(jam_ext::jdt);
    ctx.jdx_path = b.path(jam_ext::jdx);
    ctx.jlr_path = b.path(jam_ext::jlr);
    ctx.jhr_size = static_cast<int64_t>(FIXED_HEADER_SIZE);
    const auto start = std::chrono::steady_clock::now();
    capture_output([&] {
        check_companion_files(ctx);
        return 0;
    });
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), 2.0); // a search per record would take many seconds
    EXPECT_EQ(ctx.report.jlr_records, 200000);
    EXPECT_EQ(ctx.report.orphan_count, 1000);
    EXPECT_EQ(ctx.report.raised_count, 1000 + 100000);
    EXPECT_EQ(ctx.report.issue_count, MAX_ISSUES);
}
