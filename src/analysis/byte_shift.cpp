// Placeholder until this phase is built.
#include "analysis/analysis.h"

bool detect_byte_shift(run_context &ctx) {
    (void)ctx;
    return true;
}
