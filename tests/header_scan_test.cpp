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
    captured io;
    const issue_list &issues() const { return ctx->report.issues; }
};

// Fills a context as the earlier phases leave it for the written base and runs the scan.
scan_run scan(const base_builder &b, bool extended = false, bool verbose = false) {
    scan_run r;
    fill_context(*r.ctx, b);
    r.ctx->options.extended = extended;
    r.ctx->options.verbose = verbose;
    r.io = capture_output([&] { scan_headers(*r.ctx); });
    return r;
}

std::string sf_bytes(uint16_t LoID, const std::string &data, std::optional<uint32_t> len = {}) {
    unsigned char h[SUBFIELD_HEADER_SIZE];
    encode_subfield_header({LoID, 0, len.value_or(static_cast<uint32_t>(data.size()))}, h);
    return std::string(reinterpret_cast<const char *>(h), sizeof h) + data;
}

const std::string HEADING = "\n=== Message Header Scan ===\n";
std::string totals(int active, int deleted) {
    return "  Active msgs  : " + std::to_string(active) +
           "\n  Deleted msgs : " + std::to_string(deleted) + "\n";
}
std::string trailing(int n) {
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
        int64_t msg_count, trailing;
        int stop_at;           // header where the walk stopped for good, or -1
        std::string tail = {}; // bytes appended to .JHR
    };
    const auto subfield_len = [](uint32_t n) {
        return [n](base_builder &b) { b.add_message().no_subfields().subfield_len = n; };
    };
    const test_case cases[] = {
        {"fixed header only",
         [](base_builder &b) { b.active_msgs = 3; },
         HEADING + totals(0, 0),
         {".JHR: ActiveMsgs=3 but counted 0 active messages"},
         0,
         0,
         -1},
        {"first header cut short: truncated, then the same bytes as trailing",
         [](base_builder &) {},
         HEADING + totals(0, 0) + "  Truncated    : 1  *** WARNING ***\n" + trailing(2),
         {".JHR: truncated at offset 1024 (2 bytes remaining)", trailing_issue(2)},
         0,
         2,
         -1,
         "\r\n"},
        {"editor newline after a complete message",
         [](base_builder &b) { b.add_message(); },
         HEADING + totals(1, 0) + trailing(2),
         {trailing_issue(2)},
         1,
         2,
         -1,
         "\r\n"},
        {"second header signed \"JAM \"",
         [](base_builder &b) {
             b.add_message();
             b.add_message().deleted().hdr.Signature = 0x204D414A;
         },
         HEADING + totals(1, 0) + "  Bad sigs     : 1  *** ERROR ***\n",
         {".JHR: bad message sig 0x204D414A at offset 1137"},
         1,
         0,
         1},
        {"block reaching exactly 65536 bytes past the end",
         subfield_len(65536),
         HEADING + totals(1, 0),
         {"Msg[0]: could not read subfield data"},
         1,
         0,
         -1},
        {"one byte further: counted, not recorded",
         subfield_len(65537),
         HEADING + totals(1, 0),
         {"Msg[0]: SubfieldLen=65537 implausible at offset 1024"},
         0,
         0,
         0},
        {"SubfieldLen of all ones",
         subfield_len(0xFFFFFFFF),
         HEADING + totals(1, 0),
         {"Msg[0]: SubfieldLen=4294967295 implausible at offset 1024"},
         0,
         0,
         0},
    };
    for (const test_case &c : cases) {
        SCOPED_TRACE(c.name);
        base_builder b;
        c.set(b);
        b.write();
        b.append(jam_ext::jhr, c.tail);
        const scan_run r = scan(b);
        EXPECT_EQ(r.io.out, c.out);
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
    all.hdr.DateWritten = PLAUSIBLE_MIN_TIME - 1;
    all.hdr.DateReceived = 0xFFFFFFFF;
    all.hdr.DateProcessed = 1;
    all.hdr.MSGIDcrc = 0x12345678;
    all.hdr.REPLYcrc = 1;
    all.attr(0x04000000 | MSG_TYPENET | MSG_FILEREQUEST | MSG_TRUNCFILE | MSG_KILLFILE |
             MSG_ENCRYPT | MSG_COMPRESS)
        .text_at(0x80000000, 5);
    b.add_message().attr(MSG_FILEATTACH | MSG_TRUNCFILE).text_at(5, 0xFFFFFFFF);
    // All right: attachments with their subfields, a text ending at the end of .JDT, a
    // stored all-ones CRC, a single type bit, a date at the limit.
    test_message &good = b.add_message()
                             .subfield(SF_ENCLOSEDFILE, "f.zip")
                             .subfield(SF_ENCLOSEDFREQ, "FILES")
                             .replyid("1:2/3 0")
                             .attr(MSG_FILEATTACH | MSG_FILEREQUEST)
                             .text_at(52, 13);
    good.hdr.Attribute = (good.hdr.Attribute & ~MSG_TYPEECHO) | MSG_TYPELOCAL;
    good.hdr.REPLYcrc = ALL_ONES;
    good.hdr.DateWritten = PLAUSIBLE_MIN_TIME;
    good.hdr.DateReceived = date_limit_now();
    b.add_message().text_at(5000, 0).hdr.MSGIDcrc = 5; // no MSGID, empty text
    // Deleted: dates and subfields are judged, attributes and text are not.
    b.add_message()
        .subfield(SF_TZUTCINFO, "UTC0")
        .attr(MSG_DELETED | MSG_RESERVED_BITS | MSG_ENCRYPT)
        .text_at(9999, 5)
        .hdr.DateWritten = 100;
    b.write();

    char crcs[2][96];
    std::snprintf(crcs[0], sizeof crcs[0],
                  "Msg[0]: MSGIDcrc mismatch stored=0x12345678 computed=0x%08X",
                  jam_crc_buf(long_id.data(), 150));
    std::snprintf(crcs[1], sizeof crcs[1],
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
        crcs[0],
        crcs[1],
        "Msg[0]: JDT offset 2147483648 beyond file end (65)",
        "Msg[1]: MSG_FILEATTACH set but no enclosed-file subfield",
        "Msg[1]: JDT text overruns file (off=5 len=4294967295 jdt=65)",
        "Msg[4]: implausible DateWritten: 1970-01-01 00:01:40",
        "Msg[4]: TZUTCINFO contains non-digit offset characters",
        ".JHR: ModCounter at 0xFFFFFFFF (will wrap to 0 on next write)",
    };
    EXPECT_EQ(scan(b, true).issues(), expected);

    // Without -x the CRCs are not compared; the table is the same.
    expected.erase(expected.begin() + 13, expected.begin() + 15);
    const scan_run plain = scan(b);
    EXPECT_EQ(plain.issues(), expected);
    EXPECT_FALSE(contains(plain.io.out, "Extended Checks"));
    const std::vector<msg_info> &t = plain.ctx->msg_table;
    ASSERT_EQ(t.size(), 5u);
    EXPECT_TRUE(t[0].has_msgid && t[0].has_replyid && !t[3].has_msgid && t[4].deleted);
    EXPECT_EQ(t[0].msgid_crc_calc, jam_crc_buf(long_id.data(), 150));
    EXPECT_EQ(t[3].msgid_crc_calc, ALL_ONES);
    EXPECT_EQ(t[4].hdr_offset, b.header_offset(4));
}

