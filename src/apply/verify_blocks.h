// Checking a patch's blocks against the file to patch, before anything is written.
#pragma once

#include "patch/patch_block.h"
#include "platform/platform.h"

#include <cstdint>

struct Verification {
    bool matchesOriginal = true;
    bool matchesPatched = true;
};

// Checks the blocks in list order and stops at the first block after which the file can be in
// neither state. Blocks in ascending order are read back many at a time. A block that does not lie
// wholly inside the file matches neither side, an empty one included, and so does a block that
// cannot be read back.
Verification verifyBlocks(const platform::File& target, std::uint64_t size,
                          const BlockList& blocks);

// The looser check for a file that a run left part-way: every byte of every block holds either
// its original or its patched value.
bool verifyMixedBlocks(const platform::File& target, std::uint64_t size, const BlockList& blocks);
