// The repair step as a whole: which repairs run for which options and analysis results, and
// a complete repair run through the binary, with the exact bytes it leaves, followed by a
// second, clean analysis.
#include "driver/driver.h"
#include "format/files.h"
#include "repair/repair.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

TEST(RepairPhase, DecisionTable) {
    const std::string rebuild = "\n=== Rebuilding .JDX ===\n", create = "  Creating empty .JDT\n",
                      one = "  Rebuilding .JDX (1 entries)...\n  Wrote 1 records\n";
    enum jdx { present, empty, missing, no_whole_record };
    // -r, -p, messages, the index, where the header walk stopped, what is printed
    const std::tuple<bool, bool, int, jdx, int64_t, std::string> rows[] = {
        // -r alone rebuilds an index only when it is missing, or empty beside messages
        {true, false, 1, present, -1, create},
        {true, false, 1, missing, -1, rebuild + one + create},
        {true, false, 1, empty, -1, rebuild + one + create},
        {true, false, 0, empty, -1, create},
        {true, false, 1, no_whole_record, -1, rebuild + one + create}, // empty once cut
        // an index written before the walk stopped is kept; one that holds no record is
        // rebuilt from the partial walk, as a missing one is
        {false, true, 1, present, 1100,
         rebuild + "  Keeping .JDX: header walk stopped at offset 1100\n"},
        {false, true, 1, missing, 1100, rebuild + one}, // and -p creates no file
        {false, true, 1, no_whole_record, 1100, rebuild + one},
    };
    for (const auto &[r, p, messages, index, walk_stop, out] : rows) {
        SCOPED_TRACE(out);
        base_builder b;
        b.upper(jam_ext::jhr).missing(jam_ext::jdt); // created under the lower-case name
        for (int i = 0; i < messages; ++i)
            b.add_message();
        if (index == missing)
            b.missing(jam_ext::jdx);
        if (index == empty || index == no_whole_record)
            b.index.emplace();
        b.write();
        if (index == no_whole_record)
            b.append(jam_ext::jdx, "1234567");
        const std::string jhr = b.bytes(jam_ext::jhr), jdx = b.bytes(jam_ext::jdx);
        run_context ctx;
        fill_context(ctx, b);
        ctx.options.repair = r;
        ctx.options.pack = p;
        ctx.walk_stop_offset = walk_stop;
        const run_result c = capture_output([&] { run_repairs(ctx); });
        EXPECT_EQ(c.out + c.err, out);
        EXPECT_TRUE(contains(out, "Wrote") ||
                    (b.bytes(jam_ext::jhr) == jhr && b.bytes(jam_ext::jdx) == jdx));
        EXPECT_EQ(file_exists(b.base() + ".jdt"), r);
    }
}

TEST(RepairPhase, RepairRunLeavesNothingForASecondRun) {
    base_builder b;
    b.fhdr.ModCounter = 100;
    b.fhdr.BaseMsgNum = 0; // corrected first: then 3 names the deleted message, and 40 none
    b.active_msgs = 9;
    b.add_message().links(0, 2, 40).msgid("2:5020/1 1").replyid("x").hdr.MSGIDcrc = 1;
    b.messages[0].hdr.REPLYcrc = 2; // two stale CRCs in one header
    b.add_message().links(1, 0, 3).msgid("2:5020/1 2").hdr.MSGIDcrc = ALL_ONES; // none kept
    b.add_message().links(77, 0, 0).msgid("d").deleted().hdr.MSGIDcrc = 4;      // left alone
    // raised; a deleted slot; HighReadMsg compared unsigned
    b.lastread = {{1, 1, 2, 1}, {ALL_ONES, ALL_ONES, 2, 1}, {3, 3, 1, ALL_ONES}};
    b.write();
    std::string jhr = b.bytes(jam_ext::jhr), jlr = b.bytes(jam_ext::jlr);
    b.append(jam_ext::jhr, "\r\n");
    b.append(jam_ext::jdx, "xyz");
    b.append(jam_ext::jlr, "!");

    const run_result first = run_cairnfix({"-r", "-x", "-p", b.base()});
    EXPECT_EQ(first.status, 2) << first.out;
    const uint32_t id = jam_crc_buf("2:5020/1 1", 10), x = jam_crc_buf("x", 1);
    char crcs[200];
    std::snprintf(crcs, sizeof crcs,
                  "  Msg[0]: MSGIDcrc 0x00000001 -> 0x%08X\n"
                  "  Msg[0]: REPLYcrc 0x00000002 -> 0x%08X\n",
                  id, x);
    EXPECT_EQ(first.err + report_section(first.out, "Repairs") +
                  report_section(first.out, "Rebuilding .JDX"),
              "\n=== Repairs ===\n  Fixing BaseMsgNum 0 -> 1\n  Fixing ActiveMsgs 9 -> 2\n"
              "  Removing 2 trailing byte(s) from .JHR (" +
                  std::to_string(jhr.size() + 2) + " -> " + std::to_string(jhr.size()) +
                  " bytes)\n  Truncating .JDX 27 -> 24 bytes\n  Truncating .JLR 49 -> 48 bytes\n"
                  "  JLR[0]: HighReadMsg 1 -> 2\n  Fixed 1 JLR HighReadMsg entries\n"
                  "  Msg[0]: zero dangling ReplyNext=40\n  Fixed 1 reply-chain entries\n" +
                  crcs +
                  "  Fixed 1 MSGID/REPLYID CRCs\n\n=== Rebuilding .JDX ===\n"
                  "  Rebuilding .JDX (3 entries)...\n  Wrote 3 records\n\nDone.\n");
    // ModCounter advanced by the write-backs after the fixes and after the rebuild.
    const auto m0 = static_cast<std::size_t>(b.header_offset(0));
    jhr.replace(8, 8, le32(102) + le32(2)).replace(20, 4, le32(1)); // ModCounter, ActiveMsgs
    jhr.replace(m0 + 16, 8, le32(id) + le32(x)).replace(m0 + 32, 4, le32(0));
    EXPECT_EQ(b.bytes(jam_ext::jhr), jhr);
    EXPECT_EQ(b.bytes(jam_ext::jlr), jlr.replace(12, 4, le32(2)));
    std::string index; // the deleted message keeps its record
    for (std::size_t i = 0; i < 3; ++i)
        index += le32(b.derived_index(i).UserCRC) + le32(b.derived_index(i).HdrOffset);
    EXPECT_EQ(b.bytes(jam_ext::jdx), index);

    const run_result second = run_cairnfix({"-x", b.base()});
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(issue_texts(second.out), std::vector<std::string>{});
}

