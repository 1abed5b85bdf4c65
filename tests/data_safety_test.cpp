// A repair run against hostile names, failures and interruptions: backups and the
// realigned header file never written through a link, only regular files opened, a failed
// write never reported as success, a signal ending the run cleanly, names shown without
// control bytes, and a direction change on one stream always positioned.
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Three messages, the second deleted, with a .JLR record whose HighReadMsg needs a fix.
[[maybe_unused]] void write_small_base(base_builder &b) {
    b.add_message().from("Alice").to("Bob");
    b.add_message().deleted();
    b.add_message().from("Carol").to("Dave");
    b.lastread.push_back(lastread_record{0x1234, 7, 3, 1});
    b.write();
}

// The base's .JHR with one spurious byte inside the fixed header.
[[maybe_unused]] std::string shifted_jhr(const base_builder &b) {
    std::string jhr = b.bytes(jam_ext::jhr);
    jhr.insert(6, 1, 'A');
    return jhr;
}

} // namespace

// Reading after writing on one stream, and writing after reading, each go through one
// positioning call of the C library even when the position does not move.
TEST(DataSafety, EveryDirectionChangeIsPositioned) {
    const std::string dir = make_temp_dir();
    const std::string path = dir + "/f";
    write_file(path, std::string(16, 'x'));
    jam_file f;
    ASSERT_TRUE(f.open(path, "r+b"));
    char buf[4];
    ASSERT_TRUE(f.seek(4));
    uint64_t before = io_positioning_calls();
    ASSERT_TRUE(f.write("abcd", 4));
    ASSERT_TRUE(f.read_exact(buf, 4));
    EXPECT_EQ(io_positioning_calls(), before + 1);
    before = io_positioning_calls();
    ASSERT_TRUE(f.write("efgh", 4));
    EXPECT_EQ(io_positioning_calls(), before + 1);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(read_file(path), "xxxxabcdxxxxefgh");
    fs::remove_all(dir);
}

// Several last-read records fixed on one stream, each read and then written back: the
// records between them, a deleted slot among them, keep every byte.
TEST(DataSafety, LastReadRepairsChangeOnlyTheRecordsTheyFix) {
    base_builder b;
    b.add_message();
    b.lastread = {{0x11, 5, 9, 2}, {0x22, 6, 9, 3}, {ALL_ONES, ALL_ONES, 0, 0}, {0x44, 7, 4, 8}};
    b.write();
    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_EQ(r.status, 2) << r.err;
    std::string expected;
    for (const uint32_t field : {0x11u, 5u, 9u, 9u, 0x22u, 6u, 9u, 9u, ALL_ONES, ALL_ONES, 0u, 0u,
                                 0x44u, 7u, 4u, 8u}) // UserCRC, UserID, LastReadMsg, HighReadMsg
        expected += le32(field);
    EXPECT_EQ(b.bytes(jam_ext::jlr), expected);
}

#ifndef _WIN32 // symbolic links, FIFOs, signals, fork, control bytes in file names
// A backup whose name already holds a link to the base file, or another name of it, is
// replaced by a complete copy; the base file itself keeps every byte.
TEST(DataSafety, BackupsReplaceLinksInsteadOfWritingThroughThem) {
    base_builder b;
    write_small_base(b);
    const std::string jhr = b.path(jam_ext::jhr), jdt = b.path(jam_ext::jdt);
    const std::string jhr_before = b.bytes(jam_ext::jhr), jdt_before = b.bytes(jam_ext::jdt);
    fs::create_symlink(jhr, jhr + ".bak");
    fs::create_hard_link(jdt, jdt + ".bak");
    write_file(b.path(jam_ext::jlr) + ".bak.tmp", "left by a killed run");

    const run_result r = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.err, "  WARN: removed leftover " + b.path(jam_ext::jlr) +
                         ".bak.tmp\n  WARN: replaced the backup of an earlier run: " + jhr +
                         ".bak\n  WARN: replaced the backup of an earlier run: " + jdt + ".bak\n");
    EXPECT_EQ(read_file(jhr + ".bak"), jhr_before);
    EXPECT_FALSE(fs::is_symlink(jhr + ".bak"));
    EXPECT_EQ(b.bytes(jam_ext::jdt), jdt_before);
    EXPECT_EQ(read_file(jdt + ".bak"), jdt_before);
    EXPECT_EQ(fs::hard_link_count(jdt), 1u);
    EXPECT_EQ(b.bytes(jam_ext::jhr).size(), jhr_before.size());
    for (const auto &e : fs::directory_iterator(b.dir()))
        EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}

