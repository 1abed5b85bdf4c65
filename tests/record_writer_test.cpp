// Changed records written back a page at a time: which records share one write, the bytes
// they leave, and what a failed write leaves and reports.
#include "format/files.h"
#include "repair/repair.h"
#include "support/repair_context.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::size_t RECORD = 76;

std::string record_bytes(int64_t offset) {
    return std::string(RECORD, char('A' + offset % 26));
}

} // namespace

TEST(RecordWriter, RecordsOfOnePageShareOneWrite) {
    // Each case lists the writes expected, each with the records it carries; the records
    // are staged in that order. Offsets are of 76-byte records in a file of three pages.
    const std::vector<std::vector<std::vector<int64_t>>> cases = {
        {{100, 400, 3900}},            // three records in page 0
        {{100}, {4050}, {5000, 8000}}, // one across the first boundary is written alone
        {{100, 4020}, {4100, 8100}},   // ending on a page's last byte stays inside it
        {{100}, {5000}, {20}, {300}},  // out of file order: alone, and 100 is not undone
    };
    const base_builder dir;
    const std::string path = dir.dir() + "/records";
    std::string original(3 * 4096, '\0');
    for (std::size_t i = 0; i < original.size(); ++i)
        original[i] = char('a' + i % 23);

    for (std::size_t n = 0; n < cases.size(); ++n) {
        const auto &writes = cases[n];
        // Write k fails (0: none does): its records stay old, the others are new.
        for (std::size_t failing = 0; failing <= writes.size(); ++failing) {
            const std::string what =
                "case " + std::to_string(n) + ", write " + std::to_string(failing) + " failing";
            write_file(path, original);
            std::string expected = original;
            int64_t records = 0, counted = 0;
            for (std::size_t w = 0; w < writes.size(); ++w)
                for (const int64_t offset : writes[w]) {
                    ++records;
                    if (w + 1 != failing) {
                        ++counted;
                        expected.replace(static_cast<std::size_t>(offset), RECORD,
                                         record_bytes(offset));
                    }
                }

            jam_file f;
            ASSERT_TRUE(f.open(path, "r+b"));
            window_reader window(f, 1 << 20);
            ASSERT_NE(window.at(0, original.size()), nullptr); // no read while writing
            record_writer out(f, window);
            io_fail_at(failing, false);
            const run_result c = capture_output([&] {
                for (const auto &write : writes)
                    for (const int64_t offset : write) {
                        const std::string bytes = record_bytes(offset);
                        out.stage(offset, reinterpret_cast<const unsigned char *>(bytes.data()),
                                  RECORD);
                    }
                out.flush();
            });
            const uint64_t operations = io_op_count();
            io_fail_at(0, false);
            ASSERT_TRUE(f.close());

            EXPECT_EQ(operations, writes.size()) << what;
            EXPECT_EQ(out.written(), counted) << what << " of " << records;
            EXPECT_EQ(c.err, failing > 0
                                 ? "  ERROR: write failed on " + path + ": Input/output error\n"
                                 : "")
                << what;
            EXPECT_TRUE(read_file(path) == expected) << what;
        }
    }
}

TEST(RecordWriter, StaleCrcsOfManyHeadersAreFixedAndCountedAsWritten) {
    // Sixty headers over several pages, every MSGIDcrc stale.
    base_builder b;
    for (int i = 0; i < 60; ++i)
        b.add_message().msgid("2:5020/1 " + std::to_string(i));
    b.write();
    const std::string fixed = b.bytes(jam_ext::jhr);
    for (test_message &m : b.messages)
        m.hdr.MSGIDcrc = 1;
    b.write();
    const std::string stale = b.bytes(jam_ext::jhr);
    run_context ctx;
    fill_context(ctx, b);

    const uint64_t total = count_io([&] { fix_id_crcs(ctx); });
    EXPECT_EQ(b.bytes(jam_ext::jhr), fixed);
    // Besides the open, the one read and the close: at most one write per page touched and
    // one per record across a boundary.
    const uint64_t pages = (fixed.size() - 1) / 4096 + 1;
    EXPECT_LE(total - 3, 2 * pages);

    // Whichever write fails, every header is whole, old or new, and the count printed is that
    // of the headers that are new.
    for (uint64_t failing = 3; failing < total; ++failing) {
        b.set_bytes(jam_ext::jhr, stale);
        io_fail_at(failing, false);
        const run_result c = capture_output([&] { fix_id_crcs(ctx); });
        io_fail_at(0, false);
        const std::string now = b.bytes(jam_ext::jhr);
        int new_headers = 0;
        for (std::size_t i = 0; i < b.messages.size(); ++i) {
            const auto at = static_cast<std::size_t>(b.header_offset(i));
            const std::string header = now.substr(at, MSG_HEADER_SIZE);
            EXPECT_TRUE(header == stale.substr(at, MSG_HEADER_SIZE) ||
                        header == fixed.substr(at, MSG_HEADER_SIZE))
                << failing << " " << i;
            new_headers += header == fixed.substr(at, MSG_HEADER_SIZE) ? 1 : 0;
        }
        EXPECT_LT(new_headers, 60) << failing;
        EXPECT_TRUE(contains(c.out, "  Fixed " + std::to_string(new_headers) + " MSGID/REPLYID"))
            << failing;
        EXPECT_EQ(c.err, "  ERROR: write failed on " + ctx.jhr_path + ": Input/output error\n")
            << failing;
    }
}
