// The byte-shift test and its correction: which shift is found, the realigned bytes, the
// report lines, and what failing file operations leave behind.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

std::string ins(std::string s, std::size_t at, char c) {
    return s.insert(at, 1, c);
}
std::string del(std::string s, std::size_t at) {
    return s.erase(at, 1);
}
std::string u32(std::string s, std::size_t at, uint32_t v) {
    return s.replace(at, 4, le32(v));
}

// Two messages behind a fixed header with DateCreated 2023-11-14 and BaseMsgNum 1.
std::string write_base(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.write();
    return b.bytes(jam_ext::jhr);
}

void set_up(run_context &ctx, const base_builder &b, bool repair) {
    ctx.options.repair = repair;
    ctx.jhr_path = b.path(jam_ext::jhr);
}

TEST(ByteShift, DetectsTheFirstCandidateThatRealigns) {
    base_builder b;
    const std::string h = write_base(b), fixed = h.substr(0, FIXED_HEADER_SIZE);
    const std::string sig("JAM\0", 4);
    struct {
        std::string jhr;
        int32_t shift;
        const char *byte = nullptr; // as a spurious byte's issue shows it
    } cases[] = {
        {ins(h, 4, 'A'), 4, "0x41 ('A')"},
        {ins(h, 4, '\x0A'), 4, "0x0A ('.')"},
        {ins(h, 4, '\x80'), 4, "0x80 ('.')"},
        // Removing 4..7 spoils DateCreated; the zero at 8 is the lowest that realigns.
        {ins(h, 10, '\x7F'), 8, "0x00 ('.')"},
        // Removals up to 20 leave BaseMsgNum 0; the zero at 21 is the first that passes.
        {ins(h, 100, 'U'), 21, "0x00 ('.')"},
        {del(h, 4), -4},
        {del(h, 12), -4},
        {del(h, 600), -4}, // everything after 600 back in place; BaseMsgNum reads 256
        {h, 0},
        {ins(h, 2, 'X'), 0},                          // inside the signature
        {"JAM " + ins(h, 4, 'A').substr(4), 0},       // no signature, not examined
        {ins(u32(h, 4, 0), 4, 'A'), 4, "0x41 ('A')"}, // DateCreated not set
        {ins(u32(h, 20, 0x7FFFFFFF), 4, 'A'), 4, "0x41 ('A')"},
        {ins(u32(h, 20, 0), 4, 'A'), 0},
        {ins(u32(h, 20, 0x80000000), 4, 'A'), 0},
        // With this DateCreated every insertion at 4..7 yields a date before 1980.
        {del(u32(h, 4, 0x65001234), 12), -8},
        // 1024 to 1026 bytes never shift, 1027 and 1028 only by an insertion.
        {fixed, 0},
        {ins(fixed, 4, 'A') + "J", 0},
        {del(fixed, 4) + "JAM", 0},
        {del(fixed, 4) + sig, -4},
        {ins(fixed, 4, 'A') + "JAM", 0},
        {del(fixed, 4) + sig + "x", -4},
        {ins(fixed, 4, 'A') + sig, 4, "0x41 ('A')"},
    };
    for (const auto &c : cases) {
        b.set_bytes(jam_ext::jhr, c.jhr);
        run_context ctx;
        set_up(ctx, b, false);
        const run_result r = capture_output([&] {
            try {
                return detect_byte_shift(ctx) ? 0 : 1;
            } catch (const read_error &) {
                return 3; // the driver ends the run with its fatal line
            }
        });
        std::vector<std::string> issues;
        if (c.shift != 0)
            issues.push_back((c.shift > 0 ? ".JHR: spurious byte " + std::string(c.byte) + " "
                                          : ".JHR: missing byte ") +
                             "at fixed-header offset " + std::to_string(std::abs(c.shift)) +
                             " - shifts all data after it by " + (c.shift > 0 ? "+1" : "-1") +
                             ", corrupting fields and message headers");
        EXPECT_EQ(ctx.report.shift, c.shift) << c.jhr.size();
        EXPECT_EQ(ctx.report.issues, issues);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(b.bytes(jam_ext::jhr), c.jhr);
    }
}

