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
