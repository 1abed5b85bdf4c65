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

#include <array>
#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char *const EXTS[] = {"jhr", "jdt", "jdx", "jlr"};

using snapshot = std::array<std::string, 4>;

snapshot take(const std::string &base) {
    snapshot s;
    for (std::size_t i = 0; i < 4; ++i)
        s[i] = read_file(base + "." + EXTS[i]);
    return s;
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

// `-r -x -p -b -s` on a scratch copy of the damaged example base, and the states its files
// may be found in after an interrupted run: as they were, the .JHR realigned (the run's
// first write), or as a clean run leaves them, which takes `operations` counted operations.
struct repair_sweep {
    std::string dir = make_temp_dir();
    std::string base = dir + "/demo";
    std::vector<std::string> args{"-r", "-x", "-p", "-b", "-s", base};
    snapshot original, repaired;
    std::string realigned;
    uint64_t operations = 0;

    repair_sweep() {
        fresh_copy();
        original = take(base);
        realigned = original[0];
        realigned.erase(8, 1);
        io_fail_at(0, false);
        EXPECT_EQ(run_in_process(args).err, "");
        operations = io_op_count();
        repaired = take(base);
        EXPECT_NE(repaired[0], original[0]);
    }
    ~repair_sweep() { fs::remove_all(dir); }

    // The example base as it ships, and nothing else, in the scratch directory.
    void fresh_copy() const {
        fs::remove_all(dir);
        fs::copy(CAIRNFIX_SOURCE_DIR "/examples/damaged", dir);
    }

    // Every file holds whole records of one stage or another, and every backup is complete
    // or absent. A .JHR whose realignment was interrupted during its copy may hold bytes of
    // both alignments, as long as the complete redo file stands beside it.
    void expect_whole_records(const std::string &what) const {
        const snapshot now = take(base);
        const std::string redo = base + ".jhr.realign";
        const bool copy_interrupted = fs::exists(redo) && read_file(redo) == realigned &&
                                      mixed_from(now[0], {&original[0], &realigned});
        EXPECT_TRUE(now[0] == original[0] || copy_interrupted ||
                    mixed_from(now[0], {&realigned, &repaired[0]}))
            << what << ": .JHR";
        for (std::size_t i = 1; i < 4; ++i)
            EXPECT_TRUE(mixed_from(now[i], {&original[i], &repaired[i]}))
                << what << ": ." << EXTS[i];
        for (std::size_t i = 0; i < 4; ++i) {
            const std::string bak = base + "." + EXTS[i] + ".bak";
            EXPECT_TRUE(!fs::exists(bak) || read_file(bak) == original[i]) << what << ": " << bak;
        }
    }
};

} // namespace

TEST(FaultInjection, EveryFileOperationOfARepairRun) {
    const repair_sweep sweep;
    int points = 0;
    for (uint64_t n = 1; n <= sweep.operations; ++n) {
        for (const bool sticky : {false, true}) {
            sweep.fresh_copy();
            io_fail_at(n, sticky);
            const run_result r = run_in_process(sweep.args);
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
            sweep.expect_whole_records(what);
            EXPECT_FALSE(fs::exists(sweep.base + ".jhr.realign.tmp")) << what;
        }
    }
    std::printf("fault injection: %d points over %llu operations\n", points,
                static_cast<unsigned long long>(sweep.operations));
}

#ifndef _WIN32
// The same run ended at every counted file operation with no clean-up at all, as a kill -9
// or a power loss would end it: every file holds whole records of before or after, every
// backup is complete or absent, and one more repair run reaches the fully repaired base
// (ModCounter aside, which counts the write-backs).
TEST(FaultInjection, AKillAtEveryFileOperationLeavesARepairableBase) {
    repair_sweep sweep;
    const auto without_mod_counter = [](snapshot s) {
        s[0].replace(8, 4, 4, '\0');
        return s;
    };
    int redo_left = 0; // kills that left a realignment for the next run to finish
    for (uint64_t n = 1; n <= sweep.operations; ++n) {
        sweep.fresh_copy();
        const std::string what = "killed at operation " + std::to_string(n);
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            std::vector<char *> argv{const_cast<char *>("cairnfix")};
            for (std::string &a : sweep.args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            io_crash_at(n);
            _exit(run_tool(static_cast<int>(argv.size() - 1), argv.data()));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 99) << what;

        sweep.expect_whole_records(what);
        redo_left += fs::exists(sweep.base + ".jhr.realign") ? 1 : 0;

        const run_result again = run_in_process(sweep.args);
        EXPECT_NE(again.status, 1) << what << "\n" << again.err;
        EXPECT_EQ(without_mod_counter(take(sweep.base)), without_mod_counter(sweep.repaired))
            << what;
        for (const auto &e : fs::directory_iterator(sweep.dir)) {
            EXPECT_NE(e.path().extension(), ".tmp") << what << ": " << e.path();
            EXPECT_NE(e.path().extension(), ".realign") << what << ": " << e.path();
        }
    }
    EXPECT_GT(redo_left, 0);
    std::printf("crash test: %llu operations, %d left a realignment to finish\n",
                static_cast<unsigned long long>(sweep.operations), redo_left);
}
#endif
