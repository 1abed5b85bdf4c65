// The in-place repairs: fixed-header fields, stray and trailing bytes, last-read records,
// dangling reply links and stale MSGID/REPLYID CRCs, with the exact bytes they leave.
#include "format/files.h"
#include "repair/repair.h"
#include "support/base_builder.h"
#include "support/repair_context.h"

#include <gtest/gtest.h>

namespace {

void patch_u32(std::string &bytes, std::size_t offset, uint32_t value) {
    put_u32le(reinterpret_cast<unsigned char *>(bytes.data()) + offset, value);
}

std::string lastread_bytes(const std::vector<lastread_record> &records) {
    std::string out;
    for (const auto &r : records) {
        unsigned char raw[LASTREAD_RECORD_SIZE];
        encode_lastread_record(r, raw);
        out.append(reinterpret_cast<const char *>(raw), sizeof raw);
    }
    return out;
}

} // namespace

TEST(InPlace, FixedHeaderFieldsAreWrittenOnceWhenChanged) {
    struct row {
        const char *what;
        bool bad_sig, base_zero, wrong_active, table_valid;
        int64_t walk_stop;
        const char *lines;
    };
    const row rows[] = {
        {"all three", true, true, true, true, -1,
         "  Fixing .JHR signature\n  Fixing BaseMsgNum 0 -> 1\n  Fixing ActiveMsgs 5 -> 2\n"},
        {"signature and count", true, false, true, true, -1,
         "  Fixing .JHR signature\n  Fixing ActiveMsgs 5 -> 2\n"},
        {"count after a stopped walk", false, false, true, true, 1100,
         "  Not fixing ActiveMsgs: header walk stopped at offset 1100\n"},
        {"signature after a stopped walk", true, false, true, true, 1100,
         "  Fixing .JHR signature\n  Not fixing ActiveMsgs: header walk stopped at offset 1100\n"},
        {"count without a table", false, false, true, false, -1, ""},
        {"nothing wrong", false, false, false, true, -1, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        base_builder b;
        b.fhdr.ModCounter = 7;
        if (r.bad_sig)
            b.fhdr.Signature = 0x204D414A;
        if (r.base_zero)
            b.fhdr.BaseMsgNum = 0;
        if (r.wrong_active)
            b.active_msgs = 5;
        b.add_message();
        b.add_message();
        b.write();
        run_context ctx;
        fill_context(ctx, b);
        ctx.table_valid = r.table_valid;
        ctx.walk_stop_offset = r.walk_stop;
        std::string expected = b.bytes(jam_ext::jhr);

        const captured c = capture_output([&] { repair_in_place(ctx); });
        EXPECT_EQ(c.out, std::string("\n=== Repairs ===\n") + r.lines);
        EXPECT_EQ(c.err, "");
        const bool fixes_count = r.wrong_active && r.table_valid && r.walk_stop < 0;
        if (r.bad_sig || r.base_zero || fixes_count) {
            patch_u32(expected, 0, JAM_SIGNATURE);
            patch_u32(expected, 8, 8);
            if (fixes_count)
                patch_u32(expected, 12, 2);
            if (r.base_zero)
                patch_u32(expected, 20, 1);
        }
        EXPECT_EQ(b.bytes(jam_ext::jhr), expected);
    }
}

TEST(InPlace, CutsTrailingAndStrayBytesAndReportsFailedTruncations) {
    // Counted operations in order: .JHR, .JDX and .JLR truncation, then the .JLR repair.
    for (uint64_t failing = 0; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        base_builder b;
        b.add_message();
        b.lastread = {{1, 1, 10, 4}, {2, 2, 20, 3}};
        b.write();
        const std::string jhr = b.bytes(jam_ext::jhr), jlr = b.bytes(jam_ext::jlr);
        const std::string jdx(1003, '\x5A');
        b.append(jam_ext::jhr, "\r\n");
        b.set_bytes(jam_ext::jdx, jdx);
        b.append(jam_ext::jlr, std::string(8, '\x11'));
        run_context ctx;
        fill_context(ctx, b);
        ctx.report.trailing = 2;
        const int64_t jhr_size = ctx.jhr_size;

        io_fail_at(failing, false);
        const captured c = capture_output([&] { repair_in_place(ctx); });
        io_fail_at(0, false);

        const std::string size = std::to_string(jhr_size), cut = std::to_string(jhr_size - 2);
        EXPECT_EQ(c.out, "\n=== Repairs ===\n"
                         "  Removing 2 trailing byte(s) from .JHR (" +
                             size + " -> " + cut +
                             " bytes)\n"
                             "  Truncating .JDX 1003 -> 1000 bytes\n"
                             "  Truncating .JLR 40 -> 32 bytes\n"
                             "  JLR[0]: HighReadMsg 4 -> 10\n"
                             "  JLR[1]: HighReadMsg 3 -> 20\n"
                             "  Fixed 2 JLR HighReadMsg entries\n");
        const char *warn[] = {"", "  WARN: truncate .JHR: Input/output error\n",
                              "  WARN: truncate .JDX: Input/output error\n",
                              "  WARN: truncate .JLR: Input/output error\n"};
        EXPECT_EQ(c.err, warn[failing]);
        EXPECT_EQ(ctx.jhr_size, failing == 1 ? jhr_size : jhr_size - 2);
        EXPECT_EQ(b.bytes(jam_ext::jhr), failing == 1 ? jhr + "\r\n" : jhr);
        EXPECT_EQ(b.bytes(jam_ext::jdx), failing == 2 ? jdx : jdx.substr(0, 1000));
        EXPECT_EQ(ctx.jdx_size, 1003); // measured sizes stay for the rebuild decision
        const std::string fixed_jlr = lastread_bytes({{1, 1, 10, 10}, {2, 2, 20, 20}});
        EXPECT_EQ(b.bytes(jam_ext::jlr),
                  failing == 3 ? fixed_jlr + std::string(8, '\x11') : fixed_jlr);
    }
}

TEST(InPlace, LastReadOfEightBytesIsEmptiedAndNotExamined) {
    base_builder b;
    b.add_message();
    b.write();
    b.set_bytes(jam_ext::jlr, std::string(8, '\0'));
    run_context ctx;
    fill_context(ctx, b);
    const captured c = capture_output([&] { repair_in_place(ctx); });
    EXPECT_EQ(c.out, "\n=== Repairs ===\n  Truncating .JLR 8 -> 0 bytes\n");
    EXPECT_EQ(fsize(b.path(jam_ext::jlr)), 0);
}

TEST(InPlace, HighReadMsgRaisedOnlyWhereBelowLastRead) {
    base_builder b;
    b.add_message();
    b.lastread = {
        {1, 1, 10, 5},               // raised
        {ALL_ONES, ALL_ONES, 10, 5}, // deleted slot: left alone
        {ALL_ONES, 7, 10, 5},        // only one field all-ones: a live record, raised
        {2, 2, 10, 10},              // equal: fine
        {3, 3, 1, ALL_ONES},         // unsigned comparison: fine
    };
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    const captured c = capture_output([&] { fix_high_read(ctx); });
    EXPECT_EQ(c.out, "  JLR[0]: HighReadMsg 5 -> 10\n"
                     "  JLR[2]: HighReadMsg 5 -> 10\n"
                     "  Fixed 2 JLR HighReadMsg entries\n");
    EXPECT_EQ(b.bytes(jam_ext::jlr), lastread_bytes({{1, 1, 10, 10},
                                                     {ALL_ONES, ALL_ONES, 10, 5},
                                                     {ALL_ONES, 7, 10, 10},
                                                     {2, 2, 10, 10},
                                                     {3, 3, 1, ALL_ONES}}));
}

TEST(InPlace, DanglingLinksZeroedAgainstCorrectedBase) {
    base_builder b;
    b.fhdr.BaseMsgNum = 0; // corrected to 1 first: numbers 1..10 exist
    for (int i = 0; i < 10; ++i)
        b.add_message();
    b.messages[0].links(10, 11, 0);
    b.messages[1].links(99, 0, 0).deleted();
    b.messages[2].links(50, 0, 60);
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    ctx.options.extended = true;
    ctx.report.issue_count = ctx.report.raised_count = 5;
    ctx.report.no_such_message_count = 3;
    std::string expected = b.bytes(jam_ext::jhr);

    const captured c = capture_output([&] { repair_in_place(ctx); });
    EXPECT_EQ(c.out, "\n=== Repairs ===\n"
                     "  Fixing BaseMsgNum 0 -> 1\n"
                     "  Msg[0]: zero dangling Reply1st=11\n"
                     "  Msg[2]: zero dangling ReplyTo=50\n"
                     "  Msg[2]: zero dangling ReplyNext=60\n"
                     "  Fixed 2 reply-chain entries\n");
    // Two headers rewritten for three link issues: the count drops by two, not three.
    EXPECT_EQ(ctx.report.issue_count, 3);
    patch_u32(expected, 8, 1);
    patch_u32(expected, 20, 1);
    patch_u32(expected, static_cast<std::size_t>(b.header_offset(0)) + 28, 0);
    patch_u32(expected, static_cast<std::size_t>(b.header_offset(2)) + 24, 0);
    patch_u32(expected, static_cast<std::size_t>(b.header_offset(2)) + 32, 0);
    EXPECT_EQ(b.bytes(jam_ext::jhr), expected);
}

TEST(InPlace, IssueCountNeverDropsBelowIssuesThatAreNotLinks) {
    struct row {
        int messages, links_each, issue_count, raised, no_such;
        int32_t expected;
    };
    const row rows[] = {
        {3, 1, 3, 3, 3, 0},            // only link issues: clean afterwards
        {3, 1, 4, 4, 3, 1},            // one other issue stays
        {1, 2, 2, 2, 2, 1},            // one header, two links: lowered by one
        {600, 1, 512, 600, 600, 0},    // full list, all of them links
        {600, 1, 512, 1100, 600, 500}, // full list, 500 others (some dropped by the cap)
        {2, 1, 512, 1100, 2, 512},     // the cap dropped more than the fix removes
        {2, 1, 512, 600, 100, 510},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.messages);
        base_builder b;
        for (int i = 0; i < r.messages; ++i)
            b.add_message().links(90000, 0, r.links_each == 2 ? 90001 : 0);
        b.write();
        run_context ctx;
        fill_context(ctx, b);
        ctx.report.issue_count = r.issue_count;
        ctx.report.raised_count = r.raised;
        ctx.report.no_such_message_count = r.no_such;
        capture_output([&] { fix_reply_links(ctx); });
        EXPECT_EQ(ctx.report.issue_count, r.expected);
    }
}

