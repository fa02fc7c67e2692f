// A change block (offset, the bytes before and after the change) and the ordered block list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct PatchBlock {
    std::uint32_t offset = 0;
    Bytes originalBytes;
    Bytes patchedBytes;

    std::size_t length() const { return originalBytes.size(); }

    void appendPair(std::uint8_t original, std::uint8_t patched) {
        originalBytes.push_back(original);
        patchedBytes.push_back(patched);
    }
    // Appends `count` pairs at once, taken from two spans of equal length.
    void appendPairs(const std::uint8_t* original, const std::uint8_t* patched, std::size_t count) {
        originalBytes.insert(originalBytes.end(), original, original + count);
        patchedBytes.insert(patchedBytes.end(), patched, patched + count);
    }
    // Drops trailing pairs whose two bytes are equal.
    void trimTrailingEqual();
    // Exchanges the two sides without copying them (used to reverse a patch).
    void swapSides() { originalBytes.swap(patchedBytes); }
};

class BlockList {
  public:
    // Moves the block's bytes to the end of the list, leaving `block` with empty sequences
    // (its offset is kept), and trims the stored block of trailing equal pairs.
    void append(PatchBlock& block);

    std::size_t size() const { return blocks_.size(); }
    bool empty() const { return blocks_.empty(); }
    std::vector<PatchBlock>::iterator begin() { return blocks_.begin(); }
    std::vector<PatchBlock>::iterator end() { return blocks_.end(); }
    std::vector<PatchBlock>::const_iterator begin() const { return blocks_.begin(); }
    std::vector<PatchBlock>::const_iterator end() const { return blocks_.end(); }

  private:
    std::vector<PatchBlock> blocks_;
};
