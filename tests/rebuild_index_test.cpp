// The index rebuild (records, recipient CRCs, failed writes that must not lose the old
// index) and the creation of missing .JDT and .JLR files.
#include "format/files.h"
#include "repair/repair.h"
#include "support/base_builder.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

namespace {

uint32_t crc_of(const std::string &s) {
    return jam_crc_buf(s.data(), s.size());
}

std::string index_bytes(const std::vector<idx_record> &records) {
    std::string out;
    for (const auto &r : records) {
        unsigned char raw[IDX_RECORD_SIZE];
        encode_idx_record(r, raw);
        out.append(reinterpret_cast<const char *>(raw), sizeof raw);
    }
    return out;
}

uint32_t mod_counter_on_disk(const base_builder &b) {
    return b.get_u32(jam_ext::jhr, 8);
}

} // namespace

TEST(RebuildIndex, RecordsCarryRecipientCrcAndRealOffsets) {
    struct row {
        const char *what;
        void (*make)(test_message &);
        uint32_t user_crc;
    };
    const row rows[] = {
        {"upper case", [](test_message &m) { m.to("ABC"); }, crc_of("abc")},
        {"lower case", [](test_message &m) { m.to("abc"); }, crc_of("abc")},
        {"150 bytes", [](test_message &m) { m.to(std::string(150, 'n')); },
         crc_of(std::string(100, 'n'))},
        {"NUL inside", [](test_message &m) { m.to(std::string("ab\0cd", 5)); }, crc_of("ab")},
        {"NUL first", [](test_message &m) { m.to(std::string("\0ab", 3)); }, crc_of("")},
        {"no recipient", [](test_message &m) { m.no_subfields().from("Al"); }, ALL_ONES},
        {"no subfields", [](test_message &m) { m.no_subfields(); }, ALL_ONES},
        {"SubfieldLen 131072", [](test_message &m) { m.subfield_len = 131072; }, ALL_ONES},
        {"second recipient", [](test_message &m) { m.to("First").subfield(3, "Second"); },
         crc_of("second")},
        {"empty second", [](test_message &m) { m.to("First").subfield(3, ""); }, crc_of("first")},
        {"HiID set", [](test_message &m) { m.no_subfields().subfield(3, "Hi", 1); }, crc_of("hi")},
        {"overrun after name",
         [](test_message &m) {
             m.to("Ok").subfields.push_back({3, 0, "zz", 0xFFFFFFF0u});
         },
         crc_of("ok")},
        {"deleted", [](test_message &m) { m.to("Dora").deleted(); }, crc_of("dora")},
        {"bad signature", [](test_message &m) { m.hdr.Signature = 0x204D414A; }, ALL_ONES},
    };
    base_builder b;
    b.fhdr.ModCounter = 41;
    for (const row &r : rows)
        r.make(b.add_message());
    b.write();
    run_context ctx;
    fill_context(ctx, b);

    const captured c = capture_output([&] { rebuild_index(ctx); });
    EXPECT_EQ(c.out, "  Rebuilding .JDX (14 entries)...\n  Wrote 14 records\n");
    EXPECT_EQ(c.err, "");
    const std::string jdx = b.bytes(jam_ext::jdx);
    ASSERT_EQ(jdx.size(), std::size(rows) * IDX_RECORD_SIZE);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].what);
        const auto *p = reinterpret_cast<const unsigned char *>(jdx.data()) + i * IDX_RECORD_SIZE;
        EXPECT_EQ(get_u32le(p), rows[i].user_crc);
        EXPECT_EQ(get_u32le(p + 4), static_cast<uint32_t>(b.header_offset(i)));
    }
    EXPECT_EQ(mod_counter_on_disk(b), 42u);
    EXPECT_EQ(ctx.fhdr.ModCounter, 42u);
}

