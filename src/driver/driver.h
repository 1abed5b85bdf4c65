// The command line, file discovery and the run sequence.
#pragma once

#include "run/context.h"

#include <string>

// Runs the whole tool as the command line `argv` asks; returns the exit status
// (0 clean, 2 issues remain, 1 fatal or usage error).
int run_tool(int argc, char **argv);

// The analysis of a found base, from the byte-shift test (and in a repair run its
// correction) to the printed issue list; false after a fatal stop, already reported.
bool analyse_base(run_context &ctx);

// The repairs the options and the analysis call for, and why each of the others does not
// run; the analysis must have run.
repair_plan plan_repairs(const run_context &ctx);
// The repair step after the issue list, as the plan says: in-place repairs, index rebuild
// and creation of missing files.
void run_repairs(run_context &ctx);

// Picks "<base>.<lower>" if it exists, else "<base>.<upper>" if that exists, else the
// lower-case name; returns whether a file was found.
bool find_ext(const std::string &base, const char *lower, const char *upper, std::string &path);
