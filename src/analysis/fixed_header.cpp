// Placeholder until this phase is built.
#include "analysis/analysis.h"

bool check_fixed_header(run_context &ctx) {
    (void)ctx;
    return true;
}
