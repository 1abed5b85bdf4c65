// The message header scan: the stops of the walk, the end-of-walk lines, the order of the
// checks within a header, the subfield walk, the -v lines and the table it leaves.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using issue_list = std::vector<std::string>;

struct scan_run {
    std::unique_ptr<run_context> ctx = std::make_unique<run_context>();
    std::string out, err;
    const issue_list &issues() const { return ctx->report.issues; }
};

// Fills a context as the earlier phases leave it for the written base and runs the scan.
scan_run scan(const base_builder &b, bool extended = false, bool verbose = false) {
    scan_run r;
    fill_context(*r.ctx, b);
    r.ctx->options.extended = extended;
    r.ctx->options.verbose = verbose;
    const captured c = capture_output([&] { scan_headers(*r.ctx); });
    r.out = c.out;
    r.err = c.err;
    return r;
}

std::string sf_bytes(uint16_t LoID, uint32_t DatLen, const std::string &data, uint16_t HiID = 0) {
    unsigned char h[SUBFIELD_HEADER_SIZE];
    encode_subfield_header(subfield_header{LoID, HiID, DatLen}, h);
    return std::string(reinterpret_cast<const char *>(h), sizeof h) + data;
}
std::string sf_bytes(uint16_t LoID, const std::string &data) {
    return sf_bytes(LoID, static_cast<uint32_t>(data.size()), data);
}

// A base of one message whose subfield block is exactly `block`.
void one_message_with_block(base_builder &b, const std::string &block) {
    test_message &m = b.add_message().no_subfields();
    m.subfield_len = static_cast<uint32_t>(block.size());
    b.write();
    b.insert(jam_ext::jhr, FIXED_HEADER_SIZE + MSG_HEADER_SIZE, block);
}

const std::string HEADING = "\n=== Message Header Scan ===\n";
std::string totals(int active, int deleted) {
    return "  Active msgs  : " + std::to_string(active) +
           "\n  Deleted msgs : " + std::to_string(deleted) + "\n";
}
const std::string TRUNCATED_LINE = "  Truncated    : 1  *** WARNING ***\n";
const std::string BAD_SIG_LINE = "  Bad sigs     : 1  *** ERROR ***\n";
std::string trailing_line(int n) {
    return "  Trailing     : " + std::to_string(n) +
           " extra byte(s) past last msg  *** WARNING ***\n";
}
std::string trailing_issue(int n) {
    return ".JHR: " + std::to_string(n) +
           " trailing byte(s) after last message header (editor newline?)";
}

} // namespace

