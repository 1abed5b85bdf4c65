// The reply-chain checks: which links name a message, how linked messages must agree,
// deleted messages on either end, numbering from the position, and the counters.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/repair_context.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using issue_list = std::vector<std::string>;
using link_set = std::array<uint32_t, 3>; // ReplyTo, Reply1st, ReplyNext

// A base of messages with these links (a leading 0x80000000 marks a deleted one), the
// table as the scan leaves it, then the checks alone.
std::unique_ptr<run_context> check_chains(uint32_t base, const std::vector<link_set> &links,
                                          std::string *out, bool verbose = false) {
    base_builder b;
    b.fhdr.BaseMsgNum = base;
    for (const link_set &l : links) {
        test_message &m = b.add_message().links(l[0] & 0x7FFFFFFF, l[1], l[2]);
        if (l[0] & MSG_DELETED)
            m.deleted();
    }
    b.write();
    auto ctx = std::make_unique<run_context>();
    fill_context(*ctx, b);
    ctx->options.verbose = verbose;
    *out = capture_output([&] { check_reply_chains(*ctx); }).out;
    return ctx;
}

const std::string HEADING = "\n=== Extended Checks ===\n";
std::string verdict(std::size_t errors) {
    return errors == 0
               ? "  Reply-chain  : OK\n"
               : "  Reply-chain  : " + std::to_string(errors) + " error(s)  *** ERROR ***\n";
}

} // namespace

TEST(ReplyChains, LinksAndTheirTargets) {
    constexpr uint32_t D = MSG_DELETED;
    struct test_case {
        std::vector<link_set> links; // messages numbered 100, 101, 102
        issue_list issues;
        int no_such;
    };
    const test_case cases[] = {
        {{{99, 0, 0}, {103, 0, 0}, {102, 0, 0}},
         {"Msg[0] #100: ReplyTo=99 - no such message",
          "Msg[1] #101: ReplyTo=103 - no such message"},
         2},
        {{{0, 101, 0}, {100, 0, 102}, {100, 0, 0}}, {}, 0},
        {{{0, 101, 0}, {0, 0, 0}, {0, 0, 0}},
         {"Msg[0] #100: Reply1st=101 but that msg's ReplyTo=0 (expected 100)"},
         0},
        {{{0, 101, 0}, {100, 0, 102}, {0, 0, 0}},
         {"Msg[1] #101: ReplyNext=102 ReplyTo mismatch (got 0, expected 100)"},
         0},
        {{{0, 0, 102}, {0, 0, 0}, {0, 0, 0}}, {}, 0},
        {{{100, 100, 0}, {0, 101, 0}, {0, 0, 0}},
         {"Msg[1] #101: Reply1st=101 but that msg's ReplyTo=0 (expected 101)"},
         0},
        {{{0, 0, 0}, {7, 8, 9}, {0, 0, 0}},
         {"Msg[1] #101: ReplyTo=7 - no such message", "Msg[1] #101: Reply1st=8 - no such message",
          "Msg[1] #101: ReplyNext=9 - no such message"},
         3},
        // Links to a deleted message, and a deleted message's own dangling links.
        {{{0, 102, 102}, {102, 0, 0}, {D | 5, 6, 7}}, {}, 0},
    };
    for (const test_case &c : cases) {
        std::string out;
        const auto ctx = check_chains(100, c.links, &out);
        EXPECT_EQ(ctx->report.issues, c.issues);
        EXPECT_EQ(out, HEADING + verdict(c.issues.size()));
        EXPECT_EQ(ctx->report.no_such_message_count, c.no_such);
    }
}

TEST(ReplyChains, ReplyToADeletedMessageWarnsOnlyWithVerbose) {
    std::string out;
    check_chains(1, {{MSG_DELETED, 0, 0}, {1, 0, 0}}, &out);
    EXPECT_EQ(out, HEADING + verdict(0));
    const auto ctx = check_chains(1, {{MSG_DELETED, 0, 0}, {1, 0, 0}}, &out, true);
    EXPECT_EQ(out,
              HEADING + "  Msg[1] #2: ReplyTo=1 points to deleted msg (warning)\n" + verdict(0));
    EXPECT_TRUE(ctx->report.issues.empty());
}

TEST(ReplyChains, NumbersComeFromThePositionAndWrap) {
    std::string out;
    EXPECT_EQ(
        check_chains(0xFFFFFFFF, {{0, 0, 1}, {0xFFFFFFFF, 0, 0}, {0, 0, 0}}, &out)->report.issues,
        (issue_list{"Msg[0] #4294967295: ReplyNext=1 - no such message"}));
    EXPECT_EQ(check_chains(0xFFFFFFFE, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0xFFFFFFFE, 0, 0}}, &out)
                  ->report.issues,
              (issue_list{}));
}

TEST(ReplyChains, CountersGoOnWhenTheListIsFull) {
    std::string out;
    const auto ctx = check_chains(1, std::vector<link_set>(600, {100000, 0, 0}), &out);
    EXPECT_EQ(out, HEADING + verdict(600));
    EXPECT_EQ(ctx->report.issue_count, 512);
    EXPECT_EQ(ctx->report.issues.back(), "Msg[511] #512: ReplyTo=100000 - no such message");
    EXPECT_EQ(ctx->report.no_such_message_count, 600);
}

TEST(ReplyChains, NoSectionForABaseWithoutMessages) {
    base_builder b;
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    ctx.options.extended = true;
    EXPECT_EQ(capture_output([&] { scan_headers(ctx); }).out.find("Extended"), std::string::npos);
}
