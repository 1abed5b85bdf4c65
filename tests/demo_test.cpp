// The README's demo: the damaged example base, once repaired, equals its healthy twin. The
// reports of the demo's two runs are the report case demo-damaged.
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(Demo, RepairMakesTheHealthyTwin) {
    // Scratch copies of both example bases, in directories removed with the builders.
    base_builder damaged("demo"), healthy("demo");
    std::filesystem::copy(CAIRNFIX_SOURCE_DIR "/examples/damaged", damaged.dir());
    std::filesystem::copy(CAIRNFIX_SOURCE_DIR "/examples/healthy", healthy.dir());
    EXPECT_EQ(run_cairnfix({"-r", "-x", "-p", "-b", "-s", damaged.base()}).status, 2);

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