TEST(HeaderScan, SubfieldWalk) {
    const std::string tz = "TZUTCINFO contains non-digit offset characters";
    const std::pair<std::string, issue_list> cases[] = {
        {std::string(7, '\0'), {"SF[0] header truncated at pos 0"}},
        {sf_bytes(SF_SUBJECT, "Hi") + "abc", {"SF[1] header truncated at pos 10"}},
        {sf_bytes(SF_SUBJECT, std::string(8, 'x'), 0xFFFFFFF8),
         {"SF[0] LoID=6 DatLen=4294967288 overruns subfield block"}},
        {sf_bytes(SF_PID, std::string(40, 'p')) + sf_bytes(8, std::string(1025, 't')) +
             sf_bytes(2001, std::string(5000, 's')) + sf_bytes(0xFFFF, std::string(300, 'u')),
         {"SF TRACE DatLen=1025 exceeds limit 1024"}},
        {sf_bytes(SF_TZUTCINFO, "+0100") + sf_bytes(SF_TZUTCINFO, "0100") +
             sf_bytes(SF_TZUTCINFO, "+01") + sf_bytes(SF_TZUTCINFO, "-123"),
         {}},
        {sf_bytes(SF_TZUTCINFO, "+01:0") + sf_bytes(SF_TZUTCINFO, "a:b:"), {tz, tz}},
        {sf_bytes(SF_TZUTCINFO, "+01000"), {"SF TZUTCINFO DatLen=6 exceeds limit 5"}},
    };
    for (const auto &[block, issues] : cases) {
        SCOPED_TRACE(block.size());
        base_builder b;
        b.add_message().no_subfields().subfield_len = static_cast<uint32_t>(block.size());
        b.write();
        b.insert(jam_ext::jhr, FIXED_HEADER_SIZE + MSG_HEADER_SIZE, block);
        issue_list expected;
        for (const std::string &i : issues)
            expected.push_back("Msg[0]: " + i);
        const scan_run r = scan(b);
        EXPECT_EQ(r.issues(), expected);
        EXPECT_EQ(r.ctx->msg_count, 1); // the walk goes on after the block, whatever it held
    }
}

