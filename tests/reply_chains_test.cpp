// The reply-chain checks: which links name a message, how linked messages must agree,
// deleted messages on either end, numbering from the position, and the counters.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/repair_context.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using issue_list = std::vector<std::string>;

struct chain_run {
    std::unique_ptr<run_context> ctx = std::make_unique<run_context>();
    std::string out;
};

// The table as the scan leaves it for the builder's messages, then the checks alone.
chain_run check_chains(const base_builder &b, bool verbose = false) {
    chain_run r;
    fill_context(*r.ctx, b);
    r.ctx->options.extended = true;
    r.ctx->options.verbose = verbose;
    r.out = capture_output([&] { check_reply_chains(*r.ctx); }).out;
    return r;
}

const std::string HEADING = "\n=== Extended Checks ===\n";
const std::string OK_LINE = "  Reply-chain  : OK\n";
std::string error_line(int n) {
    return "  Reply-chain  : " + std::to_string(n) + " error(s)  *** ERROR ***\n";
}

} // namespace

TEST(ReplyChains, LinksAndTheirTargets) {
    struct test_case {
        const char *name;
        // Called with the builder holding three messages numbered 100, 101, 102.
        std::function<void(base_builder &)> set;
        issue_list issues;
        int64_t no_such;
    };
    auto msg = [](base_builder &b, int i) -> test_message & { return b.messages[i]; };
    const test_case cases[] = {
        {"ReplyTo below and above the range, and a valid one",
         [&](base_builder &b) {
             msg(b, 0).links(99, 0, 0);
             msg(b, 1).links(103, 0, 0);
             msg(b, 2).links(102, 0, 0);
         },
         {"Msg[0] #100: ReplyTo=99 - no such message",
          "Msg[1] #101: ReplyTo=103 - no such message"},
         2},
        {"first reply that replies to its parent",
         [&](base_builder &b) {
             msg(b, 0).links(0, 101, 0);
             msg(b, 1).links(100, 0, 0);
         },
         {},
         0},
        {"first reply that replies to nothing",
         [&](base_builder &b) { msg(b, 0).links(0, 101, 0); },
         {"Msg[0] #100: Reply1st=101 but that msg's ReplyTo=0 (expected 100)"},
         0},
        {"siblings sharing their parent",
         [&](base_builder &b) {
             msg(b, 0).links(0, 101, 0);
             msg(b, 1).links(100, 0, 102);
             msg(b, 2).links(100, 0, 0);
         },
         {},
         0},
        {"next sibling with another parent",
         [&](base_builder &b) {
             msg(b, 0).links(0, 101, 0);
             msg(b, 1).links(100, 0, 102);
         },
         {"Msg[1] #101: ReplyNext=102 ReplyTo mismatch (got 0, expected 100)"},
         0},
        {"next sibling of a top-level message",
         [&](base_builder &b) { msg(b, 0).links(0, 0, 102); },
         {},
         0},
        {"first reply naming the message itself",
         [&](base_builder &b) {
             msg(b, 0).links(100, 100, 0);
             msg(b, 1).links(0, 101, 0);
         },
         {"Msg[1] #101: Reply1st=101 but that msg's ReplyTo=0 (expected 101)"},
         0},
        {"all three links of one message dangling, in order",
         [&](base_builder &b) { msg(b, 1).links(7, 8, 9); },
         {"Msg[1] #101: ReplyTo=7 - no such message", "Msg[1] #101: Reply1st=8 - no such message",
          "Msg[1] #101: ReplyNext=9 - no such message"},
         3},
        {"links to a deleted message, and a deleted message's own links",
         [&](base_builder &b) {
             msg(b, 0).links(0, 102, 102);
             msg(b, 1).links(102, 0, 0);
             msg(b, 2).deleted().links(5, 6, 7);
         },
         {},
         0},
    };
    for (const test_case &c : cases) {
        SCOPED_TRACE(c.name);
        base_builder b;
        b.fhdr.BaseMsgNum = 100;
        for (int i = 0; i < 3; ++i)
            b.add_message();
        c.set(b);
        b.write();
        const chain_run r = check_chains(b);
        EXPECT_EQ(r.ctx->report.issues, c.issues);
        EXPECT_EQ(r.out,
                  HEADING +
                      (c.issues.empty() ? OK_LINE : error_line(static_cast<int>(c.issues.size()))));
        EXPECT_EQ(r.ctx->report.no_such_message_count, c.no_such);
    }
}

TEST(ReplyChains, ReplyToADeletedMessageWarnsOnlyWithVerbose) {
    base_builder b;
    b.add_message().deleted();
    b.add_message().links(1, 0, 0);
    b.write();
    EXPECT_EQ(check_chains(b).out, HEADING + OK_LINE);
    const chain_run verbose = check_chains(b, true);
    EXPECT_EQ(verbose.out,
              HEADING + "  Msg[1] #2: ReplyTo=1 points to deleted msg (warning)\n" + OK_LINE);
    EXPECT_TRUE(verbose.ctx->report.issues.empty());
}

TEST(ReplyChains, NumbersComeFromThePosition) {
    base_builder b;
    b.add_message();
    b.add_message();
    b.add_message().links(9, 0, 0).hdr.MessageNumber = 7;
    b.write();
    EXPECT_EQ(check_chains(b).ctx->report.issues,
              (issue_list{"Msg[2] #3: ReplyTo=9 - no such message"}));

    // Numbers wrap after 0xFFFFFFFF; a target below BaseMsgNum never exists.
    base_builder w;
    w.fhdr.BaseMsgNum = 0xFFFFFFFF;
    w.add_message().links(0, 0, 1);
    w.add_message().links(0xFFFFFFFF, 0, 0);
    w.add_message().links(0xFFFFFFFF, 0, 0);
    w.write();
    EXPECT_EQ(check_chains(w).ctx->report.issues,
              (issue_list{"Msg[0] #4294967295: ReplyNext=1 - no such message"}));
}

TEST(ReplyChains, CountersGoOnWhenTheListIsFull) {
    base_builder b;
    for (int i = 0; i < 600; ++i)
        b.add_message().links(100000, 0, 0);
    b.write();
    const chain_run r = check_chains(b);
    EXPECT_EQ(r.out, HEADING + error_line(600));
    EXPECT_EQ(r.ctx->report.issue_count, 512);
    EXPECT_EQ(r.ctx->report.issues.back(), "Msg[511] #512: ReplyTo=100000 - no such message");
    EXPECT_EQ(r.ctx->report.no_such_message_count, 600);
}

TEST(ReplyChains, SectionOnlyWithExtendedAndMessages) {
    base_builder empty;
    empty.write();
    const run_result none = run_cairnfix({"-x", empty.base()});
    EXPECT_FALSE(contains(none.out, "Extended Checks"));

    base_builder b;
    b.add_message();
    b.add_message().links(5, 0, 0);
    b.write();
    EXPECT_FALSE(contains(run_cairnfix({b.base()}).out, "Extended Checks"));
    const run_result r = run_cairnfix({"-x", b.base()});
    EXPECT_EQ(report_section(r.out, "Extended Checks"), HEADING + error_line(1));
    EXPECT_EQ(issue_texts(r.out), (issue_list{"Msg[1] #2: ReplyTo=5 - no such message"}));
}