TEST(HeaderScan, WalkStopsAndEndOfWalk) {
    struct test_case {
        const char *name;
        std::function<void(base_builder &)> set;
        std::string out;
        issue_list issues;
        int64_t msg_count;
        int64_t trailing;
        // Index of the header where the walk stopped for good, or -1.
        int stop_at;
    };
    const test_case cases[] = {
        {"fixed header only",
         [](base_builder &b) {
             b.active_msgs = 3;
             b.write();
         },
         HEADING + totals(0, 0),
         {".JHR: ActiveMsgs=3 but counted 0 active messages"},
         0,
         0,
         -1},
        {"first header cut short: truncated, then the same bytes as trailing",
         [](base_builder &b) {
             b.write();
             b.append(jam_ext::jhr, "\r\n");
         },
         HEADING + totals(0, 0) + TRUNCATED_LINE + trailing_line(2),
         {".JHR: truncated at offset 1024 (2 bytes remaining)", trailing_issue(2)},
         0,
         2,
         -1},
        {"75 bytes of a first header",
         [](base_builder &b) {
             b.write();
             b.append(jam_ext::jhr, std::string(75, 'J'));
         },
         HEADING + totals(0, 0) + TRUNCATED_LINE + trailing_line(75),
         {".JHR: truncated at offset 1024 (75 bytes remaining)", trailing_issue(75)},
         0,
         75,
         -1},
        {"editor newline after a complete message",
         [](base_builder &b) {
             b.add_message();
             b.write();
             b.append(jam_ext::jhr, "\r\n");
         },
         HEADING + totals(1, 0) + trailing_line(2),
         {trailing_issue(2)},
         1,
         2,
         -1},
        {"second header signed \"JAM \"",
         [](base_builder &b) {
             b.add_message();
             b.add_message().deleted();
             b.add_message();
             b.write();
             b.put_u32(jam_ext::jhr, static_cast<std::size_t>(b.header_offset(1)), 0x204D414A);
         },
         HEADING + totals(1, 0) + BAD_SIG_LINE,
         {".JHR: bad message sig 0x204D414A at offset 1137",
          ".JHR: ActiveMsgs=2 but counted 1 active messages"},
         1,
         0,
         1},
        {"block reaching exactly 65536 bytes past the end: unreadable, walk ends",
         [](base_builder &b) {
             b.add_message().no_subfields().subfield_len = 65536;
             b.write();
         },
         HEADING + totals(1, 0),
         {"Msg[0]: could not read subfield data"},
         1,
         0,
         -1},
        {"one byte further: implausible SubfieldLen, counted but not recorded",
         [](base_builder &b) {
             b.add_message().no_subfields().subfield_len = 65537;
             b.write();
         },
         HEADING + totals(1, 0),
         {"Msg[0]: SubfieldLen=65537 implausible at offset 1024"},
         0,
         0,
         0},
        {"SubfieldLen of all ones after a good message",
         [](base_builder &b) {
             b.add_message();
             b.add_message().no_subfields().subfield_len = 0xFFFFFFFF;
             b.write();
         },
         HEADING + totals(2, 0),
         {"Msg[1]: SubfieldLen=4294967295 implausible at offset 1137"},
         1,
         0,
         1},
        {"SubfieldLen 0xFFFFFFF0",
         [](base_builder &b) {
             b.add_message().no_subfields().subfield_len = 0xFFFFFFF0;
             b.write();
         },
         HEADING + totals(1, 0),
         {"Msg[0]: SubfieldLen=4294967280 implausible at offset 1024"},
         0,
         0,
         0},
    };
    for (const test_case &c : cases) {
        SCOPED_TRACE(c.name);
        base_builder b;
        c.set(b);
        const scan_run r = scan(b);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.issues(), c.issues);
        EXPECT_TRUE(r.ctx->table_valid);
        EXPECT_EQ(r.ctx->msg_count, c.msg_count);
        EXPECT_EQ(r.ctx->msg_table.size(), static_cast<std::size_t>(c.msg_count));
        EXPECT_EQ(r.ctx->report.trailing, c.trailing);
        EXPECT_EQ(r.ctx->walk_stop_offset, c.stop_at < 0 ? -1 : b.header_offset(c.stop_at));
    }
}

