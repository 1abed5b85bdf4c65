// Everything that writes after the analysis, and the backup before it.
#pragma once

#include "run/context.h"

// Copies every file of the base to "<file>.bak". Returns false when the backup failed.
bool run_backup(run_context &ctx);

// The repair step after the issue list: in-place repairs, index rebuild and creation of
// missing files, as the options and the analysis decide.
void run_repair_phase(run_context &ctx);

void repair_in_place(run_context &ctx);
void fix_high_read(run_context &ctx);
void fix_reply_links(run_context &ctx);
void fix_id_crcs(run_context &ctx);
void rebuild_index(run_context &ctx);
void create_missing_files(run_context &ctx);
