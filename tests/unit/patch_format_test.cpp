#include "patch/patch_format.h"

#include "patch/checksum.h"
#include "support/blocks.h"
#include "support/files.h"
#include "support/patterned_bytes.h"

#include <gtest/gtest.h>

namespace {

std::string written(const ByteSink& sink) {
    return std::string(sink.buffer.begin(), sink.buffer.end());
}

ByteSource sourceOf(const std::string& bytes) {
    return sourceFromBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

using namespace std::string_literals;

TEST(PatchFormat, WritesCountedStringsAndBlocksLittleEndian) {
    ByteSink sink;
    writeCountedString(sink, "ab\0c"s);
    writeCountedString(sink, "");
    writeBlock(sink, blockOf(0x01020304, {0xAA, 0x00}, {0xBB, 0x0A}));
    EXPECT_EQ(written(sink), "\x04\0\0\0ab\0c"s
                             "\0\0\0\0"s
                             "\x04\x03\x02\x01\x02\0\0\0\xAA\0\xBB\x0A"s);
}

TEST(PatchFormat, IntegersKeepAllFourBytes) {
    for (std::uint32_t value : {0x01020304u, 0xFF000001u, 0x80000000u, 0x00FFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(value);
        ByteSink sink;
        writeU32(sink, value);
        EXPECT_EQ(written(sink), le32(value));
        ByteSource source = sourceOf(le32(value));
        EXPECT_EQ(readU32(source), value);
    }
}

TEST(PatchFormat, WritesWholePatchInOrder) {
    PatchHeader header;
    header.targetName = "dir/a.bin";
    header.fileSize = 300;
    header.message = "hi\n";
    BlockList blocks;
    ModelBlock first = blockOf(5, {1}, {2});
    ModelBlock second = blockOf(0x100, {3, 4}, {5, 6});
    appendTo(blocks, first);
    appendTo(blocks, second);
    ByteSink sink;
    writePatch(sink, header, blocks);
    EXPECT_EQ(written(sink), "PATCH1\x09\0\0\0dir/a.bin\x2C\x01\0\0\x03\0\0\0hi\n"s
                             "\x05\0\0\0\x01\0\0\0\x01\x02"s
                             "\0\x01\0\0\x02\0\0\0\x03\x04\x05\x06"s);
}

// The second format: 64-bit size, offsets and lengths, the end record, and the checksum of every
// byte before it; a record's head can be written on its own, as a long block's is.
TEST(PatchFormat, WritesTheSecondFormatWithItsEndAndChecksum) {
    PatchHeader header;
    header.targetName = "a.img";
    header.fileSize = 0x123456789ull;
    header.message = "m";
    BlockList blocks;
    ModelBlock low = blockOf(0xFFFFFFFFu, {1}, {2});
    ModelBlock high = blockOf(0x100000002ull, {3, 4}, {5, 6});
    appendTo(blocks, low);
    appendTo(blocks, high);
    ByteSink sink;
    RunningChecksum checksum;
    sink.checksum = &checksum;
    writePatch(sink, header, blocks, PatchFormat::Second);
    std::string body = "PATCH2\x05\0\0\0a.img\x89\x67\x45\x23\x01\0\0\0\x01\0\0\0m"s
                       "\xFF\xFF\xFF\xFF\0\0\0\0\x01\0\0\0\0\0\0\0\x01\x02"s
                       "\x02\0\0\0\x01\0\0\0\x02\0\0\0\0\0\0\0\x03\x04\x05\x06"s
                       "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\0\0\0\0\0\0\0\0"s;
    std::uint64_t sum = checksumOf(body.data(), body.size());
    for (int k = 0; k < 8; ++k)
        body += static_cast<char>(sum >> (8 * k));
    EXPECT_EQ(written(sink), body);
    EXPECT_EQ(sink.position, body.size());

    ByteSink heads;
    writeRecordHead(heads, PatchFormat::First, 0x01020304, 5);
    writeRecordHead(heads, PatchFormat::Second, 0x0102030405060708ull, 0x1122334455ull);
    writeU64(heads, 0x8000000000000001ull);
    EXPECT_EQ(written(heads), "\x04\x03\x02\x01\x05\0\0\0"s
                              "\x08\x07\x06\x05\x04\x03\x02\x01\x55\x44\x33\x22\x11\0\0\0"s
                              "\x01\0\0\0\0\0\0\x80"s);
    EXPECT_EQ(formatForSize(0xFFFFFFFFull), PatchFormat::First);
    EXPECT_EQ(formatForSize(0x100000000ull), PatchFormat::Second);
}

TEST(PatchFormat, ReadsHeaderBackAndChecksMagic) {
    struct Case {
        std::string bytes;
        HeaderStatus status;
    };
    const Case cases[] = {
        {"PATCH1\x01\0\0\0a\x10\0\0\0\x02\0\0\0m\0"s, HeaderStatus::Valid},
        {"PATCH1"s, HeaderStatus::Valid}, // everything else reads as empty
        {"PATCH3\0\0\0\0"s, HeaderStatus::WrongMagic},
        {"PATCH2\0\0\0\0"s, HeaderStatus::Valid}, // the second format
        {"patch1\0\0\0\0"s, HeaderStatus::WrongMagic},
        {"PATCH"s, HeaderStatus::WrongMagic},
        {""s, HeaderStatus::WrongMagic},
        {"PATCH1\xFF\xFF\xFF\xFF"s, HeaderStatus::BadLength},
        {"PATCH1\x02\0\0\0a"s, HeaderStatus::BadLength},
        {"PATCH1\0\0\0\0\0\0\0\0\x05\0\0\0abcd"s, HeaderStatus::BadLength},
        {"PATCH1\x05\0\0\0a\x1B[2K"s, HeaderStatus::BadName},
        {"PATCH1\x03\0\0\0a\rb"s, HeaderStatus::BadName},
        {"PATCH1\x03\0\0\0a\nb"s, HeaderStatus::BadName},
        {"PATCH1\x03\0\0\0a\0b"s, HeaderStatus::BadName},
        {"PATCH1\x01\0\0\0\x1F"s, HeaderStatus::BadName},
        {"PATCH1\x01\0\0\0\x7F"s, HeaderStatus::BadName},
        {"PATCH1\x04\0\0\0 ~\x80\xFF\0\0\0\0\0\0\0\0"s, HeaderStatus::Valid},
        {"PATCH1\0\0\0\0\0\0\0\0\xFF\xFF\xFF\xFF"s + std::string(100, 'x'),
         HeaderStatus::BadLength},
    };
    for (const Case& c : cases) {
        ByteSource source = sourceOf(c.bytes);
        PatchHeader header;
        EXPECT_EQ(readPatchHeader(source, header), c.status) << ::testing::PrintToString(c.bytes);
        // A stated length that the file cannot hold is never allocated.
        EXPECT_LT(header.targetName.capacity() + header.message.capacity(), 1000u);
    }
    ByteSource source = sourceOf(cases[0].bytes);
    PatchHeader header;
    ASSERT_EQ(readPatchHeader(source, header), HeaderStatus::Valid);
    EXPECT_EQ(header.targetName, "a");
    EXPECT_EQ(header.fileSize, 16u);
    EXPECT_EQ(header.message, "m\0"s);
}

TEST(PatchFormat, ACutOffLastRecordMakesTheBlocksInvalid) {
    ByteSink sink;
    writeBlock(sink, blockOf(7, {1, 2, 3}, {4, 2, 3}));
    writeBlock(sink, blockOf(20, {9, 9}, {8, 8}));
    const std::string records = written(sink);
    const std::size_t firstRecord = 8 + 2 * 3;

    ByteSource whole = sourceOf(records);
    BlockList blocks;
    EXPECT_EQ(collectBlocks(whole, blocks), BlocksStatus::Valid);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocksOf(blocks)[0].originalBytes, Bytes({1})); // trimmed as it entered the list
    EXPECT_EQ(blocksOf(blocks)[1].offset, 20u);
    EXPECT_EQ(blocksOf(blocks)[1].patchedBytes, Bytes({8, 8}));

    // Cut anywhere inside the second record: the bytes left over make the patch invalid.
    for (std::size_t cut = 1; cut < records.size() - firstRecord; ++cut) {
        ByteSource source = sourceOf(records.substr(0, records.size() - cut));
        BlockList some;
        EXPECT_EQ(collectBlocks(source, some), BlocksStatus::CutOff) << "cut " << cut;
    }
    ByteSource first = sourceOf(records.substr(0, firstRecord));
    BlockList one;
    EXPECT_EQ(collectBlocks(first, one), BlocksStatus::Valid);
    EXPECT_EQ(one.size(), 1u);
}

TEST(PatchFormat, BlocksThatShareAByteAreRefusedInAnyOrder) {
    struct Case {
        const char* what;
        std::vector<ModelBlock> blocks;
        BlocksStatus status;
    };
    // clang-format off
    const Case cases[] = {
        {"hello, then llo w", {blockOf(0, {'h', 'e', 'l', 'l', 'o'}, {'H', 'E', 'L', 'L', 'O'}),
                               blockOf(2, {'l', 'l', 'o', ' ', 'w'}, {'x', 'x', 'x', 'x', 'x'})},
         BlocksStatus::Overlapping},
        {"touching", {blockOf(0, {1, 2}, {3, 4}), blockOf(2, {1}, {2})}, BlocksStatus::Valid},
        {"out of order, apart", {blockOf(10, {1}, {2}), blockOf(0, {1}, {2}), blockOf(5, {1}, {2})},
         BlocksStatus::Valid},
        {"out of order, sharing the last byte", {blockOf(10, {1}, {2}), blockOf(0, {1}, {2}),
                                                 blockOf(9, {1, 1}, {2, 2})},
         BlocksStatus::Overlapping},
        {"same offset twice", {blockOf(4, {1}, {2}), blockOf(4, {1}, {2})}, BlocksStatus::Overlapping},
        {"empty blocks inside others", {blockOf(0, {1, 2, 3}, {4, 5, 6}), blockOf(1, {}, {}),
                                        blockOf(1, {7}, {7})},
         BlocksStatus::Valid},
        {"overlap only before trimming", {blockOf(0, {1, 2, 3}, {4, 2, 3}), blockOf(1, {1}, {2})},
         BlocksStatus::Valid},
        {"near the top of the offsets", {blockOf(0xFFFFFFFE, {1, 1}, {2, 2}), blockOf(0xFFFFFFFF, {1}, {2})},
         BlocksStatus::Overlapping},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ByteSink sink;
        for (const ModelBlock& block : c.blocks)
            writeBlock(sink, block);
        ByteSource source = sourceOf(written(sink));
        BlockList blocks;
        EXPECT_EQ(collectBlocks(source, blocks), c.status);
    }
}

TEST(PatchFormat, HostileBlockLengthsCostNoMemory) {
    const std::string hostile[] = {
        "\0\0\0\0\xFF\xFF\xFF\xFF"s, "\0\0\0\0\xFF\xFF\xFF\xFF"s + std::string(64, 'x'),
        "\0\0\0\0\x00\x00\x00\x80"s + std::string(64, 'x'),
        "\0\0\0\0\x03\0\0\0abcde"s, // one byte short
    };
    for (const std::string& bytes : hostile) {
        ByteSource source = sourceOf(bytes);
        ModelBlock block;
        EXPECT_FALSE(readBlock(source, block));
        EXPECT_LT(block.originalBytes.capacity() + block.patchedBytes.capacity(), 1000u);
        BlockList blocks;
        ByteSource again = sourceOf(bytes);
        EXPECT_EQ(collectBlocks(again, blocks), BlocksStatus::CutOff);
        EXPECT_EQ(blocks.size(), 0u);
    }
    std::string text;
    ByteSource source = sourceOf("\xFF\xFF\xFF\xFF"s);
    EXPECT_FALSE(readCountedString(source, text));
    EXPECT_LT(text.capacity(), 1000u);
}

TEST(PatchFormat, EqualBlocksReadBackAsEmptyAndStayInTheList) {
    ByteSource source = sourceOf("\x09\0\0\0\x02\0\0\0abab"s);
    BlockList blocks;
    collectBlocks(source, blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks.begin()->offset, 9u);
    EXPECT_EQ(blocks.begin()->length(), 0u);
}

TEST(PatchFormat, ReadsFromFilesInLargeAndSmallPieces) {
    ScratchFolder folder;
    const std::string bytes = patternedBytes(300000);
    writeFile(folder / "data",
              le32(3) + "abc" + le32(static_cast<std::uint32_t>(bytes.size())) + bytes + "tail");
    platform::File file = platform::openForReading(folder / "data");
    std::uint64_t size = 0;
    ASSERT_TRUE(platform::fileSize(file, size));
    ByteSource source = sourceFromFile(file, size);
    std::string small, large;
    EXPECT_TRUE(readCountedString(source, small));
    EXPECT_TRUE(readCountedString(source, large));
    EXPECT_EQ(small, "abc");
    EXPECT_TRUE(large == bytes);
    EXPECT_EQ(remaining(source), 4u);
    platform::closeFile(file);
}

} // namespace
