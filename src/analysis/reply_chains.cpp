// Placeholder until this phase is built.
#include "analysis/analysis.h"

void check_reply_chains(run_context &ctx) {
    (void)ctx;
}
