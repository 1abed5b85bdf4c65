// Everything that writes after the analysis, and the backup before it. Which of these run,
// and in which order, the driver's repair plan decides.
#pragma once

#include "run/context.h"

// Copies every file of the base to "<file>.bak". Returns false when the backup failed.
bool run_backup(run_context &ctx);
// Removes the incomplete copies a killed backup left, with a WARN line for each: any
// repair run does, with -b or without.
void remove_backup_leftovers(const run_context &ctx);

// The "Repairs" section: the fixed-header fields, trailing .JHR bytes, .JDX and .JLR cut to
// whole records, and the last-read records marked by the analysis.
void repair_in_place(run_context &ctx, const repair_plan &plan);
void fix_high_read(run_context &ctx);
// With -x: the links and the stored CRCs the analysis marked.
void fix_reply_links(run_context &ctx, const repair_plan &plan);
void fix_id_crcs(run_context &ctx);

// The "Rebuilding .JDX" section: keeps an index that still reaches past an early stop of
// the header walk, else writes it anew from the headers.
void rebuild_section(run_context &ctx, const repair_plan &plan);
void rebuild_index(run_context &ctx);
// Gives a base without .JDT or .JLR an empty file of that kind.
void create_missing_files(run_context &ctx);
