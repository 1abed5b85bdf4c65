// A repair run against signals, limits and names that change under it: a signal ends it at
// once even while its report is blocked on a reader, a reader that goes away ends it like
// Ctrl-C, a file-size limit fails it cleanly, leftovers of a killed backup are removed, and
// a FIFO put under a name right before the open cannot hold it.
#include "format/files.h"
#include "format/lock.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Enough messages that the -v report is far larger than a pipe holds.
void write_base(base_builder &b, int messages) {
    for (int i = 0; i < messages; ++i)
        b.add_message().from("Alice").to("Bob").msgid("2:5020/1 " + std::to_string(i));
    b.active_msgs = 1; // something to repair
    b.write();
}

// The tool as a child process, its standard output a pipe the test holds (or a file), its
// standard error a file; with a file-size limit when `fsize_limit` is not 0.
struct child {
    pid_t pid = -1;
    int out = -1; // the pipe's reading end, when standard output is a pipe
    std::string err_path;

    child(const std::vector<std::string> &args, const std::string &dir, bool pipe_out,
          rlim_t fsize_limit = 0) {
        err_path = dir + "/err";
        int fds[2] = {-1, -1};
        if (pipe_out && pipe(fds) != 0)
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            if (fsize_limit != 0) {
                const rlimit limit{fsize_limit, fsize_limit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            if (pipe_out)
                close(fds[0]); // the test alone reads: closing its end leaves no reader
            std::signal(SIGPIPE, SIG_DFL);
            const int sink = pipe_out ? fds[1] : open("/dev/null", O_WRONLY);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(sink, 1);
            dup2(err, 2);
            std::vector<char *> argv{const_cast<char *>(CAIRNFIX_BIN)};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(CAIRNFIX_BIN, argv.data());
            _exit(127);
        }
        if (pipe_out) {
            close(fds[1]);
            out = fds[0];
        }
    }
    ~child() {
        if (out >= 0)
            close(out);
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // The wait status once the child ended, within `seconds`; -1 when it is still running.
    int ended_within(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    std::string err() const { return read_file(err_path); }
};

bool killed_by(int status, int sig) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

} // namespace

// SIGTERM while the report is blocked on a reader that stalled: the run ends at once, with
// its FATAL line, and the base is free again. A repair whose reader went away ends the
// same way on SIGPIPE; an analysis just dies of it, as a filter does.
TEST(Interruption, SignalsEndARepairBlockedOnItsReport) {
    base_builder b;
    write_base(b, 3000);
    const std::string dir = make_temp_dir();
    const std::string fatal = [](const char *sig) {
        return std::string("\nFATAL: interrupted by ") + sig + "; temporary files removed.\n";
    }("SIGTERM");
    {
        child stalled({"-r", "-x", "-v", b.base()}, dir, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        kill(stalled.pid, SIGTERM);
        const int status = stalled.ended_within(3);
        EXPECT_TRUE(killed_by(status, SIGTERM)) << status;
        EXPECT_EQ(stalled.err(), fatal);
    }
    base_lock free_again;
    EXPECT_EQ(free_again.acquire(b.path(jam_ext::jhr), 0), base_lock::outcome::locked);
    free_again.release();

    for (const bool repair : {true, false}) {
        std::vector<std::string> args{"-x", "-v", b.base()};
        if (repair)
            args.insert(args.begin(), "-r");
        child gone(args, dir, true);
        char some[512];
        EXPECT_GT(read(gone.out, some, sizeof some), 0);
        close(gone.out);
        gone.out = -1;
        const int status = gone.ended_within(5);
        EXPECT_TRUE(killed_by(status, SIGPIPE)) << repair << " " << status;
        EXPECT_EQ(gone.err(),
                  repair ? "\nFATAL: interrupted by SIGPIPE; temporary files removed.\n" : "")
            << repair;
    }
    fs::remove_all(dir);
}

// A backup past the file-size limit fails as a full disk would: an error line, its
// temporary copy removed, status 1, nothing repaired. A later repair run, even without -b,
// removes the temporary copy a killed backup left.
TEST(Interruption, AFileSizeLimitFailsTheBackupCleanly) {
    base_builder b;
    write_base(b, 40);
    const std::string dir = make_temp_dir();
    const std::string jhr = b.path(jam_ext::jhr), before = b.bytes(jam_ext::jhr);
    ASSERT_GT(before.size(), 4000u);
    {
        child limited({"-r", "-b", b.base()}, dir, false, 4000);
        const int status = limited.ended_within(10);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(limited.err(), "  ERROR: backup failed: " + jhr + "\nBackup failed.\n");
    }
    EXPECT_EQ(b.bytes(jam_ext::jhr), before);
    EXPECT_FALSE(fs::exists(jhr + ".bak"));
    EXPECT_FALSE(fs::exists(jhr + ".bak.tmp"));

    write_file(jhr + ".bak.tmp", "left by a killed backup");
    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_EQ(r.err, "  WARN: removed leftover " + jhr + ".bak.tmp\n");
    EXPECT_FALSE(fs::exists(jhr + ".bak.tmp"));
    fs::remove_all(dir);
}

// A FIFO put under the .JDX's name in the instant before it is opened, after every look at
// the name: the open neither blocks nor uses it.
TEST(Interruption, AFifoPutUnderANameBeforeTheOpenIsRefused) {
    base_builder b;
    write_base(b, 2);
    static std::string target;
    target = b.path(jam_ext::jdx);
    io_before_open([](const std::string &path) {
        if (path != target)
            return;
        io_before_open(nullptr);
        fs::remove(path);
        mkfifo(path.c_str(), 0600);
    });
    alarm(10); // a regression blocks in the open: end the test binary rather than hang
    const run_result r = run_in_process({b.base()});
    alarm(0);
    io_before_open(nullptr);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "  ERROR: cannot open " + target + ": not a regular file (a FIFO)"))
        << r.err;
    EXPECT_EQ(fs::status(target).type(), fs::file_type::fifo);
}
#endif