TEST(HeaderScan, ChecksOfOneHeaderComeInOrder) {
    const std::string long_id(150, 'm');
    base_builder b;
    b.fhdr.ModCounter = 0xFFFFFFFF;
    test_message &all = b.add_message().msgid(long_id).subfield(SF_TZUTCINFO, "+01:0").replyid("r");
    all.hdr.Revision = 2;
    all.hdr.DateWritten = 315532799;
    all.hdr.DateReceived = 0xFFFFFFFF;
    all.hdr.DateProcessed = 1;
    all.hdr.MSGIDcrc = 0x12345678;
    all.hdr.REPLYcrc = 1;
    all.attr(0x04000000 | MSG_TYPENET | MSG_FILEREQUEST | MSG_TRUNCFILE | MSG_KILLFILE |
             MSG_ENCRYPT | MSG_COMPRESS)
        .text_at(1000, 5);
    b.add_message().attr(MSG_FILEATTACH | MSG_TRUNCFILE | MSG_KILLFILE).text_at(60, 10);
    // Everything right: attachments with their subfields, text ending at the end of .JDT,
    // a stored all-ones CRC, a lone type bit.
    test_message &good = b.add_message()
                             .subfield(SF_ENCLOSEDFILE, "f.zip")
                             .subfield(SF_ENCLOSEDFREQ, "FILES")
                             .msgid("1:2/3 1")
                             .replyid("1:2/3 0")
                             .attr(MSG_FILEATTACH | MSG_FILEREQUEST)
                             .text_at(52, 13);
    good.hdr.Attribute = (good.hdr.Attribute & ~MSG_TYPEECHO) | MSG_TYPELOCAL;
    good.hdr.REPLYcrc = ALL_ONES;
    test_message &no_msgid = b.add_message().text_at(5000, 0);
    no_msgid.hdr.MSGIDcrc = 5;
    // Deleted: its dates and subfields are judged, its attributes and text are not.
    test_message &gone = b.add_message()
                             .subfield(SF_TZUTCINFO, "UTC0")
                             .attr(MSG_DELETED | MSG_RESERVED_BITS | MSG_ENCRYPT)
                             .text_at(9999, 5);
    gone.hdr.DateWritten = 100;
    b.write();
    ASSERT_EQ(b.bytes(jam_ext::jdt).size(), 5 * 13u);

    char crc_line[128];
    std::snprintf(crc_line, sizeof crc_line,
                  "Msg[0]: MSGIDcrc mismatch stored=0x12345678 computed=0x%08X",
                  jam_crc_buf(long_id.data(), long_id.size()));
    char reply_line[128];
    std::snprintf(reply_line, sizeof reply_line,
                  "Msg[0]: REPLYcrc mismatch stored=0x00000001 computed=0x%08X",
                  jam_crc_buf("r", 1));
    issue_list expected = {
        "Msg[0]: Revision=2 (expected 1)",
        "Msg[0]: implausible DateWritten: 1979-12-31 23:59:59",
        "Msg[0]: implausible DateReceived: 2106-02-07 06:28:15",
        "Msg[0]: implausible DateProcessed: 1970-01-01 00:00:01",
        "Msg[0]: SF MSGID DatLen=150 exceeds limit 100",
        "Msg[0]: TZUTCINFO contains non-digit offset characters",
        "Msg[0]: reserved attribute bits set (0x04000000)",
        "Msg[0]: multiple exclusive type bits set (TYPELOCAL/ECHO/NET)",
        "Msg[0]: MSG_FILEREQUEST set but no SF_ENCLOSEDFREQ subfield",
        "Msg[0]: MSG_TRUNCFILE without MSG_FILEATTACH",
        "Msg[0]: MSG_KILLFILE without MSG_FILEATTACH",
        "Msg[0]: MSG_ENCRYPT is reserved in JAM rev 1",
        "Msg[0]: MSG_COMPRESS is reserved in JAM rev 1",
        crc_line,
        reply_line,
        "Msg[0]: JDT offset 1000 beyond file end (65)",
        "Msg[1]: MSG_FILEATTACH set but no enclosed-file subfield",
        "Msg[1]: JDT text overruns file (off=60 len=10 jdt=65)",
        "Msg[4]: implausible DateWritten: 1970-01-01 00:01:40",
        "Msg[4]: TZUTCINFO contains non-digit offset characters",
        ".JHR: ModCounter at 0xFFFFFFFF (will wrap to 0 on next write)",
    };
    const scan_run extended = scan(b, true);
    EXPECT_EQ(extended.issues(), expected);
    EXPECT_TRUE(contains(extended.out, "\n=== Extended Checks ===\n  Reply-chain  : OK\n"));

    // Without -x the CRCs are not compared, and no Extended Checks section appears.
    expected.erase(expected.begin() + 13, expected.begin() + 15);
    const scan_run plain = scan(b);
    EXPECT_EQ(plain.issues(), expected);
    EXPECT_FALSE(contains(plain.out, "Extended"));

    const std::vector<msg_info> &t = plain.ctx->msg_table;
    ASSERT_EQ(t.size(), 5u);
    EXPECT_TRUE(t[0].has_msgid);
    EXPECT_EQ(t[0].msgid_crc_calc, jam_crc_buf(long_id.data(), 150));
    EXPECT_TRUE(t[0].has_replyid);
    EXPECT_FALSE(t[3].has_msgid);
    EXPECT_EQ(t[3].msgid_crc_calc, ALL_ONES);
    EXPECT_TRUE(t[4].deleted);
    for (std::size_t i = 0; i < t.size(); ++i)
        EXPECT_EQ(t[i].hdr_offset, b.header_offset(i)) << i;
    EXPECT_EQ(plain.ctx->report.active_count, 4);
    EXPECT_EQ(plain.ctx->report.deleted_count, 1);
}