// A .JHR reached through a link is realigned where it lies, and the link stays a link. A
// link planted under the redo file's temporary name is removed, never written through, and
// one planted under the redo file's own name is never copied into the base.
TEST(DataSafety, RealignmentFollowsTheBaseLinkAndIgnoresPlantedLinks) {
    base_builder b, twin;
    write_small_base(b);
    write_small_base(twin);
    twin.set_bytes(jam_ext::jhr, shifted_jhr(twin));
    run_cairnfix({"-r", twin.base()});
    const std::string real_dir = make_temp_dir();
    const std::string real = real_dir + "/real.jhr", victim = real_dir + "/victim";
    const std::string jhr = b.path(jam_ext::jhr);
    write_file(real, shifted_jhr(b));
    write_file(victim, "precious");
    fs::remove(jhr);
    fs::create_symlink(real, jhr);
    fs::create_symlink(victim, jhr + ".realign.tmp");
    fs::create_symlink(victim, jhr + ".realign");

    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_TRUE(contains(r.out, "Byte-shift corrected")) << r.out;
    EXPECT_FALSE(contains(r.out, "Finishing")) << r.out;
    EXPECT_EQ(r.err, "  WARN: removed leftover " + jhr + ".realign.tmp\n");
    EXPECT_TRUE(fs::is_symlink(jhr));
    EXPECT_EQ(read_file(real), twin.bytes(jam_ext::jhr));
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_FALSE(fs::exists(fs::symlink_status(jhr + ".realign.tmp")));
    fs::remove_all(real_dir);
}

// A .JHR that is not a regular file ends the run before anything is opened. (Other files:
// Interruption.AFifoPutUnderANameBeforeTheOpenIsRefused and the *-is-a-directory cases.)
TEST(DataSafety, AHeaderFileThatIsNoRegularFileEndsTheRun) {
    base_builder b;
    write_small_base(b);
    b.remove(jam_ext::jhr);
    ASSERT_EQ(mkfifo(b.path(jam_ext::jhr).c_str(), 0600), 0);
    const run_result r = run_cairnfix({"-r", b.base()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nFATAL: cannot open " + b.path(jam_ext::jhr) + ": not a regular file (a FIFO).\n");
}

// Ctrl-C while a repair waits for the lock: the run ends as the signal would have ended
// it, with one FATAL line, and leaves nothing behind.
TEST(DataSafety, ASignalEndsTheRunCleanly) {
    base_builder b;
    write_small_base(b);
    b.set_bytes(jam_ext::jhr, shifted_jhr(b));
    const std::string before = b.bytes(jam_ext::jhr);
    base_lock other; // another program holds the base
    ASSERT_EQ(other.acquire(b.path(jam_ext::jhr), 0), base_lock::outcome::locked);
    child_run waiting({"-r", "-b", b.base()});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(waiting.pid(), SIGINT);
    const int status = waiting.ended_within(10);
    EXPECT_TRUE(killed_by(status, SIGINT)) << status;
    // The lock of this test is an open-file-description lock, which names no process.
    EXPECT_EQ(waiting.result().err,
              "  Waiting for the JAM lock on " + b.path(jam_ext::jhr) +
                  "...\n\nFATAL: interrupted by SIGINT; temporary files removed.\n");
    EXPECT_EQ(b.bytes(jam_ext::jhr), before);
}

// A report that cannot be written whole, here to a full disk, ends the run with status 1
// and says so, instead of ending as a run that went well.
TEST(DataSafety, AReportThatCannotBeWrittenEndsWithStatusOne) {
    base_builder b;
    write_small_base(b);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    child_run report({"-x", "-v", b.base()}, full);
    close(full);
    const run_result r = report.result();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nFATAL: cannot write the report to standard output: No space left on device\n");
}

// A signal that arrives while a whole-file replacement is being written: the record in
// hand is finished, the temporary file removed and the target left as it was.
TEST(DataSafety, ASignalDuringAReplacementRemovesTheTemporaryFile) {
    const std::string dir = make_temp_dir();
    const std::string target = dir + "/target";
    write_file(target, "old");
    const pid_t pid = fork();
    if (pid == 0) {
        defer_interruptions();
        std::freopen("/dev/null", "w", stderr);
        replace_whole_file(
            target,
            [](jam_file &out) {
                const bool first = out.write("new", 3);
                raise(SIGTERM);
                return first && out.write("er", 2);
            },
            "");
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(read_file(target), "old");
    EXPECT_FALSE(fs::exists(target + ".tmp"));
    fs::remove_all(dir);
}

// A base whose folder name holds escape sequences (a script that loops over folder entries
// passes them on): every line that names a file shows them as dots. Names and subjects
// inside a base are shown the same way (the verbose-report case).
TEST(DataSafety, ControlBytesInAFolderNameAreShownAsDots) {
    base_builder b;
    b.add_message();
    b.write();
    const std::string odd = b.dir() + "/x\x1b[2J\x07";
    fs::create_directory(odd);
    for (const char *ext : {".jhr", ".jdt", ".jdx"})
        fs::copy_file(b.base() + ext, odd + "/base" + ext);
    write_file(odd + "/base.jhr.bak.tmp", "left by a killed backup");
    const run_result named = run_cairnfix({"-r", "-b", odd + "/base", "-x\x1b"});
    const std::string shown = b.dir() + "/x.[2J.";
    EXPECT_TRUE(contains(named.out, "Base : " + shown + "/base\n")) << named.out;
    EXPECT_TRUE(contains(named.out, "  Backed up: " + shown + "/base.jhr\n")) << named.out;
    EXPECT_TRUE(contains(named.err, "  WARN: removed leftover " + shown + "/base.jhr.bak.tmp\n"))
        << named.err;
    EXPECT_TRUE(contains(named.err, "argument after the base name: -x.")) << named.err;
    EXPECT_FALSE(contains(named.out + named.err, "\x1b")) << named.out << named.err;
    EXPECT_FALSE(contains(named.out + named.err, "\x07"));
}
#endif
