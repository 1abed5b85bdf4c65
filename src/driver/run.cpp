// The run sequence: every phase in its fixed order, the repairs the options and the
// analysis call for, then the exit status.
#include "analysis/analysis.h"
#include "driver/command_line.h"
#include "driver/driver.h"
#include "listing/listing.h"
#include "repair/repair.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

namespace {

// Takes the JAM write lock before anything is written, saying at once when another program
// holds it. Only a file system without locks lets a repair go on without it.
bool lock_base(run_context &ctx) {
    const std::string shown = terminal_text(ctx.jhr_path);
    const char *path = shown.c_str();
    const auto waiting = [path](long holder) {
        if (holder > 0)
            error_line("  Waiting for the JAM lock on %s (held by process %ld)...\n", path, holder);
        else
            error_line("  Waiting for the JAM lock on %s...\n", path);
    };
    switch (ctx.lock.acquire(ctx.jhr_path, LOCK_WAIT_MS, waiting)) {
    case base_lock::outcome::locked:
        return true;
    case base_lock::outcome::busy:
        error_line("\nFATAL: message base is locked by another program: %s\n", path);
        return false;
    case base_lock::outcome::unsupported:
        error_line("  WARN: cannot lock %s: %s\n", path, std::strerror(errno));
        return true;
    case base_lock::outcome::failed:
        error_line("\nFATAL: cannot lock %s for writing: %s\n", path, std::strerror(errno));
        return false;
    }
    return false;
}

// Two names of one file are never written as two files: a companion that is the .JHR or
// another companion under a second name (a link, a file system that ignores case) would
// be cut or rebuilt as if it were itself. One error line for each such pair.
bool files_are_distinct(const run_context &ctx) {
    const std::pair<bool, const std::string *> files[] = {{ctx.jhr_found, &ctx.jhr_path},
                                                          {ctx.jdt_found, &ctx.jdt_path},
                                                          {ctx.jdx_found, &ctx.jdx_path},
                                                          {ctx.jlr_found, &ctx.jlr_path}};
    bool distinct = true;
    for (std::size_t i = 0; i < std::size(files); ++i)
        for (std::size_t j = i + 1; j < std::size(files); ++j)
            if (files[i].first && files[j].first && same_file(*files[i].second, *files[j].second)) {
                error_line("  ERROR: %s is %s under another name; nothing will be written\n",
                           terminal_text(*files[j].second).c_str(),
                           terminal_text(*files[i].second).c_str());
                distinct = false;
            }
    return distinct;
}

// The -r alone rebuild: the index is missing, or holds no whole record although headers
// were found.
bool index_needs_rebuild(const run_context &ctx) {
    return !ctx.jdx_found || (!ctx.index_has_records() && ctx.msg_count > 0);
}

int run_sequence(int argc, char **argv) {
    auto ctx = std::make_unique<run_context>();
    switch (scan_options(argc, argv, ctx->options)) {
    case scan_outcome::help:
        return 0;
    case scan_outcome::usage_error:
        return 1;
    case scan_outcome::run:
        break;
    }
    const run_options &opts = ctx->options;
    print_banner(opts);
    find_files(*ctx);
    if (!ctx->jhr_found) {
        const std::string base = terminal_text(ctx->options.base_name);
        error_line("\nFATAL: .JHR not found.\n  Looked for %s.jhr and %s.JHR\n", base.c_str(),
                   base.c_str());
        return 1;
    }
    if (const char *kind = special_file_kind(ctx->jhr_path)) {
        error_line("\nFATAL: cannot open %s: not a regular file (%s).\n",
                   terminal_text(ctx->jhr_path).c_str(), kind);
        return 1;
    }
    bool writes = opts.repair || opts.pack;
    // From here a signal ends the run at once, or after the record being written, and
    // removes what the run created.
    if (writes)
        defer_interruptions();
    const uint64_t failures_before = failure_count();
    if (writes && !lock_base(*ctx))
        return 1;
    // A base with two names for one file is analysed, not repaired, and the run fails.
    const bool refused = writes && !files_are_distinct(*ctx);
    if (refused) {
        ctx->options.repair = ctx->options.pack = false;
        writes = false;
    }
    if (writes && !finish_interrupted_realignment(*ctx))
        return 1;
    if (writes)
        remove_backup_leftovers(*ctx);
    if (writes && opts.backup && !run_backup(*ctx))
        return 1;
    if (!writes && !refused && opts.backup)
        error_line("  WARN: nothing to back up: an analysis writes nothing (-b works with -r "
                   "or -p)\n");

    if (!analyse_base(*ctx))
        return 1;
    if (writes)
        run_repairs(*ctx);
    if (opts.summary && ctx->jdx_found)
        print_summary(*ctx);

    std::printf("\nDone.\n");
    // A repair that could not open or write everything must not look like one that did.
    return exit_status(ctx->report, refused || (writes && failure_count() != failures_before));
}

} // namespace

