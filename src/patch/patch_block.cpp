#include "patch/patch_block.h"

#include <utility>

void PatchBlock::trimTrailingEqual() {
    std::size_t n = length();
    while (n > 0 && originalBytes[n - 1] == patchedBytes[n - 1])
        --n;
    originalBytes.resize(n);
    patchedBytes.resize(n);
}

void BlockList::append(PatchBlock& block) {
    PatchBlock stored;
    stored.offset = block.offset;
    stored.originalBytes = std::move(block.originalBytes);
    stored.patchedBytes = std::move(block.patchedBytes);
    block.originalBytes.clear();
    block.patchedBytes.clear();
    stored.trimTrailingEqual();
    blocks_.push_back(std::move(stored));
}
