// The fuzz target: runs the whole tool in-process on a base made from the input, once as
// an analysis (-x -v -s) and once as a repair (-r -x -p -b -s) of a fresh copy.
#include "driver/driver.h"
#include "fuzz_input.h"
#ifdef _WIN32
#include "support/base_builder.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string &dir_name() {
    static std::string dir;
    return dir;
}

void remove_work_dir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_name(), ec);
}

const std::string &work_dir() {
    static const std::string &dir = []() -> const std::string & {
#ifdef _WIN32
        dir_name() = make_temp_dir();
#else
        // A memory file system keeps the files' syncs from dominating the run time.
        const bool shm = std::filesystem::is_directory("/dev/shm");
        std::string tmpl = shm ? "/dev/shm/cairnfix-fuzz-XXXXXX" : "/tmp/cairnfix-fuzz-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        dir_name() = tmpl;
#endif
        std::atexit(remove_work_dir);
        // The report is not what is tested here; keep the fuzzer's own output readable.
        const int null_fd = open(NULL_DEVICE, O_WRONLY);
        dup2(null_fd, 1);
        close(null_fd);
        return dir_name();
    }();
    return dir;
}

void run(const std::string &dir, const fuzz_base &base, std::initializer_list<const char *> opts) {
    write_base(dir, base);
    std::string base_name = dir + "/b";
    std::vector<char *> argv{const_cast<char *>("cairnfix")};
    for (const char *o : opts)
        argv.push_back(const_cast<char *>(o));
    argv.push_back(base_name.data());
    argv.push_back(nullptr);
    run_tool(static_cast<int>(argv.size()) - 1, argv.data());
    std::fflush(stdout);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string dir = work_dir();
    const fuzz_base base = split_input(data, size);
    run(dir, base, {"-x", "-v", "-s"});
    run(dir, base, {"-r", "-x", "-p", "-b", "-s"});
    return 0;
}
