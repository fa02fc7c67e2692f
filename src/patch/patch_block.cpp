#include "patch/patch_block.h"

#include <cstring>

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

PatchBlock BlockList::back() const {
    return *--end();
}
