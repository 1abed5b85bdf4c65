// Placeholder until this phase is built.
#include "analysis/analysis.h"

void scan_headers(run_context &ctx) {
    (void)ctx;
}
