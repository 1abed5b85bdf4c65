// The byte-shift test and its correction: which shift is found, the realigned bytes, the
// file and the lock kept, and what a failed or interrupted correction leaves behind.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const auto ins = [](std::string s, std::size_t i, char c) { return s.insert(i, 1, c); };
const auto del = [](std::string s, std::size_t i) { return s.erase(i, 1); };
const auto u32 = [](std::string s, std::size_t i, uint32_t v) { return s.replace(i, 4, le32(v)); };

// Two messages behind a fixed header with DateCreated 2023-11-14 and BaseMsgNum 1.
std::string write_base(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.write();
    return b.bytes(jam_ext::jhr);
}

// Runs the test, and in repair mode the correction.
run_result detect(run_context &ctx, const base_builder &b, bool repair) {
    ctx.options.repair = repair;
    ctx.jhr_path = b.path(jam_ext::jhr);
    return capture_output([&] { return detect_byte_shift(ctx) ? 0 : 1; });
}

TEST(ByteShift, DetectsTheFirstCandidateThatRealigns) {
    base_builder b;
    const std::string h = write_base(b), fixed = h.substr(0, FIXED_HEADER_SIZE), sig("JAM\0", 4);
    const std::pair<std::string, int32_t> cases[] = {
        {ins(h, 10, '\x7F'), 8}, // removing 4..7 spoils DateCreated
        {ins(h, 100, 'U'), 21},  // removals up to 20 leave BaseMsgNum 0
        {del(h, 12), -4},
        {ins(u32(h, 20, 0x80000000), 4, 'A'), 0}, // BaseMsgNum is taken as signed
        {del(u32(h, 4, 0x65001234), 12), -8},     // every insertion at 4..7 dates before 1980
        // 1026 bytes never shift, 1027 only by an insertion, 1028 not by a removal
        {del(fixed, 4) + "JAM", 0},
        {del(fixed, 4) + sig, -4},
        {ins(fixed, 4, 'A') + "JAM", 0},
        {ins(fixed, 4, 'A') + sig, 4},
    };
    for (const auto &[jhr, shift] : cases) {
        b.set_bytes(jam_ext::jhr, jhr);
        run_context ctx;
        EXPECT_EQ(detect(ctx, b, false).out, "");
        EXPECT_EQ(ctx.report.shift, shift) << jhr.size();
        EXPECT_EQ(ctx.report.issues.size(), shift != 0 ? 1u : 0u);
        EXPECT_EQ(b.bytes(jam_ext::jhr), jhr);
    }
}

// The correction rewrites the file in place: a second name of it (a hard link, as a
// program holding it open would see it) shows the realigned bytes, and the lock is still
// held. Whichever of its file operations fails, the .JHR is left as it was with no redo
// file, or, once the copy has begun, the complete redo file stays and the next repair run
// copies it in.
TEST(ByteShift, CorrectionInPlaceAndAFailureAnywhereIsFinishedByTheNextRun) {
    base_builder b;
    const std::string aligned = write_base(b);
    const std::string shifted = ins(aligned, 4, 'A'), jhr = b.path(jam_ext::jhr);
    const std::string redo = jhr + ".realign", twin = b.dir() + "/twin";
    b.set_bytes(jam_ext::jhr, shifted);
    std::filesystem::create_hard_link(jhr, twin);
    run_context clean;
    ASSERT_EQ(clean.lock.acquire(jhr, 0), base_lock::outcome::locked);
    io_fail_at(0, false);
    const uint64_t syncs = io_sync_calls();
    ASSERT_EQ(detect(clean, b, true).status, 0);
    const uint64_t total = io_op_count();
    // The redo file is on the disk before it is marked complete, and the .JHR before the
    // redo file goes.
    EXPECT_EQ(io_sync_calls() - syncs, 2u);
    EXPECT_EQ(read_file(twin), aligned);
    base_lock other;
    EXPECT_EQ(other.acquire(jhr, 0), base_lock::outcome::busy);
    clean.lock.release();

    b.set_bytes(jam_ext::jhr, shifted);
    run_context analysis;
    io_fail_at(0, false);
    detect(analysis, b, false);
    const uint64_t test_ops = io_op_count(); // the operations of the test before the correction
    int kept = 0;
    for (uint64_t n = test_ops + 1; n <= total; ++n) {
        b.set_bytes(jam_ext::jhr, shifted);
        run_context ctx;
        io_fail_at(n, false);
        const run_result r = detect(ctx, b, true);
        io_fail_at(0, false);
        const std::string what = "operation " + std::to_string(n);
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_TRUE(contains(r.err, "  ERROR: failed to rewrite .JHR\n")) << what;
        EXPECT_FALSE(file_exists(redo + ".tmp")) << what;
        if (!file_exists(redo)) {
            EXPECT_EQ(b.bytes(jam_ext::jhr), shifted) << what;
            continue;
        }
        ++kept;
        EXPECT_EQ(read_file(redo), aligned) << what;
        EXPECT_TRUE(contains(r.err, "waits in " + redo)) << what;
        const run_result again = run_cairnfix({"-r", b.base()});
        EXPECT_EQ(again.err, "") << what;
        EXPECT_TRUE(contains(again.out, "\nFinishing an interrupted realignment of " + jhr + "\n"))
            << what;
        EXPECT_EQ(b.bytes(jam_ext::jhr), aligned) << what;
        EXPECT_FALSE(file_exists(redo)) << what;
    }
    EXPECT_GT(kept, 0);
}

} // namespace
