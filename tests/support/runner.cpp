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
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
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
    std::vector<std::string> words{CAIRNFIX_BIN};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv = make_argv(words);
    // The child writes to the captured descriptors it inherits.
    return capture_status([&] {
        setenv("TZ", "UTC", 1);
        pid_t pid = 0;
        if (posix_spawn(&pid, CAIRNFIX_BIN, nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start " CAIRNFIX_BIN);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    });
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
