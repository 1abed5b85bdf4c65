// The ".JHR File" section: field lines, the issues of a readable header and the fatal stops.
#include "format/files.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// The issues this section raises; later phases add ".JHR: " issues of their own.
std::vector<std::string> header_issues(const std::string &out) {
    std::vector<std::string> mine;
    for (const std::string &t : issue_texts(out))
        for (const char *p : {"bad fixed-header", "implausible DateCreated", "BaseMsgNum is 0"})
            if (t.rfind(std::string(".JHR: ") + p, 0) == 0)
                mine.push_back(t);
    return mine;
}

} // namespace

TEST(FixedHeader, EveryFieldShownAndIssuesInOrder) {
    base_builder b;
    b.fhdr.Signature = 0x204D414A; // "JAM "
    b.fhdr.DateCreated = 315532799;
    b.fhdr.ModCounter = ALL_ONES;
    b.active_msgs = 7;
    b.fhdr.BaseMsgNum = 0;
    b.fhdr.PasswordCRC = 0xDEADBEEF;
    b.fhdr.Reserved[0] = 0xFF; // offsets 24 and 1023
    b.fhdr.Reserved[999] = 1;
    b.write();
    const run_result r = run_cairnfix({b.base()});
    EXPECT_EQ(report_section(r.out, ".JHR File"),
              "\n=== .JHR File ===\n  Size         : 1024 bytes\n"
              "  Signature    : INVALID (0x204D414A)  *** ERROR ***\n"
              "  Created      : 1979-12-31 23:59:59\n"
              "  ModCounter   : 4294967295  (at rollover)\n  ActiveMsgs   : 7\n"
              "  BaseMsgNum   : 0  *** must be >= 1 ***\n  PasswordCRC  : 0xDEADBEEF\n"
              "  Reserved     : 2 non-zero bytes (harmless)\n");
    EXPECT_EQ(header_issues(r.out),
              (std::vector<std::string>{".JHR: bad fixed-header signature 0x204D414A",
                                        ".JHR: implausible DateCreated: 1979-12-31 23:59:59",
                                        ".JHR: BaseMsgNum is 0 (must be >= 1)"}));
    EXPECT_TRUE(contains(r.out, "\n=== .JDX File ===\n")); // the run goes on
}

TEST(FixedHeader, DateAndBaseNumberBoundaries) {
    const struct {
        uint32_t date;
        bool from_now; // date is added to the current time
        uint32_t base;
        bool flagged;
    } cases[] = {{0, false, 1, false},
                 {315532800, false, 0x80000000, false},
                 {0xFFFFFFFF, false, 1, true},
                 {86400, true, 1, false},
                 {86401, true, 1, true}};
    for (const auto &c : cases) {
        base_builder b;
        const auto now = static_cast<uint32_t>(std::time(nullptr));
        const uint32_t date = c.from_now ? now + c.date : c.date;
        b.fhdr.DateCreated = date;
        b.fhdr.BaseMsgNum = c.base;
        b.write();
        const run_result r = run_cairnfix({b.base()});
        const std::string section = report_section(r.out, ".JHR File");
        EXPECT_TRUE(contains(section, "  Created      : " + fmt_ts(date) + "\n")) << section;
        EXPECT_TRUE(contains(section, "  BaseMsgNum   : " + std::to_string(c.base) + "\n"));
        EXPECT_FALSE(contains(section, "Reserved"));
        if (c.from_now && static_cast<uint32_t>(std::time(nullptr)) != now)
            continue; // the clock ticked: the tool's limit moved with it
        EXPECT_EQ(header_issues(r.out).size(), c.flagged ? 1u : 0u) << date;
    }
}

TEST(FixedHeader, NoCompleteHeaderEndsTheRun) {
    for (const std::size_t size : {std::size_t{1023}, std::size_t{0}}) {
        base_builder b;
        b.write();
        b.set_bytes(jam_ext::jhr, b.bytes(jam_ext::jhr).substr(0, size));
        const run_result r = run_cairnfix({b.base()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nFATAL: Cannot read .JHR fixed header.\n");
        // The section is the last thing printed: no issue list.
        EXPECT_EQ(r.out.substr(r.out.find("\n=== ")),
                  "\n=== .JHR File ===\n  Size         : " + std::to_string(size) + " bytes\n");
    }
    base_builder b;
    b.write();
    io_fail_at(3, true); // after the byte-shift test's open and read
    const run_result r = run_in_process({b.base()});
    io_fail_at(0, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("ERROR: ") + std::strerror(EIO) +
                         "\n\nFATAL: Cannot read .JHR fixed header.\n");
}
