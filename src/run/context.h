// The state of one run, below every phase: options, the paths of the four files, sizes,
// the fixed-header copy, the issue list with its counters and the message table.
#pragma once

#include "format/jam.h"
#include "format/lock.h"
#include "format/memory.h"

#include <cinttypes>
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
    // that dangle: the exit status must not forget what the cap dropped.
    int64_t raised_count = 0;
    int64_t dangling_link_count = 0;
};

// The exit status of a run that reached its end: 1 when a file operation of a repair
// failed, else 2 while issues remain and 0 when none do.
int exit_status(const scan_report &report, bool repair_failed);
// Lowers the issue count after `headers` message headers had their dangling links zeroed.
// One header may stand for several link issues, so the count can drop below what is still
// wrong; it never drops below the issues that are not dangling links, those the full list
// dropped included.
void count_repaired_links(scan_report &report, int64_t headers);

// Every issue text the analysis can raise, with a stable id and the report section whose
// checks raise it. The text is the printf format of what the issue list prints.
#define CAIRNFIX_ISSUES(X)                                                                         \
    X(jhr_realignment_waits, byte_shift,                                                           \
      ".JHR: an interrupted realignment waits in %s - run with -r to finish it")                   \
    X(jhr_spurious_byte, byte_shift,                                                               \
      ".JHR: spurious byte 0x%02X ('%c') at fixed-header offset %d - shifts all data after it "    \
      "by +1, corrupting fields and message headers")                                              \
    X(jhr_missing_byte, byte_shift,                                                                \
      ".JHR: missing byte at fixed-header offset %d - shifts all data after it by -1, "            \
      "corrupting fields and message headers")                                                     \
    X(jhr_too_small, jhr_file, ".JHR: file too small (%" PRId64 " < %zu bytes)")                   \
    X(jhr_bad_signature, jhr_file, ".JHR: bad fixed-header signature 0x%08X")                      \
    X(jhr_date_created, jhr_file, ".JHR: implausible DateCreated: %s")                             \
    X(jhr_base_msg_num_zero, jhr_file, ".JHR: BaseMsgNum is 0 (must be >= 1)")                     \
    X(jdx_missing, jdx_file, ".JDX: file missing")                                                 \
    X(jdx_cannot_open, jdx_file, ".JDX: cannot open")                                              \
    X(jdx_stray_bytes, jdx_file, ".JDX: %" PRId64 " stray bytes after last complete record")       \
    X(jdx_empty, jdx_file,                                                                         \
      ".JDX: file is empty but .JHR has message data - rebuild with -p or -r")                     \
    X(jdx_out_of_range, jdx_file, ".JDX: record %" PRId64 " HdrOffset=0x%08X out of JHR range")    \
    X(jdt_cannot_open, jdt_file, ".JDT: cannot open")                                              \
    X(jlr_stray_bytes, jlr_file, ".JLR: %" PRId64 " stray bytes after last complete record")       \
    X(jlr_cannot_open, jlr_file, ".JLR: cannot open")                                              \
    X(jlr_high_below_last, jlr_file, ".JLR: record %" PRId64 " HighReadMsg(%u) < LastReadMsg(%u)") \
    X(jlr_user_id_zero, jlr_file, ".JLR: record %" PRId64 " UserID=0 (should be >= 1)")            \
    X(jlr_duplicate_user_id, jlr_file, ".JLR: record %" PRId64 " duplicate UserID=%u")             \
    X(subfields_unreadable, header_scan, "Msg[%d]: could not read subfield data")                  \
    X(jhr_truncated, header_scan,                                                                  \
      ".JHR: truncated at offset %" PRId64 " (%" PRId64 " bytes remaining)")                       \
    X(jhr_bad_message_signature, header_scan, ".JHR: bad message sig 0x%08X at offset %" PRId64)   \
    X(subfield_len_implausible, header_scan,                                                       \
      "Msg[%d]: SubfieldLen=%u implausible at offset %" PRId64)                                    \
    X(tzutc_non_digit, header_scan, "Msg[%d]: TZUTCINFO contains non-digit offset characters")     \
    X(subfield_header_truncated, header_scan, "Msg[%d]: SF[%d] header truncated at pos %u")        \
    X(subfield_overrun, header_scan, "Msg[%d]: SF[%d] LoID=%u DatLen=%u overruns subfield block")  \
    X(subfield_over_limit, header_scan, "Msg[%d]: SF %s DatLen=%u exceeds limit %u")               \
    X(revision, header_scan, "Msg[%d]: Revision=%u (expected %u)")                                 \
    X(date_written, header_scan, "Msg[%d]: implausible DateWritten: %s")                           \
    X(date_received, header_scan, "Msg[%d]: implausible DateReceived: %s")                         \
    X(date_processed, header_scan, "Msg[%d]: implausible DateProcessed: %s")                       \
    X(reserved_attributes, header_scan, "Msg[%d]: reserved attribute bits set (0x%08X)")           \
    X(exclusive_types, header_scan,                                                                \
      "Msg[%d]: multiple exclusive type bits set (TYPELOCAL/ECHO/NET)")                            \
    X(file_attach_alone, header_scan, "Msg[%d]: MSG_FILEATTACH set but no enclosed-file subfield") \
    X(file_request_alone, header_scan,                                                             \
      "Msg[%d]: MSG_FILEREQUEST set but no SF_ENCLOSEDFREQ subfield")                              \
    X(truncfile_alone, header_scan, "Msg[%d]: MSG_TRUNCFILE without MSG_FILEATTACH")               \
    X(killfile_alone, header_scan, "Msg[%d]: MSG_KILLFILE without MSG_FILEATTACH")                 \
    X(encrypt_reserved, header_scan, "Msg[%d]: MSG_ENCRYPT is reserved in JAM rev 1")              \
    X(compress_reserved, header_scan, "Msg[%d]: MSG_COMPRESS is reserved in JAM rev 1")            \
    X(msgid_crc_stale, header_scan, "Msg[%d]: MSGIDcrc mismatch stored=0x%08X computed=0x%08X")    \
    X(reply_crc_stale, header_scan, "Msg[%d]: REPLYcrc mismatch stored=0x%08X computed=0x%08X")    \
    X(text_offset_beyond, header_scan, "Msg[%d]: JDT offset %u beyond file end (%" PRId64 ")")     \
    X(text_overruns, header_scan,                                                                  \
      "Msg[%d]: JDT text overruns file (off=%u len=%u jdt=%" PRId64 ")")                           \
    X(bad_escape, header_scan, "Msg[%d]: MSG_ESCAPED: bad escape at text pos %u")                  \
    X(escaped_byte_range, header_scan,                                                             \
      "Msg[%d]: MSG_ESCAPED: byte 0x%02X at pos %u outside 7-bit range")                           \
    X(escape_errors_suppressed, header_scan, "Msg[%d]: further escaped-text errors suppressed")    \
    X(jhr_trailing_bytes, header_scan,                                                             \
      ".JHR: %" PRId64 " trailing byte(s) after last message header (editor newline?)")            \
    X(active_msgs_count, header_scan, ".JHR: ActiveMsgs=%u but counted %d active messages")        \
    X(mod_counter_wraps, header_scan,                                                              \
      ".JHR: ModCounter at 0xFFFFFFFF (will wrap to 0 on next write)")                             \
    X(jdx_not_indexed, jdx_against_headers,                                                        \
      ".JDX: %" PRId64 " live message(s) missing from the index (first: Msg[%" PRId64              \
      "]) - rebuild with -p")                                                                      \
    X(jdx_no_header, jdx_against_headers,                                                          \
      ".JDX: %" PRId64 " record(s) point at no message header (first: record %" PRId64             \
      ", HdrOffset=0x%08X) - rebuild with -p")                                                     \
    X(jdx_out_of_order, jdx_against_headers,                                                       \
      ".JDX: %" PRId64 " record(s) out of header order (first: record %" PRId64                    \
      " points at Msg[%" PRIu64 "]) - rebuild with -p")                                            \
    X(jdx_wrong_user_crc, jdx_against_headers,                                                     \
      ".JDX: %" PRId64 " record(s) with a UserCRC that does not match the recipient (first: "      \
      "record %" PRId64 ") - rebuild with -p")                                                     \
    X(reply_to_missing, extended_checks, "Msg[%d] #%u: ReplyTo=%u - no such message")              \
    X(reply_1st_missing, extended_checks, "Msg[%d] #%u: Reply1st=%u - no such message")            \
    X(reply_1st_mismatch, extended_checks,                                                         \
      "Msg[%d] #%u: Reply1st=%u but that msg's ReplyTo=%u (expected %u)")                          \
    X(reply_next_missing, extended_checks, "Msg[%d] #%u: ReplyNext=%u - no such message")          \
    X(reply_next_mismatch, extended_checks,                                                        \
      "Msg[%d] #%u: ReplyNext=%u ReplyTo mismatch (got %u, expected %u)")