TEST(InPlace, FailedWritesAreReportedAndNotCounted) {
    // Each repair below opens its file, reads one record, writes it and closes: operation 3
    // is the write, 4 the close. Neither the "Fixed" line nor the count may follow.
    for (uint64_t failing : {3, 4}) {
        SCOPED_TRACE(failing);
        base_builder b;
        b.add_message().links(77, 0, 0);
        b.lastread = {{1, 1, 10, 5}};
        b.write();
        run_context ctx;
        fill_context(ctx, b);
        ctx.report.issue_count = ctx.report.raised_count = ctx.report.no_such_message_count = 1;
        const std::string jhr = b.bytes(jam_ext::jhr);

        io_fail_at(failing, false);
        captured c = capture_output([&] { fix_high_read(ctx); });
        EXPECT_EQ(c.out, "  JLR[0]: HighReadMsg 5 -> 10\n");
        EXPECT_EQ(c.err, "  ERROR: write failed on " + ctx.jlr_path + ": Input/output error\n");

        io_fail_at(failing, false);
        c = capture_output([&] { fix_reply_links(ctx); });
        io_fail_at(0, false);
        EXPECT_EQ(c.out, "  Msg[0]: zero dangling ReplyTo=77\n");
        EXPECT_EQ(c.err, "  ERROR: write failed on " + ctx.jhr_path + ": Input/output error\n");
        EXPECT_EQ(ctx.report.issue_count, 1);
        if (failing == 3) {
            EXPECT_EQ(b.bytes(jam_ext::jhr), jhr);
        }
    }
}

