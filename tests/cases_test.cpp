// The report cases of tests/cases: each folder holds a base and what the tool printed for
// it in a first (by default repairing) run and a second, analysing one, with both exit
// statuses. CAIRNFIX_UPDATE_CASES=1 writes what the tool prints now instead of comparing,
// for review in git diff. A second test holds every text of the issue catalogue to a case.
#include "format/platform.h"
#include "run/context.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const fs::path CASES = CAIRNFIX_SOURCE_DIR "/tests/cases";
const char *const FIRST_RUN = "-r -x -p -b -s <base>";
const char *const DIR_MARK = "<dir>";
const char *const BASE_MARK = "<base>";

std::vector<fs::path> case_folders() {
    std::vector<fs::path> folders;
    for (const auto &entry : fs::directory_iterator(CASES))
        if (entry.is_directory())
            folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());
    return folders;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Where a case runs: a scratch folder, shown as <dir>, the name its base is copied under,
// and the base's path as the runs give it, shown as <dir>/base.
struct scratch {
    std::string dir;
    std::string name = "base";
    std::string given = dir + "/" + name;
};

// The two runs of one case on a copy of its base in a scratch folder. In the first run's
// arguments <base> stands for the base's path.
std::vector<run_result> run_case(const fs::path &folder, const scratch &at) {
    fs::create_directories(system_path(at.dir));
    for (const auto &entry : fs::directory_iterator(folder)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with("base."))
            fs::copy(entry.path(), system_path(at.dir + "/" + at.name + file.substr(4)),
                     fs::copy_options::recursive);
    }
    std::istringstream args(fs::exists(folder / "args") ? read_file((folder / "args").string())
                                                        : FIRST_RUN);
    std::vector<std::string> first;
    for (std::string word; args >> word;) {
        replace_all(word, BASE_MARK, at.given);
        first.push_back(word);
    }
    std::vector<run_result> runs{run_cairnfix(first), run_cairnfix({"-x", at.given})};
    for (run_result &r : runs) {
        for (std::string *text : {&r.out, &r.err}) {
            replace_all(*text, at.given, std::string(DIR_MARK) + "/base");
            replace_all(*text, at.dir, DIR_MARK);
        }
        // The usage names the program as it was started.
        replace_all(r.out, CAIRNFIX_BIN, "cairnfix");
    }
    return runs;
}

// The expected files of a case and what the runs printed for each.
std::vector<std::pair<std::string, std::string>> outcome(const std::vector<run_result> &runs) {
    return {
        {"expected-repair.txt", runs[0].out},
        {"expected-repair.err", runs[0].err},
        {"expected-check.txt", runs[1].out},
        {"expected-check.err", runs[1].err},
        {"status", std::to_string(runs[0].status) + " " + std::to_string(runs[1].status) + "\n"}};
}

// Writes the expected files; an empty stderr has no file.
void update_case(const fs::path &folder, const std::vector<run_result> &runs) {
    for (const auto &[name, text] : outcome(runs)) {
        if (text.empty())
            fs::remove(folder / name);
        else
            write_file((folder / name).string(), text);
    }
}

bool file_system_ignores_case() {
    const std::string dir = make_temp_dir();
    write_file(dir + "/a", "");
    const bool ignores = fs::exists(dir + "/A");
    fs::remove_all(dir);
    return ignores;
}

// On a file system that ignores case, the lower-case probe finds an upper-case file, and
// the backup, which tries both forms of every name, lists each file twice. Both sides are
// compared with the base's file names in lower case and each backup line once.
std::string case_blind(const std::string &text) {
    std::string out;
    std::vector<std::string> backups;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        for (const char *ext : {"JHR", "JDT", "JDX", "JLR"}) {
            std::string lower = ext;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            replace_all(line, std::string(DIR_MARK) + "/base." + ext,
                        std::string(DIR_MARK) + "/base." + lower);
        }
        if (line.find("acked up: ") != std::string::npos) {
            if (std::find(backups.begin(), backups.end(), line) != backups.end())
                continue;
            backups.push_back(line);
        }
        out += line + "\n";
    }
    return out;
}

