// cairnfix.exe with names a Windows sysop has: outside the ANSI code page, and longer than
// the classic 260 characters. Each run is compared with the same run on an ASCII name,
// whose report the case tests hold equal to Linux's.
#ifdef _WIN32
#include "format/platform.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path from_utf8(const std::string &name) {
    return fs::path(std::u8string(name.begin(), name.end()));
}

std::string read_utf8(const std::string &path) {
    std::string text;
    if (std::FILE *fp = _wfopen(from_utf8(path).c_str(), L"rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, fp)) > 0;)
            text.append(buf, n);
        std::fclose(fp);
    }
    return text;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

struct base_runs {
    std::vector<run_result> runs;
    std::vector<std::string> files; // each file of the folder after the runs, by name
};

// A damaged base copied to `folder` as `name`, repaired with -b, then analysed with -x under
// `given` (the base's name as the user types it); `given` is shown as "<base>" and `name`
// as "base" in what they print.
base_runs repair_and_check(const std::string &folder, const std::string &name,
                           const std::string &given) {
    fs::create_directories(from_utf8(folder));
    const fs::path source = CAIRNFIX_SOURCE_DIR "/tests/cases/demo-damaged";
    for (const char *ext : {".jhr", ".jdt", ".jdx", ".jlr"})
        fs::copy_file(source / (std::string("base") + ext), from_utf8(folder + "/" + name + ext));
    base_runs r{{run_cairnfix({"-r", "-x", "-p", "-b", "-s", given}), run_cairnfix({"-x", given})},
                {}};
    for (run_result &run : r.runs)
        for (std::string *text : {&run.out, &run.err})
            replace_all(*text, given, "<base>");
    for (const char *ext :
         {".jhr", ".jdt", ".jdx", ".jlr", ".jhr.bak", ".jdt.bak", ".jdx.bak", ".jlr.bak"})
        r.files.push_back(read_utf8(folder + "/" + name + ext));
    return r;
}

void expect_same(const base_runs &got, const base_runs &ascii) {
    for (std::size_t i = 0; i < got.runs.size(); ++i) {
        EXPECT_EQ(got.runs[i].out, ascii.runs[i].out) << "run " << i;
        EXPECT_EQ(got.runs[i].err, ascii.runs[i].err) << "run " << i;
        EXPECT_EQ(got.runs[i].status, ascii.runs[i].status) << "run " << i;
    }
    for (std::size_t i = 0; i < got.files.size(); ++i) {
        EXPECT_FALSE(got.files[i].empty()) << "file " << i;
        EXPECT_EQ(got.files[i], ascii.files[i]) << "file " << i;
    }
}

} // namespace

// Cyrillic in the folder and in the base's name: found, locked, backed up, repaired and
// reported byte for byte as under an ASCII name, the name printed in UTF-8.
TEST(WindowsPaths, NamesOutsideTheCodePageWorkAsAsciiOnes) {
    const std::string dir = make_temp_dir();
    const base_runs ascii = repair_and_check(dir + "/ascii", "base", dir + "/ascii/base");
    ASSERT_EQ(ascii.runs[0].status, 2) << ascii.runs[0].err;
    const std::string folder = dir + "/Эхо-конференция";
    const base_runs cyrillic = repair_and_check(folder, "база", folder + "/база");
    expect_same(cyrillic, ascii);
    fs::remove_all(dir);
}

// A base 300 characters deep: repaired under its plain absolute name, then analysed under
// the \\?\ form the user may give.
TEST(WindowsPaths, NamesPastTwoHundredSixtyCharactersWork) {
    const std::string dir = make_temp_dir();
    const base_runs ascii = repair_and_check(dir + "/ascii", "base", dir + "/ascii/base");
    std::string folder = dir;
    while (folder.size() < 300)
        folder += "\\" + std::string(40, 'd');
    const std::string base = folder + "\\base";
    const base_runs deep = repair_and_check(folder, "base", base);
    expect_same(deep, ascii);

    const std::string prefixed = "\\\\?\\" + fs::absolute(base).string();
    const run_result check = run_cairnfix({"-x", prefixed});
    EXPECT_EQ(check.status, ascii.runs[1].status) << check.err;
    EXPECT_TRUE(contains(check.out, prefixed)) << check.out;
    // The runtime's folder listing behind remove_all stops at 260 characters.
    for (const char *ext : {"", ".bak"})
        for (const char *file : {".jhr", ".jdt", ".jdx", ".jlr"})
            fs::remove(prefixed + file + ext);
    for (std::string d = folder; d.size() > dir.size(); d.resize(d.rfind('\\')))
        fs::remove("\\\\?\\" + fs::absolute(d).string());
    fs::remove_all(dir);
}

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