TEST(RebuildIndex, IndexesHeadersBeyondThoseTheChecksCover) {
    base_builder b;
    b.add_message().to("Zed");
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    // Every entry names the one real header: enough to see that none is left out.
    ctx.msg_table.resize(MAX_MSGS + 1, ctx.msg_table[0]);
    ctx.msg_count = static_cast<int64_t>(ctx.msg_table.size());

    const captured c = capture_output([&] { rebuild_index(ctx); });
    EXPECT_EQ(c.out, "  Rebuilding .JDX (500001 entries)...\n  Wrote 500001 records\n");
    const std::string jdx = b.bytes(jam_ext::jdx);
    ASSERT_EQ(jdx.size(), (MAX_MSGS + 1) * IDX_RECORD_SIZE);
    EXPECT_EQ(jdx.substr(jdx.size() - IDX_RECORD_SIZE), index_bytes({b.derived_index(0)}));
}

TEST(RebuildIndex, FailedWritesKeepTheOldIndex) {
    // Counted operations of a rebuild end with: old index open and read, index open, write,
    // close and truncate, then the fixed header's open, write and close (0 from the end).
    struct row {
        const char *what;
        uint64_t from_end;
        bool sticky;
        bool header_written;
        const char *err_start;
    };
    const row rows[] = {
        {"index write", 5, false, true, "  ERROR: write failed on "},
        {"index close", 4, false, true, "  ERROR: write failed on "},
        {"index open", 6, false, true, "  ERROR: write failed on "},
        {"header file open", 0, false, true, "  ERROR: cannot open "}, // the first operation
        {"index write and all after", 5, true, false, "  ERROR: write failed on "},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        base_builder b;
        b.fhdr.ModCounter = 9;
        b.add_message().to("Amy");
        b.add_message().to("Ben");
        b.index = std::vector<idx_record>{{1, 2}, {3, 4}, {5, 6}};
        b.write();
        const std::string old = b.bytes(jam_ext::jdx);
        run_context ctx;
        fill_context(ctx, b);
        const uint64_t total = count_io([&] { rebuild_index(ctx); });
        b.write();
        fill_context(ctx, b);

        io_fail_at(r.from_end == 0 ? 1 : total - r.from_end, r.sticky);
        const captured c = capture_output([&] { rebuild_index(ctx); });
        io_fail_at(0, false);

        EXPECT_EQ(c.out, "  Rebuilding .JDX (2 entries)...\n");
        EXPECT_EQ(c.err.rfind(r.err_start, 0), 0u) << c.err;
        EXPECT_EQ(b.bytes(jam_ext::jdx), old);
        if (r.header_written) {
            EXPECT_EQ(mod_counter_on_disk(b), 10u); // the fixed header is written all the same
        } else {
            EXPECT_TRUE(contains(c.err, "  ERROR: restore of the old index failed on "));
            EXPECT_TRUE(contains(c.err, "  ERROR: cannot open " + ctx.jhr_path));
        }
    }

    // An old index that cannot be read ends the run before anything is written.
    base_builder b;
    b.add_message();
    b.index = std::vector<idx_record>{{1, 2}};
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    const uint64_t total = count_io([&] { rebuild_index(ctx); });
    b.write();
    fill_context(ctx, b);
    io_fail_at(total - 7, false);
    capture_output([&] { EXPECT_THROW(rebuild_index(ctx), read_error); });
    io_fail_at(0, false);
    EXPECT_EQ(b.bytes(jam_ext::jdx), std::string(le32(1) + le32(2)));
}

TEST(RebuildIndex, FileThatCannotBeCreatedIsReported) {
    base_builder b;
    b.missing(jam_ext::jdt).missing(jam_ext::jlr);
    b.add_message();
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    ctx.jdt_path = b.dir() + "/no-such-dir/base.jdt";
    const captured c = capture_output([&] { create_missing_files(ctx); });
    EXPECT_EQ(c.out, "  Creating empty .JDT\n  Creating empty .JLR\n");
    EXPECT_EQ(c.err, "  WARN: cannot create " + ctx.jdt_path + ": No such file or directory\n");
    EXPECT_EQ(fsize(ctx.jlr_path), 0);
}
