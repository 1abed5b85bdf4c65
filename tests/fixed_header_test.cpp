// A read error on the fixed header ends the run as a fatal error, never taken for a file
// too short to hold one (that stop is a report case).
#include "format/files.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

TEST(FixedHeader, ReadErrorEndsTheRun) {
    base_builder b;
    b.write();
    io_fail_at(2, false); // the first read of the run
    const run_result failed = run_in_process({b.base()});
    io_fail_at(0, false);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err,
              "\nFATAL: cannot read " + b.path(jam_ext::jhr) + ": Input/output error\n");
}
