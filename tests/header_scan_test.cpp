// The message header scan: where the walk stops and what it leaves for the repairs, and the
// checks of the headers and their subfields in the order the report lists them.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

namespace {

const std::string HEADING = "\n=== Message Header Scan ===\n";
std::string totals(int active, int deleted) {
    return "  Active msgs  : " + std::to_string(active) +
           "\n  Deleted msgs : " + std::to_string(deleted) + "\n";
}
const std::string TRAILING_2 = "  Trailing     : 2 extra byte(s) past last msg  *** WARNING ***\n";

} // namespace

TEST(HeaderScan, WhereTheWalkStopsAndWhatItLeaves) {
    // Scans the base `set` builds, with `tail` appended to .JHR. `stop_at` is the offset of
    // the header at which the walk stopped for good, or -1; the table stays valid whatever
    // the stop.
    const auto walk = [](const auto &set, const std::string &tail, const std::string &out,
                         const std::vector<std::string> &issues, int64_t count,
                         int64_t trailing_bytes, int64_t stop_at) {
        base_builder b;
        set(b);
        b.write();
        b.append(jam_ext::jhr, tail);
        run_context ctx;
        fill_context(ctx, b);
        EXPECT_EQ(capture_output([&] { scan_headers(ctx); }).out, out);
        EXPECT_EQ(ctx.report.issues, issues);
        EXPECT_TRUE(ctx.table_valid);
        EXPECT_EQ(ctx.msg_count, count);
        EXPECT_EQ(ctx.report.trailing, trailing_bytes);
        EXPECT_EQ(ctx.walk_stop_offset, stop_at);
    };
    const auto sf_len = [](uint32_t n) {
        return [n](base_builder &b) { b.add_message().no_subfields().subfield_len = n; };
    };
    // The first header cut short: truncated, then the same bytes as trailing bytes.
    walk([](base_builder &) {}, "\r\n",
         HEADING + totals(0, 0) + "  Truncated    : 1  *** WARNING ***\n" + TRAILING_2,
         {".JHR: truncated at offset 1024 (2 bytes remaining)",
          ".JHR: 2 trailing byte(s) after last message header (editor newline?)"},
         0, 2, -1);
    // A second header signed "JAM ": not counted, and the walk stops there.
    walk([](base_builder &b) { b.add_message(); }, "JAM " + std::string(72, '\0'),
         HEADING + totals(1, 0) + "  Bad sigs     : 1  *** ERROR ***\n",
         {".JHR: bad message sig 0x204D414A at offset 1137"}, 1, 0, 1137);
    // A block may reach 65536 bytes past the end: the header is recorded, but what may lie
    // inside its unread block was never examined, so the walk counts as stopped early. One
    // byte more stops the walk, and the header stays counted without being recorded.
    walk(sf_len(65536), "", HEADING + totals(1, 0), {"Msg[0]: could not read subfield data"}, 1, 0,
         1024);
    walk(sf_len(65537), "", HEADING + totals(1, 0),
         {"Msg[0]: SubfieldLen=65537 implausible at offset 1024"}, 0, 0, 1024);
    walk(sf_len(ALL_ONES), "", HEADING + totals(1, 0),
         {"Msg[0]: SubfieldLen=4294967295 implausible at offset 1024"}, 0, 0, 1024);
}

TEST(HeaderScan, ChecksInOrderThroughTheBinary) {
    base_builder b;
    test_message &all = b.add_message().msgid(std::string(150, 'm')).replyid("r");
    all.hdr.Revision = 2;
    all.hdr.MSGIDcrc = 0x12345678;
    all.hdr.REPLYcrc = 1;
    all.attr(0x04000000 | MSG_TYPENET | MSG_FILEREQUEST | MSG_TRUNCFILE).text_at(0x80000000, 5);
    b.add_message().attr(MSG_FILEATTACH).text_at(5, ALL_ONES);
    // All right: an attachment with its subfield, a text ending at the end of .JDT, a stored
    // all-ones CRC.
    b.add_message().subfield(9, "f.zip").attr(MSG_FILEATTACH).text_at(65, 13).replyid("x");
    b.messages.back().hdr.REPLYcrc = ALL_ONES;
    // Deleted: dates and subfields are judged, attributes and text are not.
    b.add_message().subfield(SF_TZUTCINFO, "UTC0").attr(MSG_DELETED | MSG_ENCRYPT).text_at(9, 5);
    b.messages.back().hdr.DateWritten = 100;
    // Subfield blocks: a header cut off; no limit for a kind without one, the time zone
    // offset's digits, and data past the block, which ends the walk of that block.
    b.add_message().no_subfields().subfields.push_back({SF_SUBJECT, 0, "Hiabc", 2});
    b.add_message().subfields = {{2001, 0, std::string(5000, 's'), {}},
                                 {SF_TZUTCINFO, 0, "-123", {}},
                                 {SF_TZUTCINFO, 0, "+01:0", {}},
                                 {SF_SUBJECT, 0, std::string(8, 'x'), 0xFFFFFFF8}};
    b.write();
    b.append(jam_ext::jhr, "\r\n");

    const std::vector<std::string> expected = {
        "Msg[0]: Revision=2 (expected 1)",
        "Msg[0]: SF MSGID DatLen=150 exceeds limit 100",
        "Msg[0]: reserved attribute bits set (0x04000000)",
        "Msg[0]: multiple exclusive type bits set (TYPELOCAL/ECHO/NET)",
        "Msg[0]: MSG_FILEREQUEST set but no SF_ENCLOSEDFREQ subfield",
        "Msg[0]: MSG_TRUNCFILE without MSG_FILEATTACH",
        "Msg[0]: MSGIDcrc mismatch stored=0x12345678 computed=0xAE2FA30C",
        "Msg[0]: REPLYcrc mismatch stored=0x00000001 computed=0x93F60062",
        "Msg[0]: JDT offset 2147483648 beyond file end (78)",
        "Msg[1]: MSG_FILEATTACH set but no enclosed-file subfield",
        "Msg[1]: JDT text overruns file (off=5 len=4294967295 jdt=78)",
        "Msg[3]: implausible DateWritten: 1970-01-01 00:01:40",
        "Msg[3]: TZUTCINFO contains non-digit offset characters",
        "Msg[4]: SF[1] header truncated at pos 10",
        "Msg[5]: TZUTCINFO contains non-digit offset characters",
        "Msg[5]: SF[3] LoID=6 DatLen=4294967288 overruns subfield block",
        ".JHR: 2 trailing byte(s) after last message header (editor newline?)"};
    const run_result x = run_cairnfix({"-x", b.base()});
    EXPECT_EQ(
        report_section(x.out, "Message Header Scan") + report_section(x.out, "Extended Checks"),
        HEADING + totals(5, 1) + TRAILING_2 + "\n=== Extended Checks ===\n  Reply-chain  : OK\n");
    EXPECT_EQ(issue_texts(x.out), expected);
}