bool analyse_base(run_context &ctx) {
    ctx.report = scan_report{};
    if (!detect_byte_shift(ctx) || !check_fixed_header(ctx))
        return false;
    check_companion_files(ctx);
    scan_headers(ctx);
    check_index_against_headers(ctx);
    if (ctx.options.extended && ctx.msg_count != 0)
        check_reply_chains(ctx);
    print_issue_list(ctx.report);
    return true;
}

repair_plan plan_repairs(const run_context &ctx) {
    const run_options &opts = ctx.options;
    const auto unless_stopped = [&ctx] {
        return ctx.walk_stop_offset >= 0 ? skip_reason::walk_stopped : skip_reason::none;
    };
    repair_plan plan;
    plan.walk_stop_offset = ctx.walk_stop_offset;
    // The in-place repairs run only when the issue list showed an issue.
    if (ctx.report.issue_count > 0) {
        plan.in_place = skip_reason::none;
        // A walk that stopped early did not count the headers after the stop.
        if (!ctx.table_valid)
            plan.active_msgs = skip_reason::no_table;
        else if (ctx.fhdr.ActiveMsgs != static_cast<uint32_t>(ctx.report.active_count))
            plan.active_msgs = unless_stopped();
        if (opts.extended && !ctx.table_valid)
            plan.reply_links = plan.id_crcs = skip_reason::no_table;
        else if (opts.extended) {
            plan.id_crcs = skip_reason::none;
            // After an early stop the links to headers past it look dangling but are not;
            // the skip is worth a line only where some link would have been zeroed.
            const std::size_t stored = ctx.stored_count();
            bool dangling = false;
            for (std::size_t i = 0; i < stored && !dangling; ++i)
                dangling = ctx.msg_table[i].dangling != 0;
            plan.reply_links = ctx.walk_stop_offset < 0 ? skip_reason::none
                               : dangling               ? skip_reason::walk_stopped
                                                        : skip_reason::not_called_for;
        }
    }
    // Pack mode always writes the index anew; -r alone only when there is none to use.
    plan.rebuild_section = opts.pack || index_needs_rebuild(ctx);
    if (plan.rebuild_section) {
        // An existing index still points at the headers past an early stop; one rebuilt
        // from the partial walk would lose them.
        if (!ctx.table_valid)
            plan.rebuild_index = skip_reason::no_table;
        else if (ctx.index_has_records())
            plan.rebuild_index = unless_stopped();
        else
            plan.rebuild_index = skip_reason::none;
    }
    if (opts.repair)
        plan.missing_files = skip_reason::none;
    return plan;
}

void run_repairs(run_context &ctx) {
    const repair_plan plan = plan_repairs(ctx);
    if (plan.in_place == skip_reason::none)
        repair_in_place(ctx, plan);
    fix_reply_links(ctx, plan);
    if (plan.id_crcs == skip_reason::none)
        fix_id_crcs(ctx);
    if (plan.rebuild_section)
        rebuild_section(ctx, plan);
    if (plan.missing_files == skip_reason::none)
        create_missing_files(ctx);
}

namespace {

int run_guarded(int argc, char **argv) {
    try {
        return run_sequence(argc, argv);
    } catch (const std::bad_alloc &) {
        error_line("\nFATAL: out of memory.\n");
        return 1;
    } catch (const read_error &e) {
        // On Windows another program's lock refuses reads of the bytes it covers.
        if (e.error == EBUSY)
            error_line("\nFATAL: message base is locked by another program: %s\n",
                       terminal_text(e.path).c_str());
        else
            error_line("\nFATAL: cannot read %s: %s\n", terminal_text(e.path).c_str(),
                       std::strerror(e.error));
        return 1;
    }
}

// Standard output is checked once, after its last line: a report that could not be
// written whole (to a full disk, say) must not end as a run that went well.
bool report_written() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "\nFATAL: cannot write the report to standard output: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
}

} // namespace

int run_tool(int argc, char **argv) {
    const int status = run_guarded(argc, argv);
    return report_written() ? status : 1;
}
