// A repair beside the other programs of a base: a program that holds the .JHR open and
// waits for the lock writes into the live file, a repair that cannot lock writes nothing,
// two names of one file are never written as two files, and the files a repair creates
// belong to the base's owner.
#include "format/files.h"
#include "format/lock.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr bool WINDOWS = true;
#else
constexpr bool WINDOWS = false;
#endif

// Two messages, the first with a wrong ActiveMsgs to repair, the .JLR missing.
void write_base(base_builder &b) {
    b.add_message().from("Alice").to("Bob");
    b.add_message().from("Carol").to("Dave");
    b.active_msgs = 7;
    b.write();
    b.remove(jam_ext::jlr);
}

} // namespace

// Two names of one file: a .JDX or .JLR that is the .JHR under another name would be cut
// to whole records or rebuilt as if it were itself, and the .JHR with it. The run names
// both, writes nothing and fails. One file found under two case forms is backed up once.
TEST(LiveBase, TwoNamesOfOneFileAreNeverWrittenAsTwo) {
    const std::pair<jam_ext, bool> aliases[] = {{jam_ext::jdx, true}, {jam_ext::jlr, false}};
    for (const auto &[ext, symbolic] : aliases) {
        base_builder b;
        write_base(b);
        const std::string jhr = b.path(jam_ext::jhr), alias = b.path(ext);
        fs::remove(alias);
        // Making a symbolic link on Windows takes a privilege the tests do not have.
        if (symbolic && !WINDOWS)
            fs::create_symlink(jhr, alias);
        else
            fs::create_hard_link(jhr, alias);
        const std::string before = b.bytes(jam_ext::jhr);
        const run_result r = run_cairnfix({"-r", "-p", "-b", b.base()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "  ERROR: " + alias + " is " + jhr +
                             " under another name; nothing will be written\n");
        EXPECT_FALSE(contains(r.out, "=== Repairs ===")) << r.out;
        EXPECT_EQ(b.bytes(jam_ext::jhr), before);
        EXPECT_FALSE(fs::exists(jhr + ".bak"));
    }

    base_builder b;
    write_base(b);
    // Where the file system ignores case, the upper-case name is the file already; elsewhere
    // a second link plays its part.
    const std::string upper = b.base() + ".JHR";
    if (!fs::exists(upper))
        fs::create_hard_link(b.path(jam_ext::jhr), upper);
    const std::string original = b.bytes(jam_ext::jhr);
    const run_result r = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "  Backed up: " + b.path(jam_ext::jhr) + "\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "  Backed up: " + upper)) << r.out;
    EXPECT_EQ(read_file(b.path(jam_ext::jhr) + ".bak"), original);
}

#ifndef _WIN32
namespace {

std::string snapshot(const base_builder &b) {
    std::string all;
    for (const jam_ext e : {jam_ext::jhr, jam_ext::jdt, jam_ext::jdx})
        all += b.bytes(e) + "|";
    return all;
}

} // namespace

// A program that opened the .JHR before a realignment and then waits for the lock writes,
// once it has it, into the live, realigned file: the file is never swapped under it.
TEST(LiveBase, AProgramWaitingForTheLockWritesIntoTheRealignedFile) {
    base_builder b;
    for (int i = 0; i < 20000; ++i)
        b.add_message().from("Alice").to("Bob");
    b.write();
    std::string aligned = b.bytes(jam_ext::jhr);
    b.insert(jam_ext::jhr, 4, "A");
    const std::string path = b.path(jam_ext::jhr);
    // The waiter marks the first message read: TimesRead, 12 bytes into its header.
    const int64_t times_read = FIXED_HEADER_SIZE + 12;
    aligned.replace(static_cast<std::size_t>(times_read), 4, le32(0x4B52414D));

    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t waiter = fork();
    if (waiter == 0) {
        const int fd = open(path.c_str(), O_RDWR);
        char c = 0;
        if (fd < 0 || read(go[0], &c, 1) != 1)
            _exit(2);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_len = 1;
        // Waits until the repair holds the lock (for at most 5 s), then queues behind it.
        for (int i = 0; i < 5000; ++i) {
            struct flock held = fl;
            if (fcntl(fd, F_GETLK, &held) == 0 && held.l_type != F_UNLCK)
                break;
            usleep(1000);
        }
        const uint32_t mark = 0x4B52414D; // little-endian on the machines this runs on
        if (fcntl(fd, F_SETLKW, &fl) != 0 || pwrite(fd, &mark, 4, times_read) != 4)
            _exit(3);
        _exit(0);
    }
    close(go[0]);
    ASSERT_EQ(write(go[1], "!", 1), 1);
    const run_result r = run_cairnfix({"-r", b.base()});
    close(go[1]);
    int status = 0;
    waitpid(waiter, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(contains(r.out, "Byte-shift corrected")) << r.out;
    EXPECT_TRUE(b.bytes(jam_ext::jhr) == aligned);
}

// A repair that cannot open the .JHR for writing (a read-only file, or another user's)
// ends before its first write with a FATAL line naming the path and the reason.
TEST(LiveBase, ARepairThatCannotLockWritesNothing) {
    base_builder b;
    write_base(b);
    b.insert(jam_ext::jhr, 6, "A");
    fs::permissions(b.dir(), fs::perms::all);
    const std::string before = snapshot(b);
    const bool root = geteuid() == 0;
    if (!root)
        fs::permissions(b.path(jam_ext::jhr), fs::perms::owner_read | fs::perms::group_read);
    // Root may write any file: it runs the tool as another user, to whom the files are
    // read-only.
    const run_result r = child_run({"-r", "-b", b.base()}, -1, [root] {
                             if (root && (setgid(65534) != 0 || setuid(65534) != 0))
                                 _exit(127);
                         }).result();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nFATAL: cannot lock " + b.path(jam_ext::jhr) + " for writing: Permission denied\n");
    EXPECT_EQ(snapshot(b), before);
    for (const auto &e : fs::directory_iterator(b.dir()))
        EXPECT_NE(e.path().extension(), ".bak") << e.path();
    EXPECT_FALSE(fs::exists(b.path(jam_ext::jlr)));
}

// While the lock is held, the .JHR is read and written through the lock's own descriptor:
// where only classic fcntl locks exist, closing any other would release the lock.
TEST(LiveBase, TheLockedFileIsReachedThroughTheLocksOwnDescriptor) {
    base_builder b;
    write_base(b);
    const std::string path = b.path(jam_ext::jhr);
    const auto descriptors_on = [&] {
        int n = 0;
        for (const auto &e : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            n += fs::equivalent(e.path(), path, ec) ? 1 : 0;
        }
        return n;
    };
    base_lock lock;
    ASSERT_EQ(lock.acquire(path, 0), base_lock::outcome::locked);
    jam_file f;
    ASSERT_TRUE(f.open(path, "r+b"));
    char head[4];
    EXPECT_TRUE(f.read_exact(head, 4));
    EXPECT_EQ(descriptors_on(), 1);
    EXPECT_TRUE(f.close());
    EXPECT_EQ(portable_truncate(path, static_cast<int64_t>(b.bytes(jam_ext::jhr).size())), 0);
    base_lock other;
    EXPECT_EQ(other.acquire(path, 0), base_lock::outcome::busy);
}

// The files a repair creates belong to the base's owner, with the base's permission bits:
// a created index and last-read file take the .JHR's, every backup its original's. The
// owner can be given away by root only; the bits are checked for everyone.
TEST(LiveBase, CreatedFilesBelongToTheBasesOwner) {
    base_builder b;
    write_base(b);
    b.remove(jam_ext::jdx);
    const bool root = geteuid() == 0;
    const auto shared = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::group_write;
    const auto private_bits = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(b.path(jam_ext::jhr), shared);
    fs::permissions(b.path(jam_ext::jdt), private_bits);
    for (const jam_ext e : {jam_ext::jhr, jam_ext::jdt})
        EXPECT_TRUE(!root || chown(b.path(e).c_str(), 1000, 1001) == 0);
    const run_result r = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_EQ(r.err, "");
    const std::pair<std::string, fs::perms> expected[] = {
        {b.path(jam_ext::jdx), shared},
        {b.path(jam_ext::jlr), shared},
        {b.path(jam_ext::jhr) + ".bak", shared},
        {b.path(jam_ext::jdt) + ".bak", private_bits}};
    for (const auto &[path, bits] : expected) {
        EXPECT_EQ(fs::status(path).permissions(), bits) << path;
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        if (root) {
            EXPECT_EQ(st.st_uid, 1000u) << path;
            EXPECT_EQ(st.st_gid, 1001u) << path;
        }
    }
}
#endif
