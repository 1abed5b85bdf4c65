// The repair step as a whole: which repairs run for which options and analysis results,
// and complete repair runs through the binary followed by a second, clean analysis.
#include "format/files.h"
#include "repair/repair.h"
#include "support/base_builder.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

enum class jdx_state { present, empty, missing };

// A copy of one of the real bases in tests/data, in a directory removed afterwards.
struct real_base {
    std::string dir = make_temp_dir();
    std::string name;
    explicit real_base(const std::string &n) : name(n) {
        for (const char *ext : {".jhr", ".jdt", ".jdx", ".jlr"})
            std::filesystem::copy_file(std::string(CAIRNFIX_TEST_DATA) + "/" + n + "/" + n + ext,
                                       dir + "/" + n + ext);
    }
    ~real_base() { std::filesystem::remove_all(dir); }
    std::string base() const { return dir + "/" + name; }
    std::string bytes(const char *ext) const { return read_file(base() + ext); }
};

} // namespace

TEST(RepairPhase, DecisionTable) {
    const char *REPAIRS = "\n=== Repairs ===\n";
    const char *REBUILD = "\n=== Rebuilding .JDX ===\n";
    const char *CREATE = "  Creating empty .JDT\n";
    struct row {
        bool r, p;
        int issues;
        jdx_state jdx;
        int messages;
        bool table_valid;
        int64_t walk_stop;
        std::string out;
        uint32_t mod_counter_step;
    };
    const std::string one = "  Rebuilding .JDX (1 entries)...\n  Wrote 1 records\n";
    const std::string none = "  Rebuilding .JDX (0 entries)...\n  Wrote 0 records\n";
    const std::string keep = "  Keeping .JDX: header walk stopped at offset 1100\n";
    const row rows[] = {
        {false, false, 1, jdx_state::missing, 1, true, -1, "", 0},
        // -r alone: the index is rebuilt only when missing, or empty beside messages
        {true, false, 0, jdx_state::present, 1, true, -1, CREATE, 0},
        {true, false, 1, jdx_state::present, 1, true, -1, REPAIRS + std::string(CREATE), 0},
        {true, false, 0, jdx_state::missing, 0, true, -1, REBUILD + none + CREATE, 1},
        {true, false, 1, jdx_state::missing, 1, true, -1, REPAIRS + (REBUILD + one) + CREATE, 1},
        {true, false, 0, jdx_state::empty, 1, true, -1, REBUILD + one + CREATE, 1},
        {true, false, 0, jdx_state::empty, 0, true, -1, CREATE, 0},
        // -p: always the rebuild section, never file creation
        {false, true, 0, jdx_state::present, 1, true, -1, REBUILD + one, 1},
        {false, true, 1, jdx_state::present, 1, true, -1, REPAIRS + (REBUILD + one), 1},
        {true, true, 0, jdx_state::present, 1, true, -1, REBUILD + one + CREATE, 1},
        {true, true, 1, jdx_state::present, 1, true, -1, REPAIRS + (REBUILD + one) + CREATE, 1},
        // no table: the heading alone; a partial walk keeps an existing index
        {false, true, 0, jdx_state::present, 1, false, -1, REBUILD, 0},
        {false, true, 0, jdx_state::present, 1, true, 1100, REBUILD + keep, 0},
        {false, true, 0, jdx_state::missing, 1, true, 1100, REBUILD + one, 1},
    };
    int line = 0;
    for (const row &r : rows) {
        SCOPED_TRACE(++line);
        base_builder b;
        b.missing(jam_ext::jdt);
        for (int i = 0; i < r.messages; ++i)
            b.add_message();
        if (r.jdx == jdx_state::missing)
            b.missing(jam_ext::jdx);
        if (r.jdx == jdx_state::empty)
            b.index = std::vector<idx_record>{};
        b.write();
        const std::string jhr = b.bytes(jam_ext::jhr), jdx = b.bytes(jam_ext::jdx);
        run_context ctx;
        fill_context(ctx, b);
        ctx.options.repair = r.r;
        ctx.options.pack = r.p;
        ctx.report.issue_count = r.issues;
        ctx.table_valid = r.table_valid;
        ctx.walk_stop_offset = r.walk_stop;

        const captured c = capture_output([&] { run_repair_phase(ctx); });
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, "");
        EXPECT_EQ(b.get_u32(jam_ext::jhr, 8), r.mod_counter_step);
        if (r.mod_counter_step == 0) {
            EXPECT_EQ(b.bytes(jam_ext::jhr), jhr);
            EXPECT_EQ(b.bytes(jam_ext::jdx), jdx);
        }
        EXPECT_EQ(file_exists(b.path(jam_ext::jdt)), r.r);
    }
}

