// The state of one run, below every phase: options, the paths of the four files, sizes,
// the fixed-header copy, the issue list with its counters and the message table.
#pragma once

#include "format/jam.h"
#include "format/lock.h"
#include "format/memory.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int MAX_ISSUES = 512;
constexpr std::size_t ISSUE_LEN = 320;   // an issue text holds at most 319 characters
constexpr std::size_t MAX_MSGS = 500000; // checks and fixes cover this many headers

struct run_options {
    bool analyze = true;
    bool repair = false;
    bool verbose = false;
    bool backup = false;
    bool summary = false;
    bool pack = false;
    bool extended = false;
    std::string base_name;
};

// The issue list and the counters that the analysis hands to the repairs.
struct scan_report {
    int64_t jdx_records = 0;
    int64_t jlr_records = 0;
    int32_t active_count = 0;
    int32_t deleted_count = 0;
    int64_t orphan_count = 0;
    int32_t issue_count = 0; // stored issues; lowered by the reply-link repair
    std::vector<std::string> issues;
    int32_t shift = 0;
    int64_t trailing = 0;
    // Every issue raised, also those the full list dropped, and of them the reply links
    // that name no message: the exit status must not forget what the cap dropped.
    int64_t raised_count = 0;
    int64_t no_such_message_count = 0;
};

// The exit status of a run that reached its end: 1 when a file operation of a repair
// failed, else 2 while issues remain and 0 when none do.
int exit_status(const scan_report &report, bool repair_failed);
// Lowers the issue count after `headers` message headers had their dangling links zeroed.
// One header may stand for several link issues, so the count can drop below what is still
// wrong; it never drops below the issues that are not dangling links, those the full list
// dropped included.
void count_repaired_links(scan_report &report, int64_t headers);

// Adds one issue, formatted like printf and cut to 319 characters. The 513th and later
// issues are dropped and not counted in issue_count.
// MinGW's "printf" archetype is Microsoft's; the tool prints through MinGW's C99 printf.
#ifdef __MINGW_PRINTF_FORMAT
[[gnu::format(__MINGW_PRINTF_FORMAT, 2, 3)]]
#else
[[gnu::format(printf, 2, 3)]]
#endif
void add_issue(scan_report &report, const char *format, ...);
// The "Issues Found" section.
void print_issue_list(const scan_report &report);

// What later phases need of one message header found by the scan. Half a million of them
// are kept, so the flags are single bits: an entry fills 40 bytes (32 before the UserCRC;
// the offset's 8-byte alignment pads the rest).
struct msg_info {
    int64_t hdr_offset = 0;
    uint32_t reply_to = 0;
    uint32_t reply_1st = 0;
    uint32_t reply_next = 0;
    uint32_t msgid_crc_calc = ALL_ONES;
    uint32_t reply_crc_calc = ALL_ONES;
    // The UserCRC its index record must carry (the CRC of its recipient name), taken while
    // the scan walks the subfields: the index check and the rebuild need it for every
    // header, and neither has to read the headers again for it.
    uint32_t user_crc = ALL_ONES;
    bool has_msgid : 1 = false;
    bool has_replyid : 1 = false;
    bool deleted : 1 = false;
    // Faults the analysis found here that a repair mends: stored CRCs that differ from
    // the computed ones (with -x), and links that name no message (LINK_* bits, with -x).
    bool msgid_crc_stale : 1 = false;
    bool reply_crc_stale : 1 = false;
    uint8_t dangling = 0;
};
static_assert(sizeof(msg_info) == 40);

using msg_table_type = std::vector<msg_info, large_allocator<msg_info>>;

constexpr uint8_t LINK_REPLY_TO = 1;
constexpr uint8_t LINK_REPLY_1ST = 2;
constexpr uint8_t LINK_REPLY_NEXT = 4;

// A .JDX record position or a table index that stands for none: a hole, a header without a
// record.
constexpr uint32_t NO_POSITION = ALL_ONES;

struct run_context {
    run_options options;
    std::string jhr_path, jdt_path, jdx_path, jlr_path;
    bool jhr_found = false, jdt_found = false, jdx_found = false, jlr_found = false;

    int64_t jhr_size = 0;
    int64_t jdx_size = 0;
    int64_t jdt_size = 0;
    int64_t jlr_size = 0;
    // Whether the .JDX check could open the index to read its records.
    bool jdx_opened = false;
    // .JLR records whose HighReadMsg lies below LastReadMsg, in file order.
    std::vector<int64_t> stale_high_read;
    fixed_header fhdr;
    scan_report report;

    // One entry per header found, in .JHR order, deleted ones included. Checks and fixes
    // look at the first stored_count() entries only; the index rebuild uses all of them.
    msg_table_type msg_table;
    int64_t msg_count = 0;
    bool table_valid = false;
    // Offset of the header where the walk stopped at a bad signature, an implausible
    // SubfieldLen or a subfield block it could not read, or -1: after such a stop the table
    // does not describe the whole base.
    int64_t walk_stop_offset = -1;
    // Whether the walk went through to the end of .JHR: no early stop, no header cut short.
    bool walk_complete = false;

    // How messages are numbered. A message's number is BaseMsgNum plus the position of its
    // record in .JDX, which is its place in .JHR unless a pack left holes in the index.
    // When the index check finds a sound index that places some live header elsewhere,
    // these hold the positions: per table entry its record (NO_POSITION: none), and per
    // record its table entry (NO_POSITION: a hole). Empty: numbers follow .JHR order.
    std::vector<uint32_t> record_of_header;
    std::vector<uint32_t> header_of_record;

    // The JAM write lock, held from before the first write to the end of a repair run.
    base_lock lock;

    // Whether the index holds a whole record once its stray bytes are cut: one that does
    // not is empty, whatever bytes it had.
    bool index_has_records() const {
        return jdx_found && jdx_size >= static_cast<int64_t>(IDX_RECORD_SIZE);
    }

    bool numbered_by_index() const { return !header_of_record.empty(); }
    // The position that gives table entry i its number.
    uint64_t number_position(std::size_t i) const {
        return numbered_by_index() ? record_of_header[i] : i;
    }
    // Whether link value n names a header, counted from `base`; its table index goes to
    // *index.
    bool names_header(uint32_t n, uint32_t base, uint64_t *index) const {
        if (!numbered_by_index())
            return names_message(n, base, static_cast<uint64_t>(msg_count), index);
        uint64_t record = 0;
        if (!names_message(n, base, header_of_record.size(), &record) ||
            header_of_record[record] == NO_POSITION)
            return false;
        *index = header_of_record[record];
        return true;
    }

    std::size_t stored_count() const {
        return msg_count < static_cast<int64_t>(MAX_MSGS) ? static_cast<std::size_t>(msg_count)
                                                          : MAX_MSGS;
    }
};
