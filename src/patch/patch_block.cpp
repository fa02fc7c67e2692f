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

void BlockList::openBlock(std::uint32_t offset) {
    records_.push_back(Record{offset, 0});
}

void BlockList::appendPairs(const std::uint8_t* original, const std::uint8_t* patched,
                            std::size_t count) {
    std::uint8_t* originalEnd;
    std::uint8_t* patchedEnd;
    extendBlock(count, originalEnd, patchedEnd);
    if (count > 0) {
        std::memcpy(originalEnd, original, count);
        std::memcpy(patchedEnd, patched, count);
    }
}

void BlockList::extendBlock(std::size_t count, std::uint8_t*& original, std::uint8_t*& patched) {
    original = originalStore_.extend(count);
    patched = patchedStore_.extend(count);
    records_.back().length += static_cast<std::uint32_t>(count);
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

StoredBlock BlockList::Iterator::operator*() const {
    const Record& record = list_->records_[index_];
    StoredBlock block;
    block.offset = record.offset;
    block.size = record.length;
    block.originalBytes = list_->originalStore_.data() + position_;
    block.patchedBytes = list_->patchedStore_.data() + position_;
    return block;
}

BlockList::Iterator& BlockList::Iterator::operator++() {
    position_ += list_->records_[index_].length;
    ++index_;
    return *this;
}

BlockList::Iterator& BlockList::Iterator::operator--() {
    --index_;
    position_ -= list_->records_[index_].length;
    return *this;
}
