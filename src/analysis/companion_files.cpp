// Placeholder until this phase is built.
#include "analysis/analysis.h"

void check_companion_files(run_context &ctx) {
    (void)ctx;
}
