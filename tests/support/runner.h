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

#ifndef _WIN32
#include <sys/types.h>

// cairnfix as a child process under TZ=UTC with SIGPIPE at its default, its standard output
// and error in files of a scratch directory, or its standard output on `out` (a pipe's end,
// /dev/full) when that is not -1. `prepare` runs in the child just before the binary starts:
// a limit to set, another user to become, a descriptor to close.
class child_run {
  public:
    explicit child_run(const std::vector<std::string> &args, int out = -1,
                       const std::function<void()> &prepare = {});
    child_run(const child_run &) = delete;
    child_run &operator=(const child_run &) = delete;
    ~child_run(); // a child still running is killed
    pid_t pid() const { return pid_; }
    // The wait status once the child has ended, waiting at most `seconds`; -1 while it runs.
    int ended_within(double seconds);
    // Waits for the end: what the child printed, and its exit status (-1 when a signal or
    // anything else but an exit ended it).
    run_result result();

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// True when the wait status is that of a process a signal `sig` ended.
bool killed_by(int status, int sig);
#endif

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
