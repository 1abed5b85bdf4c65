// The byte-shift test on .JHR files with one byte too many or too few, and its correction:
// the realigned bytes, the report lines, and what a failing write leaves behind.
#include "analysis/analysis.h"
#include "format/lock.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

const std::string SHIFT_TAIL =
    " - shifts all data after it by +1, corrupting fields and message headers";
const std::string MISSING_TAIL =
    " - shifts all data after it by -1, corrupting fields and message headers";

std::string spurious_issue(const char *byte, int offset) {
    return ".JHR: spurious byte " + std::string(byte) + " at fixed-header offset " +
           std::to_string(offset) + SHIFT_TAIL;
}
std::string missing_issue(int offset) {
    return ".JHR: missing byte at fixed-header offset " + std::to_string(offset) + MISSING_TAIL;
}

// Two messages behind a fixed header with DateCreated 2023-11-14 and BaseMsgNum 1.
void write_base(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.write();
}

void set_up(run_context &ctx, const base_builder &b, bool repair) {
    ctx.options.base_name = b.base();
    ctx.options.repair = repair;
    ctx.options.analyze = !repair;
    ctx.jhr_path = b.path(jam_ext::jhr);
    ctx.jhr_found = true;
}

std::string with_inserted(std::string s, std::size_t at, char c) {
    s.insert(at, 1, c);
    return s;
}
std::string with_erased(std::string s, std::size_t at) {
    s.erase(at, 1);
    return s;
}

struct detection {
    int32_t shift = 0;
    std::string issue; // empty when no issue was raised
    std::string out;   // the test prints nothing
};

detection detect(const base_builder &b) {
    run_context ctx;
    set_up(ctx, b, false);
    const run_result r = capture_output([&] { return detect_byte_shift(ctx) ? 0 : 1; });
    EXPECT_EQ(r.status, 0);
    return {ctx.report.shift, ctx.report.issues.empty() ? "" : ctx.report.issues.front(), r.out};
}

TEST(ByteShiftDetection, FindsTheFirstCandidateThatRealigns) {
    base_builder b;
    write_base(b);
    const std::string healthy = b.bytes(jam_ext::jhr);

    struct {
        const char *what;
        std::string jhr;
        int32_t shift;
        std::string issue;
    } cases[] = {
        {"printable spurious byte", with_inserted(healthy, 4, 'A'), 4,
         spurious_issue("0x41 ('A')", 4)},
        {"line feed shows a dot", with_inserted(healthy, 4, '\x0A'), 4,
         spurious_issue("0x0A ('.')", 4)},
        {"high byte shows a dot", with_inserted(healthy, 4, '\x80'), 4,
         spurious_issue("0x80 ('.')", 4)},
        // Removing byte 4..7 spoils DateCreated; the zero at 8 is the lowest that realigns.
        {"spurious byte in ModCounter", with_inserted(healthy, 10, '\x7F'), 8,
         spurious_issue("0x00 ('.')", 8)},
        // Removals up to 20 leave BaseMsgNum 0; the zero at 21 is the first that passes.
        {"spurious byte in Reserved", with_inserted(healthy, 100, '\x55'), 21,
         spurious_issue("0x00 ('.')", 21)},
        {"missing byte at 4", with_erased(healthy, 4), -4, missing_issue(4)},
        // Inserting at 4 already gives a plausible date, whatever byte was lost later.
        {"missing byte in ActiveMsgs", with_erased(healthy, 12), -4, missing_issue(4)},
        {"already aligned", healthy, 0, ""},
        {"shift inside the signature", with_inserted(healthy, 2, 'X'), 0, ""},
        {"bad fixed-header signature", "JAM " + with_inserted(healthy, 4, 'A').substr(4), 0, ""},
        // Inserting at 4 puts every byte after 600 back; BaseMsgNum reads 256 then.
        {"missing byte in Reserved", with_erased(healthy, 600), -4, missing_issue(4)},
    };
    for (const auto &c : cases) {
        b.set_bytes(jam_ext::jhr, c.jhr);
        const detection d = detect(b);
        EXPECT_EQ(d.shift, c.shift) << c.what;
        EXPECT_EQ(d.issue, c.issue) << c.what;
        EXPECT_EQ(d.out, "") << c.what;
        EXPECT_EQ(b.bytes(jam_ext::jhr), c.jhr) << c.what;
    }
}