// The report sections whose checks raise issues, in report order.
enum class issue_section {
    byte_shift,
    jhr_file,
    jdx_file,
    jdt_file,
    jlr_file,
    header_scan,
    jdx_against_headers,
    extended_checks
};

#define CAIRNFIX_ISSUE_ID(id, section, text) id,
enum class issue_id { CAIRNFIX_ISSUES(CAIRNFIX_ISSUE_ID) };
#undef CAIRNFIX_ISSUE_ID

// Each text as a named array of its own, so that a call naming it hands the compiler the
// literal and the compiler checks the arguments against it.
namespace issue_format {
#define CAIRNFIX_ISSUE_FORMAT(id, section, text) inline constexpr char id[] = text;
CAIRNFIX_ISSUES(CAIRNFIX_ISSUE_FORMAT)
#undef CAIRNFIX_ISSUE_FORMAT
} // namespace issue_format

struct issue_entry {
    issue_id id;
    issue_section section;
    const char *text;
};

#define CAIRNFIX_ISSUE_ENTRY(id, section, text)                                                    \
    issue_entry{issue_id::id, issue_section::section, issue_format::id},
inline constexpr issue_entry ISSUE_CATALOGUE[] = {CAIRNFIX_ISSUES(CAIRNFIX_ISSUE_ENTRY)};
#undef CAIRNFIX_ISSUE_ENTRY

