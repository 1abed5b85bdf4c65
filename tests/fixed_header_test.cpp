// The ".JHR File" section, the issues a run raises after it, and the fatal stops.
#include "format/files.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

TEST(FixedHeader, EveryFieldShownAndTheRunGoesOn) {
    base_builder b;
    // Signed "JAM ", created far in the future (not before 1970), BaseMsgNum 0.
    b.fhdr = {.Signature = 0x204D414A, .DateCreated = ALL_ONES, .ModCounter = ALL_ONES};
    b.active_msgs = 7;
    b.add_message();
    b.index = std::vector<idx_record>{};
    b.write();
    const run_result r = run_cairnfix({b.base()});
    EXPECT_EQ(report_section(r.out, ".JHR File"),
              "\n=== .JHR File ===\n  Size         : 1137 bytes\n"
              "  Signature    : INVALID (0x204D414A)  *** ERROR ***\n"
              "  Created      : 2106-02-07 06:28:15\n  ModCounter   : 4294967295  (at rollover)\n"
              "  ActiveMsgs   : 7\n  BaseMsgNum   : 0  *** must be >= 1 ***\n"
              "  PasswordCRC  : 0x00000000\n");
    // The later phases add theirs after the header's own issues.
    EXPECT_EQ(issue_texts(r.out),
              (std::vector<std::string>{
                  ".JHR: bad fixed-header signature 0x204D414A",
                  ".JHR: implausible DateCreated: 2106-02-07 06:28:15",
                  ".JHR: BaseMsgNum is 0 (must be >= 1)",
                  ".JDX: file is empty but .JHR has message data - rebuild with -p or -r",
                  ".JHR: ActiveMsgs=7 but counted 1 active messages",
                  ".JHR: ModCounter at 0xFFFFFFFF (will wrap to 0 on next write)"}));
}

TEST(FixedHeader, ShortFileAndReadErrorsEndTheRun) {
    base_builder b;
    b.write();
    io_fail_at(2, false); // the first read of the run
    const run_result failed = run_in_process({b.base()});
    io_fail_at(0, false);
    EXPECT_EQ(failed.status, 1); // a read error is never taken for a short file
    EXPECT_EQ(failed.err,
              "\nFATAL: cannot read " + b.path(jam_ext::jhr) + ": Input/output error\n");
    b.set_bytes(jam_ext::jhr, b.bytes(jam_ext::jhr).substr(0, 1023));
    const run_result r = run_cairnfix({b.base()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nFATAL: Cannot read .JHR fixed header.\n");
}
