// The ".JDX Against Headers" section: every live index record judged against the headers
// the scan found, since readers find messages through the index alone. It also settles how
// messages are numbered: by record position when a sound index holds the holes of a pack.
#include "analysis/analysis.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

// How many records (or headers) fell into one class, and the first of them.
struct fault_class {
    int64_t count = 0;
    int64_t first = -1;  // record position, or table index for headers not indexed
    uint64_t detail = 0; // the first one's HdrOffset, or the header it points at

    void add(int64_t at, uint64_t what) {
        if (count++ == 0) {
            first = at;
            detail = what;
        }
    }
};

struct index_findings {
    int64_t checked = 0;
    fault_class not_indexed, no_header, out_of_order, wrong_crc;
    bool moved = false; // a live header's record stands elsewhere than its place in .JHR
};

// The table index of the header at `offset`, or NO_POSITION. An index in order points at
// the header after the last one found, so that one is tried first; else the offsets, which
// rise with the table index, are searched.
uint32_t find_header(const msg_table_type &table, std::size_t next, uint32_t offset) {
    if (next < table.size() && table[next].hdr_offset == offset)
        return static_cast<uint32_t>(next);
    const auto at =
        std::lower_bound(table.begin(), table.end(), offset, [](const msg_info &m, uint32_t off) {
            return m.hdr_offset < static_cast<int64_t>(off);
        });
    if (at == table.end() || at->hdr_offset != offset)
        return NO_POSITION;
    return static_cast<uint32_t>(at - table.begin());
}

// Calls visit(j, record, h) for every live record j whose HdrOffset lies in the message
// area (the others are orphans, reported by the .JDX check), in .JDX order, with the table
// index h of the header at that offset, or NO_POSITION.
template <class F>
void walk_index(const run_context &ctx, int64_t records, window_reader &jdx, F &&visit) {
    std::size_t next = 0; // the header after the last one found
    for (int64_t j = 0; j < records; ++j) {
        const unsigned char *raw = jdx.at(j * int64_t{IDX_RECORD_SIZE}, IDX_RECORD_SIZE);
        if (raw == nullptr)
            break;
        const idx_record rec = decode_idx_record(raw);
        if (is_deleted_slot(rec) || rec.HdrOffset < FIXED_HEADER_SIZE ||
            static_cast<int64_t>(rec.HdrOffset) >= ctx.jhr_size)
            continue;
        const uint32_t h = find_header(ctx.msg_table, next, rec.HdrOffset);
        if (h != NO_POSITION)
            next = std::size_t{h} + 1;
        visit(j, rec, h);
    }
}

// Sorts every record the walk hands over into the four classes. A record that points at a
// header at or before one an earlier record points at is out of order, and only a record
// in order has its UserCRC judged.
index_findings judge_records(const run_context &ctx, int64_t records, window_reader &jdx) {
    const msg_table_type &table = ctx.msg_table;
    index_findings f;
    std::vector<bool> pointed(table.size());
    int64_t live_pointed = 0;
    int64_t highest = -1; // the furthest header an earlier record points at
    walk_index(ctx, records, jdx, [&](int64_t j, const idx_record &rec, uint32_t h) {
        ++f.checked;
        if (h == NO_POSITION) {
            f.no_header.add(j, rec.HdrOffset);
            return;
        }
        if (!pointed[h]) {
            pointed[h] = true;
            live_pointed += table[h].deleted ? 0 : 1;
        }
        if (static_cast<int64_t>(h) <= highest) {
            f.out_of_order.add(j, h);
            return;
        }
        highest = h;
        f.moved = f.moved || (!table[h].deleted && j != static_cast<int64_t>(h));
        if (rec.UserCRC != table[h].user_crc)
            f.wrong_crc.add(j, h);
    });
    // The walk reached the end of .JHR, so every live header it counted is in the table;
    // only when some are not pointed at is the table searched for them.
    if (live_pointed < ctx.report.active_count)
        for (std::size_t i = 0; i < table.size(); ++i)
            if (!table[i].deleted && !pointed[i])
                f.not_indexed.add(static_cast<int64_t>(i), 0);
    return f;
}

// One issue per class, however many records it holds, so that a large base cannot fill
// the list; then the section, when there is anything to show.
void report_findings(const index_findings &f, scan_report &report) {
    if (f.not_indexed.count != 0)
        RAISE_ISSUE(report, jdx_not_indexed, f.not_indexed.count, f.not_indexed.first);
    if (f.no_header.count != 0)
        RAISE_ISSUE(report, jdx_no_header, f.no_header.count, f.no_header.first,
                    static_cast<uint32_t>(f.no_header.detail));
    if (f.out_of_order.count != 0)
        RAISE_ISSUE(report, jdx_out_of_order, f.out_of_order.count, f.out_of_order.first,
                    f.out_of_order.detail);
    if (f.wrong_crc.count != 0)
        RAISE_ISSUE(report, jdx_wrong_user_crc, f.wrong_crc.count, f.wrong_crc.first);

    const struct {
        const char *label;
        int64_t count;
    } lines[] = {{"Not indexed  ", f.not_indexed.count},
                 {"No header    ", f.no_header.count},
                 {"Out of order ", f.out_of_order.count},
                 {"Wrong UserCRC", f.wrong_crc.count}};
    if (std::none_of(std::begin(lines), std::end(lines), [](const auto &l) { return l.count; }))
        return;
    std::printf("\n=== .JDX Against Headers ===\n");
    std::printf("  Checked      : %" PRId64 " records\n", f.checked);
    for (const auto &l : lines)
        if (l.count != 0)
            std::printf("  %s: %" PRId64 "  *** ERROR ***\n", l.label, l.count);
}

// Numbers by record position: a sound index in which a live header's record stands
// elsewhere than its place in .JHR, as after a pack that left holes.
void number_by_position(run_context &ctx, int64_t records, window_reader &jdx) {
    ctx.record_of_header.assign(ctx.msg_table.size(), NO_POSITION);
    ctx.header_of_record.assign(static_cast<std::size_t>(records), NO_POSITION);
    walk_index(ctx, records, jdx, [&](int64_t j, const idx_record &, uint32_t h) {
        ctx.record_of_header[h] = static_cast<uint32_t>(j);
        ctx.header_of_record[static_cast<std::size_t>(j)] = h;
    });
}

} // namespace

void check_index_against_headers(run_context &ctx) {
    ctx.record_of_header.clear();
    ctx.header_of_record.clear();
    // After an early stop the table does not hold every header, so nothing is judged, as
    // nothing is repaired then. Positions must fit a message number.
    const int64_t records = ctx.jdx_size / static_cast<int64_t>(IDX_RECORD_SIZE);
    if (!ctx.table_valid || !ctx.walk_complete || !ctx.jdx_opened || !ctx.index_has_records() ||
        records >= int64_t{NO_POSITION} || ctx.msg_table.size() >= NO_POSITION)
        return;
    jam_file f;
    if (!f.open(ctx.jdx_path, "rb")) {
        // An index that cannot be judged must not let the base pass as healthy.
        print_open_error(ctx.jdx_path);
        RAISE_ISSUE(ctx.report, jdx_cannot_open);
        return;
    }
    window_reader jdx(f);
    const index_findings found = judge_records(ctx, records, jdx);
    report_findings(found, ctx.report);
    if (found.moved && ctx.report.orphan_count == 0 && found.not_indexed.count == 0 &&
        found.no_header.count == 0 && found.out_of_order.count == 0)
        number_by_position(ctx, records, jdx);
}