TEST(HeaderScan, DateAndRevisionBoundaries) {
    base_builder b;
    test_message &ok = b.add_message();
    ok.hdr.Revision = 0;
    ok.hdr.DateWritten = PLAUSIBLE_MIN_TIME;
    ok.hdr.DateReceived = 0;
    test_message &late = b.add_message();
    late.hdr.DateWritten = PLAUSIBLE_MIN_TIME - 1;
    b.write();
    const uint32_t limit = date_limit_now();
    b.put_u32(jam_ext::jhr, static_cast<std::size_t>(b.header_offset(0)) + 44, limit);
    b.put_u32(jam_ext::jhr, static_cast<std::size_t>(b.header_offset(1)) + 44, limit + 1);

    const scan_run r = scan(b);
    EXPECT_EQ(r.issues(), (issue_list{"Msg[1]: implausible DateWritten: 1979-12-31 23:59:59",
                                      "Msg[1]: implausible DateProcessed: " + fmt_ts(limit + 1)}));
}

TEST(HeaderScan, SubfieldWalk) {
    struct test_case {
        const char *name;
        std::string block;
        issue_list issues;
    };
    const test_case cases[] = {
        {"7-byte block", std::string(7, '\0'), {"Msg[0]: SF[0] header truncated at pos 0"}},
        {"header cut off after a good subfield",
         sf_bytes(SF_SUBJECT, "Hi") + "abc",
         {"Msg[0]: SF[1] header truncated at pos 10"}},
        {"DatLen 0xFFFFFFF8 in a 16-byte block",
         sf_bytes(SF_SUBJECT, 0xFFFFFFF8, std::string(8, 'x')),
         {"Msg[0]: SF[0] LoID=6 DatLen=4294967288 overruns subfield block"}},
        {"data one byte past the block",
         sf_bytes(SF_SENDERNAME, "A") + sf_bytes(SF_RECEIVERNAME, 5, "abcd"),
         {"Msg[0]: SF[1] LoID=3 DatLen=5 overruns subfield block"}},
        {"limits: at the limit, one over, no limit, unknown kinds",
         sf_bytes(SF_PID, std::string(40, 'p')) + sf_bytes(8, std::string(1025, 't')) +
             sf_bytes(2001, std::string(5000, 's')) + sf_bytes(0xFFFF, std::string(300, 'u')) +
             sf_bytes(14, "") + sf_bytes(SF_SUBJECT, 0, "", 1),
         {"Msg[0]: SF TRACE DatLen=1025 exceeds limit 1024"}},
        {"TZUTCINFO that passes",
         sf_bytes(SF_TZUTCINFO, "+0100") + sf_bytes(SF_TZUTCINFO, "0100") +
             sf_bytes(SF_TZUTCINFO, "+01") + sf_bytes(SF_TZUTCINFO, "-123") +
             sf_bytes(SF_TZUTCINFO, "0100x"),
         {}},
        {"TZUTCINFO with non-digits: one issue per subfield",
         sf_bytes(SF_TZUTCINFO, "+01:0") + sf_bytes(SF_TZUTCINFO, "a:b:"),
         {"Msg[0]: TZUTCINFO contains non-digit offset characters",
          "Msg[0]: TZUTCINFO contains non-digit offset characters"}},
        {"TZUTCINFO of 6 bytes: over the limit, digits fine",
         sf_bytes(SF_TZUTCINFO, "+01000"),
         {"Msg[0]: SF TZUTCINFO DatLen=6 exceeds limit 5"}},
    };
    for (const test_case &c : cases) {
        SCOPED_TRACE(c.name);
        base_builder b;
        one_message_with_block(b, c.block);
        const scan_run r = scan(b);
        EXPECT_EQ(r.issues(), c.issues);
        // The walk ends at the block end, whatever the subfields held.
        EXPECT_EQ(r.ctx->msg_count, 1);
        EXPECT_EQ(r.ctx->report.trailing, 0);
    }
}

