// The ".JDX File", ".JDT File" and ".JLR File" sections: existence, sizes, and a judgement
// of every complete index and last-read record.
#include "analysis/analysis.h"
#include "format/line_buffer.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <random>

namespace {

// An odd 64-bit number nobody can foresee; where the system offers no random source, the
// clock and the address of a stack object stand in.
uint64_t random_odd() {
    uint64_t r = 0;
    try {
        std::random_device source;
        r = (uint64_t{source()} << 32) ^ source();
    } catch (const std::exception &) {
        int here = 0;
        r = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
                0x9E3779B97F4A7C15u ^
            reinterpret_cast<uintptr_t>(&here);
    }
    return r | 1;
}

// The UserIDs seen so far. Bases number their users from 1, so IDs below 2^24 take one
// bit each in a bitmap of 2 MiB (a single large page where the system offers them). Larger
// IDs go into a flat table with open addressing, which doubles when half full, so a huge
// .JLR of such IDs takes memory for its distinct users only. The table's hash takes a
// random multiplier per run: with a fixed one, a crafted .JLR can give every ID the same
// home slot and turn each insert into a walk over all the IDs before it.
class user_id_set {
  public:
    // Adds the ID; false when it was there already.
    bool insert(uint32_t id) {
        if (id < BITMAP_IDS) {
            if (bits_.empty())
                bits_.resize(BITMAP_IDS / 64);
            uint64_t &word = bits_[id / 64];
            const uint64_t bit = uint64_t{1} << (id % 64);
            const bool seen = (word & bit) != 0;
            word |= bit;
            return !seen;
        }
        if (2 * (count_ + 1) > slots_.size())
            grow();
        std::size_t i = home_of(id);
        for (; slots_[i] != 0; i = next(i))
            if (slots_[i] == id)
                return false;
        slots_[i] = id;
        ++count_;
        return true;
    }

  private:
    static constexpr uint32_t BITMAP_IDS = uint32_t{1} << 24;

    // Where a key's search starts, and the slot after a taken one. The home slot is the top
    // bits of the key times an odd multiplier drawn at random: for any two IDs the chance
    // that they share it is at most twice that of a random slot.
    std::size_t home_of(uint32_t key) const {
        return static_cast<std::size_t>((key * multiplier_) >> shift_);
    }
    std::size_t next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }

    // Doubles the table (a power of two) and puts every key in again.
    void grow() {
        std::vector<uint32_t, large_allocator<uint32_t>> old(
            std::max<std::size_t>(1024, 2 * slots_.size()));
        old.swap(slots_);
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
        for (const uint32_t key : old) {
            if (key == 0)
                continue;
            std::size_t i = home_of(key);
            while (slots_[i] != 0)
                i = next(i);
            slots_[i] = key;
        }
    }

    std::vector<uint64_t, large_allocator<uint64_t>> bits_;
    // Only IDs of 2^24 and more are kept here, so 0 can mark an empty slot.
    std::vector<uint32_t, large_allocator<uint32_t>> slots_;
    std::size_t count_ = 0;
    uint64_t multiplier_ = random_odd();
    unsigned shift_ = 64;
};

// A name under which no regular file stands (a FIFO, a directory, a device) is reported as
// a file that cannot be opened, and is never opened, measured, truncated or created.
bool refused_special(const std::string &path, issue_id issue, int64_t &size, scan_report &report) {
    if (special_file_kind(path) == nullptr)
        return false;
    print_open_error(path);
    std::printf("  NOT A REGULAR FILE  *** ERROR ***\n");
    // The "cannot open" texts hold no conversion: each prints as it stands.
    add_issue(report, issue, "%s", ISSUE_CATALOGUE[static_cast<int>(issue)].text);
    size = 0;
    return true;
}

// Measures a file of fixed-size records and prints its Size and Records lines. Returns the
// number of complete records; `stray` gets the bytes after the last of them.
int64_t measure_records(const std::string &path, std::size_t record, int64_t &size,
                        int64_t &stray) {
    size = fsize(path);
    const int64_t n = size / static_cast<int64_t>(record);
    stray = size % static_cast<int64_t>(record);
    std::printf("  Size         : %" PRId64 " bytes\n", size);
    std::printf("  Records      : %" PRId64 "\n", n);
    return n;
}

