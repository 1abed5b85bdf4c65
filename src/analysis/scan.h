// The parts of the message header scan, each in a file of its own: the walk over the
// headers and its stops (header_scan.cpp), the subfield walk (subfields.cpp), the rules
// for one message (message_checks.cpp) and the totals that close the section
// (scan_totals.cpp). Only these files use this header.
#pragma once

#include "analysis/analysis.h"
#include "format/line_buffer.h"

#include <cstddef>
#include <cstdint>

// What one message's subfield walk found, for the checks, the -v line and the table. The
// names are shown only by the -v line, so they are copied only with -v.
struct sf_capture {
    bool keep_names;
    char from[SF_NAME_MAX + 1];
    char to[SF_NAME_MAX + 1];
    bool has_from, has_to, has_msgid, has_replyid, has_file, has_freq;
    uint32_t msgid_crc_calc, reply_crc_calc;
    // The CRC of the last non-empty recipient name, cut as sf_text_len cuts it; all ones
    // without one. It is the UserCRC of the message's index record.
    uint32_t user_crc;

    void reset() {
        from[0] = to[0] = '\0';
        has_from = has_to = has_msgid = has_replyid = has_file = has_freq = false;
        msgid_crc_calc = reply_crc_calc = user_crc = ALL_ONES;
    }
};

// Walks the subfields of the block of `len` bytes at `block_at` of .JHR, raising the
// subfield issues and filling `cap`; with -v its lines go to `lines`, else that is null.
// False when the file ends before the block does.
bool walk_subfields(window_reader &headers, int64_t block_at, uint32_t len, int index,
                    line_buffer *lines, sf_capture &cap, scan_report &report);

// The fields every header is checked for, deleted or not: revision and dates.
void check_header_fields(const msg_header &h, uint32_t date_limit, int index, scan_report &report);
// The checks that only make sense for a live message: attribute bits, with -x the stored
// MSGID/REPLYID CRCs (a stale one is marked in `entry` for the repair), and where its text
// lies in .JDT.
void check_live_message(const run_context &ctx, const msg_header &h, const sf_capture &cap,
                        int index, window_reader *jdt, msg_info &entry, scan_report &report);

// Where and how the walk over the headers ended.
struct walk_end {
    int64_t offset;
    bool bad_sig;
    bool truncated;
};
// The closing checks after any kind of stop, and the section's totals.
void finish_walk(run_context &ctx, const walk_end &end);
