// The time zone the Windows build settles before its first date. Names outside the code
// page and past 260 characters are run by the case runner (Cases.WindowsNamesReportAsExpected).
#ifdef _WIN32
#include "format/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// A TZ value the runtime cannot read is set aside for the system's zone; one it reads is kept.
TEST(WindowsPaths, ZoneNamesTheRuntimeCannotReadAreSetAside) {
    const auto settled = [](const char *tz) {
        _putenv_s("TZ", tz);
        settle_time_zone();
        const char *now = std::getenv("TZ");
        return std::string(now != nullptr ? now : "(unset)");
    };
    EXPECT_EQ(settled("Europe/Moscow"), "(unset)");
    EXPECT_EQ(settled(":Europe/Moscow"), "(unset)");
    EXPECT_EQ(settled("MSK-3"), "MSK-3");
    EXPECT_EQ(settled("EST5EDT"), "EST5EDT");
    EXPECT_EQ(settled("IST-5:30"), "IST-5:30");
    EXPECT_EQ(settled("UTC"), "UTC");
}
#endif
