#include "patch/patch_block.h"
#include "support/blocks.h"

#include <gtest/gtest.h>

namespace {

TEST(ModelBlock, TrimDropsOnlyTrailingEqualPairs) {
    struct Case {
        Bytes original, patched, trimmedOriginal, trimmedPatched;
    };
    const Case cases[] = {
        {{1, 2, 3}, {9, 2, 3}, {1}, {9}},
        {{1, 2, 3}, {1, 2, 4}, {1, 2, 3}, {1, 2, 4}}, // last pair differs: unchanged
        {{5, 5, 5}, {5, 5, 5}, {}, {}},
        {{1, 7, 2, 0}, {9, 7, 3, 0}, {1, 7, 2}, {9, 7, 3}},
        {{}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        ModelBlock block = blockOf(40, c.original, c.patched);
        block.trimTrailingEqual();
        EXPECT_EQ(block.originalBytes, c.trimmedOriginal);
        EXPECT_EQ(block.patchedBytes, c.trimmedPatched);
        EXPECT_EQ(block.offset, 40u);
    }
}

TEST(ModelBlock, AppendPairKeepsSidesInStepAndSwapExchangesThem) {
    ModelBlock block;
    block.appendPair(1, 2);
    block.appendPair(3, 4);
    EXPECT_EQ(block.length(), 2u);
    const std::uint8_t* originalData = block.originalBytes.data();
    block.swapSides();
    EXPECT_EQ(block.originalBytes, Bytes({2, 4}));
    EXPECT_EQ(block.patchedBytes, Bytes({1, 3}));
    EXPECT_EQ(block.patchedBytes.data(), originalData); // exchanged, not copied
    block.swapSides();
    EXPECT_EQ(block.originalBytes, Bytes({1, 3}));
}

TEST(BlockList, AppendTrimsAndLeavesTheWorkingBlockReusable) {
    BlockList list;
    ModelBlock working = blockOf(10, {1, 2, 3}, {9, 2, 3});
    appendTo(list, working);
    EXPECT_TRUE(working.originalBytes.empty());
    EXPECT_TRUE(working.patchedBytes.empty());
    EXPECT_EQ(working.offset, 10u);

    working.offset = 30;
    working.appendPair(4, 4); // all equal: becomes empty, but still counts
    appendTo(list, working);
    working.appendPair(7, 8); // must not reach the blocks in the list

    ASSERT_EQ(list.size(), 2u);
    const std::vector<ModelBlock> stored = blocksOf(list);
    EXPECT_EQ(stored[0].offset, 10u);
    EXPECT_EQ(stored[0].originalBytes, Bytes({1}));
    EXPECT_EQ(stored[0].patchedBytes, Bytes({9}));
    EXPECT_EQ(stored[1].offset, 30u);
    EXPECT_EQ(stored[1].length(), 0u);
}

} // namespace
