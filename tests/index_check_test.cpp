// The index against the headers: the four faults an index can have, what a pack's holes
// mean for message numbers, and that a repair leaves an index the next check accepts.
#include "format/jam.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

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

// Whatever an index holds, a repair leaves one the next analysis accepts, and a sound index
// with holes comes through the repair unchanged.
TEST(IndexCheck, RepairLeavesNoIndexFault) {
    std::mt19937 random(20);
    const auto link = [&] { return static_cast<uint32_t>(random() % 20); };
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        base_builder b;
        const std::size_t count = 1 + random() % 12;
        for (std::size_t i = 0; i < count; ++i) {
            test_message &m = b.add_message().to("U" + std::to_string(random() % 4));
            if (random() % 5 == 0)
                m.deleted();
            m.links(link(), link(), link());
        }
        for (std::size_t i = random() % 4; i > 0; --i)
            b.holes.push_back(random() % (count + 3));
        b.write();
        std::vector<idx_record> index = index_records(b.bytes(jam_ext::jdx));
        const int damages = round % 4 == 0 ? 0 : static_cast<int>(random() % 4);
        for (int d = 0; d < damages; ++d) {
            const std::size_t j = random() % index.size(), k = random() % index.size();
            switch (random() % 5) {
            case 0:
                std::swap(index[j], index[k]);
                break;
            case 1:
                index[j].HdrOffset += 1 + static_cast<uint32_t>(random() % 80);
                break;
            case 2:
                index[j].UserCRC = static_cast<uint32_t>(random());
                break;
            case 3:
                index.erase(index.begin() + static_cast<std::ptrdiff_t>(j));
                break;
            default:
                index.insert(index.begin() + static_cast<std::ptrdiff_t>(j), index[k]);
                break;
            }
            if (index.empty())
                index.push_back({ALL_ONES, ALL_ONES});
        }
        b.index = index;
        b.write();
        // Holes that move no live message change no number; such an index is rebuilt in
        // .JHR order like any other.
        bool moved = false;
        for (std::size_t i = 0; i < count; ++i)
            moved = moved ||
                    (!(b.messages[i].hdr.Attribute & MSG_DELETED) && b.record_position(i) != i);
        const std::string before = b.bytes(jam_ext::jdx);
        const run_result repair = run_cairnfix({"-r", "-x", "-p", b.base()});
        if (damages == 0 && moved) {
            EXPECT_EQ(b.bytes(jam_ext::jdx), before) << repair.out;
        }
        const run_result after = run_cairnfix({"-x", b.base()});
        EXPECT_EQ(index_faults(after.out), std::vector<std::string>{}) << repair.out << after.out;
        EXPECT_FALSE(contains(after.out, "no such message")) << repair.out << after.out;
    }
}
