// Fault injection over a whole repair run: every counted file operation of
// `-r -x -p -b -s` on the damaged example base is made to fail in turn, once and from
// then on. Whatever fails, the run reports it, and no file is left half written: every
// byte of every file is either what it was before the run or what a clean repair makes
// of it, and every backup is complete or absent.
#include "format/files.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

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
    for (const char *ext : EXTS)
        fs::remove(dir + "/demo." + std::string(ext) + ".bak");
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

            EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << what;
            EXPECT_NE(r.err, "") << what << " failed without a word\n" << r.out;
            const snapshot now = take(base);
            EXPECT_TRUE(now.files[0] == original.files[0] ||
                        mixed_from(now.files[0], {&realigned, &repaired.files[0]}))
                << what << ": .JHR";
            for (int i = 1; i < 4; ++i)
                EXPECT_TRUE(mixed_from(now.files[i], {&original.files[i], &repaired.files[i]}))
                    << what << ": ." << EXTS[i];
            for (int i = 0; i < 4; ++i) {
                const std::string bak = base + "." + EXTS[i] + ".bak";
                EXPECT_TRUE(!fs::exists(bak) || read_file(bak) == original.files[i])
                    << what << ": " << bak;
            }
            EXPECT_FALSE(fs::exists(base + ".jhr.tmp")) << what;
        }
    }
    std::printf("fault injection: %d points over %llu operations\n", points,
                static_cast<unsigned long long>(operations));
    fs::remove_all(dir);
}
