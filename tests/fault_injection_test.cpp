// Fault injection over a whole repair run: every counted file operation of
// `-r -x -p -b -s` on the damaged example base is made to fail in turn, once and from
// then on. Whatever fails, the run reports it, and no file is left half written: every
// byte of every file is either what it was before the run or what a clean repair makes
// of it, and every backup is complete or absent.
#include "driver/driver.h"
#include "format/files.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char *const EXTS[] = {"jhr", "jdt", "jdx", "jlr"};
const std::vector<std::string> REPAIR = {"-r", "-x", "-p", "-b", "-s"};

struct snapshot {
    std::string files[4];
};

snapshot take(const std::string &base) {
    snapshot s;
    for (int i = 0; i < 4; ++i)
        s.files[i] = read_file(base + "." + EXTS[i]);
    return s;
}

std::string copy_example(const std::string &dir) {
    for (const auto &e :
         fs::directory_iterator(std::string(CAIRNFIX_SOURCE_DIR) + "/examples/damaged"))
        fs::copy_file(e.path(), dir + "/" + e.path().filename().string(),
                      fs::copy_options::overwrite_existing);
    for (const char *ext : EXTS) {
        fs::remove(dir + "/demo." + std::string(ext) + ".bak");
        fs::remove(dir + "/demo." + std::string(ext) + ".bak.tmp");
    }
    fs::remove(dir + "/demo.jhr.realign");
    fs::remove(dir + "/demo.jhr.realign.tmp");
    return dir + "/demo";
}

// Every byte is that of one of the acceptable stages at the same place, and the length is
// that of one of them.
bool mixed_from(const std::string &file, const std::vector<const std::string *> &stages) {
    bool length_ok = false;
    for (const std::string *s : stages)
        length_ok = length_ok || s->size() == file.size();
    if (!length_ok)
        return false;
    for (std::size_t i = 0; i < file.size(); ++i) {
        bool byte_ok = false;
        for (const std::string *s : stages)
            byte_ok = byte_ok || (i < s->size() && (*s)[i] == file[i]);
        if (!byte_ok)
            return false;
    }
    return true;
}

// The states a file may be found in after an interrupted run: as it was, realigned (the
// .JHR only), or as a complete repair leaves it.
struct stages {
    const snapshot &original;
    const std::string &realigned;
    const snapshot &repaired;
};

// Every file holds whole records of one stage or another, and every backup is complete or
// absent. A .JHR whose realignment was interrupted during its copy may hold bytes of both
// alignments, as long as the complete redo file stands beside it.
void expect_whole_records(const std::string &base, const stages &s, const std::string &what) {
    const snapshot now = take(base);
    const std::string redo = base + ".jhr.realign";
    const bool copy_interrupted = fs::exists(redo) && read_file(redo) == s.realigned &&
                                  mixed_from(now.files[0], {&s.original.files[0], &s.realigned});
    EXPECT_TRUE(now.files[0] == s.original.files[0] || copy_interrupted ||
                mixed_from(now.files[0], {&s.realigned, &s.repaired.files[0]}))
        << what << ": .JHR";
    for (int i = 1; i < 4; ++i)
        EXPECT_TRUE(mixed_from(now.files[i], {&s.original.files[i], &s.repaired.files[i]}))
            << what << ": ." << EXTS[i];
    for (int i = 0; i < 4; ++i) {
        const std::string bak = base + "." + EXTS[i] + ".bak";
        EXPECT_TRUE(!fs::exists(bak) || read_file(bak) == s.original.files[i])
            << what << ": " << bak;
    }
}

} // namespace

TEST(FaultInjection, EveryFileOperationOfARepairRun) {
    const std::string dir = make_temp_dir();
    const std::string base = copy_example(dir);
    const snapshot original = take(base);

    // The realigned header file, as the first write of the run leaves it.
    std::string realigned = original.files[0];
    realigned.erase(8, 1);

    io_fail_at(0, false);
    const run_result clean = run_in_process([&] {
        auto a = REPAIR;
        a.push_back(base);
        return a;
    }());
    ASSERT_EQ(clean.err, "");
    const uint64_t operations = io_op_count();
    const snapshot repaired = take(base);
    ASSERT_NE(repaired.files[0], original.files[0]);

    int points = 0;
    for (uint64_t n = 1; n <= operations; ++n) {
        for (const bool sticky : {false, true}) {
            copy_example(dir);
            std::vector<std::string> args = REPAIR;
            args.push_back(base);
            io_fail_at(n, sticky);
            const run_result r = run_in_process(args);
            io_fail_at(0, false);
            const std::string what = "operation " + std::to_string(n) + (sticky ? " on" : " once");
            ++points;

            // Every failure here is of a write, a read or an open the run needs: none may end
            // with the statuses of a run that did its work.
            EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
            EXPECT_NE(r.err, "") << what << " failed without a word\n" << r.out;
            // A failed write of a repair still ends with the report and "Done.".
            EXPECT_TRUE(!contains(r.err, "ERROR: write failed") || contains(r.out, "\nDone.\n"))
                << what;
            expect_whole_records(base, {original, realigned, repaired}, what);
            EXPECT_FALSE(fs::exists(base + ".jhr.realign.tmp")) << what;
        }
    }
    std::printf("fault injection: %d points over %llu operations\n", points,
                static_cast<unsigned long long>(operations));
    fs::remove_all(dir);
}

#ifndef _WIN32
// The same run ended at every counted file operation with no clean-up at all, as a kill -9
// or a power loss would end it: every file holds whole records of before or after, every
// backup is complete or absent, and one more repair run reaches the fully repaired base
// (ModCounter aside, which counts the write-backs).
TEST(FaultInjection, AKillAtEveryFileOperationLeavesARepairableBase) {
    const std::string dir = make_temp_dir();
    const std::string base = copy_example(dir);
    const snapshot original = take(base);
    std::string realigned = original.files[0];
    realigned.erase(8, 1);
    std::vector<std::string> args = REPAIR;
    args.push_back(base);

    io_fail_at(0, false);
    ASSERT_EQ(run_in_process(args).err, "");
    const uint64_t operations = io_op_count();
    const snapshot repaired = take(base);
    const auto without_mod_counter = [](snapshot s) {
        s.files[0].replace(8, 4, 4, '\0');
        return std::vector<std::string>(std::begin(s.files), std::end(s.files));
    };

    int redo_left = 0; // kills that left a realignment for the next run to finish
    for (uint64_t n = 1; n <= operations; ++n) {
        copy_example(dir);
        const std::string what = "killed at operation " + std::to_string(n);
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            std::vector<char *> argv{const_cast<char *>("cairnfix")};
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            io_crash_at(n);
            _exit(run_tool(static_cast<int>(argv.size() - 1), argv.data()));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 99) << what;

        expect_whole_records(base, {original, realigned, repaired}, what);
        redo_left += fs::exists(base + ".jhr.realign") ? 1 : 0;

        const run_result again = run_in_process(args);
        EXPECT_NE(again.status, 1) << what << "\n" << again.err;
        EXPECT_EQ(without_mod_counter(take(base)), without_mod_counter(repaired)) << what;
        for (const auto &e : fs::directory_iterator(dir)) {
            EXPECT_NE(e.path().extension(), ".tmp") << what << ": " << e.path();
            EXPECT_NE(e.path().extension(), ".realign") << what << ": " << e.path();
        }
    }
    EXPECT_GT(redo_left, 0);
    std::printf("crash test: %llu operations, %d left a realignment to finish\n",
                static_cast<unsigned long long>(operations), redo_left);
    fs::remove_all(dir);
}
#endif
