#include "patch/patch_block.h"

#include <cstring>

void BlockList::closeBlock() {
    Record& record = records_.back();
    std::size_t end = originalStore_.size();
    std::size_t trimmed = end;
    while (trimmed > end - record.length &&
           originalStore_[trimmed - 1] == patchedStore_[trimmed - 1])
        --trimmed;
    record.length -= end - trimmed;
    originalStore_.shrink(trimmed);
    patchedStore_.shrink(trimmed);
}

BlockList::Iterator endOfNeighbours(BlockList::Iterator first, BlockList::Iterator end,
                                    std::uint64_t gap, std::uint64_t span, std::uint64_t size,
                                    std::uint64_t& reach) {
    std::uint64_t start = first->offset;
    reach = start + first->length();
    for (BlockList::Iterator next = first; ++next != end;) {
        std::uint64_t blockEnd = std::uint64_t(next->offset) + next->length();
        if (next->offset < reach || next->offset - reach > gap || blockEnd > size ||
            blockEnd - start > span)
            return next;
        reach = blockEnd;
    }
    return end;
}
