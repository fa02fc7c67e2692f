// Building change blocks in tests.
#pragma once

#include "patch/patch_block.h"

inline PatchBlock blockOf(std::uint32_t offset, const Bytes& original, const Bytes& patched) {
    PatchBlock block;
    block.offset = offset;
    block.originalBytes = original;
    block.patchedBytes = patched;
    return block;
}