TEST(InPlace, StoppedWalkKeepsLinksButFixesCrcs) {
    base_builder b;
    b.add_message().links(40, 0, 0);
    b.add_message().links(0, 41, 42).msgid("1:2/3 0001");
    b.messages[1].hdr.MSGIDcrc = 0x12345678;
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    ctx.options.extended = true;
    ctx.walk_stop_offset = 1500;
    ctx.report.issue_count = ctx.report.raised_count = ctx.report.no_such_message_count = 3;
    std::string expected = b.bytes(jam_ext::jhr);

    const captured c = capture_output([&] { repair_in_place(ctx); });
    const uint32_t crc = ctx.msg_table[1].msgid_crc_calc;
    char fixed_line[80];
    std::snprintf(fixed_line, sizeof fixed_line, "  Msg[1]: MSGIDcrc 0x12345678 -> 0x%08X\n", crc);
    EXPECT_EQ(c.out,
              std::string("\n=== Repairs ===\n"
                          "  Not zeroing reply links: header walk stopped at offset 1500\n") +
                  fixed_line + "  Fixed 1 MSGID/REPLYID CRCs\n");
    EXPECT_EQ(ctx.report.issue_count, 3);
    patch_u32(expected, static_cast<std::size_t>(b.header_offset(1)) + 16, crc);
    EXPECT_EQ(b.bytes(jam_ext::jhr), expected);
}

