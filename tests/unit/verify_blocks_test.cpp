#include "apply/verify_blocks.h"
#include "support/blocks.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

// Block by block, one read each: what the verification must find, however it reads.
Verification referenceVerify(const std::string& file, const std::vector<ModelBlock>& blocks) {
    Verification result;
    for (const ModelBlock& block : blocks) {
        bool inside = std::uint64_t(block.offset) + block.length() <= file.size();
        Bytes found;
        if (inside)
            found.assign(file.begin() + block.offset, file.begin() + block.offset + block.length());
        result.matchesOriginal = result.matchesOriginal && inside && found == block.originalBytes;
        result.matchesPatched = result.matchesPatched && inside && found == block.patchedBytes;
        if (!result.matchesOriginal && !result.matchesPatched)
            break;
    }
    return result;
}

bool referenceMixed(const std::string& file, const std::vector<ModelBlock>& blocks) {
    for (const ModelBlock& block : blocks) {
        if (std::uint64_t(block.offset) + block.length() > file.size())
            return false;
        for (std::size_t i = 0; i < block.length(); ++i) {
            std::uint8_t found = static_cast<std::uint8_t>(file[block.offset + i]);
            if (found != block.originalBytes[i] && found != block.patchedBytes[i])
                return false;
        }
    }
    return true;
}

// Blocks over a 3 MiB file, some past 1 MiB long, in ascending order or shuffled, each holding
// the file's bytes on one side (or, now and then, on neither side, or lying past the end).
TEST(VerifyBlocks, ReadingManyBlocksAtOnceFindsWhatOneReadPerBlockFinds) {
    std::mt19937 random(11);
    ScratchFolder folder;
    std::string file(3 * 1024 * 1024, '\0');
    for (char& byte : file)
        byte = static_cast<char>(random() % 4);
    writeFile(folder / "t.bin", file);
    platform::File target = platform::openForReading(folder / "t.bin");
    ASSERT_TRUE(platform::isOpen(target));

    for (int round = 0; round < 25; ++round) {
        std::vector<ModelBlock> blocks;
        std::size_t count = 1 + random() % 40;
        std::uint32_t offset = static_cast<std::uint32_t>(random() % 4096);
        bool wholeSide = random() % 2 == 0;
        bool patchedSide = random() % 2 == 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t length =
                random() % 24 == 0 ? 1024 * 1024 - 64 + random() % 128 : random() % 600;
            Bytes here;
            if (offset + length <= file.size())
                here.assign(file.begin() + offset, file.begin() + offset + length);
            else
                here.assign(length, 9);
            Bytes other = here;
            for (std::uint8_t& byte : other)
                byte = static_cast<std::uint8_t>(byte + 1 + random() % 2);
            if (!wholeSide && !here.empty() && random() % 3 == 0)
                other[random() % other.size()] = here[random() % here.size()];
            if (random() % 50 == 0 && !here.empty())
                here[random() % here.size()] ^= 0x80; // matches neither side
            bool patched = wholeSide ? patchedSide : random() % 2 == 0;
            blocks.push_back(patched ? blockOf(offset, other, here) : blockOf(offset, here, other));
            offset += static_cast<std::uint32_t>(length + random() % 70000);
        }
        if (random() % 3 == 0)
            std::shuffle(blocks.begin(), blocks.end(), random);
        BlockList list;
        for (ModelBlock block : blocks)
            appendTo(list, block);
        std::vector<ModelBlock> stored = blocksOf(list);

        for (std::uint64_t size : {std::uint64_t(file.size()), std::uint64_t(file.size() / 2)}) {
            std::string seen = file.substr(0, size);
            Verification want = referenceVerify(seen, stored);
            Verification got = verifyBlocks(target, size, list);
            ASSERT_EQ(got.matchesOriginal, want.matchesOriginal) << "round " << round;
            ASSERT_EQ(got.matchesPatched, want.matchesPatched) << "round " << round;
            ASSERT_EQ(verifyMixedBlocks(target, size, list), referenceMixed(seen, stored))
                << "round " << round;
        }
    }
}

} // namespace
