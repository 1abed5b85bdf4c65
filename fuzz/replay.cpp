// Replays fuzz inputs without libFuzzer, so that the test suite runs every regression
// input and the seed corpus under the sanitizers of its own build.
#include "fuzz_input.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    // The tool's own error lines are expected here; only the count is worth reading.
    std::fflush(stderr);
    const int saved_err = dup(2);
    const int null_fd = open(NULL_DEVICE, O_WRONLY);
    dup2(null_fd, 2);
    close(null_fd);
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> inputs;
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto &e : std::filesystem::directory_iterator(argv[i]))
                if (e.is_regular_file())
                    inputs.push_back(e.path());
        } else {
            inputs.emplace_back(argv[i]);
        }
        for (const auto &p : inputs) {
            std::ifstream in(p, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            ++count;
        }
    }
    std::fflush(stderr);
    dup2(saved_err, 2);
    close(saved_err);
    std::fprintf(stderr, "replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
