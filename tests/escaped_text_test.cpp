// The escaped-text check: what counts as a bad byte or a bad escape, the positions it
// names, the cap of five errors, and the silent ends.
#include "analysis/analysis.h"
#include "support/base_builder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using issue_list = std::vector<std::string>;

// The text is followed by hex digits in the file: a check that looked past the text's end
// would accept a backslash near it.
issue_list check(const std::string &text, uint32_t extra_length = 0) {
    const std::string dir = make_temp_dir();
    write_file(dir + "/t.jdt", "\\41" + text + "4141");
    jam_file f;
    EXPECT_TRUE(f.open(dir + "/t.jdt", "rb"));
    scan_report report;
    check_escaped(&f, 3, static_cast<uint32_t>(text.size()) + extra_length, 7, report);
    f.close();
    std::filesystem::remove_all(dir);
    return report.issues;
}

std::string bad_byte(int value, int pos) {
    char line[96];
    std::snprintf(line, sizeof line,
                  "Msg[7]: MSG_ESCAPED: byte 0x%02X at pos %d outside 7-bit range", value, pos);
    return line;
}
std::string bad_escape(int pos) {
    return "Msg[7]: MSG_ESCAPED: bad escape at text pos " + std::to_string(pos);
}
const std::string SUPPRESSED = "Msg[7]: further escaped-text errors suppressed";

} // namespace

TEST(EscapedText, BytesEscapesAndTheCap) {
    const std::pair<std::string, issue_list> cases[] = {
        {"Hello, world! ~", {}},
        {"Line\r", {bad_byte(0x0D, 4)}},
        {"a\tb\x7F", {bad_byte(0x09, 1), bad_byte(0x7F, 3)}},
        {"\\5C\\0d\\aF", {}},
        {"\\5G", {bad_escape(0)}}, // 5 and G are then plain bytes
        {"ab\\", {bad_escape(2)}},
        {"ab\\4", {bad_escape(2)}},
        {"\\\\41", {bad_escape(0)}},
        {"caf\xE4", {bad_byte(0xE4, 3)}},
        {"\x01\x02x\x03\x04\\zz\x05",
         {bad_byte(1, 0), bad_byte(2, 1), bad_byte(3, 3), bad_byte(4, 4), bad_escape(5),
          SUPPRESSED}},
        {std::string(20, '\x80'),
         {bad_byte(0x80, 0), bad_byte(0x80, 1), bad_byte(0x80, 2), bad_byte(0x80, 3),
          bad_byte(0x80, 4), SUPPRESSED}},
        {"\r\r\r\r", {bad_byte(0x0D, 0), bad_byte(0x0D, 1), bad_byte(0x0D, 2), bad_byte(0x0D, 3)}},
    };
    for (const auto &[text, issues] : cases)
        EXPECT_EQ(check(text), issues) << text;

    // Nothing to read, or a text that cannot be read whole: no issue.
    EXPECT_TRUE(check("").empty());
    EXPECT_TRUE(check("\r", 100).empty());
    scan_report report;
    check_escaped(nullptr, 0, 10, 0, report);
    EXPECT_TRUE(report.issues.empty());
}
