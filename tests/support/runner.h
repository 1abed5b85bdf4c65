// Runs the real cairnfix binary and captures what a user would see.
#pragma once

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

struct run_result {
    std::string out; // standard output
    std::string err; // standard error
    int status = -1; // exit status, or -1 when the process did not exit normally
};

// Runs cairnfix with these arguments (argv[0] is the binary's path) under TZ=UTC.
run_result run_cairnfix(const std::vector<std::string> &args);

// Runs the tool inside this process, capturing stdout and stderr through temporary files.
// Needed where a test sets up the file layer's fault injection first.
run_result run_in_process(const std::vector<std::string> &args);
// Runs `body` in this process with stdout and stderr captured; its result, if any, is the
// status. For tests that call one phase directly.
run_result capture_status(const std::function<int()> &body);
template <class F> run_result capture_output(F &&body) {
    if constexpr (std::is_void_v<std::invoke_result_t<F>>)
        return capture_status([&] { return body(), 0; });
    else
        return capture_status(body);
}

// True when `text` contains `part`; for readable EXPECT_TRUE lines.
bool contains(const std::string &text, const std::string &part);

// The part of a report from "\n=== <heading> ===\n" up to the next heading or the end;
// empty when the heading is not there.
std::string report_section(const std::string &out, const std::string &heading);
// The texts of the printed issue list, in order, without their "  [%3d] " numbers.
std::vector<std::string> issue_texts(const std::string &out);