TEST(RepairPhase, UnreadableSubfieldBlockStopsTheRepairsLikeABadSignature) {
    // Six messages, the first replied to by the fourth; a flipped bit makes the second one's
    // block reach past the end of .JHR, so the four headers after it go unexamined.
    base_builder b;
    b.add_message().links(0, 4, 0);
    for (int i = 1; i < 6; ++i)
        b.add_message().links(i == 3 ? 1 : 0, 0, 0);
    b.write();
    const std::size_t second = static_cast<std::size_t>(b.header_offset(1));
    b.put_u32(jam_ext::jhr, second + 8, b.get_u32(jam_ext::jhr, second + 8) + 0x8000);
    const std::string jhr = b.bytes(jam_ext::jhr), jdx = b.bytes(jam_ext::jdx);

    const run_result r = run_cairnfix({"-r", "-x", "-p", b.base()});
    EXPECT_EQ(issue_texts(r.out),
              (std::vector<std::string>{"Msg[1]: could not read subfield data",
                                        ".JHR: ActiveMsgs=6 but counted 2 active messages",
                                        "Msg[0] #1: Reply1st=4 - no such message"}));
    const std::string stop = "header walk stopped at offset " + std::to_string(second) + "\n";
    EXPECT_EQ(report_section(r.out, "Repairs") + report_section(r.out, "Rebuilding .JDX"),
              "\n=== Repairs ===\n  Not fixing ActiveMsgs: " + stop +
                  "  Not zeroing reply links: " + stop +
                  "\n=== Rebuilding .JDX ===\n  Keeping .JDX: " + stop + "\nDone.\n");
    EXPECT_EQ(b.bytes(jam_ext::jhr), jhr);
    EXPECT_EQ(b.bytes(jam_ext::jdx), jdx);
}

TEST(RepairPhase, IndexWithoutAWholeRecordIsRebuiltInTheSameRun) {
    // Seven bytes of index and a bad signature after the last header: the cut leaves no
    // record, so there is no index to keep, and the first run rebuilds it.
    base_builder b;
    b.add_message().to("Amy");
    b.write();
    const std::string index = b.bytes(jam_ext::jdx);
    b.set_bytes(jam_ext::jdx, "1234567");
    b.append(jam_ext::jhr, std::string(MSG_HEADER_SIZE, 'x'));
    const run_result r = run_cairnfix({"-r", "-p", b.base()});
    EXPECT_TRUE(contains(r.out, "  Truncating .JDX 7 -> 0 bytes\n\n=== Rebuilding .JDX ===\n"
                                "  Rebuilding .JDX (1 entries)...\n  Wrote 1 records\n"))
        << r.out;
    EXPECT_EQ(b.bytes(jam_ext::jdx), index);
}
