// The ".JDX File", ".JDT File" and ".JLR File" sections: sizes, the judgement of every
// record, and issues. The empty index beside message data is a case of the fixed-header run.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/repair_context.h"

#include <gtest/gtest.h>

TEST(CompanionFiles, RecordsJudgedInOrderAndStrayBytesLeftUnread) {
    base_builder b;
    b.index =
        std::vector<idx_record>{{0x11, 1024},    {0x22, 4999},         {0, 1023},    {0, 5000},
                                {0, 0x80000000}, {ALL_ONES, ALL_ONES}, {1, ALL_ONES}};
    // CRC, UserID, LastRead, HighRead; the deleted slot is not judged.
    b.lastread = {
        {1, 0, 5, 5}, {2, 0, 6, 5}, {3, 7, 1, ALL_ONES}, {ALL_ONES, ALL_ONES, 9, 1}, {4, 7, 0, 0}};
    b.write();
    b.append(jam_ext::jhr, std::string(5000 - 1024, '\0'));
    b.append(jam_ext::jdx, "12345");
    run_context ctx;
    fill_context(ctx, b);
    EXPECT_EQ(capture_output([&] { check_companion_files(ctx); }).out,
              "\n=== .JDX File ===\n  Size         : 61 bytes\n  Records      : 7\n"
              "  Deleted      : 1\n  Orphans      : 4  *** ERROR ***\n"
              "\n=== .JDT File ===\n  Size         : 0 bytes\n  Status       : Empty\n"
              "\n=== .JLR File ===\n  Size         : 80 bytes\n  Records      : 5\n"
              "  Deleted      : 1\n");
    EXPECT_EQ(ctx.report.issues,
              (std::vector<std::string>{".JDX: 5 stray bytes after last complete record",
                                        ".JDX: record 2 HdrOffset=0x000003FF out of JHR range",
                                        ".JDX: record 3 HdrOffset=0x00001388 out of JHR range",
                                        ".JDX: record 4 HdrOffset=0x80000000 out of JHR range",
                                        ".JDX: record 6 HdrOffset=0xFFFFFFFF out of JHR range",
                                        ".JLR: record 0 UserID=0 (should be >= 1)",
                                        ".JLR: record 1 HighReadMsg(5) < LastReadMsg(6)",
                                        ".JLR: record 1 UserID=0 (should be >= 1)",
                                        ".JLR: record 1 duplicate UserID=0",
                                        ".JLR: record 4 duplicate UserID=7"}));
}