// Adds one issue, formatted like printf and cut to 319 characters. The 513th and later
// issues are dropped and not counted in issue_count. Call it through RAISE_ISSUE, which
// passes the catalogue's text of the id as the format.
// MinGW's "printf" archetype is Microsoft's; the tool prints through MinGW's C99 printf.
#ifdef __MINGW_PRINTF_FORMAT
[[gnu::format(__MINGW_PRINTF_FORMAT, 3, 4)]]
#else
[[gnu::format(printf, 3, 4)]]
#endif
void add_issue(scan_report &report, issue_id id, const char *format, ...);
#define RAISE_ISSUE(report, id, ...)                                                               \
    add_issue(report, issue_id::id, issue_format::id __VA_OPT__(, ) __VA_ARGS__)
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

    // Whether a link dangles: it is set and names no header when messages are numbered
    // from `base`. The reply-chain check reports these links from the stored BaseMsgNum;
    // the link repair zeroes those that dangle from the BaseMsgNum the fixed-header repair
    // leaves (dangling_links).
    bool dangles(uint32_t link, uint32_t base) const {
        uint64_t index = 0;
        return link != 0 && !names_header(link, base, &index);
    }
    // The links of a live message that the link repair zeroes, as LINK_* bits.
    uint8_t dangling_links(const msg_info &m) const {
        const uint32_t base = repaired_base_msg_num(fhdr.BaseMsgNum);
        return static_cast<uint8_t>((dangles(m.reply_to, base) ? LINK_REPLY_TO : 0) |
                                    (dangles(m.reply_1st, base) ? LINK_REPLY_1ST : 0) |
                                    (dangles(m.reply_next, base) ? LINK_REPLY_NEXT : 0));
    }

    std::size_t stored_count() const {
        return msg_count < static_cast<int64_t>(MAX_MSGS) ? static_cast<std::size_t>(msg_count)
                                                          : MAX_MSGS;
    }
};

// Why a repair does not run.
enum class skip_reason {
    none,           // it runs
    not_called_for, // neither the options nor the analysis ask for it
    no_table,       // the header walk left no table to repair from
    walk_stopped,   // the walk stopped early: the table lacks the headers after the stop
};

// The repairs of one run, decided once from the options and the analysis; the repairs
// carry it out and say, where a skip is worth a line, why they did not run.
struct repair_plan {
    skip_reason in_place = skip_reason::not_called_for; // the "Repairs" section
    skip_reason active_msgs = skip_reason::not_called_for;
    skip_reason reply_links = skip_reason::not_called_for;
    skip_reason id_crcs = skip_reason::not_called_for;
    bool rebuild_section = false; // the "Rebuilding .JDX" section
    skip_reason rebuild_index = skip_reason::not_called_for;
    skip_reason missing_files = skip_reason::not_called_for;
    // Where the header walk stopped, for the lines that say why a repair did not run.
    int64_t walk_stop_offset = -1;
};
