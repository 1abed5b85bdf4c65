// The record files' sections for files of more records than 32 bits can count; the
// judgement of the records is held by the report cases.
#include "analysis/analysis.h"
#include "driver/command_line.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

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
        ctx.options.base_name = b.base();
        capture_output([&] { find_files(ctx), check_fixed_header(ctx); });
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

// Duplicate UserIDs among thousands of users, numbered from 1 or spread over the whole
// range: the bitmap of small IDs and the table of large ones, which grows many times over,
// find exactly the repeats, at the records where they repeat.
TEST(CompanionFiles, DuplicateUserIdsAmongManyUsers) {
    constexpr uint32_t LARGE = uint32_t{1} << 24; // the first ID kept in the table
    base_builder b;
    b.add_message();
    for (uint32_t id = 1; id <= 5000; ++id)
        b.lastread.push_back({id * 7, id, 1, 1});
    for (uint32_t k = 0; k < 5000; ++k)
        b.lastread.push_back({k, LARGE + k * 855'000u, 1, 1}); // up to 4290922216
    b.lastread[1234].UserID = 77;                              // the same as record 76
    b.lastread[4999].UserID = 4000;                            // the same as record 3999
    b.lastread[7000].UserID = LARGE + 17 * 855'000u;           // the same as record 5017
    b.lastread.push_back({0, 0xFFFFFFFFu, 1, 1});
    b.lastread.push_back({0, 0xFFFFFFFFu, 1, 1});
    b.lastread.push_back({0, LARGE - 1, 1, 1});
    b.lastread.push_back({0, LARGE, 1, 1}); // the same as record 5000
    b.lastread.push_back({0, LARGE - 1, 1, 1});
    b.write();
    const run_result r = run_cairnfix({b.base()});
    EXPECT_EQ(issue_texts(r.out),
              (std::vector<std::string>{".JLR: record 1234 duplicate UserID=77",
                                        ".JLR: record 4999 duplicate UserID=4000",
                                        ".JLR: record 7000 duplicate UserID=31312216",
                                        ".JLR: record 10001 duplicate UserID=4294967295",
                                        ".JLR: record 10003 duplicate UserID=16777216",
                                        ".JLR: record 10004 duplicate UserID=16777215"}));
}
