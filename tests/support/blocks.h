// Change blocks in tests: a block that owns its two byte sequences, as a reference model of
// what the program's block list holds, and ways to build, store, write and read it.
#pragma once

#include "patch/byte_stream.h"
#include "patch/patch_block.h"
#include "patch/patch_format.h"

#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// One block on its own, with both byte sequences.
struct ModelBlock {
    std::uint64_t offset = 0;
    Bytes originalBytes;
    Bytes patchedBytes;

    std::size_t length() const { return originalBytes.size(); }

    void appendPair(std::uint8_t original, std::uint8_t patched) {
        originalBytes.push_back(original);
        patchedBytes.push_back(patched);
    }
    void appendPairs(const std::uint8_t* original, const std::uint8_t* patched, std::size_t count) {
        originalBytes.insert(originalBytes.end(), original, original + count);
        patchedBytes.insert(patchedBytes.end(), patched, patched + count);
    }
    // Drops trailing pairs whose two bytes are equal.
    void trimTrailingEqual() {
        std::size_t n = length();
        while (n > 0 && originalBytes[n - 1] == patchedBytes[n - 1])
            --n;
        originalBytes.resize(n);
        patchedBytes.resize(n);
    }
    // Exchanges the two sides without copying them.
    void swapSides() { originalBytes.swap(patchedBytes); }
};

inline ModelBlock blockOf(std::uint64_t offset, const Bytes& original, const Bytes& patched) {
    ModelBlock block;
    block.offset = offset;
    block.originalBytes = original;
    block.patchedBytes = patched;
    return block;
}

// Copies the block's bytes to the end of the list, leaving `block` with empty sequences (its
// offset is kept); the list trims the stored block of trailing equal pairs.
inline void appendTo(BlockList& list, ModelBlock& block) {
    list.openBlock(block.offset);
    list.appendPairs(block.originalBytes.data(), block.patchedBytes.data(), block.length());
    block.originalBytes.clear();
    block.patchedBytes.clear();
    list.closeBlock();
}

// The list's blocks as blocks of their own, for comparing.
inline std::vector<ModelBlock> blocksOf(const BlockList& list) {
    std::vector<ModelBlock> blocks;
    for (const PatchBlock& stored : list)
        blocks.push_back(blockOf(
            stored.offset, Bytes(stored.originalBytes, stored.originalBytes + stored.length()),
            Bytes(stored.patchedBytes, stored.patchedBytes + stored.length())));
    return blocks;
}

inline bool operator==(const ModelBlock& a, const ModelBlock& b) {
    return a.offset == b.offset && a.originalBytes == b.originalBytes &&
           a.patchedBytes == b.patchedBytes;
}

inline void writeBlock(ByteSink& sink, const ModelBlock& block) {
    PatchBlock view;
    view.offset = block.offset;
    view.size = block.length();
    view.originalBytes = block.originalBytes.data();
    view.patchedBytes = block.patchedBytes.data();
    writeBlock(sink, view);
}

// One block record; false when it is cut short anywhere.
inline bool readBlock(ByteSource& source, ModelBlock& block) {
    std::size_t length;
    if (!readRecordHead(source, block.offset, length))
        return false;
    block.originalBytes.resize(length);
    block.patchedBytes.resize(length);
    readBytes(source, block.originalBytes.data(), length);
    readBytes(source, block.patchedBytes.data(), length);
    return true;
}

// CutOff: bytes are left after the last complete record. Overlapping: two blocks share a byte.
enum class BlocksStatus { Valid, CutOff, Overlapping };

// The patch's block records read into one list, up to the end of the source, each trimmed as it
// enters: the model that the program's reader, which reads in windows, is checked against.
inline BlocksStatus collectBlocks(ByteSource& source, BlockList& blocks) {
    // Records are read straight into the list's stores: no block is held twice.
    while (remaining(source) != 0) {
        std::uint64_t offset;
        std::size_t length;
        if (!readRecordHead(source, offset, length))
            return BlocksStatus::CutOff;
        readRecordInto(source, blocks, offset, length);
        if (source.failed)
            return BlocksStatus::Valid; // the caller reports the read error
    }
    return blocksAreDisjoint(blocks) ? BlocksStatus::Valid : BlocksStatus::Overlapping;
}

// Where two equal-sized byte strings differ, found one byte pair at a time: changed bytes less
// than 8 unchanged bytes apart share a block, which ends at its last changed byte.
struct ChangedSpan {
    std::size_t offset;
    std::size_t length;
};
inline std::vector<ChangedSpan> changedSpans(const std::string& a, const std::string& b) {
    std::vector<ChangedSpan> spans;
    for (std::size_t i = 0; i < a.size();) {
        if (a[i] == b[i]) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        std::size_t j = i + 1;
        for (; j < a.size() && j - end < 8; ++j) {
            if (a[j] != b[j])
                end = j + 1;
        }
        spans.push_back({i, end - i});
        i = j;
    }
    return spans;
}
