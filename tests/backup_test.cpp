// The backup before a repair run: which files are copied, and that a failed copy stops the
// run before anything is written and leaves no partial backup behind.
#include "format/files.h"
#include "repair/repair.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace {

std::set<std::string> backups_in(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".bak")
            names.insert(entry.path().filename().string());
    return names;
}

void remove_backups(const std::string &dir) {
    for (const auto &name : backups_in(dir))
        fs::remove(dir + "/" + name);
}

TEST(Backup, CopiesEveryExistingFileBeforeTheRunWrites) {
    base_builder b;
    b.add_message();
    b.missing(jam_ext::jdx).missing(jam_ext::jlr).write();
    b.set_bytes(jam_ext::jdt, "");  // an empty source gets an empty backup
    b.insert(jam_ext::jhr, 4, "A"); // copied before the run realigns it
    const std::string jhr = b.bytes(jam_ext::jhr), upper = b.base() + ".JHR";
    write_file(upper, "another file");                       // the other case form too
    write_file(b.path(jam_ext::jdt) + ".bak", "old backup"); // replaced without notice

    const run_result r = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_TRUE(contains(r.out, "\nBacking up...\n  Backed up: " + b.base() +
                                    ".jhr\n  Backed up: " + b.base() +
                                    ".jdt\n  Backed up: " + upper + "\n\n"));
    EXPECT_EQ(backups_in(b.dir()),
              (std::set<std::string>{"base.jhr.bak", "base.jdt.bak", "base.JHR.bak"}));
    EXPECT_EQ(read_file(b.path(jam_ext::jhr) + ".bak"), jhr);
    EXPECT_EQ(read_file(b.path(jam_ext::jdt) + ".bak"), "");
    EXPECT_EQ(read_file(upper + ".bak"), "another file");
    EXPECT_EQ(b.bytes(jam_ext::jhr).size(), jhr.size() - 1);

    for (const auto &args : {std::vector<std::string>{"-b", b.base()}, {"-a", "-b", b.base()}}) {
        remove_backups(b.dir());
        EXPECT_FALSE(contains(run_cairnfix(args).out, "Backing up"));
        EXPECT_TRUE(backups_in(b.dir()).empty());
    }
}

// Every counted operation of the copies (open, read, write, flush, close) fails in turn,
// once and for good: the backup fails, and each .bak on disk is a complete, reported copy.
// A directory standing where a backup goes stops the run before any file is written.
TEST(Backup, FailedCopyLeavesNoPartialBackup) {
    base_builder b;
    b.add_message().body(std::string(70000, 'x')); // a text file of two buffers
    b.lastread.push_back({0x1234, 1, 1, 2});
    b.write();
    run_context ctx;
    ctx.options.base_name = b.base();
    uint64_t ops = 0;
    const auto backup = [&](uint64_t fail_at, bool sticky) {
        remove_backups(b.dir());
        io_fail_at(fail_at, sticky);
        const run_result r = capture_output([&] { return run_backup(ctx) ? 0 : 1; });
        ops = io_op_count();
        io_fail_at(0, false);
        return r;
    };
    ASSERT_EQ(backup(0, false).status, 0);
    const uint64_t all_ops = ops;

    for (const bool sticky : {false, true})
        for (uint64_t n = 1; n <= all_ops; ++n) {
            const run_result r = backup(n, sticky);
            EXPECT_EQ(r.status, 1) << n;
            int complete = 0;
            for (; complete < 4; ++complete) {
                const std::string source = b.path(static_cast<jam_ext>(complete));
                if (!contains(r.out, "  Backed up: " + source + "\n"))
                    break;
                EXPECT_EQ(read_file(source + ".bak"), read_file(source)) << n;
            }
            ASSERT_LT(complete, 4) << n;
            const std::string failed = b.path(static_cast<jam_ext>(complete));
            EXPECT_FALSE(fs::exists(failed + ".bak")) << n;
            EXPECT_EQ(r.err, "  ERROR: backup failed: " + failed + "\nBackup failed.\n") << n;
        }

    b.insert(jam_ext::jhr, 4, "A"); // a run that went on would realign the .JHR
    b.append(jam_ext::jdx, "\x01"); // and cut the .JDX
    std::string before[4];
    for (int i = 0; i < 4; ++i)
        before[i] = b.bytes(static_cast<jam_ext>(i));
    remove_backups(b.dir());
    fs::create_directory(b.path(jam_ext::jdt) + ".bak");
    const run_result r = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "  ERROR: backup failed: " + b.path(jam_ext::jdt) + "\nBackup failed.\n");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(b.bytes(static_cast<jam_ext>(i)), before[i]) << i;
    EXPECT_EQ(read_file(b.path(jam_ext::jhr) + ".bak"), before[0]);
    EXPECT_TRUE(fs::is_directory(b.path(jam_ext::jdt) + ".bak"));
}

} // namespace
