// Interruptions of a repair run: a signal (or on Windows a console event) ends the run at
// once, unless a record is being written; then the run ends as soon as that record is
// whole. Either way the temporary files are removed and one FATAL line says why.
#include "format/files.h"
#include "format/platform.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t pending_signal = 0;
// Records being written (0: none), or -1 once the run is ending. Lock-free, so a signal
// handler may use it; on Windows a console event arrives on a thread of its own.
std::atomic<int> writing{0};
static_assert(std::atomic<int>::is_always_lock_free);
// Temporary files this run has created and not yet renamed or removed. Changed only while
// a record write is marked, so that a handler never reads it half changed.
std::vector<std::string> temporary_files;

#ifdef _WIN32
// Windows programs end with this status on Ctrl-C, and so does this one on every console
// event.
constexpr UINT CONSOLE_EXIT = 0xC000013A;
constexpr int CTRL_CLOSE = 100 + CTRL_CLOSE_EVENT; // events without a C signal number
constexpr int CTRL_LOGOFF = 100 + CTRL_LOGOFF_EVENT;
constexpr int CTRL_SHUTDOWN = 100 + CTRL_SHUTDOWN_EVENT;
#endif

const char *signal_name(int sig) {
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
#ifdef _WIN32
    case SIGBREAK:
        return "Ctrl-Break";
    case CTRL_CLOSE:
        return "the closing of the console";
    case CTRL_LOGOFF:
        return "the logoff";
    case CTRL_SHUTDOWN:
        return "the shutdown";
#else
    case SIGHUP:
        return "SIGHUP";
    case SIGPIPE:
        return "SIGPIPE";
#endif
    default:
        return "a signal";
    }
}

// Writes a text to standard error with the one call a signal handler may make.
void write_error(const char *text) {
#ifdef _WIN32
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &put,
              nullptr);
#else
    (void)!write(STDERR_FILENO, text, std::strlen(text));
#endif
}

// Ends the process as the signal would have, so that a calling script sees the
// interruption; the write lock goes with the process.
[[noreturn]] void end_as_signalled(int sig) {
#ifdef _WIN32
    (void)sig;
    ExitProcess(CONSOLE_EXIT);
#else
    std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
#endif
}

// Waits while another thread ends the run.
[[noreturn]] void wait_for_the_end() {
    for (;;)
#ifdef _WIN32
        Sleep(INFINITE);
#else
        pause();
#endif
}

// The end of an interrupted run, with only what a signal handler may call: the report's
// buffer is left as it is, since the signal may have come in the middle of writing it.
[[noreturn]] void end_now(int sig) {
    for (const std::string &path : temporary_files)
        remove_now(path);
    write_error("\nFATAL: interrupted by ");
    write_error(signal_name(sig));
    write_error("; temporary files removed.\n");
    end_as_signalled(sig);
}

// Claims the end of the run: false when a record is being written, or when the run is
// ending already.
bool claim_end() {
    int idle = 0;
    return writing.compare_exchange_strong(idle, -1);
}

#ifdef _WIN32
// Console events come on a thread of their own: the handler waits while a record is
// written, and the writer ends the run as soon as it is whole.
BOOL WINAPI on_console_event(DWORD event) {
    const int sig = event == CTRL_C_EVENT       ? SIGINT
                    : event == CTRL_BREAK_EVENT ? SIGBREAK
                                                : 100 + static_cast<int>(event);
    pending_signal = sig;
    for (;;) {
        if (claim_end())
            end_now(sig);
        if (writing.load() < 0)
            wait_for_the_end(); // the writer is ending the run
        Sleep(10);
    }
}
#else
extern "C" void on_signal(int sig) {
    pending_signal = sig;
    if (claim_end())
        end_now(sig);
}
#endif

} // namespace

void defer_interruptions() {
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    // No SA_RESTART: a call that blocks (a report written to a reader that stalled, a wait)
    // is interrupted, and the handler ends the run there and then. A report reader that went
    // away ends the run the same way; a write past the file-size limit fails with EFBIG and
    // takes the failure path instead of killing the run.
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaction(sig, &action, nullptr);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void stop_if_interrupted() {
    const int sig = pending_signal;
    if (sig == 0 || !claim_end())
        return;
    // Outside a handler the report can be finished first, so its lines and the FATAL line
    // stay in order.
    std::fflush(stdout);
    end_now(sig);
}

record_write::record_write() {
    int now = writing.load();
    do {
        if (now < 0)
            wait_for_the_end(); // a console event's thread is ending the run
    } while (!writing.compare_exchange_weak(now, now + 1));
}

record_write::~record_write() {
    if (writing.fetch_sub(1) == 1)
        stop_if_interrupted();
}

void note_temporary_file(const std::string &path) {
    const record_write marked;
    temporary_files.push_back(path);
}

void forget_temporary_file(const std::string &path) {
    const record_write marked;
    temporary_files.erase(std::remove(temporary_files.begin(), temporary_files.end(), path),
                          temporary_files.end());
}
