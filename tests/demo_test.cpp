// The README's demo end to end: the damaged example base is repaired, analysed again and
// compared with its healthy twin.
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(Demo, RepairThenAnalyseAgain) {
    // Scratch copies of both example bases, in directories removed with the builders.
    base_builder damaged("demo"), healthy("demo");
    std::filesystem::copy(CAIRNFIX_SOURCE_DIR "/examples/damaged", damaged.dir());
    std::filesystem::copy(CAIRNFIX_SOURCE_DIR "/examples/healthy", healthy.dir());
    const run_result first = run_cairnfix({"-r", "-x", "-p", "-b", "-s", damaged.base()});
    EXPECT_EQ(std::tuple(first.status, first.err, issue_texts(first.out).size()),
              std::tuple(2, "", 6u));

    // Only the escaped text, which no repair touches, is left.
    const run_result second = run_cairnfix({"-x", damaged.base()});
    EXPECT_EQ(std::tuple(second.status, issue_texts(second.out)),
              std::tuple(2, std::vector<std::string>{
                                "Msg[5]: MSG_ESCAPED: byte 0x0D at pos 70 outside 7-bit range"}));

    // The repaired files equal the healthy twin, but for ModCounter, advanced by the one
    // write-back of the fixed header, and the length of the text that kept its raw CR.
    EXPECT_EQ(damaged.bytes(jam_ext::jdx), healthy.bytes(jam_ext::jdx));
    EXPECT_EQ(damaged.bytes(jam_ext::jlr), healthy.bytes(jam_ext::jlr));
    EXPECT_EQ(damaged.get_u32(jam_ext::jhr, 8), healthy.get_u32(jam_ext::jhr, 8) + 1);
    const uint32_t escaped_len_at = healthy.get_u32(jam_ext::jdx, 5 * 8 + 4) + 64;
    for (const base_builder *b : {&damaged, &healthy})
        for (std::size_t masked : {std::size_t{8}, std::size_t{escaped_len_at}})
            b->put_u32(jam_ext::jhr, masked, 0);
    EXPECT_TRUE(damaged.bytes(jam_ext::jhr) == healthy.bytes(jam_ext::jhr));
}
