// The README's demo end to end: the damaged example base is repaired, analysed again and
// compared with its healthy twin; the healthy base analyses clean.
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string EXAMPLES = CAIRNFIX_SOURCE_DIR "/examples";
const char *const EXTS[] = {"jhr", "jdt", "jdx", "jlr"};

// A scratch copy of one example base that is removed again.
struct scratch_copy {
    std::string dir = make_temp_dir();
    explicit scratch_copy(const std::string &from) {
        for (const char *ext : EXTS)
            fs::copy_file(from + "/demo." + ext, dir + "/demo." + ext);
    }
    ~scratch_copy() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string file(const char *ext) const { return dir + "/demo." + ext; }
};

// The issue list of a report, heading included, up to the next section.
std::string issue_list(const std::string &out) {
    const auto start = out.find("\n=== Issues Found");
    if (start == std::string::npos)
        return "";
    return out.substr(start, out.find("\n\n", start + 1) - start);
}

} // namespace

TEST(Demo, RepairThenAnalyseAgain) {
    const scratch_copy base(EXAMPLES + "/damaged");
    const std::string healthy = EXAMPLES + "/healthy/demo.";

    const run_result first = run_cairnfix({"-r", "-x", "-p", "-b", "-s", base.dir + "/demo"});
    EXPECT_EQ(first.status, 2);
    EXPECT_EQ(first.err, "");
    EXPECT_TRUE(contains(first.out, "  Removing spurious byte 0x0A ('.') at .JHR offset 8\n"));
    const std::string found = issue_list(first.out);
    for (const char *fault :
         {".JDX: 1 stray bytes after last complete record",
          ".JLR: record 0 HighReadMsg(2) < LastReadMsg(4)", "Msg[1]: MSGIDcrc mismatch",
          "Msg[2] #3: ReplyNext=17 - no such message",
          ".JHR: 1 trailing byte(s) after last message header",
          "Msg[5]: MSG_ESCAPED: byte 0x0D at pos 70 outside 7-bit range"})
        EXPECT_TRUE(contains(found, fault)) << fault << "\n" << found;
    EXPECT_TRUE(contains(first.out, "  (5 shown)\n"));

    // Only the escaped text, which no repair touches, is left.
    const run_result second = run_cairnfix({"-x", base.dir + "/demo"});
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(issue_list(second.out),
              "\n=== Issues Found: 1 ===\n"
              "  [  1] Msg[5]: MSG_ESCAPED: byte 0x0D at pos 70 outside 7-bit range");

    // The repaired files equal the healthy twin, but for the one write-back of the fixed
    // header and the length of the text that kept its raw CR.
    EXPECT_EQ(read_file(base.file("jdx")), read_file(healthy + "jdx"));
    EXPECT_EQ(read_file(base.file("jlr")), read_file(healthy + "jlr"));
    std::string repaired = read_file(base.file("jhr"));
    std::string expected = read_file(healthy + "jhr");
    ASSERT_EQ(repaired.size(), expected.size());
    const auto *raw = reinterpret_cast<const unsigned char *>(expected.data());
    EXPECT_EQ(get_u32le(reinterpret_cast<const unsigned char *>(repaired.data()) + 8),
              get_u32le(raw + 8) + 1);
    const std::string index = read_file(healthy + "jdx");
    const uint32_t escaped_at =
        get_u32le(reinterpret_cast<const unsigned char *>(index.data()) + 5 * 8 + 4);
    for (std::size_t masked : {std::size_t{8}, std::size_t{escaped_at} + 64}) {
        repaired.replace(masked, 4, 4, '\0');
        expected.replace(masked, 4, 4, '\0');
    }
    EXPECT_TRUE(repaired == expected);
}

TEST(Demo, HealthyTwinIsClean) {
    const scratch_copy base(EXAMPLES + "/healthy");
    const run_result r = run_cairnfix({"-x", "-s", base.dir + "/demo"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(issue_list(r.out), "\n=== Issues Found: 0 ===\n"
                                 "  No issues detected. Message base appears healthy.");
    EXPECT_TRUE(contains(r.out, "  (5 shown)\n"));
}
