#include "patch/patch_block.h"

#include <gtest/gtest.h>

TEST(PatchBlock, TrimDropsTrailingEqualPairs) {
    PatchBlock block;
    block.originalBytes = {1, 2, 3};
    block.patchedBytes = {9, 2, 3};
    block.trimTrailingEqual();
    EXPECT_EQ(block.originalBytes, Bytes({1}));
    EXPECT_EQ(block.patchedBytes, Bytes({9}));
}
