// The index rebuild: one record per header found with its recipient CRC and offset, and
// failed writes that must not lose the old index.
#include "format/files.h"
#include "repair/repair.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

TEST(RebuildIndex, RecordsCarryRecipientCrcAndRealOffsets) {
    const auto crc_of = [](const std::string &s) { return jam_crc_buf(s.data(), s.size()); };
    const std::pair<void (*)(test_message &), uint32_t> rows[] = {
        {[](test_message &m) { m.to("ABC"); }, crc_of("abc")},
        {[](test_message &m) { m.to(std::string(150, 'n')); }, crc_of(std::string(100, 'n'))},
        {[](test_message &m) { m.to(std::string("ab\0cd", 5)); }, crc_of("ab")},
        {[](test_message &m) { m.subfield_len = 131072; }, ALL_ONES},
        {[](test_message &m) { m.to("First").subfield(3, "Second"); }, crc_of("second")},
        {[](test_message &m) { m.to("First").subfield(3, ""); }, crc_of("first")},
        {[](test_message &m) {
             m.to("Ok").subfields.push_back({3, 0, "", 0xFFFFFFF0});
         },
         crc_of("ok")},
        {[](test_message &m) { m.hdr.Signature = 0x204D414A; }, ALL_ONES},
    };
    base_builder b;
    for (const auto &r : rows)
        r.first(b.add_message());
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    // Entries past those the checks cover are indexed too; they repeat the last header here.
    ctx.msg_table.resize(MAX_MSGS + 1, ctx.msg_table.back());
    ctx.msg_count = MAX_MSGS + 1;

    const run_result c = capture_output([&] { rebuild_index(ctx); });
    EXPECT_EQ(c.out + c.err, "  Rebuilding .JDX (500001 entries)...\n  Wrote 500001 records\n");
    const std::string jdx = b.bytes(jam_ext::jdx);
    ASSERT_EQ(jdx.size(), (MAX_MSGS + 1) * IDX_RECORD_SIZE);
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(jdx.substr(i * 8, 8), le32(rows[i].second) + le32(b.header_offset(i))) << i;
    EXPECT_EQ(jdx.substr(jdx.size() - 8), jdx.substr(8 * (std::size(rows) - 1), 8));
}

TEST(RebuildIndex, FailedWritesKeepTheOldIndex) {
    base_builder b;
    b.fhdr.ModCounter = 9;
    b.add_message().to("Amy");
    b.index = std::vector<idx_record>{{1, 2}, {3, 4}};
    b.write();
    const std::string old = b.bytes(jam_ext::jdx);
    run_context ctx;
    fill_context(ctx, b);
    const uint64_t total = count_io([&] { rebuild_index(ctx); });
    // A rebuild ends with: old index open and read, index open, write, close and truncate,
    // then the fixed header's open, write and close. The index write fails once, then from
    // there on.
    for (const bool sticky : {false, true}) {
        b.write();
        fill_context(ctx, b);
        io_fail_at(total - 5, sticky);
        const run_result c = capture_output([&] { rebuild_index(ctx); });
        io_fail_at(0, false);
        EXPECT_EQ(b.bytes(jam_ext::jdx), old);
        EXPECT_TRUE(contains(c.err, "  ERROR: write failed on " + ctx.jdx_path));
        EXPECT_EQ(contains(c.err, "  ERROR: restore of the old index failed on "), sticky);
        // The fixed header is written all the same, unless every operation fails.
        EXPECT_EQ(b.get_u32(jam_ext::jhr, 8), sticky ? 9u : 10u);
    }
    // An old index that cannot be read ends the run before anything is written.
    b.write();
    fill_context(ctx, b);
    io_fail_at(total - 7, false);
    capture_output([&] { EXPECT_THROW(rebuild_index(ctx), read_error); });
    io_fail_at(0, false);
    EXPECT_EQ(b.bytes(jam_ext::jdx) + le32(b.get_u32(jam_ext::jhr, 8)), old + le32(9));
}
