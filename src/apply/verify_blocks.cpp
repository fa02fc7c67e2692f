#include "apply/verify_blocks.h"

#include "patch/sizes.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::uint64_t endOf(const PatchBlock& block) {
    return std::uint64_t(block.offset) + block.length();
}

bool inside(std::uint64_t size, const PatchBlock& block) {
    return endOf(block) <= size;
}

// The file's bytes under a run of blocks that follow each other in ascending order.
struct Window {
    std::vector<std::uint8_t> bytes;
    std::uint64_t start = 0;
    bool loaded = false;

    bool covers(const PatchBlock& block) const {
        return loaded && block.offset >= start && endOf(block) <= start + bytes.size();
    }
};

// Reads the window that begins at `first` and reaches as far as the blocks after it follow in
// ascending order, close together, and fit. False when `first` needs reading on its own.
bool loadWindow(const platform::File& target, std::uint64_t size, BlockList::Iterator first,
                BlockList::Iterator end, Window& window) {
    std::uint64_t start = first->offset;
    std::uint64_t reach = 0;
    endOfNeighbours(first, end, VERIFY_GAP, VERIFY_SPAN, size, reach);
    if (reach - start > VERIFY_SPAN)
        return false;
    window.bytes.resize(static_cast<std::size_t>(reach - start));
    platform::ReadResult got =
        platform::readAt(target, start, window.bytes.data(), window.bytes.size());
    window.start = start;
    window.loaded = !got.failed && got.count == window.bytes.size();
    return window.loaded;
}

// Hands `check` the file's bytes under the block, whole from the window or piece by piece,
// with the piece's place in the block, until it returns false. False when the block lies
// outside the file or cannot be read back.
template <typename Check>
bool readBack(const platform::File& target, std::uint64_t size, BlockList::Iterator at,
              BlockList::Iterator end, Window& window, std::vector<std::uint8_t>& piece,
              Check check) {
    PatchBlock block = *at;
    if (!inside(size, block))
        return false;
    if (block.length() == 0)
        return true;
    if (window.covers(block) || loadWindow(target, size, at, end, window)) {
        check(window.bytes.data() + (block.offset - window.start), 0, block.length());
        return true;
    }
    for (std::size_t done = 0; done < block.length();) {
        std::size_t count = std::min(VERIFY_PIECE, block.length() - done);
        piece.resize(count);
        platform::ReadResult got =
            platform::readAt(target, block.offset + done, piece.data(), count);
        if (got.failed || got.count != count)
            return false;
        if (!check(piece.data(), done, count))
            return true;
        done += count;
    }
    return true;
}

} // namespace

Verification verifyBlocks(const platform::File& target, std::uint64_t size,
                          const BlockList& blocks) {
    Verification result;
    Window window;
    std::vector<std::uint8_t> piece;
    for (BlockList::Iterator at = blocks.begin(); at != blocks.end(); ++at) {
        PatchBlock block = *at;
        auto check = [&](const std::uint8_t* found, std::size_t from, std::size_t count) {
            if (result.matchesOriginal &&
                std::memcmp(found, block.originalBytes + from, count) != 0)
                result.matchesOriginal = false;
            if (result.matchesPatched && std::memcmp(found, block.patchedBytes + from, count) != 0)
                result.matchesPatched = false;
            return result.matchesOriginal || result.matchesPatched;
        };
        if (!readBack(target, size, at, blocks.end(), window, piece, check))
            result = Verification{false, false};
        if (!result.matchesOriginal && !result.matchesPatched)
            break;
    }
    return result;
}

bool verifyMixedBlocks(const platform::File& target, std::uint64_t size, const BlockList& blocks) {
    Window window;
    std::vector<std::uint8_t> piece;
    for (BlockList::Iterator at = blocks.begin(); at != blocks.end(); ++at) {
        PatchBlock block = *at;
        bool mixed = true;
        auto check = [&](const std::uint8_t* found, std::size_t from, std::size_t count) {
            for (std::size_t i = 0; i < count && mixed; ++i)
                mixed = found[i] == block.originalBytes[from + i] ||
                        found[i] == block.patchedBytes[from + i];
            return mixed;
        };
        if (!readBack(target, size, at, blocks.end(), window, piece, check) || !mixed)
            return false;
    }
    return true;
}
