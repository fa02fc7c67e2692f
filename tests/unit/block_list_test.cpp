#include "patch/patch_block.h"
#include "support/blocks.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Random blocks with lengths from 0 up to `longest`, some of them ending in equal pairs (which
// the list trims), appended to the list and to a list of simple blocks trimmed the same way.
void fillBoth(std::mt19937& random, std::size_t count, std::size_t longest, BlockList& list,
              std::vector<ModelBlock>& simple) {
    std::uniform_int_distribution<std::size_t> length(0, longest);
    for (std::size_t i = 0; i < count; ++i) {
        ModelBlock block;
        block.offset = static_cast<std::uint32_t>(random());
        std::size_t n = length(random);
        for (std::size_t j = 0; j < n; ++j) {
            std::uint8_t original = static_cast<std::uint8_t>(random());
            block.appendPair(original,
                             random() % 3 == 0 ? original : static_cast<std::uint8_t>(random()));
        }
        ModelBlock copy = block;
        copy.trimTrailingEqual();
        simple.push_back(copy);
        if (i % 2 == 0) {
            appendTo(list, block);
        } else { // built in place, in two parts
            list.openBlock(block.offset);
            std::size_t half = n / 2;
            list.appendPairs(block.originalBytes.data(), block.patchedBytes.data(), half);
            list.appendPairs(block.originalBytes.data() + half, block.patchedBytes.data() + half,
                             n - half);
            list.closeBlock();
        }
    }
}

TEST(BlockList, HoldsWhatSimpleBlocksHoldThroughItsGrowth) {
    std::mt19937 random(3);
    // Many small blocks, then large ones, so the stores grow many times over.
    for (std::size_t longest : {0u, 1u, 3u, 40u, 5000u, 300000u}) {
        SCOPED_TRACE(longest);
        BlockList list;
        std::vector<ModelBlock> simple;
        fillBoth(random, longest > 1000 ? 20 : 3000, longest, list, simple);
        ASSERT_EQ(list.size(), simple.size());
        EXPECT_TRUE(blocksOf(list) == simple);

        // Backwards, block for block.
        std::size_t index = simple.size();
        for (BlockList::Iterator at = list.end(); at != list.begin();) {
            --at;
            --index;
            EXPECT_EQ(at->offset, simple[index].offset);
            EXPECT_EQ(at->length(), simple[index].length());
        }

        list.swapSides();
        for (ModelBlock& block : simple)
            block.swapSides();
        EXPECT_TRUE(blocksOf(list) == simple);
        list.swapSides();
        EXPECT_EQ(blocksOf(list)[0].originalBytes, simple[0].patchedBytes);
    }
}

TEST(BlockList, EmptyBlocksKeepTheirPlaceBetweenLargeOnes) {
    BlockList list;
    ModelBlock large = blockOf(0, Bytes(200000, 1), Bytes(200000, 2));
    ModelBlock equal = blockOf(300000, {5, 5}, {5, 5});
    ModelBlock empty = blockOf(400000, {}, {});
    ModelBlock last = blockOf(500000, Bytes(70000, 3), Bytes(70000, 4));
    std::vector<ModelBlock> expected = {large, blockOf(300000, {}, {}), empty, last};
    for (ModelBlock* block : {&large, &equal, &empty, &last})
        appendTo(list, *block);
    EXPECT_TRUE(blocksOf(list) == expected);
    PatchBlock back = *--list.end();
    EXPECT_EQ(back.offset, 500000u);
    EXPECT_EQ(back.length(), 70000u);
    EXPECT_EQ(back.patchedBytes[69999], 4);
}

} // namespace