void check_jdx(run_context &ctx) {
    scan_report &report = ctx.report;
    std::printf("\n=== .JDX File ===\n");
    ctx.jdx_opened = false;
    if (!file_exists(ctx.jdx_path)) {
        RAISE_ISSUE(report, jdx_missing);
        std::printf("  NOT FOUND  *** ERROR ***\n");
        ctx.jdx_size = 0;
        return;
    }
    if (refused_special(ctx.jdx_path, issue_id::jdx_cannot_open, ctx.jdx_size, report))
        return;
    int64_t stray = 0;
    const int64_t n = measure_records(ctx.jdx_path, IDX_RECORD_SIZE, ctx.jdx_size, stray);
    report.jdx_records = n;
    if (stray != 0)
        RAISE_ISSUE(report, jdx_stray_bytes, stray);
    else if (ctx.jdx_size == 0 && ctx.jhr_size != static_cast<int64_t>(FIXED_HEADER_SIZE))
        RAISE_ISSUE(report, jdx_empty);

    jam_file jdx;
    if (!jdx.open(ctx.jdx_path, "rb")) {
        print_open_error(ctx.jdx_path);
        RAISE_ISSUE(report, jdx_cannot_open);
        return;
    }
    ctx.jdx_opened = true;
    int64_t deleted = 0;
    int64_t orphans = 0;
    window_reader records(jdx);
    line_buffer lines; // the -v lines; nothing else is printed until the loop ends
    for (int64_t j = 0; j < n; ++j) {
        const unsigned char *raw = records.at(j * int64_t{IDX_RECORD_SIZE}, IDX_RECORD_SIZE);
        if (raw == nullptr)
            break;
        const idx_record rec = decode_idx_record(raw);
        if (is_deleted_slot(rec)) {
            ++deleted;
        } else if (rec.HdrOffset < FIXED_HEADER_SIZE ||
                   static_cast<int64_t>(rec.HdrOffset) >= ctx.jhr_size) {
            // Only placed inside the message area; whether a header starts there is the
            // header scan's business.
            RAISE_ISSUE(report, jdx_out_of_range, j, rec.HdrOffset);
            ++orphans;
            ++report.orphan_count;
        } else if (ctx.options.verbose) {
            // "    [%4" PRId64 "] off=0x%08X UserCRC=0x%08X\n"
            lines.text("    [");
            lines.number(j, 4);
            lines.text("] off=");
            lines.hex(rec.HdrOffset, 8);
            lines.text(" UserCRC=");
            lines.hex(rec.UserCRC, 8);
            lines.end_line();
        }
    }
    lines.flush();
    std::printf("  Deleted      : %" PRId64 "\n", deleted);
    if (orphans != 0)
        std::printf("  Orphans      : %" PRId64 "  *** ERROR ***\n", orphans);
}

void check_jdt(run_context &ctx) {
    std::printf("\n=== .JDT File ===\n");
    if (!file_exists(ctx.jdt_path)) {
        std::printf("  Not found (empty area OK)\n");
        ctx.jdt_size = 0;
        return;
    }
    if (refused_special(ctx.jdt_path, issue_id::jdt_cannot_open, ctx.jdt_size, ctx.report))
        return;
    ctx.jdt_size = fsize(ctx.jdt_path);
    std::printf("  Size         : %" PRId64 " bytes\n", ctx.jdt_size);
    std::printf("  Status       : %s\n", ctx.jdt_size != 0 ? "Present" : "Empty");
}

void check_jlr(run_context &ctx) {
    scan_report &report = ctx.report;
    std::printf("\n=== .JLR File ===\n");
    ctx.stale_high_read.clear();
    if (!file_exists(ctx.jlr_path)) {
        std::printf("  Not found (no users yet - OK)\n");
        ctx.jlr_size = 0;
        return;
    }
    if (refused_special(ctx.jlr_path, issue_id::jlr_cannot_open, ctx.jlr_size, report))
        return;
    int64_t stray = 0;
    const int64_t n = measure_records(ctx.jlr_path, LASTREAD_RECORD_SIZE, ctx.jlr_size, stray);
    report.jlr_records = n;
    if (stray != 0)
        RAISE_ISSUE(report, jlr_stray_bytes, stray);

    jam_file jlr;
    if (!jlr.open(ctx.jlr_path, "rb")) {
        print_open_error(ctx.jlr_path);
        RAISE_ISSUE(report, jlr_cannot_open);
        return;
    }
    int64_t deleted = 0;
    // UserIDs of the live records read so far; deleted slots never enter it.
    user_id_set seen_user_ids;
    window_reader records(jlr);
    line_buffer lines; // the -v lines; nothing else is printed until the loop ends
    for (int64_t j = 0; j < n; ++j) {
        const unsigned char *raw =
            records.at(j * int64_t{LASTREAD_RECORD_SIZE}, LASTREAD_RECORD_SIZE);
        if (raw == nullptr)
            break;
        const lastread_record rec = decode_lastread_record(raw);
        if (is_deleted_slot(rec)) {
            ++deleted;
            continue;
        }
        if (rec.HighReadMsg < rec.LastReadMsg) {
            ctx.stale_high_read.push_back(j);
            RAISE_ISSUE(report, jlr_high_below_last, j, rec.HighReadMsg, rec.LastReadMsg);
        }
        if (rec.UserID == 0)
            RAISE_ISSUE(report, jlr_user_id_zero, j);
        if (!seen_user_ids.insert(rec.UserID))
            RAISE_ISSUE(report, jlr_duplicate_user_id, j, rec.UserID);
        if (ctx.options.verbose) {
            // "    [%3" PRId64 "] CRC=0x%08X ID=%-6u Last=%-6u High=%u\n"
            lines.text("    [");
            lines.number(j, 3);
            lines.text("] CRC=");
            lines.hex(rec.UserCRC, 8);
            lines.text(" ID=");
            lines.number(rec.UserID, -6);
            lines.text(" Last=");
            lines.number(rec.LastReadMsg, -6);
            lines.text(" High=");
            lines.number(rec.HighReadMsg);
            lines.end_line();
        }
    }
    lines.flush();
    std::printf("  Deleted      : %" PRId64 "\n", deleted);
}

} // namespace

void check_companion_files(run_context &ctx) {
    check_jdx(ctx);
    check_jdt(ctx);
    check_jlr(ctx);
}
