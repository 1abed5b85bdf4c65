// The escaped-text check: what counts as a bad byte or a bad escape, the positions it
// names, the cap of five errors, and the silent ends.
#include "analysis/analysis.h"
#include "support/base_builder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using issue_list = std::vector<std::string>;

// The text sits between other bytes in the file, so that a check reading past its end
// would see hexadecimal digits and accept what it must not.
const std::string BEFORE = "\\41\\42";
const std::string AFTER = "41414141";

issue_list check(const std::string &text, uint32_t length_delta = 0) {
    const std::string dir = make_temp_dir();
    const std::string path = dir + "/t.jdt";
    write_file(path, BEFORE + text + AFTER);
    jam_file f;
    EXPECT_TRUE(f.open(path, "rb"));
    scan_report report;
    check_escaped(&f, static_cast<uint32_t>(BEFORE.size()),
                  static_cast<uint32_t>(text.size()) + length_delta, 7, report);
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

TEST(EscapedText, BytesAndEscapes) {
    struct test_case {
        const char *name;
        std::string text;
        issue_list issues;
    };
    const test_case cases[] = {
        {"plain printable ASCII", "Hello, world! ~ {}", {}},
        {"CR at the end", "Line\r", {bad_byte(0x0D, 4)}},
        {"LF, TAB and DEL",
         "a\nb\tc\x7F",
         {bad_byte(0x0A, 1), bad_byte(0x09, 3), bad_byte(0x7F, 5)}},
        {"escaped backslash and escaped CR, either case", "\\5C\\0d\\0D\\aF", {}},
        {"non-hex second digit: the next bytes are plain", "\\5G", {bad_escape(0)}},
        {"backslash as the last byte", "ab\\", {bad_escape(2)}},
        {"backslash as the second-to-last byte", "ab\\4", {bad_escape(2)}},
        {"escape that ends exactly at the text end", "ab\\4f", {}},
        {"two backslashes in a row", "\\\\41", {bad_escape(0)}},
        {"two backslashes and a bad pair", "\\\\4x", {bad_escape(0), bad_escape(1)}},
        {"high byte is unsigned", "caf\xE4", {bad_byte(0xE4, 3)}},
        {"NUL byte", std::string("a\0b", 3), {bad_byte(0x00, 1)}},
        {"five errors: all five, then the notice",
         "\x01\x02x\x03\x04\\zz\x05",
         {bad_byte(1, 0), bad_byte(2, 1), bad_byte(3, 3), bad_byte(4, 4), bad_escape(5),
          SUPPRESSED}},
        {"twenty errors: the first five only",
         std::string(20, '\x80'),
         {bad_byte(0x80, 0), bad_byte(0x80, 1), bad_byte(0x80, 2), bad_byte(0x80, 3),
          bad_byte(0x80, 4), SUPPRESSED}},
        {"four errors: no notice",
         "\r\r\r\r",
         {bad_byte(0x0D, 0), bad_byte(0x0D, 1), bad_byte(0x0D, 2), bad_byte(0x0D, 3)}},
    };
    for (const test_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(check(c.text), c.issues);
    }
}

TEST(EscapedText, UnreadableTextsEndSilently) {
    EXPECT_TRUE(check("", 0).empty());
    // A text reaching past the end of the file cannot be read whole.
    EXPECT_TRUE(check("\r", 100).empty());

    scan_report report;
    check_escaped(nullptr, 0, 10, 0, report);
    EXPECT_TRUE(report.issues.empty());
}

// The scan hands over only live MSG_ESCAPED texts that lie wholly inside .JDT.
TEST(EscapedText, WhichMessagesTheScanChecks) {
    base_builder b;
    b.add_message().attr(MSG_ESCAPED).body("ok\\0d");
    b.add_message().attr(MSG_ESCAPED).body("bad\r");
    b.add_message().body("plain\r");
    b.add_message().attr(MSG_ESCAPED).deleted().body("gone\r");
    b.add_message().attr(MSG_ESCAPED).body("x\r").text_at(20, 100);
    b.write();

    run_context ctx;
    ctx.jhr_path = b.path(jam_ext::jhr);
    ctx.jdt_path = b.path(jam_ext::jdt);
    ctx.jhr_size = fsize(ctx.jhr_path);
    ctx.jdt_size = fsize(ctx.jdt_path);
    const std::string jhr = b.bytes(jam_ext::jhr);
    ctx.fhdr = decode_fixed_header(reinterpret_cast<const unsigned char *>(jhr.data()));
    testing::internal::CaptureStdout();
    scan_headers(ctx);
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(ctx.report.issues,
              (issue_list{"Msg[1]: MSG_ESCAPED: byte 0x0D at pos 3 outside 7-bit range",
                          "Msg[4]: JDT text overruns file (off=20 len=100 jdt=22)"}));
}
