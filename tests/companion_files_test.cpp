// The ".JDX File", ".JDT File" and ".JLR File" sections: sizes, the judgement of every
// record, and issues, also for files of more records than 32 bits can count. The empty index
// beside message data is a case of the fixed-header run.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/repair_context.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST(CompanionFiles, RecordCountsOfHugeFilesDoNotWrap) {
    // Sparse files of 2^31 index and last-read records. Reading all of them would take long,
    // so the first record read fails: the counts are printed before, and the failed read
    // shows that the records are examined, with no room reserved for each of them.
    constexpr int64_t GIB = int64_t{1} << 30;
    const std::pair<jam_ext, uint64_t> rows[] = {{jam_ext::jdx, 2}, {jam_ext::jlr, 3}};
    for (const auto &[ext, first_read] : rows) {
        base_builder b;
        b.write();
        const bool jdx = ext == jam_ext::jdx;
        std::error_code ec;
        std::filesystem::resize_file(b.path(ext), static_cast<uintmax_t>((jdx ? 16 : 32) * GIB),
                                     ec);
        if (ec)
            GTEST_SKIP() << "no sparse files here: " << ec.message();
        run_context ctx;
        fill_context(ctx, b);
        io_fail_at(first_read, false);
        const run_result c =
            capture_output([&] { EXPECT_THROW(check_companion_files(ctx), read_error); });
        io_fail_at(0, false);
        EXPECT_TRUE(contains(c.out, jdx ? "  Size         : 17179869184 bytes\n"
                                          "  Records      : 2147483648\n"
                                        : "  Size         : 34359738368 bytes\n"
                                          "  Records      : 2147483648\n"))
            << c.out;
        EXPECT_EQ(jdx ? ctx.report.jdx_records : ctx.report.jlr_records, int64_t{1} << 31);
    }
}
