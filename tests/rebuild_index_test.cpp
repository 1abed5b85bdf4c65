// The index rebuild: one record per header found with its recipient CRC and offset, headers
// no record can name, and failed writes that must lose neither the old index nor leave half
// of a new one.
#include "format/files.h"
#include "repair/repair.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

// The recipient CRC is taken by the header scan and written by the rebuild.
TEST(RebuildIndex, RecordsCarryRecipientCrcAndRealOffsets) {
    const auto crc_of = [](const std::string &s) { return jam_crc_buf(s.data(), s.size()); };
    const std::pair<void (*)(test_message &), uint32_t> rows[] = {
        {[](test_message &m) { m.to("ABC"); }, crc_of("abc")},
        {[](test_message &m) { m.to(std::string(150, 'n')); }, crc_of(std::string(100, 'n'))},
        {[](test_message &m) { m.to(std::string("ab\0cd", 5)); }, crc_of("ab")},
        {[](test_message &m) { m.to("Big").subfield(2001, std::string(131072, 's')); }, ALL_ONES},
        {[](test_message &m) { m.to("First").subfield(3, "Second"); }, crc_of("second")},
        {[](test_message &m) { m.to("First").subfield(3, ""); }, crc_of("first")},
        {[](test_message &m) {
             m.to("Ok").subfields.push_back({3, 0, "", 0xFFFFFFF0});
         },
         crc_of("ok")},
        {[](test_message &m) { m.no_subfields(); }, ALL_ONES},
        {[](test_message &m) { m.to("Gone").deleted(); }, crc_of("gone")},
    };
    base_builder b;
    for (const auto &r : rows)
        r.first(b.add_message());
    b.index.emplace();
    b.write();
    run_cairnfix({"-p", b.base()});
    const std::string jdx = b.bytes(jam_ext::jdx);
    ASSERT_EQ(jdx.size(), std::size(rows) * IDX_RECORD_SIZE);
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(jdx.substr(i * 8, 8),
                  le32(rows[i].second) + le32(static_cast<uint32_t>(b.header_offset(i))))
            << i;

    // Entries past those the checks cover are indexed too.
    run_context ctx;
    fill_context(ctx, b);
    ctx.msg_table.resize(MAX_MSGS + 1, ctx.msg_table.front());
    ctx.msg_count = MAX_MSGS + 1;
    const run_result c = capture_output([&] { rebuild_index(ctx); });
    EXPECT_EQ(c.out + c.err, "  Rebuilding .JDX (500001 entries)...\n  Wrote 500001 records\n");
    const std::string big = b.bytes(jam_ext::jdx);
    ASSERT_EQ(big.size(), (MAX_MSGS + 1) * IDX_RECORD_SIZE);
    EXPECT_EQ(big.substr(big.size() - 8), jdx.substr(0, 8));
}

// Only the bytes the new index overwrites are kept for the restore: an old index longer
// than the new one (one message) keeps its tail on the disk, a shorter one (three) is cut
// back to its length.
class FailedIndexWrite : public testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(RebuildIndex, FailedIndexWrite, testing::Values(1, 3));

TEST_P(FailedIndexWrite, KeepsTheOldIndex) {
    base_builder b;
    b.fhdr.ModCounter = 9;
    for (int i = 0; i < GetParam(); ++i)
        b.add_message().to("Amy");
    b.index = std::vector<idx_record>{{1, 2}, {3, 4}};
    b.write();
    const std::string old = b.bytes(jam_ext::jdx);
    run_context ctx;
    fill_context(ctx, b);
    const uint64_t total = count_io([&] { rebuild_index(ctx); });
    // A rebuild ends with: old index open and read, index open, write and close, the
    // truncation's open, cut and close, then the fixed header's open, write and close. The
    // index write fails once, or from there on; or the index cannot be opened for writing,
    // and from there on nothing works. Only an index that was opened for writing can need
    // its old content back.
    const std::tuple<uint64_t, bool, bool> rows[] = {
        {7, false, false}, {7, true, true}, {8, true, false}};
    for (const auto &[from_end, sticky, restore_failed] : rows) {
        b.write();
        fill_context(ctx, b);
        io_fail_at(total - from_end, sticky);
        const run_result c = capture_output([&] { rebuild_index(ctx); });
        io_fail_at(0, false);
        EXPECT_EQ(b.bytes(jam_ext::jdx), old);
        EXPECT_TRUE(contains(c.err, "  ERROR: write failed on " + ctx.jdx_path));
        EXPECT_EQ(contains(c.err, "  ERROR: restore of the old index failed on "), restore_failed);
        // The fixed header is written all the same, unless every operation fails.
        EXPECT_EQ(b.get_u32(jam_ext::jhr, 8), sticky ? 9u : 10u);
    }
    // An old index that cannot be read ends the run before anything is written.
    b.write();
    fill_context(ctx, b);
    io_fail_at(total - 9, false);
    capture_output([&] { EXPECT_THROW(rebuild_index(ctx), read_error); });
    io_fail_at(0, false);
    EXPECT_EQ(b.bytes(jam_ext::jdx) + le32(b.get_u32(jam_ext::jhr, 8)), old + le32(9));
}

TEST(RebuildIndex, NewIndexThatCannotBeFinishedIsRemoved) {
    base_builder b;
    for (int i = 0; i < 3; ++i)
        b.add_message();
    b.missing(jam_ext::jdx);
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    const uint64_t total = count_io([&] { rebuild_index(ctx); });
    // The new index is opened, written and closed, then the fixed header is written: the
    // write or the close of the new index fails, as on a full disk.
    for (const uint64_t from_end : {4u, 3u}) {
        b.remove(jam_ext::jdx);
        io_fail_at(total - from_end, false);
        const run_result c = capture_output([&] { rebuild_index(ctx); });
        io_fail_at(0, false);
        EXPECT_FALSE(file_exists(ctx.jdx_path)) << from_end;
        EXPECT_EQ(c.err, "  ERROR: write failed on " + ctx.jdx_path + ": Input/output error\n");
    }
    // The next run still finds the index missing.
    EXPECT_EQ(issue_texts(run_cairnfix({b.base()}).out),
              std::vector<std::string>{".JDX: file missing"});
}

TEST(RebuildIndex, HeaderBeyondFourGibKeepsTheIndexAsItIs) {
    // A record's HdrOffset has 32 bits: a header at 4 GiB or beyond cannot be named, so
    // nothing is written, neither the index nor the fixed header, and one line says why.
    for (const bool index_exists : {true, false}) {
        base_builder b;
        b.add_message();
        b.add_message();
        if (!index_exists)
            b.missing(jam_ext::jdx);
        b.write();
        const std::string jhr = b.bytes(jam_ext::jhr), jdx = b.bytes(jam_ext::jdx);
        run_context ctx;
        fill_context(ctx, b);
        ctx.msg_table[1].hdr_offset = int64_t{1} << 32;
        const run_result c = capture_output([&] { rebuild_index(ctx); });
        EXPECT_EQ(c.out + c.err, "  Rebuilding .JDX (2 entries)...\n"
                                 "  ERROR: header at .JHR offset 4294967296 is beyond the reach "
                                 "of a .JDX record; index not rebuilt\n");
        EXPECT_EQ(b.bytes(jam_ext::jhr), jhr);
        EXPECT_EQ(file_exists(ctx.jdx_path), index_exists);
        EXPECT_EQ(b.bytes(jam_ext::jdx), jdx);
    }
}