TEST(InPlace, StaleIdCrcsRewrittenOncePerHeader) {
    base_builder b;
    b.add_message().msgid("1:2/3 aaaa");
    b.messages[0].hdr.MSGIDcrc = 1;
    b.add_message().msgid("1:2/3 bbbb");
    b.messages[1].hdr.MSGIDcrc = ALL_ONES; // no CRC stored: stays so
    b.add_message().msgid("1:2/3 cccc").replyid("1:2/3 aaaa");
    b.messages[2].hdr.MSGIDcrc = 2;
    b.messages[2].hdr.REPLYcrc = 3;
    b.add_message().msgid("1:2/3 dddd").deleted();
    b.messages[3].hdr.MSGIDcrc = 4;
    b.add_message().replyid("1:2/3 eeee"); // correct already
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    std::string expected = b.bytes(jam_ext::jhr);

    const captured c = capture_output([&] { fix_id_crcs(ctx); });
    const uint32_t a = jam_crc_buf("1:2/3 aaaa", 10), cc = jam_crc_buf("1:2/3 cccc", 10);
    char lines[300];
    std::snprintf(lines, sizeof lines,
                  "  Msg[0]: MSGIDcrc 0x00000001 -> 0x%08X\n"
                  "  Msg[2]: MSGIDcrc 0x00000002 -> 0x%08X\n"
                  "  Msg[2]: REPLYcrc 0x00000003 -> 0x%08X\n"
                  "  Fixed 2 MSGID/REPLYID CRCs\n",
                  a, cc, a);
    EXPECT_EQ(c.out, lines);
    patch_u32(expected, static_cast<std::size_t>(b.header_offset(0)) + 16, a);
    patch_u32(expected, static_cast<std::size_t>(b.header_offset(2)) + 16, cc);
    patch_u32(expected, static_cast<std::size_t>(b.header_offset(2)) + 20, a);
    EXPECT_EQ(b.bytes(jam_ext::jhr), expected);
}
