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
#include <sys/resource.h>
#include <sys/stat.h>
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

// A pipe for a child's standard output that only this test reads: the child closes the
// reading end it inherits, so closing ours leaves the pipe without a reader.
struct report_pipe {
    int reader = -1, writer = -1;
    report_pipe() {
        int ends[2];
        if (pipe(ends) != 0)
            throw std::runtime_error("pipe");
        reader = ends[0];
        writer = ends[1];
    }
    ~report_pipe() {
        close_end(reader);
        close_end(writer);
    }
    // Closes one end, once.
    static void close_end(int &end) {
        if (end >= 0)
            close(end);
        end = -1;
    }
};

} // namespace

// SIGTERM while the report is blocked on a reader that stalled: the run ends at once, with
// its FATAL line, and the base is free again. A repair whose reader went away ends the
// same way on SIGPIPE; an analysis just dies of it, as a filter does.
TEST(Interruption, SignalsEndARepairBlockedOnItsReport) {
    base_builder b;
    write_base(b, 3000);
    {
        report_pipe out;
        child_run stalled({"-r", "-x", "-v", b.base()}, out.writer, [&] { close(out.reader); });
        report_pipe::close_end(out.writer);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        kill(stalled.pid(), SIGTERM);
        const int status = stalled.ended_within(3);
        EXPECT_TRUE(killed_by(status, SIGTERM)) << status;
        EXPECT_EQ(stalled.result().err,
                  "\nFATAL: interrupted by SIGTERM; temporary files removed.\n");
    }
    base_lock free_again;
    EXPECT_EQ(free_again.acquire(b.path(jam_ext::jhr), 0), base_lock::outcome::locked);
    free_again.release();

    for (const bool repair : {true, false}) {
        std::vector<std::string> args{"-x", "-v", b.base()};
        if (repair)
            args.insert(args.begin(), "-r");
        report_pipe out;
        child_run gone(args, out.writer, [&] { close(out.reader); });
        report_pipe::close_end(out.writer);
        char some[512];
        EXPECT_GT(read(out.reader, some, sizeof some), 0);
        report_pipe::close_end(out.reader);
        const int status = gone.ended_within(5);
        EXPECT_TRUE(killed_by(status, SIGPIPE)) << repair << " " << status;
        EXPECT_EQ(gone.result().err,
                  repair ? "\nFATAL: interrupted by SIGPIPE; temporary files removed.\n" : "")
            << repair;
    }
}

// A backup past the file-size limit fails as a full disk would: an error line, its
// temporary copy removed, status 1, nothing repaired. A later repair run, even without -b,
// removes the temporary copy a killed backup left.
TEST(Interruption, AFileSizeLimitFailsTheBackupCleanly) {
    base_builder b;
    write_base(b, 40);
    const std::string jhr = b.path(jam_ext::jhr), before = b.bytes(jam_ext::jhr);
    ASSERT_GT(before.size(), 4000u);
    const run_result limited = child_run({"-r", "-b", b.base()}, -1, [] {
                                   const rlimit limit{4000, 4000};
                                   if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                                       _exit(127);
                               }).result();
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(limited.err, "  ERROR: backup failed: " + jhr + "\nBackup failed.\n");
    EXPECT_EQ(b.bytes(jam_ext::jhr), before);
    EXPECT_FALSE(fs::exists(jhr + ".bak"));
    EXPECT_FALSE(fs::exists(jhr + ".bak.tmp"));

    write_file(jhr + ".bak.tmp", "left by a killed backup");
    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_EQ(r.err, "  WARN: removed leftover " + jhr + ".bak.tmp\n");
    EXPECT_FALSE(fs::exists(jhr + ".bak.tmp"));
}

// A FIFO put under the .JDX's name in the instant before it is opened, after every look at
// the name: no open blocks on it or uses it, it is reported as a file that cannot be
// opened, and the repair neither measures, truncates nor rebuilds it.
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
    const run_result r = run_in_process({"-r", b.base()});
    alarm(0);
    io_before_open(nullptr);
    EXPECT_TRUE(contains(r.err, "  ERROR: cannot open " + target + ": not a regular file (a FIFO)"))
        << r.err;
    EXPECT_EQ(issue_texts(r.out).at(0), ".JDX: cannot open");
    EXPECT_FALSE(contains(r.out, "Truncating")) << r.out;
    EXPECT_EQ(fs::status(target).type(), fs::file_type::fifo);
}
#endif
