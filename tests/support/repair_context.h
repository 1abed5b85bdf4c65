// A run_context as the analysis of `-x` leaves it for a base written by base_builder, so
// that the repairs can be driven directly, and capture of what they print.
#pragma once

#include "driver/command_line.h"
#include "driver/driver.h"
#include "format/files.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

inline void fill_context(run_context &ctx, const base_builder &b) {
    ctx.options.base_name = b.base();
    ctx.options.extended = true;
    capture_output([&] {
        find_files(ctx);
        ASSERT_TRUE(analyse_base(ctx));
    });
}

// Counted file operations that `f` performs, so a test can make the k-th from the end fail.
template <class F> uint64_t count_io(F &&f) {
    io_fail_at(0, false);
    capture_output(f);
    return io_op_count();
}
