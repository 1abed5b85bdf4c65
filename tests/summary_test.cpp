// The message summary table: which index records become rows, how the texts are taken
// from the subfields and cut, and how the rows are numbered.
#include "listing/listing.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

namespace {

// The summary section of a report: from its heading up to the run's closing line.
std::string summary_section(const std::string &out) {
    const auto start = out.find("\n=== Message Summary");
    if (start == std::string::npos)
        return "";
    return out.substr(start, out.find("\nDone.\n", start) - start);
}

// Pads to at least `width` characters; the texts come already cut.
std::string pad(const std::string &text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// One line of the table with its columns padded to 6, 6, 20, 20 and 30 characters.
std::string row(const std::string &idx, const std::string &num, const std::string &from,
                const std::string &to, const std::string &subject, const std::string &written) {
    return "  " + pad(idx, 6) + " " + pad(num, 6) + " " + pad(from, 20) + " " + pad(to, 20) + " " +
           pad(subject, 30) + " " + written + "\n";
}

const std::string HEAD = "\n=== Message Summary (first 25 active) ===\n" +
                         row("Idx", "#", "From", "To", "Subject", "Written") + "  " +
                         std::string(79, '-') + "\n";
const std::string WRITTEN = "2023-11-14 22:13:20"; // the builder's default DateWritten

idx_record at(uint32_t offset) {
    return idx_record{0x12345678, offset};
}

} // namespace

// One index that exercises every skipping rule, every text rule and the numbering.
TEST(SummaryTable, SkipsCutsAndNumbers) {
    base_builder b;
    b.fhdr.BaseMsgNum = 500;
    b.add_message();
    b.add_message().deleted();
    b.add_message()
        .from("Sebastian Lindqvist-Montgomery")
        .to("Alexandra Featherstonehaugh")
        .subject(std::string("0123456789").append(140, 'x'))
        .hdr.MessageNumber = 7;
    b.add_message().no_subfields().hdr.DateWritten = 0;
    b.add_message().from("").to("Dora").subject("First").subfield(SF_SUBJECT, "Second");
    b.add_message().subfield_len = 70000;
    test_message &h6 = b.add_message().no_subfields().from("Carol");
    h6.subfields.push_back({SF_SUBJECT, 0, "lost", 0xFFFFFFF0u});
    test_message &h7 = b.add_message().no_subfields().from("Erin");
    h7.subfields.push_back({SF_SUBJECT, 0, "abc", 4u});
    b.add_message().to(std::string("Bo\0b", 4));
    b.write();
    const auto off = [&](std::size_t i) { return static_cast<uint32_t>(b.header_offset(i)); };
    const auto jhr_size = static_cast<uint32_t>(b.bytes(jam_ext::jhr).size());
    b.index = std::vector<idx_record>{
        {ALL_ONES, ALL_ONES}, // 0 deleted slot
        at(off(0)),           // 1 defaults of the builder
        at(off(1)),           // 2 deleted header
        at(1023),             // 3 inside the fixed header
        at(off(2)),           // 4 long texts, MessageNumber 7
        at(off(0) + 4),       // 5 no signature there
        at(off(3)),           // 6 no subfields, no date
        at(off(4)),           // 7 empty sender, two subjects
        at(jhr_size),         // 8 past the end
        at(off(5)),           // 9 SubfieldLen 70000
        at(off(6)),           // 10 subject overruns by far
        at(off(7)),           // 11 subject overruns by one
        at(off(8)),           // 12 NUL inside the recipient
        {ALL_ONES, off(0)},   // 13 only one field all-ones: a live record
        at(jhr_size - 1),     // 14 a header cut off by the end of the file
    };
    b.write();

    const run_result r = run_cairnfix({"-s", b.base()});
    EXPECT_EQ(summary_section(r.out),
              HEAD + row("1", "501", "Alice", "Bob", "Hello", WRITTEN) +
                  row("4", "504", "Sebastian Lindqvist-", "Alexandra Feathersto",
                      "0123456789xxxxxxxxxxxxxxxxxxxx", WRITTEN) +
                  row("6", "506", "?", "?", "(none)", "(not set)") +
                  row("7", "507", "?", "Dora", "Second", WRITTEN) +
                  row("9", "509", "?", "?", "(none)", WRITTEN) +
                  row("10", "510", "Carol", "?", "(none)", WRITTEN) +
                  row("11", "511", "Erin", "?", "(none)", WRITTEN) +
                  row("12", "512", "Alice", "Bo", "Hello", WRITTEN) +
                  row("13", "513", "Alice", "Bob", "Hello", WRITTEN) + "  (9 shown)\n");
    EXPECT_EQ(r.err, "");
}

// A skipped record does not use up a row: 31 records, one of them skipped, fill 25 rows.
TEST(SummaryTable, StopsAfterTwentyFiveRows) {
    base_builder b;
    for (int i = 0; i < 31; ++i)
        b.add_message().from("Sender " + std::to_string(i));
    b.messages[3].deleted();
    b.write();

    std::string expected = HEAD;
    for (int i = 0; i <= 25; ++i)
        if (i != 3)
            expected += row(std::to_string(i), std::to_string(i + 1), "Sender " + std::to_string(i),
                            "Bob", "Hello", WRITTEN);
    expected += "  (25 shown)\n";
    EXPECT_EQ(summary_section(run_cairnfix({"-s", b.base()}).out), expected);
}

TEST(SummaryTable, EmptyTableWithoutLiveMessages) {
    base_builder only_deleted;
    only_deleted.add_message().deleted();
    only_deleted.add_message().deleted();
    only_deleted.write();
    base_builder no_messages;
    no_messages.write();

    for (const base_builder *b : {&only_deleted, &no_messages})
        EXPECT_EQ(summary_section(run_cairnfix({"-s", b->base()}).out), HEAD + "  (0 shown)\n");
}

// The table needs an index that existed when the run started, even if pack mode built one.
TEST(SummaryTable, AbsentWhenTheIndexWasMissing) {
    for (const char *mode : {"-a", "-p", "-r"}) {
        base_builder b;
        b.add_message();
        b.missing(jam_ext::jdx).write();
        const run_result r = run_cairnfix({mode, "-s", b.base()});
        EXPECT_FALSE(contains(r.out, "Message Summary")) << mode;
        EXPECT_TRUE(contains(r.out, "\nDone.\n")) << mode;
    }
}

// The bound is the .JHR size the run holds, not the file's size; numbers wrap in 32 bits.
TEST(SummaryTable, HonoursSizeBoundAndBaseNumber) {
    base_builder b;
    for (int i = 0; i < 3; ++i)
        b.add_message().from("M" + std::to_string(i));
    b.write();
    const int64_t third = b.header_offset(2);
    struct {
        int64_t jhr_size;
        uint32_t base;
        std::vector<std::string> numbers; // the # column, one per row
    } cases[] = {
        {third, 1, {"1", "2"}},
        {third + 1, 1, {"1", "2", "3"}},
        {third + 1, 0xFFFFFFFF, {"4294967295", "0", "1"}},
    };
    for (const auto &c : cases) {
        run_context ctx;
        ctx.jhr_path = b.path(jam_ext::jhr);
        ctx.jdx_path = b.path(jam_ext::jdx);
        ctx.jhr_size = c.jhr_size;
        ctx.fhdr.BaseMsgNum = c.base;
        testing::internal::CaptureStdout();
        print_summary(ctx);
        std::string expected = HEAD;
        for (std::size_t i = 0; i < c.numbers.size(); ++i)
            expected += row(std::to_string(i), c.numbers[i], "M" + std::to_string(i), "Bob",
                            "Hello", WRITTEN);
        expected += "  (" + std::to_string(c.numbers.size()) + " shown)\n";
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << c.jhr_size << " " << c.base;
    }

    // Without its index the table is not even started.
    run_context ctx;
    ctx.jhr_path = b.path(jam_ext::jhr);
    ctx.jdx_path = b.path(jam_ext::jdx) + ".gone";
    ctx.jhr_size = third + 1;
    testing::internal::CaptureStdout();
    print_summary(ctx);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// After repairs the table shows the base as they left it: BaseMsgNum 0 numbered from 1,
// and in pack mode the rebuilt index instead of the orphaned one.
TEST(SummaryTable, ListsTheBaseAsTheRepairsLeftIt) {
    base_builder zero_base;
    zero_base.fhdr.BaseMsgNum = 0;
    zero_base.add_message();
    zero_base.add_message().from("Carol");
    zero_base.write();
    EXPECT_EQ(summary_section(run_cairnfix({"-r", "-s", zero_base.base()}).out),
              HEAD + row("0", "1", "Alice", "Bob", "Hello", WRITTEN) +
                  row("1", "2", "Carol", "Bob", "Hello", WRITTEN) + "  (2 shown)\n");

    base_builder orphans;
    orphans.add_message();
    orphans.add_message().from("Carol");
    orphans.index = std::vector<idx_record>{at(5), at(0x7FFFFFFF)};
    orphans.write();
    const std::string as_found = HEAD + "  (0 shown)\n";
    EXPECT_EQ(summary_section(run_cairnfix({"-s", orphans.base()}).out), as_found);
    EXPECT_EQ(summary_section(run_cairnfix({"-p", "-s", orphans.base()}).out),
              HEAD + row("0", "1", "Alice", "Bob", "Hello", WRITTEN) +
                  row("1", "2", "Carol", "Bob", "Hello", WRITTEN) + "  (2 shown)\n");
}
