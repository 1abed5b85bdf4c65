// Memory that does not grow with a file's size: every mode on a base with a huge .JDX, or
// with a header that claims a huge subfield block, runs in a child whose address space is
// capped at 256 MiB, and reports what it reports without the cap. The files are sparse,
// so they take no room on the disk and read fast. The sanitizers reserve address ranges
// far beyond the cap, so these tests run on the release build only; Windows has no
// address-space limit to set.
#include "format/jam.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

// A block larger than a read window is walked a subfield at a time: it must raise what the
// same subfields raise behind a small first subfield, where the block is read whole. The
// MSGID is checked whole, names and the UTC offset from their first bytes.
TEST(LargeSubfieldBlock, WalkedInPiecesAsWhole) {
    std::vector<std::vector<std::string>> found;
    for (const std::size_t first : {std::size_t{1000}, std::size_t{200000}}) {
        base_builder b;
        test_message &m = b.add_message().no_subfields();
        m.subfields = {{1000, 0, std::string(first, 'e'), {}},
                       {SF_RECEIVERNAME, 0, std::string(150, 'R'), {}},
                       {SF_MSGID, 0, "2:5020/1 " + std::string(300, '7'), {}},
                       {SF_TZUTCINFO, 7, "+01x0", {}},
                       {77, 0, std::string(5000, 'u'), {}},
                       {SF_SENDERNAME, 0, "Amy", 1000}};
        m.hdr.MSGIDcrc = 1;
        b.write();
        std::vector<std::string> texts;
        for (const std::string &t : issue_texts(run_cairnfix({"-x", "-v", b.base()}).out))
            if (t.rfind("Msg[", 0) == 0)
                texts.push_back(t);
        found.push_back(texts);
    }
    EXPECT_EQ(found[1], found[0]);
    EXPECT_EQ(found[0].size(), 5u); // limits of RECEIVERNAME and MSGID, TZUTC, MSGIDcrc, overrun
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr rlim_t ADDRESS_LIMIT = rlim_t{256} << 20;
constexpr uint64_t HUGE_SIZE = uint64_t{272} << 20; // more than the cap

// Each mode runs on a fresh base made by `make`, once capped and once not; both runs must
// end alike, the base as well as the report.
template <class Make> void expect_flat_memory(Make make) {
    for (const std::vector<std::string> &mode :
         {std::vector<std::string>{"-x"}, {"-s"}, {"-r", "-x", "-p"}}) {
        SCOPED_TRACE(mode.front() + (mode.size() > 1 ? " " + mode[1] : ""));
        base_builder free_run, capped_run;
        make(free_run);
        make(capped_run);
        std::vector<std::string> args = mode;
        args.push_back(free_run.base());
        const run_result expected = run_cairnfix(args);
        args.back() = capped_run.base();
        const run_result r = child_run(args, -1, [] {
                                 const rlimit cap{ADDRESS_LIMIT, ADDRESS_LIMIT};
                                 if (setrlimit(RLIMIT_AS, &cap) != 0)
                                     _exit(127);
                             }).result();
        EXPECT_FALSE(contains(r.err, "out of memory"));
        EXPECT_EQ(r.status, expected.status);
        EXPECT_EQ(r.out.size(), expected.out.size()); // the names of the dirs differ
        EXPECT_EQ(issue_texts(r.out), issue_texts(expected.out));
        for (const jam_ext e : {jam_ext::jhr, jam_ext::jdx})
            EXPECT_EQ(fs::file_size(capped_run.path(e)), fs::file_size(free_run.path(e)));
    }
}

// The index is followed by zeros; -p must not keep all of it for its restore.
TEST(MemoryLimit, HugeIndex) {
    expect_flat_memory([](base_builder &b) {
        b.add_message().to("Amy");
        b.add_message().to("Bob");
        b.write();
        fs::resize_file(b.path(jam_ext::jdx), HUGE_SIZE);
    });
}

// The second header claims a block that reaches to the end of a huge .JHR: its subfields
// are walked a window at a time, not read whole.
TEST(MemoryLimit, HeaderClaimingAHugeSubfieldBlock) {
    expect_flat_memory([](base_builder &b) {
        b.add_message().to("Amy");
        b.add_message().to("Bob").no_subfields();
        b.write();
        const std::size_t at = static_cast<std::size_t>(b.header_offset(1)) + 8;
        const uint64_t end = static_cast<uint64_t>(b.header_offset(1)) + MSG_HEADER_SIZE;
        b.put_u32(jam_ext::jhr, at, static_cast<uint32_t>(HUGE_SIZE));
        fs::resize_file(b.path(jam_ext::jhr), end + HUGE_SIZE);
        // The block is one MSGID that fills it, whose CRC -x compares.
        b.put_u32(jam_ext::jhr, static_cast<std::size_t>(end), SF_MSGID);
        b.put_u32(jam_ext::jhr, static_cast<std::size_t>(end) + 4,
                  static_cast<uint32_t>(HUGE_SIZE - SUBFIELD_HEADER_SIZE));
    });
}

} // namespace
#endif
