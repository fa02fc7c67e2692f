// A change block (offset, the bytes before and after the change) and the ordered block list.
#pragma once

#include "patch/growable_array.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// One change block as the list holds it: its offset and length, and where its bytes before and
// after the change are; the pointers stay valid until the list grows.
struct PatchBlock {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    const std::uint8_t* originalBytes = nullptr;
    const std::uint8_t* patchedBytes = nullptr;

    std::size_t length() const { return static_cast<std::size_t>(size); }
};

// All blocks of a patch, compactly: a record of offset and length per block, and the bytes of
// all blocks back to back in one store per side, so a block costs 16 bytes besides its bytes.
// Blocks are built at the end of the list, in place.
class BlockList {
  public:
    // Starts a new, empty block at the end of the list.
    void openBlock(std::uint64_t offset) { records_.push_back(Record{offset, 0}); }
    // Adds pairs to the last block.
    void appendPairs(const std::uint8_t* original, const std::uint8_t* patched, std::size_t count) {
        if (count == 0)
            return;
        std::uint8_t* originalEnd;
        std::uint8_t* patchedEnd;
        extendBlock(count, originalEnd, patchedEnd);
        std::memcpy(originalEnd, original, count);
        std::memcpy(patchedEnd, patched, count);
    }
    // Adds `count` pairs to the last block for the caller to fill in through the two pointers.
    void extendBlock(std::size_t count, std::uint8_t*& original, std::uint8_t*& patched) {
        original = originalStore_.extend(count);
        patched = patchedStore_.extend(count);
        records_.back().length += count;
    }
    // Trims the last block of trailing equal pairs.
    void closeBlock();
    // The length of the last block.
    std::size_t lastLength() const { return static_cast<std::size_t>(records_.back().length); }

    // Exchanges the two sides of every block (used to reverse a patch); nothing is copied.
    void swapSides() { originalStore_.swap(patchedStore_); }

    // Empties the list, keeping its memory for the next blocks.
    void clear() {
        records_.shrink(0);
        originalStore_.shrink(0);
        patchedStore_.shrink(0);
    }

    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.size() == 0; }

    // Walks the blocks in list order, forwards or backwards.
    class Iterator {
      public:
        PatchBlock operator*() const {
            const Record& record = list_->records_[index_];
            PatchBlock block;
            block.offset = record.offset;
            block.size = record.length;
            block.originalBytes = list_->originalStore_.data() + position_;
            block.patchedBytes = list_->patchedStore_.data() + position_;
            return block;
        }
        const PatchBlock* operator->() const {
            current_ = **this;
            return &current_;
        }
        Iterator& operator++() {
            position_ += list_->records_[index_].length;
            ++index_;
            return *this;
        }
        Iterator& operator--() {
            --index_;
            position_ -= list_->records_[index_].length;
            return *this;
        }
        bool operator==(const Iterator& other) const { return index_ == other.index_; }
        bool operator!=(const Iterator& other) const { return index_ != other.index_; }

      private:
        friend class BlockList;
        Iterator(const BlockList* list, std::size_t index, std::size_t position)
            : list_(list), index_(index), position_(position) {}
        const BlockList* list_;
        std::size_t index_;
        std::size_t position_; // where the block's bytes begin in the stores
        mutable PatchBlock current_;
    };
    Iterator begin() const { return Iterator(this, 0, 0); }
    Iterator end() const { return Iterator(this, records_.size(), originalStore_.size()); }

  private:
    struct Record {
        std::uint64_t offset;
        std::uint64_t length;
    };
    GrowableArray<Record> records_;
    GrowableArray<std::uint8_t> originalStore_;
    GrowableArray<std::uint8_t> patchedStore_;
};

// Where the blocks from `first` on stop following each other closely: each after the one before
// it, at most `gap` bytes on, ending inside a file of `size` bytes and within `span` bytes of
// where `first` begins. `reach` receives the end of the last block of the run. Neighbours found
// this way are read and written together.
BlockList::Iterator endOfNeighbours(BlockList::Iterator first, BlockList::Iterator end,
                                    std::uint64_t gap, std::uint64_t span, std::uint64_t size,
                                    std::uint64_t& reach);