TEST(RepairPhase, RepairRunLeavesNothingForASecondRun) {
    base_builder b;
    b.fhdr.ModCounter = 100;
    b.active_msgs = 9;
    b.add_message().links(0, 2, 0).msgid("2:5020/1 00000001");
    b.add_message().links(1, 0, 40).msgid("2:5020/1 00000002").replyid("2:5020/1 00000001");
    b.messages[1].hdr.REPLYcrc = 0x0BADC0DE;
    b.add_message().links(77, 0, 0).deleted();
    b.lastread = {{1, 1, 2, 1}};
    b.write();
    b.append(jam_ext::jhr, "\r\n");
    b.append(jam_ext::jdx, "xyz");
    b.append(jam_ext::jlr, "!");
    const std::string jhr_before = b.bytes(jam_ext::jhr);

    const run_result first = run_cairnfix({"-r", "-x", "-p", b.base()});
    EXPECT_EQ(first.status, 2) << first.out;
    EXPECT_EQ(first.err, "");
    const std::string size = std::to_string(jhr_before.size());
    const std::string cut = std::to_string(jhr_before.size() - 2);
    char crc_line[80];
    std::snprintf(crc_line, sizeof crc_line, "  Msg[1]: REPLYcrc 0x0BADC0DE -> 0x%08X\n",
                  jam_crc_buf("2:5020/1 00000001", 17));
    const std::string repairs = "\n=== Repairs ===\n"
                                "  Fixing ActiveMsgs 9 -> 2\n"
                                "  Removing 2 trailing byte(s) from .JHR (" +
                                size + " -> " + cut + " bytes)\n" +
                                "  Truncating .JDX 27 -> 24 bytes\n"
                                "  Truncating .JLR 17 -> 16 bytes\n"
                                "  JLR[0]: HighReadMsg 1 -> 2\n"
                                "  Fixed 1 JLR HighReadMsg entries\n"
                                "  Msg[1]: zero dangling ReplyNext=40\n"
                                "  Fixed 1 reply-chain entries\n" +
                                crc_line + "  Fixed 1 MSGID/REPLYID CRCs\n";
    EXPECT_EQ(report_section(first.out, "Repairs"), repairs);
    EXPECT_EQ(report_section(first.out, "Rebuilding .JDX"),
              "\n=== Rebuilding .JDX ===\n  Rebuilding .JDX (3 entries)...\n  Wrote 3 records\n"
              "\nDone.\n");
    // Two write-backs of the fixed header: after the fixes and after the rebuild.
    EXPECT_EQ(b.get_u32(jam_ext::jhr, 8), 102u);
    EXPECT_EQ(b.bytes(jam_ext::jdx).size(), 24u);
    std::string index;
    for (std::size_t i = 0; i < 3; ++i) {
        unsigned char raw[IDX_RECORD_SIZE];
        encode_idx_record(b.derived_index(i), raw);
        index.append(reinterpret_cast<const char *>(raw), sizeof raw);
    }
    EXPECT_EQ(b.bytes(jam_ext::jdx), index);

    const run_result second = run_cairnfix({"-x", b.base()});
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(issue_texts(second.out), std::vector<std::string>{});
}

TEST(RepairPhase, RepairCreatesMissingFilesUnderLowerCaseNames) {
    base_builder b;
    b.upper(jam_ext::jhr).upper(jam_ext::jdx).missing(jam_ext::jdt).missing(jam_ext::jlr);
    b.add_message().body("");
    b.write();
    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\n  Creating empty .JDT\n  Creating empty .JLR\n\nDone.\n"));
    EXPECT_EQ(fsize(b.base() + ".jdt"), 0);
    EXPECT_EQ(fsize(b.base() + ".jlr"), 0);
}

TEST(RepairPhase, RealBases) {
    // A healthy base with deleted messages: the rebuilt index is the one its tosser wrote.
    {
        real_base rb("jn-posted");
        const std::string jdx = rb.bytes(".jdx");
        const run_result r = run_cairnfix({"-p", rb.base()});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(rb.bytes(".jdx"), jdx);
    }
    // A walk that breaks after 5 of 12 headers changes neither the count nor the index.
    {
        real_base rb("jn-amd64-posted");
        const std::string jhr = rb.bytes(".jhr"), jdx = rb.bytes(".jdx");
        const run_result r = run_cairnfix({"-r", "-x", "-p", rb.base()});
        EXPECT_TRUE(contains(r.out, "  Not fixing ActiveMsgs: header walk stopped at offset"));
        EXPECT_TRUE(contains(r.out, "  Keeping .JDX: header walk stopped at offset"));
        EXPECT_EQ(rb.bytes(".jhr"), jhr);
        EXPECT_EQ(rb.bytes(".jdx"), jdx);
    }
    // Garbage CRCs everywhere: after the repair a second analysis finds none of them.
    {
        real_base rb("amd64-medium");
        run_cairnfix({"-r", "-x", "-p", rb.base()});
        const run_result second = run_cairnfix({"-x", rb.base()});
        for (const std::string &issue : issue_texts(second.out)) {
            EXPECT_FALSE(contains(issue, "crc mismatch")) << issue;
            EXPECT_FALSE(contains(issue, "ActiveMsgs")) << issue;
        }
    }
}
