// Building change blocks in tests.
#pragma once

#include "patch/patch_block.h"

#include <vector>

inline PatchBlock blockOf(std::uint32_t offset, const Bytes& original, const Bytes& patched) {
    PatchBlock block;
    block.offset = offset;
    block.originalBytes = original;
    block.patchedBytes = patched;
    return block;
}

// The list's blocks as blocks of their own, for comparing.
inline std::vector<PatchBlock> blocksOf(const BlockList& list) {
    std::vector<PatchBlock> blocks;
    for (const StoredBlock& stored : list)
        blocks.push_back(blockOf(
            stored.offset, Bytes(stored.originalBytes, stored.originalBytes + stored.length()),
            Bytes(stored.patchedBytes, stored.patchedBytes + stored.length())));
    return blocks;
}

inline bool operator==(const PatchBlock& a, const PatchBlock& b) {
    return a.offset == b.offset && a.originalBytes == b.originalBytes &&
           a.patchedBytes == b.patchedBytes;
}