TEST(ByteShiftDetection, AcceptanceOfDateCreatedAndBaseMsgNum) {
    struct {
        const char *what;
        uint32_t date_created;
        uint32_t base_msg_num;
        int32_t shift;
    } cases[] = {
        {"DateCreated not set passes", 0, 1, 4},
        {"largest positive BaseMsgNum passes", 1700000000, 0x7FFFFFFF, 4},
        {"BaseMsgNum 0 fails", 1700000000, 0, 0},
        {"BaseMsgNum with the top bit set fails", 1700000000, 0x80000000, 0},
        // 0x65001234: every insertion at 4..7 leaves DateCreated before 1980.
        {"insertion offsets that spoil DateCreated are passed over", 0x65001234, 1, -8},
    };
    for (const auto &c : cases) {
        base_builder b;
        b.fhdr.DateCreated = c.date_created;
        b.fhdr.BaseMsgNum = c.base_msg_num;
        write_base(b);
        if (c.shift >= 0)
            b.insert(jam_ext::jhr, 4, "\x41");
        else
            b.erase(jam_ext::jhr, 12, 1);
        EXPECT_EQ(detect(b).shift, c.shift) << c.what;
    }
}

// A candidate image must reach bytes 1024..1027: 1024-1026 bytes never shift, 1027 and
// 1028 only by an insertion, and from 1029 on either way.
TEST(ByteShiftDetection, SizeThresholds) {
    base_builder b;
    write_base(b);
    const std::string fixed = b.bytes(jam_ext::jhr).substr(0, FIXED_HEADER_SIZE);
    const std::string sig("JAM\0", 4);
    const std::string one_more = with_inserted(fixed, 4, 'A');
    const std::string one_less = with_erased(fixed, 4);

    struct {
        std::string jhr;
        int32_t shift;
    } cases[] = {
        {fixed, 0},                  // 1024
        {one_more + "J", 0},         // 1026
        {one_less + "JAM", 0},       // 1026
        {one_less + sig, -4},        // 1027
        {one_more + "JA", 0},        // 1027
        {one_more + "JAM", 0},       // 1028
        {one_less + sig + "x", -4},  // 1028
        {one_more + sig, 4},         // 1029
        {one_less + sig + "xy", -4}, // 1029
    };
    for (const auto &c : cases) {
        b.set_bytes(jam_ext::jhr, c.jhr);
        EXPECT_EQ(detect(b).shift, c.shift) << "size " << c.jhr.size();
    }
}

TEST(ByteShiftCorrection, RealignsInRepairAndPackMode) {
    base_builder b;
    write_base(b);
    const std::string healthy = b.bytes(jam_ext::jhr);
    const auto size = [](std::size_t n) { return std::to_string(n); };

    struct {
        const char *mode;
        std::string jhr;
        std::string lines;
    } cases[] = {
        {"-r", with_inserted(healthy, 4, 'A'),
         "  Removing spurious byte 0x41 ('A') at .JHR offset 4\n  .JHR rewritten (" +
             size(healthy.size() + 1) + " -> " + size(healthy.size()) + " bytes)\n"},
        {"-p", with_erased(healthy, 4),
         "  Inserting missing zero byte at .JHR offset 4\n  .JHR rewritten (" +
             size(healthy.size() - 1) + " -> " + size(healthy.size()) + " bytes)\n"},
    };
    for (const auto &c : cases) {
        b.set_bytes(jam_ext::jhr, c.jhr);
        const run_result r = run_cairnfix({c.mode, b.base()});
        EXPECT_TRUE(contains(r.out, "\n=== Pre-Repair: JHR Byte-Shift ===\n" + c.lines +
                                        "  Byte-shift corrected - re-reading .JHR\n"))
            << c.mode << r.out;
        EXPECT_TRUE(contains(r.out, "  No issues detected. Message base appears healthy.\n"))
            << c.mode << r.out;
        EXPECT_EQ(r.status, 0) << c.mode;
        EXPECT_EQ(r.err, "") << c.mode;
        // Every byte is back in place; only a later write-back may have advanced ModCounter.
        const std::string fixed = b.bytes(jam_ext::jhr);
        ASSERT_EQ(fixed.size(), healthy.size()) << c.mode;
        EXPECT_EQ(fixed.substr(0, 8), healthy.substr(0, 8)) << c.mode;
        EXPECT_EQ(fixed.substr(12), healthy.substr(12)) << c.mode;
        EXPECT_FALSE(file_exists(b.path(jam_ext::jhr) + ".tmp")) << c.mode;
    }
}

// A spurious byte in Reserved is removed at 21, a zero of BaseMsgNum's high bytes: the
// fields keep their values, the messages move back into place, the byte stays in Reserved.
TEST(ByteShiftCorrection, SpuriousByteInReservedRealignsTheMessages) {
    base_builder b;
    write_base(b);
    std::string expected = b.bytes(jam_ext::jhr);
    b.insert(jam_ext::jhr, 100, "\x55");
    expected[99] = '\x55';

    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_TRUE(contains(r.out, "  Removing spurious byte 0x00 ('.') at .JHR offset 21\n"));
    EXPECT_TRUE(contains(r.out, "  No issues detected. Message base appears healthy.\n")) << r.out;
    EXPECT_EQ(r.status, 0);
    const std::string fixed = b.bytes(jam_ext::jhr);
    EXPECT_EQ(fixed.substr(0, 8), expected.substr(0, 8));
    EXPECT_EQ(fixed.substr(12), expected.substr(12));
}

