// The escaped-text check: what counts as a bad byte or a bad escape, the positions it
// names, and the cap of five errors.
#include "analysis/analysis.h"
#include "support/base_builder.h"

#include <gtest/gtest.h>

namespace {

// The text is followed by hex digits in the file: a check that looked past the text's end
// would accept a backslash near it.
std::vector<std::string> check(const std::string &text) {
    const base_builder dir;
    write_file(dir.dir() + "/t.jdt", "\\41" + text + "4141");
    jam_file f;
    EXPECT_TRUE(f.open(dir.dir() + "/t.jdt", "rb"));
    scan_report report;
    window_reader texts(f, 0);
    check_escaped(&texts, 3, static_cast<uint32_t>(text.size()), 7, report);
    return report.issues;
}

std::string byte(const std::string &hex, int pos) {
    return "Msg[7]: MSG_ESCAPED: byte 0x" + hex + " at pos " + std::to_string(pos) +
           " outside 7-bit range";
}
std::string escape(int pos) {
    return "Msg[7]: MSG_ESCAPED: bad escape at text pos " + std::to_string(pos);
}

} // namespace

TEST(EscapedText, BytesEscapesAndTheCap) {
    const std::string cut = "Msg[7]: further escaped-text errors suppressed";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {" ~\t\x7F\xE4", {byte("09", 2), byte("7F", 3), byte("E4", 4)}},
        // After a bad escape its two bytes are plain ones.
        {"\\5C\\0d\\5G\\\\41", {escape(6), escape(9)}},
        {"ab\\", {escape(2)}},
        {"ab\\4", {escape(2)}},
        {std::string(20, '\x80'),
         {byte("80", 0), byte("80", 1), byte("80", 2), byte("80", 3), byte("80", 4), cut}},
    };
    for (const auto &[text, issues] : cases)
        EXPECT_EQ(check(text), issues) << text;
}
