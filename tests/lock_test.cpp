// The JAM write lock: repairs wait for another program's lock on byte 0 of .JHR and give
// up after ten seconds without writing; analyses take no lock.
#include "format/files.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <chrono>

#ifdef _WIN32
#include <thread>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// A handle of this process that holds a LockFileEx lock on byte 0, as a tosser does while
// it writes a message, or without `lock` one that lets others only read (`share`), as a
// program that keeps others out of a file while it works on it; closed after `hold_ms`
// milliseconds. The tool runs as another process, so for it this is another program's.
class lock_holder {
  public:
    lock_holder(const std::string &path, int hold_ms, bool lock = true,
                DWORD share = FILE_SHARE_READ) {
        const DWORD shared = lock ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : share;
        const HANDLE file =
            CreateFileA(path.c_str(), GENERIC_READ | (lock ? GENERIC_WRITE : 0), shared, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            throw std::runtime_error("the holder could not open " + path);
        OVERLAPPED at{};
        if (lock &&
            !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            CloseHandle(file);
            throw std::runtime_error("the holder could not lock");
        }
        // Closing the handle releases the lock.
        release_ = std::thread([file, hold_ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
            CloseHandle(file);
        });
    }
    ~lock_holder() { release_.join(); }
    // Windows does not tell who holds a lock.
    std::string named() const { return ""; }

  private:
    std::thread release_;
};
#else
// A second process that holds a classic fcntl write lock on byte 0, as a tosser does
// while it writes a message, for `hold_ms` milliseconds.
class lock_holder {
  public:
    lock_holder(const std::string &path, int hold_ms) {
        int ready[2];
        if (pipe(ready) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(path.c_str(), O_RDWR);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_len = 1;
            const char ok = fcntl(fd, F_SETLK, &fl) == 0 ? '1' : '0';
            if (write(ready[1], &ok, 1) != 1)
                _exit(1);
            usleep(static_cast<useconds_t>(hold_ms) * 1000);
            _exit(0);
        }
        close(ready[1]);
        char ok = '0';
        if (read(ready[0], &ok, 1) != 1 || ok != '1')
            throw std::runtime_error("the holder could not lock");
        close(ready[0]);
    }
    ~lock_holder() {
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    // How the tool names the holder in its wait line.
    std::string named() const { return " (held by process " + std::to_string(pid_) + ")"; }

  private:
    pid_t pid_ = -1;
};
#endif

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(WriteLock, RepairsWaitForTheLockAndAnalysesTakeNone) {
    base_builder b;
    b.add_message();
    b.active_msgs = 7; // something to repair
    b.write();
    b.append(jam_ext::jdx, "x");
    const std::string jhr = b.bytes(jam_ext::jhr), jdx = b.bytes(jam_ext::jdx);
    const auto timed = [&](std::vector<std::string> args, double *seconds) {
        const auto start = std::chrono::steady_clock::now();
        args.push_back(b.base());
        const run_result r = run_cairnfix(args);
        *seconds = seconds_since(start);
        return r;
    };
    double took = 0;
    {
        lock_holder holder(b.path(jam_ext::jhr), 12000);
        // Wine lets other handles read a locked byte; Windows does not, and there an
        // analysis waits for the lock as a repair does.
        const run_result analysis = timed({}, &took);
        EXPECT_LT(took, 5.0);
        EXPECT_EQ(analysis.status, 2);

        const run_result r = timed({"-r", "-b"}, &took);
        EXPECT_GE(took, 9.5);
        EXPECT_EQ(r.status, 1);
        const std::string path = b.path(jam_ext::jhr);
        EXPECT_EQ(r.err, "  Waiting for the JAM lock on " + path + holder.named() +
                             "...\n\nFATAL: message base is locked by another program: " + path +
                             "\n");
        EXPECT_FALSE(contains(r.out, "Issues Found"));
        EXPECT_EQ(b.bytes(jam_ext::jhr), jhr);
        EXPECT_EQ(b.bytes(jam_ext::jdx), jdx);
        EXPECT_FALSE(file_exists(b.path(jam_ext::jhr) + ".bak"));
    }
    lock_holder holder(b.path(jam_ext::jhr), 1500);
    const run_result r = timed({"-r"}, &took);
    EXPECT_GE(took, 1.0);
    EXPECT_EQ(r.err,
              "  Waiting for the JAM lock on " + b.path(jam_ext::jhr) + holder.named() + "...\n");
    EXPECT_EQ(b.bytes(jam_ext::jdx).size() % 8, 0u) << r.out;
}

#ifdef _WIN32
// A program that opened the .JHR without sharing writes keeps a repair out as a lock would:
// the repair waits, says so, and goes on once the file is free.
TEST(WriteLock, RepairsWaitWhileAnotherProgramKeepsWritersOut) {
    base_builder b;
    b.add_message();
    b.active_msgs = 7;
    b.write();
    const auto start = std::chrono::steady_clock::now();
    run_result r;
    {
        lock_holder holder(b.path(jam_ext::jhr), 1500, false);
        r = run_cairnfix({"-r", b.base()});
    }
    EXPECT_GE(seconds_since(start), 1.0);
    EXPECT_EQ(r.status, 2) << r.err; // the repaired issue still counts
    EXPECT_EQ(r.err, "  Waiting for the JAM lock on " + b.path(jam_ext::jhr) + "...\n");
    EXPECT_EQ(b.get_u32(jam_ext::jhr, 12), 1u); // ActiveMsgs repaired

    // A companion file another program holds without sharing: the line says so.
    lock_holder holder(b.path(jam_ext::jdx), 500, false, 0);
    const run_result kept_out = run_cairnfix({b.base()});
    EXPECT_TRUE(contains(kept_out.err, "  ERROR: cannot open " + b.path(jam_ext::jdx) +
                                           ": another program has it open\n"))
        << kept_out.err;
}
#endif