// Compares what the two runs of a case printed with its expected files.
void expect_as_expected(const fs::path &folder, const std::vector<run_result> &runs) {
    static const bool ignores_case = file_system_ignores_case();
    for (const auto &[name, text] : outcome(runs)) {
        SCOPED_TRACE(folder.filename().string() + "/" + name);
        const std::string expected = read_file((folder / name).string());
        if (ignores_case)
            EXPECT_EQ(case_blind(text), case_blind(expected));
        else
            EXPECT_EQ(text, expected);
    }
}

} // namespace

TEST(Cases, EveryCaseReportsAsExpected) {
    const bool update = std::getenv("CAIRNFIX_UPDATE_CASES") != nullptr;
    const std::vector<fs::path> folders = case_folders();
    EXPECT_GE(folders.size(), 30u);
    for (const fs::path &folder : folders) {
        const std::string dir = make_temp_dir();
        const std::vector<run_result> runs = run_case(folder, {dir});
        fs::remove_all(dir);
        if (update)
            update_case(folder, runs);
        else
            expect_as_expected(folder, runs);
    }
}

#ifdef _WIN32
// cairnfix.exe under names a Windows sysop has: a folder and a base name outside the ANSI
// code page, a folder past the classic 260 characters, and that folder in the \\?\ form a
// user may give. The demo case reports there as expected, and its runs leave the same
// files, byte for byte, as in a plain folder.
TEST(Cases, WindowsNamesReportAsExpected) {
    const fs::path demo = CASES / "demo-damaged";
    const std::string tmp = make_temp_dir();
    const scratch plain{tmp + "\\plain"};
    run_case(demo, plain);
    std::string deep = tmp;
    while (deep.size() < 300)
        deep += "\\" + std::string(40, 'd');
    const std::string prefixed = "\\\\?\\" + fs::absolute(deep).string() + "\\base";
    for (const scratch &odd : {scratch{tmp + "\\Эхо-конференция", "база"}, scratch{deep},
                               scratch{deep, "base", prefixed}}) {
        SCOPED_TRACE(odd.given);
        expect_as_expected(demo, run_case(demo, odd));
        for (const auto &entry : fs::directory_iterator(plain.dir)) {
            const std::string twin =
                odd.dir + "\\" + odd.name + entry.path().filename().string().substr(4);
            EXPECT_TRUE(fs::exists(system_path(twin))) << entry.path();
            EXPECT_EQ(read_file(twin), read_file(entry.path().string())) << entry.path();
            fs::remove(system_path(twin));
        }
    }
    // The runtime's folder listing behind remove_all stops at 260 characters.
    for (std::string d = deep; d.size() > tmp.size(); d.resize(d.rfind('\\')))
        fs::remove("\\\\?\\" + fs::absolute(d).string());
    fs::remove_all(tmp);
}
#endif

namespace {

// A regular expression that matches what the printf format can print.
std::string format_regex(const std::string &format) {
    std::string re;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            if (std::strchr(".^$|()[]{}*+?\\", format[i]) != nullptr)
                re += '\\';
            re += format[i];
            continue;
        }
        i = format.find_first_not_of("-+ #0123456789.hlzjt", i + 1);
        // Numbers in any base and width, one character, or any text.
        if (std::strchr("diuxX", format[i]) != nullptr)
            re += " *-?[0-9A-Fa-f]+";
        else
            re += format[i] == 'c' ? "." : ".*";
    }
    return re;
}

} // namespace

// A check added without a case that raises its issue fails here.
TEST(Cases, EveryIssueTextIsRaisedBySomeCase) {
    std::vector<std::string> raised;
    for (const fs::path &folder : case_folders())
        for (const char *name : {"expected-repair.txt", "expected-check.txt"})
            for (const std::string &text : issue_texts(read_file((folder / name).string())))
                raised.push_back(text);
    for (const issue_entry &issue : ISSUE_CATALOGUE) {
        // Raised just before the fatal stop that ends the run ahead of the issue list, so no
        // report can show it.
        if (issue.id == issue_id::jhr_too_small)
            continue;
        const std::regex re(format_regex(issue.text));
        EXPECT_TRUE(std::any_of(raised.begin(), raised.end(),
                                [&](const std::string &t) { return std::regex_match(t, re); }))
            << "no case raises \"" << issue.text << "\"";
    }
}
