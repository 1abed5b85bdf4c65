// The run sequence: every phase in its fixed order, then the exit status.
#include "analysis/analysis.h"
#include "driver/command_line.h"
#include "driver/driver.h"
#include "listing/listing.h"
#include "repair/repair.h"

#include <cstdio>
#include <memory>
#include <new>

namespace {

int run_sequence(int argc, char **argv) {
    auto ctx = std::make_unique<run_context>();
    switch (scan_options(argc, argv, ctx->options)) {
    case scan_outcome::help: return 0;
    case scan_outcome::usage_error: return 1;
    case scan_outcome::run: break;
    }
    const run_options &opts = ctx->options;
    print_banner(opts);
    find_files(*ctx);
    if (!ctx->jhr_found) {
        std::fflush(stdout);
        std::fprintf(stderr, "\nFATAL: .JHR not found.\n");
        return 1;
    }
    const bool writes = opts.repair || opts.pack;
    if (writes && opts.backup && !run_backup(*ctx))
        return 1;

    ctx->report = scan_report{};
    if (!detect_byte_shift(*ctx))
        return 1;
    if (!check_fixed_header(*ctx))
        return 1;
    check_companion_files(*ctx);
    scan_headers(*ctx);
    print_issue_list(ctx->report);

    run_repair_phase(*ctx);
    if (opts.summary && ctx->jdx_found)
        print_summary(*ctx);

    std::printf("\nDone.\n");
    return ctx->report.issue_count > 0 ? 2 : 0;
}

} // namespace

int run_tool(int argc, char **argv) {
    try {
        return run_sequence(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fflush(stdout);
        std::fprintf(stderr, "\nFATAL: out of memory.\n");
        return 1;
    }
}
