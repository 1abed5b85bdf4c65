// The message summary table printed at the end of a run with -s.
#pragma once

#include "run/context.h"

constexpr int SUMMARY_ROWS = 25;

void print_summary(run_context &ctx);