TEST(ByteShiftCorrection, AnalyzeOnlyReportsAndKeepsTheFile) {
    base_builder b;
    write_base(b);
    b.insert(jam_ext::jhr, 4, "A");
    const std::string shifted = b.bytes(jam_ext::jhr);

    const run_result r = run_cairnfix({b.base()});
    const auto issues = issue_texts(r.out);
    ASSERT_FALSE(issues.empty()) << r.out;
    EXPECT_EQ(issues.front(), spurious_issue("0x41 ('A')", 4));
    EXPECT_FALSE(contains(r.out, "Pre-Repair"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(b.bytes(jam_ext::jhr), shifted);
}

// The write lock moves with the file: after the rename the new .JHR is the locked one.
TEST(ByteShiftCorrection, BaseStaysLockedAcrossTheRename) {
    base_builder b;
    write_base(b);
    b.insert(jam_ext::jhr, 4, "A");
    run_context ctx;
    set_up(ctx, b, true);
    ASSERT_EQ(ctx.lock.acquire(ctx.jhr_path, 0), base_lock::outcome::locked);

    const run_result r = capture_output([&] { return detect_byte_shift(ctx) ? 0 : 1; });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ctx.report.issue_count, 0);
    EXPECT_EQ(ctx.report.raised_count, 0);
    EXPECT_EQ(ctx.report.shift, 0);
    base_lock other;
    EXPECT_EQ(other.acquire(ctx.jhr_path, 0), base_lock::outcome::busy);
}

TEST(ByteShiftCorrection, DirectoryInPlaceOfTheTemporaryFile) {
    base_builder b;
    write_base(b);
    b.insert(jam_ext::jhr, 4, "A");
    const std::string shifted = b.bytes(jam_ext::jhr);
    const std::string tmp = b.path(jam_ext::jhr) + ".tmp";
    std::filesystem::create_directory(tmp);

    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "  ERROR: failed to rewrite .JHR\n");
    EXPECT_FALSE(contains(r.out, "Issues Found"));
    EXPECT_EQ(b.bytes(jam_ext::jhr), shifted);
    EXPECT_TRUE(std::filesystem::is_directory(tmp));
}

// Every counted file operation of the test and the correction is made to fail in turn,
// once and for good: the .JHR stays untouched and no temporary file is left.
TEST(ByteShiftCorrection, FailingOperationsLeaveTheFileIntact) {
    base_builder b;
    write_base(b);
    const std::string healthy = b.bytes(jam_ext::jhr);
    const std::string shifted = with_inserted(healthy, 4, 'A');
    const std::string jhr = b.path(jam_ext::jhr);
    const std::string rewrite_error =
        "  ERROR: could not rewrite " + jhr + ": " + std::strerror(EIO) + "\n";
    const std::string failed = "  ERROR: failed to rewrite .JHR\n";

    uint64_t ops = 0; // counted operations of the last run
    const auto run = [&](bool repair, uint64_t fail_at, bool sticky) {
        b.set_bytes(jam_ext::jhr, shifted);
        run_context ctx;
        set_up(ctx, b, repair);
        io_fail_at(fail_at, sticky);
        const run_result r = capture_output([&] { return detect_byte_shift(ctx) ? 0 : 1; });
        ops = io_op_count();
        io_fail_at(0, false);
        return r;
    };
    run(false, 0, false);
    const uint64_t test_ops = ops;
    run(true, 0, false);
    const uint64_t all_ops = ops;
    ASSERT_GT(all_ops, test_ops + 4);
    ASSERT_EQ(b.bytes(jam_ext::jhr), healthy);
    // The temporary file's write, flush, close and rename come last.
    const uint64_t first_rewrite_op = all_ops - 3;

    for (const bool sticky : {false, true})
        for (uint64_t n = 1; n <= all_ops; ++n) {
            const run_result r = run(true, n, sticky);
            const std::string now = b.bytes(jam_ext::jhr);
            EXPECT_FALSE(file_exists(jhr + ".tmp")) << n;
            if (n <= test_ops) {
                // The test cannot read the file: no shift, nothing said.
                EXPECT_EQ(r.status, 0) << n;
                EXPECT_EQ(r.out + r.err, "") << n;
                EXPECT_EQ(now, shifted) << n;
                continue;
            }
            EXPECT_EQ(r.status, 1) << n << " sticky " << sticky;
            EXPECT_EQ(now, shifted) << n;
            EXPECT_EQ(r.err, n >= first_rewrite_op ? rewrite_error + failed : failed) << n;
            EXPECT_FALSE(contains(r.out, "rewritten")) << n;
        }
}

} // namespace
