// The checks of the analysis, in the order the driver runs them. Only the byte-shift
// correction writes, and only in repair or pack mode.
#pragma once

#include "format/files.h"
#include "run/context.h"

#include <cstdint>

// Finishes a realignment of .JHR that a crash interrupted, from its redo file, before
// anything reads the .JHR; removes an incomplete redo file. Returns false when the copy
// failed or the .JHR changed since (the run ends).
bool finish_interrupted_realignment(run_context &ctx);

// Recognises a fixed header with one byte too many or too few near its start and, with
// -r or -p, realigns .JHR. Returns false when the correction failed (the run ends).
bool detect_byte_shift(run_context &ctx);

// The ".JHR File" section. Returns false when no fixed header can be read (the run ends).
bool check_fixed_header(run_context &ctx);

// The ".JDX File", ".JDT File" and ".JLR File" sections, in this order.
void check_companion_files(run_context &ctx);

// The "Message Header Scan" section: walks every header and builds the message table.
void scan_headers(run_context &ctx);

// Checks one MSG_ESCAPED text of .JDT: printable 7-bit bytes and \xx escapes only.
void check_escaped(window_reader *jdt, uint32_t offset, uint32_t length, int32_t msg_index,
                   scan_report &report);

// The ".JDX Against Headers" section: each live index record against the headers found,
// after a walk that reached the end of .JHR. A sound index with holes sets the numbering.
void check_index_against_headers(run_context &ctx);

// The "Extended Checks" section: every ReplyTo, Reply1st and ReplyNext link. A link that
// names no message, as the repairs will number them, is marked for the link repair.
void check_reply_chains(run_context &ctx);
