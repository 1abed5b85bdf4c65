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

// The part of the report the backup prints, up to the next section.
std::string backup_lines(const std::string &out) {
    const std::size_t start = out.find("\nBacking up...\n");
    if (start == std::string::npos)
        return {};
    const std::size_t end = out.find("\n\n", start + 1);
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
}

// A base of four non-empty files.
void write_full_base(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol").body(std::string(70000, 'x'));
    b.lastread.push_back({0x1234, 1, 1, 2});
    b.write();
}

TEST(Backup, CopiesEveryCaseFormOnce) {
    base_builder b;
    b.add_message();
    b.missing(jam_ext::jdx).missing(jam_ext::jlr).write();
    b.set_bytes(jam_ext::jdt, ""); // an empty source gets an empty backup
    const std::string jhr = b.bytes(jam_ext::jhr);
    const std::string upper_jhr = b.base() + ".JHR";
    write_file(upper_jhr, "a second file under the upper-case name");
    write_file(b.base() + ".jdt.bak", std::string(5000, '?')); // replaced without notice

    const run_result r = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_EQ(backup_lines(r.out), "\nBacking up...\n  Backed up: " + b.base() +
                                       ".jhr\n  Backed up: " + b.base() +
                                       ".jdt\n  Backed up: " + upper_jhr + "\n");
    EXPECT_EQ(backups_in(b.dir()),
              (std::set<std::string>{"base.jhr.bak", "base.jdt.bak", "base.JHR.bak"}));
    EXPECT_EQ(read_file(b.path(jam_ext::jhr) + ".bak"), jhr);
    EXPECT_EQ(read_file(upper_jhr + ".bak"), "a second file under the upper-case name");
    EXPECT_TRUE(fs::exists(b.path(jam_ext::jdt) + ".bak"));
    EXPECT_EQ(read_file(b.path(jam_ext::jdt) + ".bak"), "");
}

TEST(Backup, KeepsTheShiftedHeaderFileThatTheRunCorrects) {
    base_builder b;
    write_full_base(b);
    b.insert(jam_ext::jhr, 4, "A");
    const std::string shifted = b.bytes(jam_ext::jhr);

    const run_result r = run_cairnfix({"-p", "-b", b.base()});
    EXPECT_LT(r.out.find("Backed up: " + b.path(jam_ext::jhr)), r.out.find("Pre-Repair"));
    EXPECT_EQ(read_file(b.path(jam_ext::jhr) + ".bak"), shifted);
    EXPECT_EQ(b.bytes(jam_ext::jhr).size(), shifted.size() - 1);
}

TEST(Backup, OnlyInRepairOrPackMode) {
    for (const auto &args : {std::vector<std::string>{"-b"}, {"-a", "-b"}}) {
        base_builder b;
        write_full_base(b);
        std::vector<std::string> words = args;
        words.push_back(b.base());
        const run_result r = run_cairnfix(words);
        EXPECT_FALSE(contains(r.out, "Backing up")) << args.size();
        EXPECT_TRUE(backups_in(b.dir()).empty()) << args.size();
    }
}

TEST(Backup, DirectoryInPlaceOfABackupStopsTheRun) {
    base_builder b;
    write_full_base(b);
    b.insert(jam_ext::jhr, 4, "A"); // a run that went on would rewrite the .JHR
    b.append(jam_ext::jdx, "\x01"); // and truncate the .JDX
    const std::string jdt_bak = b.path(jam_ext::jdt) + ".bak";
    fs::create_directory(jdt_bak);
    std::string before[4];
    for (int i = 0; i < 4; ++i)
        before[i] = b.bytes(static_cast<jam_ext>(i));

    const run_result r = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "  ERROR: backup failed: " + b.path(jam_ext::jdt) + "\nBackup failed.\n");
    EXPECT_FALSE(contains(r.out, "Issues Found"));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(b.bytes(static_cast<jam_ext>(i)), before[i]) << i;
    EXPECT_EQ(read_file(b.path(jam_ext::jhr) + ".bak"), before[0]);
    EXPECT_TRUE(fs::is_directory(jdt_bak));
}

// Every counted operation of the backup (open, read, write, flush, close) is made to fail
// in turn, once and for good: the backup fails, and every .bak on disk is a complete copy.
TEST(Backup, FailingOperationsLeaveOnlyCompleteCopies) {
    base_builder b;
    write_full_base(b);
    run_context ctx;
    ctx.options.base_name = b.base();
    uint64_t ops = 0; // counted operations of the last backup
    const auto backup = [&](uint64_t fail_at, bool sticky) {
        for (const auto &name : backups_in(b.dir()))
            fs::remove(b.dir() + "/" + name);
        io_fail_at(fail_at, sticky);
        const run_result r = capture_output([&] { return run_backup(ctx) ? 0 : 1; });
        ops = io_op_count();
        io_fail_at(0, false);
        return r;
    };
    ASSERT_EQ(backup(0, false).status, 0);
    const uint64_t all_ops = ops;
    ASSERT_EQ(backups_in(b.dir()).size(), 4u);

    for (const bool sticky : {false, true})
        for (uint64_t n = 1; n <= all_ops; ++n) {
            const run_result r = backup(n, sticky);
            EXPECT_EQ(r.status, 1) << n;
            ASSERT_TRUE(contains(r.err, "  ERROR: backup failed: ")) << n;
            EXPECT_TRUE(r.err.ends_with("\nBackup failed.\n")) << n;
            int complete = 0;
            for (int i = 0; i < 4; ++i) {
                const std::string source = b.path(static_cast<jam_ext>(i));
                const bool reported = contains(r.out, "  Backed up: " + source + "\n");
                EXPECT_EQ(fs::exists(source + ".bak"), reported) << n << " " << source;
                if (reported) {
                    EXPECT_EQ(read_file(source + ".bak"), read_file(source)) << n;
                    ++complete;
                }
            }
            EXPECT_EQ(r.err, "  ERROR: backup failed: " + b.path(static_cast<jam_ext>(complete)) +
                                 "\nBackup failed.\n")
                << n;
        }
}

} // namespace
