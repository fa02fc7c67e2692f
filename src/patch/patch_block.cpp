#include "patch/patch_block.h"

#include <cstring>

void PatchBlock::trimTrailingEqual() {
    std::size_t n = length();
    while (n > 0 && originalBytes[n - 1] == patchedBytes[n - 1])
        --n;
    originalBytes.resize(n);
    patchedBytes.resize(n);
}

void BlockList::append(PatchBlock& block) {
    openBlock(block.offset);
    appendPairs(block.originalBytes.data(), block.patchedBytes.data(), block.length());
    block.originalBytes.clear();
    block.patchedBytes.clear();
    closeBlock();
}

void BlockList::closeBlock() {
    Record& record = records_.back();
    std::size_t end = originalStore_.size();
    std::size_t trimmed = end;
    while (trimmed > end - record.length &&
           originalStore_[trimmed - 1] == patchedStore_[trimmed - 1])
        --trimmed;
    record.length -= static_cast<std::uint32_t>(end - trimmed);
    originalStore_.shrink(trimmed);
    patchedStore_.shrink(trimmed);
}

StoredBlock BlockList::back() const {
    return *--end();
}
