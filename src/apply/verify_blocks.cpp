#include "apply/verify_blocks.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Large blocks are read back from the file in pieces of this size, so checking a block needs
// no second copy of it in memory.
const std::size_t VERIFY_CHUNK_SIZE = 256 * 1024;

bool inside(std::uint64_t size, const PatchBlock& block) {
    return block.offset <= size && block.length() <= size - block.offset;
}

// Reads the block back piece by piece and hands each piece to `check` with its place in the
// block, while `check` returns true. False when the block cannot be read back.
template <typename Check>
bool readBack(const platform::File& target, const PatchBlock& block,
              std::vector<std::uint8_t>& found, Check check) {
    for (std::size_t done = 0; done < block.length();) {
        std::size_t piece = std::min(VERIFY_CHUNK_SIZE, block.length() - done);
        found.resize(piece);
        platform::ReadResult got =
            platform::readAt(target, block.offset + done, found.data(), piece);
        if (got.failed || got.count != piece)
            return false;
        if (!check(done, piece))
            return true;
        done += piece;
    }
    return true;
}

} // namespace

Verification verifyBlocks(const platform::File& target, std::uint64_t size,
                          const BlockList& blocks) {
    Verification result;
    std::vector<std::uint8_t> found;
    for (const PatchBlock& block : blocks) {
        bool readable = inside(size, block) &&
                        readBack(target, block, found, [&](std::size_t at, std::size_t n) {
                            if (result.matchesOriginal &&
                                std::memcmp(found.data(), block.originalBytes.data() + at, n) != 0)
                                result.matchesOriginal = false;
                            if (result.matchesPatched &&
                                std::memcmp(found.data(), block.patchedBytes.data() + at, n) != 0)
                                result.matchesPatched = false;
                            return result.matchesOriginal || result.matchesPatched;
                        });
        if (!readable)
            result = Verification{false, false};
        if (!result.matchesOriginal && !result.matchesPatched)
            break;
    }
    return result;
}

bool verifyMixedBlocks(const platform::File& target, std::uint64_t size, const BlockList& blocks) {
    std::vector<std::uint8_t> found;
    for (const PatchBlock& block : blocks) {
        bool mixed = true;
        bool readable = inside(size, block) &&
                        readBack(target, block, found, [&](std::size_t at, std::size_t n) {
                            for (std::size_t i = 0; i < n && mixed; ++i)
                                mixed = found[i] == block.originalBytes[at + i] ||
                                        found[i] == block.patchedBytes[at + i];
                            return mixed;
                        });
        if (!readable || !mixed)
            return false;
    }
    return true;
}
