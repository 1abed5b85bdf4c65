// The message summary table: which index records become rows, how the texts are taken
// from the subfields and cut, and how the rows are numbered.
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <algorithm>

// One line of the table, its columns padded to 6, 6, 20, 20 and 30 characters.
static std::string row(std::string idx, std::string num, std::string from = "Alice",
                       std::string to = "Bob", std::string subject = "Hello",
                       std::string written = "2023-11-14 22:13:20") {
    const auto pad = [](std::string t, std::size_t w) {
        return t.resize(std::max(t.size(), w), ' '), t;
    };
    return "  " + pad(idx, 6) + " " + pad(num, 6) + " " + pad(from, 20) + " " + pad(to, 20) + " " +
           pad(subject, 30) + " " + written + "\n";
}

static const std::string HEAD = "\n=== Message Summary (first 25 active) ===\n" +
                                row("Idx", "#", "From", "To", "Subject", "Written") + "  " +
                                std::string(79, '-') + "\n";

// The table is the last section, so it runs up to the closing line.
static std::string table(const std::vector<std::string> &args) {
    return report_section(run_cairnfix(args).out, "Message Summary (first 25 active)");
}

// One index that goes through every skipping rule and every text rule, then fills the
// table: 25 rows at most, numbered by index position from BaseMsgNum, wrapping in 32 bits.
TEST(SummaryTable, SkipsCutsNumbersAndStops) {
    base_builder b;
    b.fhdr.BaseMsgNum = 0xFFFFFFF0u;
    b.add_message();
    b.add_message()
        .from("Sebastian Lindqvist-Montgomery")
        .to("Alexandra Featherstonehaugh")
        .subject("First")
        .subfield(SF_SUBJECT, std::string("0123456789").append(140, 'x'))
        .hdr.DateWritten = 0;
    b.add_message().no_subfields().from("").subfields.push_back({SF_SUBJECT, 0, "abc", 4u});
    b.add_message().no_subfields().from("Carol").subfields.push_back({SF_SUBJECT, 0, "", ~0u});
    b.add_message().deleted();
    b.write();
    const auto at = [&](int64_t offset) { return idx_record{0x12345678, uint32_t(offset)}; };
    b.index = std::vector<idx_record>{
        {ALL_ONES, ALL_ONES},             // 0 deleted slot
        at(b.header_offset(0)),           // 1 the builder's defaults
        at(b.header_offset(1)),           // 2 long texts, two subjects, no date
        at(b.header_offset(0) + 4),       // 3 no signature there
        at(static_cast<int64_t>(b.bytes(jam_ext::jhr).size())), // 4 at the end of the file
        at(b.header_offset(4)),           // 5 deleted header
        at(b.header_offset(2)),           // 6 empty sender, subject overruns by one byte
        at(b.header_offset(3)),           // 7 subject overruns by far
    };
    b.index->resize(40, at(b.header_offset(0)));
    b.write();
    const auto r = [](uint32_t j, auto... texts) {
        return row(std::to_string(j), std::to_string(0xFFFFFFF0u + j), texts...);
    };
    std::string expected = HEAD + r(1) +
                           r(2, "Sebastian Lindqvist-", "Alexandra Feathersto",
                             "0123456789xxxxxxxxxxxxxxxxxxxx", "(not set)") +
                           r(6, "?", "?", "(none)") + r(7, "Carol", "?", "(none)");
    for (uint32_t j = 8; j <= 28; ++j)
        expected += r(j);
    EXPECT_EQ(table({"-s", b.base()}), expected + "  (25 shown)\n\nDone.\n");
}

// The table shows the base as the repairs left it: BaseMsgNum 0 turned into 1, and the
// rebuilt index instead of the orphaned one. An index missing at the start gives no table.
TEST(SummaryTable, ListsTheBaseAsTheRepairsLeftIt) {
    base_builder b;
    b.fhdr.BaseMsgNum = 0;
    b.add_message();
    b.add_message().from("Carol");
    b.index = std::vector<idx_record>{{0, 5}, {0, 0x7FFFFFFF}};
    b.write();
    EXPECT_EQ(table({"-s", b.base()}), HEAD + "  (0 shown)\n\nDone.\n");
    EXPECT_EQ(table({"-p", "-s", b.base()}),
              HEAD + row("0", "1") + row("1", "2", "Carol") + "  (2 shown)\n\nDone.\n");

    b.remove(jam_ext::jdx);
    EXPECT_EQ(table({"-p", "-s", b.base()}), "");
}