TEST(HeaderScan, VerboseLines) {
    base_builder b;
    // An empty sender shows as empty, a missing receiver as "?".
    b.add_message()
        .no_subfields()
        .subfield(SF_SENDERNAME, "")
        .subfield(SF_SUBJECT, "S")
        .subfield(0xFFFF, "zz", 1)
        .subfield(SF_PID, std::string(41, 'p'));
    test_message &gone = b.add_message().no_subfields().deleted();
    gone.hdr.DateWritten = 0;
    gone.hdr.MessageNumber = 77;
    b.add_message().from(std::string(120, 'F')).to("Bob");
    b.add_message().no_subfields().subfield_len = 0x7FFFFFFF;
    b.write();

    const scan_run r = scan(b, false, true);
    const std::string expected =
        HEADING +
        "      SF[0] SENDERNAME             len=0\n"
        "      SF[1] SUBJECT                len=1\n"
        "      SF[2] LoID=65535: non-zero HiID=0x0001 (reserved)\n"
        "      SF[2] LoID=65535 (unknown)  len=2\n"
        "      SF[3] PID                    len=41\n"
        "  [   0] @1024     #1      attr=0x01000000 jdt=[0+13] sf=76   -> ?  "
        "2023-11-14 22:13:20\n"
        "  [   1] @1176     #77     attr=0x81000000 jdt=[13+13] sf=0  ? -> ?  (not set)\n"
        "      SF[0] SENDERNAME             len=120\n"
        "      SF[1] RECEIVERNAME           len=3\n"
        "      SF[2] SUBJECT                len=5\n"
        "  [   2] @1252     #3      attr=0x01000000 jdt=[26+13] sf=152  " +
        std::string(100, 'F') + " -> Bob  2023-11-14 22:13:20\n" + totals(3, 1);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.issues(),
              (issue_list{"Msg[0]: SF PID DatLen=41 exceeds limit 40",
                          "Msg[2]: SF SENDERNAME DatLen=120 exceeds limit 100",
                          "Msg[3]: SubfieldLen=2147483647 implausible at offset 1480"}));
}

TEST(HeaderScan, TextLocationAgainstJdtSize) {
    struct test_case {
        const char *name;
        uint32_t offset, length;
        bool jdt_missing;
        issue_list issues;
    };
    // .JDT holds the 13-byte text of the one message.
    const test_case cases[] = {
        {"offset at the end of the file",
         13,
         1,
         false,
         {"Msg[0]: JDT offset 13 beyond file end (13)"}},
        {"text ending at the end of the file", 12, 1, false, {}},
        {"text one byte too long",
         12,
         2,
         false,
         {"Msg[0]: JDT text overruns file (off=12 len=2 jdt=13)"}},
        {"offset with the top bit set",
         0x80000000,
         1,
         false,
         {"Msg[0]: JDT offset 2147483648 beyond file end (13)"}},
        {"sum past 32 bits",
         5,
         0xFFFFFFFF,
         false,
         {"Msg[0]: JDT text overruns file (off=5 len=4294967295 jdt=13)"}},
        {"empty text", 0x7FFFFFFF, 0, false, {}},
        {"no .JDT", 0x7FFFFFFF, 10, true, {}},
    };
    for (const test_case &c : cases) {
        SCOPED_TRACE(c.name);
        base_builder b;
        b.add_message().text_at(c.offset, c.length);
        if (c.jdt_missing)
            b.missing(jam_ext::jdt);
        b.write();
        EXPECT_EQ(scan(b).issues(), c.issues);
    }
}