TEST(HeaderScan, VerboseLines) {
    base_builder b;
    b.add_message()
        .no_subfields()
        .subfield(SF_SENDERNAME, "")
        .subfield(0xFFFF, "zz", 1)
        .subfield(SF_PID, std::string(41, 'p'));
    test_message &gone = b.add_message().no_subfields().deleted();
    gone.hdr.DateWritten = 0;
    gone.hdr.MessageNumber = 77;
    b.add_message().from(std::string(120, 'F'));
    b.add_message().no_subfields().subfield_len = 0x7FFFFFFF;
    b.write();

    // An empty sender shows as empty, a missing one as "?"; names are cut to 100 characters.
    EXPECT_EQ(scan(b, false, true).io.out,
              HEADING +
                  "      SF[0] SENDERNAME             len=0\n"
                  "      SF[1] LoID=65535: non-zero HiID=0x0001 (reserved)\n"
                  "      SF[1] LoID=65535 (unknown)  len=2\n"
                  "      SF[2] PID                    len=41\n"
                  "  [   0] @1024     #1      attr=0x01000000 jdt=[0+13] sf=67   -> ?  "
                  "2023-11-14 22:13:20\n"
                  "  [   1] @1167     #77     attr=0x81000000 jdt=[13+13] sf=0  ? -> ?  (not set)\n"
                  "      SF[0] SENDERNAME             len=120\n"
                  "      SF[1] RECEIVERNAME           len=3\n"
                  "      SF[2] SUBJECT                len=5\n"
                  "  [   2] @1243     #3      attr=0x01000000 jdt=[26+13] sf=152  " +
                  std::string(100, 'F') + " -> Bob  2023-11-14 22:13:20\n" + totals(3, 1));
}

TEST(HeaderScan, OpenFailureLeavesNoTable) {
    base_builder b;
    b.add_message();
    b.write();
    io_fail_at(1, false);
    const scan_run r = scan(b);
    io_fail_at(0, false);
    EXPECT_EQ(r.io.out, "");
    EXPECT_EQ(r.io.err, "ERROR: Input/output error\n");
    EXPECT_FALSE(r.ctx->table_valid);
    EXPECT_EQ(r.ctx->msg_count, 0);
}

TEST(HeaderScan, HeadersPastTheCheckedLimitAreWalkedAndTabled) {
    constexpr std::size_t count = MAX_MSGS + 1;
    base_builder b;
    b.add_message().no_subfields().body("");
    b.write();
    std::string image = b.bytes(jam_ext::jhr);
    const std::string header = image.substr(FIXED_HEADER_SIZE);
    for (std::size_t i = 1; i < count; ++i)
        image += header;
    auto put = [&](std::size_t at, uint32_t v) {
        put_u32le(reinterpret_cast<unsigned char *>(image.data()) + at, v);
    };
    put(12, count); // ActiveMsgs
    // Message 0 replies to the last one, which exists but has no checked entry; message 1
    // to one past it. The last header's date is checked like any other.
    put(FIXED_HEADER_SIZE + 24, 1 + MAX_MSGS);
    put(FIXED_HEADER_SIZE + MSG_HEADER_SIZE + 24, 2 + MAX_MSGS);
    put(FIXED_HEADER_SIZE + MAX_MSGS * MSG_HEADER_SIZE + 36, 1);
    b.set_bytes(jam_ext::jhr, image);

    const scan_run r = scan(b, true);
    EXPECT_EQ(r.ctx->msg_count, static_cast<int64_t>(count));
    EXPECT_EQ(r.ctx->msg_table.size(), count);
    EXPECT_EQ(r.issues(), (issue_list{"Msg[500000]: implausible DateWritten: 1970-01-01 00:00:01",
                                      "Msg[1] #2: ReplyTo=500002 - no such message"}));
}

TEST(HeaderScan, ReportThroughTheBinary) {
    base_builder b;
    b.add_message().msgid("1:2/3 aa");
    b.add_message().links(1, 0, 0).attr(MSG_ESCAPED).body("caf\xe9\\0d\r");
    b.write();
    b.append(jam_ext::jhr, "\n");
    const run_result r = run_cairnfix({"-x", b.base()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(report_section(r.out, "Message Header Scan"), HEADING + totals(2, 0) + trailing(1));
    EXPECT_EQ(report_section(r.out, "Extended Checks"),
              "\n=== Extended Checks ===\n  Reply-chain  : OK\n");
    EXPECT_EQ(issue_texts(r.out),
              (issue_list{"Msg[1]: MSG_ESCAPED: byte 0xE9 at pos 3 outside 7-bit range",
                          "Msg[1]: MSG_ESCAPED: byte 0x0D at pos 7 outside 7-bit range",
                          trailing_issue(1)}));
}
