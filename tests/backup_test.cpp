// The backup before a repair run: every file of the base is copied before anything is
// written, and a failed copy stops the run and leaves no partial backup behind.
#include "format/files.h"
#include "repair/repair.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(Backup, CompleteCopiesOrNoneAndNothingWrittenAfterAFailure) {
    base_builder b;
    b.add_message().body(std::string(70000, 'x')); // a text file copied in two buffers
    b.write();
    b.insert(jam_ext::jhr, 4, "A"); // a run would realign the .JHR
    b.append(jam_ext::jdx, "\x01"); // and cut the .JDX
    const std::string upper = b.base() + ".JHR", jdt = b.path(jam_ext::jdt);
    // The other case form is a file of its own, where the file system tells case apart.
    const bool ignores_case = file_exists(upper);
    if (!ignores_case)
        write_file(upper, "another file");
    std::string before[4];
    for (int i = 0; i < 4; ++i)
        before[i] = b.bytes(static_cast<jam_ext>(i));
    // A copy that cannot be made (a directory holds the .JDT's backup name) stops the run
    // before anything is written, with no partial copy.
    std::filesystem::create_directory(jdt + ".bak");
    const run_result stopped = run_cairnfix({"-r", "-b", b.base()});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_TRUE(
        contains(stopped.out, "\nBacking up...\n  Backed up: " + b.path(jam_ext::jhr) + "\n"))
        << stopped.out;
    EXPECT_EQ(stopped.err, "  ERROR: backup failed: " + jdt + "\nBackup failed.\n");
    EXPECT_FALSE(file_exists(jdt + ".bak.tmp"));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(b.bytes(static_cast<jam_ext>(i)), before[i]) << i;

    // The .JHR's backup of the failed run and an old .JLR backup are replaced, each with a
    // line that says so.
    std::filesystem::remove(jdt + ".bak");
    write_file(b.path(jam_ext::jlr) + ".bak", "old backup");
    const std::string err = run_cairnfix({"-r", "-b", b.base()}).err;
    for (const jam_ext e : {jam_ext::jhr, jam_ext::jlr})
        EXPECT_TRUE(
            contains(err, "  WARN: replaced the backup of an earlier run: " + b.path(e) + ".bak\n"))
            << err;
    EXPECT_FALSE(contains(err, jdt)) << err;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_file(b.path(static_cast<jam_ext>(i)) + ".bak"), before[i]) << i;
    if (!ignores_case) {
        EXPECT_EQ(read_file(upper + ".bak"), "another file");
    }

    // Every copy is on the disk before it takes the backup's name.
    run_context ctx;
    ctx.options.base_name = b.base();
    const uint64_t syncs = io_sync_calls();
    capture_output([&] { return run_backup(ctx) ? 0 : 1; });
    EXPECT_EQ(io_sync_calls() - syncs, ignores_case ? 4u : 5u);
}
