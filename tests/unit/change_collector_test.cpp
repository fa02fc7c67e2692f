#include "create/change_collector.h"
#include "create/record_writer.h"
#include "support/blocks.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct Result {
    std::vector<std::uint32_t> offsets;
    std::vector<Bytes> originals, patcheds;
    std::uint64_t total = 0;
    bool operator==(const Result& o) const {
        return offsets == o.offsets && originals == o.originals && patcheds == o.patcheds &&
               total == o.total;
    }
};

Result resultOf(const BlockList& blocks, std::uint64_t total) {
    Result result;
    for (const ModelBlock& block : blocksOf(blocks)) {
        result.offsets.push_back(block.offset);
        result.originals.push_back(block.originalBytes);
        result.patcheds.push_back(block.patchedBytes);
    }
    result.total = total;
    return result;
}

// The comparison the collector must reproduce: one byte pair at a time, a block closed after
// eight unchanged pairs in a row, trailing unchanged pairs dropped.
Result compareByteByByte(const Bytes& original, const Bytes& patched) {
    BlockList blocks;
    ModelBlock working;
    bool inside = false;
    unsigned unchanged = 0;
    std::uint64_t total = 0;
    auto close = [&] {
        appendTo(blocks, working);
        total += blocks.lastLength();
        inside = false;
    };
    for (std::size_t i = 0; i < original.size(); ++i) {
        if (original[i] != patched[i]) {
            if (!inside)
                working.offset = static_cast<std::uint32_t>(i);
            inside = true;
            working.appendPair(original[i], patched[i]);
            unchanged = 0;
        } else if (inside) {
            working.appendPair(original[i], patched[i]);
            if (++unchanged == 8)
                close();
        }
    }
    if (inside)
        close();
    return resultOf(blocks, total);
}

// The records the one pass writes for chunks of random sizes, read back.
Result collectInChunks(const Bytes& original, const Bytes& patched, std::mt19937& random,
                       std::size_t largestChunk) {
    ByteSink records;
    RecordWriter writer;
    writer.sink = &records;
    writer.keepLimit = original.size() + 1;
    std::uniform_int_distribution<std::size_t> chunkSize(1, largestChunk);
    for (std::size_t at = 0; at < original.size();) {
        std::size_t count = std::min(chunkSize(random), original.size() - at);
        writeClosedBlocks(writer, original.data() + at, patched.data() + at, count, at);
        keepOpenBlock(writer, original.data() + at, patched.data() + at, count, at);
        at += count;
    }
    finishRecords(writer, original.size());
    BlockList blocks;
    ByteSource source = sourceFromBytes(records.buffer.data(), records.buffer.size());
    EXPECT_EQ(collectBlocks(source, blocks), BlocksStatus::Valid);
    EXPECT_EQ(blocks.size(), writer.blocks);
    return resultOf(blocks, writer.bytes);
}

TEST(ChangeCollector, MatchesTheByteByByteComparisonInAnyChunking) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 300; ++round) {
        std::size_t size = std::uniform_int_distribution<std::size_t>(0, 3000)(random);
        Bytes original(size);
        for (auto& byte : original)
            byte = static_cast<std::uint8_t>(random());
        Bytes patched = original;
        // Changes of varying density, so gaps of every length around 8 occur.
        int spacing = 2 + round % 24;
        for (std::size_t i = 0; i < size; ++i) {
            if (random() % spacing == 0)
                patched[i] = static_cast<std::uint8_t>(patched[i] + 1 + random() % 255);
        }
        Result expected = compareByteByByte(original, patched);
        for (std::size_t largest : {std::size_t(1), std::size_t(9), std::size_t(700), size + 1}) {
            SCOPED_TRACE("round " + std::to_string(round) + ", chunks up to " +
                         std::to_string(largest));
            EXPECT_TRUE(collectInChunks(original, patched, random, largest) == expected);
        }
    }
}

// The scan that keeps no bytes reports the blocks the collector keeps, in any chunking, and
// finds the first equal pair wherever it lies.
TEST(ChangeCollector, TheScanReportsWhatTheCollectorKeeps) {
    std::mt19937 random(77);
    for (int round = 0; round < 200; ++round) {
        std::size_t size = std::uniform_int_distribution<std::size_t>(0, 2000)(random);
        Bytes original(size);
        for (auto& byte : original)
            byte = static_cast<std::uint8_t>(random());
        Bytes patched = original;
        int spacing = 1 + round % 20;
        for (std::size_t i = 0; i < size; ++i) {
            if (random() % spacing == 0 || (round % 5 == 0 && i > size / 3 && i < size / 2))
                patched[i] = static_cast<std::uint8_t>(patched[i] + 1 + random() % 255);
        }
        Result expected = compareByteByByte(original, patched);
        ChangeScan scan;
        Result found;
        auto report = [&](std::uint64_t start, std::uint64_t length) {
            found.offsets.push_back(static_cast<std::uint32_t>(start));
            found.originals.emplace_back(original.begin() + start,
                                         original.begin() + start + length);
            found.patcheds.emplace_back(patched.begin() + start, patched.begin() + start + length);
            found.total += length;
        };
        std::uniform_int_distribution<std::size_t> chunkSize(1, 1 + round % 40 * 20);
        for (std::size_t at = 0; at < size;) {
            std::size_t count = std::min(chunkSize(random), size - at);
            scanChanges(scan, original.data() + at, patched.data() + at, count, at, report);
            at += count;
        }
        finishScan(scan, report);
        ASSERT_TRUE(found == expected) << "round " << round;
    }
    Bytes a(100, 1);
    Bytes b(100, 2);
    for (std::size_t at : {0u, 1u, 7u, 8u, 9u, 63u, 99u}) {
        Bytes c = b;
        c[at] = 1;
        EXPECT_EQ(firstEqual(a.data(), c.data(), a.size()), at);
        EXPECT_EQ(firstEqual(a.data(), c.data(), at), at);
    }
}

TEST(ChangeCollector, GapsOfSevenJoinAndGapsOfEightSplit) {
    Bytes original(40, 0);
    Bytes sevenApart = original, eightApart = original;
    sevenApart[10] = sevenApart[18] = 1;
    eightApart[10] = eightApart[19] = 1;
    Result joined = compareByteByByte(original, sevenApart);
    Result split = compareByteByByte(original, eightApart);
    EXPECT_EQ(joined.offsets, std::vector<std::uint32_t>({10}));
    EXPECT_EQ(joined.total, 9u);
    EXPECT_EQ(split.offsets, std::vector<std::uint32_t>({10, 19}));
    EXPECT_EQ(split.total, 2u);
    std::mt19937 random(1);
    EXPECT_TRUE(collectInChunks(original, sevenApart, random, 3) == joined);
    EXPECT_TRUE(collectInChunks(original, eightApart, random, 3) == split);
}

TEST(ChangeCollector, FirstDifferenceFindsTheEarliestChangedByte) {
    Bytes a(1000, 0x5A);
    for (std::size_t at : {0u, 1u, 7u, 8u, 255u, 256u, 257u, 999u}) {
        Bytes b = a;
        b[at] ^= 0x80;
        EXPECT_EQ(firstDifference(a.data(), b.data(), a.size()), at);
        EXPECT_EQ(firstDifference(a.data(), b.data(), at), at); // equal up to the end
    }
}

} // namespace