TEST(HeaderScan, OpenFailures) {
    base_builder b;
    b.add_message().attr(MSG_ESCAPED).body("bad\x01");
    b.add_message().text_at(999, 1);
    b.write();

    // .JHR cannot be opened: an error line, no section, no table.
    io_fail_at(1, false);
    const scan_run no_jhr = scan(b);
    io_fail_at(0, false);
    EXPECT_EQ(no_jhr.out, "");
    EXPECT_EQ(no_jhr.err, "ERROR: Input/output error\n");
    EXPECT_FALSE(no_jhr.ctx->table_valid);
    EXPECT_EQ(no_jhr.ctx->msg_count, 0);
    EXPECT_TRUE(no_jhr.issues().empty());

    // .JDT cannot be opened: the escaped text goes unread, text locations are still judged.
    io_fail_at(2, false);
    const scan_run no_jdt = scan(b);
    io_fail_at(0, false);
    EXPECT_EQ(no_jdt.err, "");
    EXPECT_EQ(no_jdt.issues(), (issue_list{"Msg[1]: JDT offset 999 beyond file end (17)"}));
    EXPECT_TRUE(no_jdt.ctx->table_valid);

    EXPECT_EQ(scan(b).issues(),
              (issue_list{"Msg[0]: MSG_ESCAPED: byte 0x01 at pos 3 outside 7-bit range",
                          "Msg[1]: JDT offset 999 beyond file end (17)"}));
}

TEST(HeaderScan, EveryHeaderPastTheCheckedLimitIsStillWalked) {
    constexpr std::size_t count = MAX_MSGS + 1;
    base_builder b;
    b.add_message().no_subfields().body("");
    b.write();
    const std::string jhr = b.bytes(jam_ext::jhr);
    const std::string header = jhr.substr(FIXED_HEADER_SIZE);
    std::string image = jhr.substr(0, FIXED_HEADER_SIZE);
    image.reserve(FIXED_HEADER_SIZE + count * MSG_HEADER_SIZE);
    for (std::size_t i = 0; i < count; ++i)
        image += header;
    put_u32le(reinterpret_cast<unsigned char *>(image.data()) + 12, static_cast<uint32_t>(count));
    auto header_field = [&](std::size_t i, std::size_t field) {
        return reinterpret_cast<unsigned char *>(image.data()) + FIXED_HEADER_SIZE +
               i * MSG_HEADER_SIZE + field;
    };
    // Message 0 replies to the last one, which exists but has no checked entry; message 1
    // to one past it; the last header's date is checked like any other.
    put_u32le(header_field(0, 24), 1 + MAX_MSGS);
    put_u32le(header_field(1, 24), 2 + MAX_MSGS);
    put_u32le(header_field(MAX_MSGS, 36), 1);
    b.set_bytes(jam_ext::jhr, image);

    const scan_run r = scan(b, true);
    EXPECT_EQ(r.ctx->msg_count, static_cast<int64_t>(count));
    EXPECT_EQ(r.ctx->msg_table.size(), count);
    EXPECT_EQ(r.ctx->msg_table.back().hdr_offset,
              static_cast<int64_t>(FIXED_HEADER_SIZE + MAX_MSGS * MSG_HEADER_SIZE));
    EXPECT_EQ(r.issues(), (issue_list{"Msg[500000]: implausible DateWritten: 1970-01-01 00:00:01",
                                      "Msg[1] #2: ReplyTo=500002 - no such message"}));
    EXPECT_TRUE(contains(r.out, "  Active msgs  : 500001\n"));
    EXPECT_TRUE(contains(r.out, "  Reply-chain  : 1 error(s)  *** ERROR ***\n"));
}

// The whole section through the binary, where the earlier phases measured the files.
TEST(HeaderScan, ReportThroughTheBinary) {
    base_builder b;
    b.add_message().msgid("1:2/3 aa");
    b.add_message().links(1, 0, 0).attr(MSG_ESCAPED).body("caf\xe9\\0d\r");
    b.write();
    b.append(jam_ext::jhr, "\n");

    const run_result r = run_cairnfix({"-x", b.base()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(report_section(r.out, "Message Header Scan"),
              HEADING + totals(2, 0) + trailing_line(1));
    EXPECT_EQ(report_section(r.out, "Extended Checks"),
              "\n=== Extended Checks ===\n  Reply-chain  : OK\n");
    EXPECT_EQ(issue_texts(r.out),
              (issue_list{"Msg[1]: MSG_ESCAPED: byte 0xE9 at pos 3 outside 7-bit range",
                          "Msg[1]: MSG_ESCAPED: byte 0x0D at pos 7 outside 7-bit range",
                          trailing_issue(1)}));
}
