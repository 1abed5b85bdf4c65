// The index against the headers: the four faults an index can have, what a pack's holes
// mean for message numbers.
#include "format/jam.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

namespace {

const char *const FAULT_TEXTS[] = {"live message(s) missing from the index",
                                   "point at no message header", "out of header order",
                                   "UserCRC that does not match"};

// The issues of the four index faults in a report.
std::vector<std::string> index_faults(const std::string &out) {
    std::vector<std::string> found;
    for (const std::string &text : issue_texts(out))
        for (const char *fault : FAULT_TEXTS)
            if (contains(text, fault))
                found.push_back(text);
    return found;
}

} // namespace

// The numbers follow the records only while the index is sound; a wrong UserCRC does not
// make it unsound, a record pointing nowhere or a message left out does.
TEST(IndexCheck, HolesNumberMessagesOnlyInASoundIndex) {
    struct row {
        const char *name;
        void (*damage)(base_builder &b, std::vector<idx_record> &index);
        bool by_position;
    };
    const row rows[] = {
        {"wrong UserCRCs", [](base_builder &, std::vector<idx_record> &x) { x[0].UserCRC = 7; },
         true},
        {"a hole at the end",
         [](base_builder &, std::vector<idx_record> &x) {
             x.push_back({ALL_ONES, ALL_ONES});
         },
         true},
        {"an orphan",
         [](base_builder &, std::vector<idx_record> &x) {
             x[3] = {0, 0x10};
         },
         false},
        {"a message left out",
         [](base_builder &, std::vector<idx_record> &x) {
             x[4] = {ALL_ONES, ALL_ONES};
         },
         false},
        {"a record into a header",
         [](base_builder &, std::vector<idx_record> &x) {
             x.push_back({0, x[0].HdrOffset + 2});
         },
         false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        base_builder b;
        add_packed_messages(b);
        b.write();
        std::vector<idx_record> index = index_records(b.bytes(jam_ext::jdx));
        r.damage(b, index);
        b.index = index;
        b.write();
        const run_result check = run_cairnfix({"-x", b.base()});
        // #10's Reply1st=16 names the last message by its record, and nothing in .JHR order.
        EXPECT_EQ(contains(check.out, "Reply1st=16 - no such message"), !r.by_position)
            << check.out;
        run_cairnfix({"-r", "-x", "-p", b.base()});
        // A rebuild in .JHR order renumbers; one by position keeps every record in its place
        // with its recipient's CRC.
        const std::string rebuilt = b.bytes(jam_ext::jdx);
        EXPECT_EQ(rebuilt.size(), (r.by_position ? index.size() : b.messages.size()) * 8);
        if (r.by_position)
            for (std::size_t i = 0; i < b.messages.size(); ++i) {
                const idx_record want = b.derived_index(i);
                EXPECT_EQ(rebuilt.substr(b.record_position(i) * 8, 8),
                          le32(want.UserCRC) + le32(want.HdrOffset));
            }
        EXPECT_EQ(index_faults(run_cairnfix({"-x", b.base()}).out), std::vector<std::string>{});
    }
}