TEST(ByteShift, CorrectionRealignsTheFileInRepairAndPackMode) {
    base_builder b;
    const std::string h = write_base(b);
    const auto sizes = [](std::size_t from, std::size_t to) {
        return "  .JHR rewritten (" + std::to_string(from) + " -> " + std::to_string(to) +
               " bytes)\n";
    };
    std::string reserved = h;
    reserved[99] = 'U';
    struct {
        const char *mode;
        std::string jhr, lines, after;
        int status;
    } cases[] = {
        {"-a", ins(h, 4, 'A'), "", ins(h, 4, 'A'), 2},
        {"-r", ins(h, 4, 'A'),
         "  Removing spurious byte 0x41 ('A') at .JHR offset 4\n" + sizes(h.size() + 1, h.size()),
         h, 0},
        {"-p", del(h, 4),
         "  Inserting missing zero byte at .JHR offset 4\n" + sizes(h.size() - 1, h.size()), h, 0},
        // Removing the zero at 21 keeps every field's value; the messages move back.
        {"-r", ins(h, 100, 'U'),
         "  Removing spurious byte 0x00 ('.') at .JHR offset 21\n" + sizes(h.size() + 1, h.size()),
         reserved, 0},
    };
    for (const auto &c : cases) {
        b.set_bytes(jam_ext::jhr, c.jhr);
        const run_result r = run_cairnfix({c.mode, b.base()});
        const std::string heading = "Pre-Repair: JHR Byte-Shift";
        EXPECT_EQ(report_section(r.out, heading),
                  c.lines.empty() ? ""
                                  : "\n=== " + heading + " ===\n" + c.lines +
                                        "  Byte-shift corrected - re-reading .JHR\n");
        EXPECT_EQ(r.status, c.status) << r.out;
        // A later write-back may only have advanced ModCounter.
        EXPECT_EQ(u32(b.bytes(jam_ext::jhr), 8, 0), u32(c.after, 8, 0)) << c.mode;
        EXPECT_FALSE(file_exists(b.path(jam_ext::jhr) + ".tmp"));
    }
}

// The write lock sits on the file: after the rename the new .JHR must be the locked one.
TEST(ByteShift, BaseStaysLockedAcrossTheRename) {
    base_builder b;
    b.set_bytes(jam_ext::jhr, ins(write_base(b), 4, 'A'));
    run_context ctx;
    set_up(ctx, b, true);
    ASSERT_EQ(ctx.lock.acquire(ctx.jhr_path, 0), base_lock::outcome::locked);
    ctx.report.no_such_message_count = 1;

    ASSERT_EQ(capture_output([&] { return detect_byte_shift(ctx) ? 0 : 1; }).status, 0);
    EXPECT_EQ(ctx.report.raised_count + ctx.report.no_such_message_count + ctx.report.shift, 0);
    base_lock other;
    EXPECT_EQ(other.acquire(ctx.jhr_path, 0), base_lock::outcome::busy);
}

// Every counted file operation of the test and the correction fails in turn, once and for
// good: the .JHR stays untouched and no temporary file is left. A
// directory standing where the temporary file goes is not removed.
TEST(ByteShift, FailedCorrectionLeavesTheFileIntact) {
    base_builder b;
    const std::string shifted = ins(write_base(b), 4, 'A'), jhr = b.path(jam_ext::jhr);
    const std::string failed = "  ERROR: failed to rewrite .JHR\n";
    const std::string rewrite_error =
        "  ERROR: could not rewrite " + jhr + ": " + std::strerror(EIO) + "\n";
    uint64_t ops = 0;
    const auto run = [&](bool repair, uint64_t fail_at, bool sticky) {
        b.set_bytes(jam_ext::jhr, shifted);
        run_context ctx;
        set_up(ctx, b, repair);
        io_fail_at(fail_at, sticky);
        const run_result r = capture_output([&] {
            try {
                return detect_byte_shift(ctx) ? 0 : 1;
            } catch (const read_error &) {
                return 3; // the driver ends the run with its fatal line
            }
        });
        ops = io_op_count();
        io_fail_at(0, false);
        return r;
    };
    run(true, 0, false);
    const uint64_t all_ops = ops; // the temporary file's write, flush, close, rename come last

    for (const bool sticky : {false, true})
        for (uint64_t n = 1; n <= all_ops; ++n) {
            const run_result r = run(true, n, sticky);
            EXPECT_EQ(b.bytes(jam_ext::jhr), shifted) << n;
            EXPECT_FALSE(file_exists(jhr + ".tmp")) << n;
            // The test's own open and read: an unreadable header file ends the run.
            const std::string open_failed = "  ERROR: cannot open " + jhr + ": " +
                                            std::strerror(EIO) +
                                            "\n\nFATAL: Cannot read .JHR fixed header.\n";
            // Ops 2 and 4 are the reads of the test and of the correction.
            EXPECT_EQ(r.status, n == 1 ? 1 : (n == 2 || n == 4) ? 3 : 1) << n;
            EXPECT_EQ(r.err, n == 1                  ? open_failed
                             : (n == 2 || n == 4)    ? ""
                             : n + 3 >= all_ops ? rewrite_error + failed
                                                : failed)
                << n;
        }

    std::filesystem::create_directory(jhr + ".tmp");
    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, failed);
    EXPECT_EQ(b.bytes(jam_ext::jhr), shifted);
    EXPECT_TRUE(std::filesystem::is_directory(jhr + ".tmp"));
}

} // namespace
