// The reply-chain checks: which links name a message, how linked messages must agree,
// and deleted messages on either end.
#include "analysis/analysis.h"
#include "support/base_builder.h"
#include "support/repair_context.h"

#include <gtest/gtest.h>

TEST(ReplyChains, LinksTargetsAndDeletedMessages) {
    // ReplyTo, Reply1st and ReplyNext of messages #100 to #108. #107 is deleted: links to it
    // are accepted, a reply to it only warned about, its own dangling links not checked.
    const std::vector<std::array<uint32_t, 3>> links = {
        {99, 1, 200},  {0, 102, 0}, {101, 0, 103},           {101, 0, 104},  {0, 105, 106},
        {105, 105, 0}, {0, 107, 0}, {MSG_DELETED | 5, 6, 7}, {107, 109, 107}};
    base_builder b;
    b.fhdr.BaseMsgNum = 100;
    for (const auto &l : links)
        b.add_message().links(l[0] & ~MSG_DELETED, l[1], l[2]).hdr.Attribute |= l[0] & MSG_DELETED;
    b.write();
    run_context ctx;
    fill_context(ctx, b);
    ctx.options.verbose = true;
    EXPECT_EQ(capture_output([&] { check_reply_chains(ctx); }).out,
              "\n=== Extended Checks ===\n"
              "  Msg[8] #108: ReplyTo=107 points to deleted msg (warning)\n"
              "  Reply-chain  : 6 error(s)  *** ERROR ***\n");
    EXPECT_EQ(ctx.report.issues,
              (std::vector<std::string>{
                  "Msg[0] #100: ReplyTo=99 - no such message",
                  "Msg[0] #100: Reply1st=1 - no such message",
                  "Msg[0] #100: ReplyNext=200 - no such message",
                  "Msg[3] #103: ReplyNext=104 ReplyTo mismatch (got 0, expected 101)",
                  "Msg[4] #104: Reply1st=105 but that msg's ReplyTo=105 (expected 104)",
                  "Msg[8] #108: Reply1st=109 - no such message"}));
    EXPECT_EQ(ctx.report.no_such_message_count, 4); // what the link repairs can remove
}
