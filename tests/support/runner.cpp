// Runs the binary, or a phase in this process, with stdout and stderr redirected to
// temporary files.
#include "support/runner.h"

#include "driver/driver.h"
#include "support/base_builder.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

std::vector<char *> make_argv(std::vector<std::string> &words) {
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

#ifdef _WIN32
// One argument quoted so that the child's command-line parser gives it back unchanged:
// backslashes are literal except before a quote, where each one is doubled.
std::string quote_argument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + '"';
}

std::wstring widen(const std::string &utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

// Starts the binary with the captured standard output and error as its own and waits for it.
// An exit code in the range of Windows exceptions (an access violation, an abort) counts as
// not having exited normally.
int spawn_and_wait(const std::vector<std::string> &words) {
    std::string command_line;
    for (const auto &w : words)
        command_line += (command_line.empty() ? "" : " ") + quote_argument(w);
    std::wstring command = widen(command_line);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    startup.hStdError = reinterpret_cast<HANDLE>(_get_osfhandle(2));
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child))
        throw std::runtime_error("cannot start " CAIRNFIX_BIN);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return code >= 0xC0000000u ? -1 : static_cast<int>(code);
}

// Standard output and error are text streams on Windows: each "\n" reaches the file as
// "\r\n". The reports are compared in their Linux form.
std::string lf_lines(const std::string &text) {
    std::string lf;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text.compare(i, 2, "\r\n") != 0)
            lf += text[i];
    return lf;
}
#endif

} // namespace

#ifdef _WIN32
run_result run_cairnfix(const std::vector<std::string> &args) {
    std::vector<std::string> words{CAIRNFIX_BIN};
    words.insert(words.end(), args.begin(), args.end());
    return capture_status([&] {
        _putenv_s("TZ", "UTC");
        return spawn_and_wait(words);
    });
}
#else
run_result run_cairnfix(const std::vector<std::string> &args) {
    return child_run(args).result();
}

child_run::child_run(const std::vector<std::string> &args, int out,
                     const std::function<void()> &prepare)
    : dir_(make_temp_dir()) {
    std::vector<std::string> words{CAIRNFIX_BIN};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv = make_argv(words);
    const std::string out_path = dir_ + "/out", err_path = dir_ + "/err";
    std::fflush(nullptr); // nothing buffered here is written twice
    pid_ = fork();
    if (pid_ == 0) {
        const int o = out >= 0 ? out : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || dup2(o, 1) != 1 || dup2(e, 2) != 2 || setenv("TZ", "UTC", 1) != 0)
            _exit(127);
        std::signal(SIGPIPE, SIG_DFL);
        if (prepare)
            prepare();
        execv(CAIRNFIX_BIN, argv.data());
        _exit(127);
    }
    if (pid_ < 0)
        throw std::runtime_error("cannot start " CAIRNFIX_BIN);
}

child_run::~child_run() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
}

int child_run::ended_within(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            pid_ = -1;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid_ > 0 ? -1 : status_;
}

run_result child_run::result() {
    if (pid_ > 0 && waitpid(pid_, &status_, 0) == pid_)
        pid_ = -1;
    return {read_file(dir_ + "/out"), read_file(dir_ + "/err"),
            pid_ <= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1};
}

bool killed_by(int status, int sig) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}
#endif

run_result run_in_process(const std::vector<std::string> &args) {
    std::vector<std::string> words{"cairnfix"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv = make_argv(words);
    return capture_output([&] { return run_tool(static_cast<int>(words.size()), argv.data()); });
}

run_result capture_status(const std::function<int()> &body) {
    const std::string dir = make_temp_dir();
    const std::string out_path = dir + "/out", err_path = dir + "/err";

    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = dup(1), saved_err = dup(2);
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    close(out_fd);
    close(err_fd);

    run_result r;
    r.status = body();

    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    std::filesystem::remove_all(dir);
#ifdef _WIN32
    r.out = lf_lines(r.out);
    r.err = lf_lines(r.err);
#endif
    return r;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::string report_section(const std::string &out, const std::string &heading) {
    const std::size_t start = out.find("\n=== " + heading + " ===\n");
    if (start == std::string::npos)
        return {};
    const std::size_t end = out.find("\n=== ", start + 1);
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::string> issue_texts(const std::string &out) {
    std::vector<std::string> texts;
    const std::size_t start = out.find("\n=== Issues Found: ");
    if (start == std::string::npos)
        return texts;
    std::size_t pos = out.find('\n', start + 1) + 1;
    // Each entry is "  [nnn] text"; the list ends at the first other line.
    while (out.compare(pos, 3, "  [") == 0 && out.size() > pos + 8) {
        const std::size_t eol = out.find('\n', pos);
        texts.push_back(out.substr(pos + 8, eol - pos - 8));
        pos = eol + 1;
    }
    return texts;
}
