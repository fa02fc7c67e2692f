#include "create/record_writer.h"

#include "patch/checksum.h"
#include "support/blocks.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// The records the writer must give: those of the byte-by-byte comparison.
std::string expectedRecords(const std::string& a, const std::string& b, PatchFormat format,
                            std::uint64_t& blocks, std::uint64_t& bytes) {
    std::string records;
    blocks = bytes = 0;
    for (const ChangedSpan& span : changedSpans(a, b)) {
        records += format == PatchFormat::First ? le32(static_cast<std::uint32_t>(span.offset)) +
                                                      le32(static_cast<std::uint32_t>(span.length))
                                                : le64(span.offset) + le64(span.length);
        records += a.substr(span.offset, span.length) + b.substr(span.offset, span.length);
        ++blocks;
        bytes += span.length;
    }
    return records;
}

// Random pairs fed in windows of random sizes, some stretches of equal bytes passed over unread
// (as holes in both files are), with so little kept that long blocks are written as found and
// their heads filled in afterwards, in the buffer or in the file: the records, the totals and the
// checksum are those of the byte-by-byte comparison.
TEST(RecordWriter, WritesTheRecordsOfTheByteByByteComparisonInAnyWindows) {
    ScratchFolder folder;
    std::mt19937 random(26);
    for (int round = 0; round < 160; ++round) {
        // The last rounds have a block longer than the sink's buffer.
        bool large = round >= 150;
        std::size_t size = large ? 700 * 1024 + round
                                 : std::uniform_int_distribution<std::size_t>(0, 3000)(random);
        std::string a(size, '\0');
        for (char& byte : a)
            byte = static_cast<char>(random() % 4 == 0 ? 0 : random());
        std::string b = a;
        int spacing = 2 + round % 24;
        for (std::size_t i = 0; i < size; ++i) {
            bool run = (round % 3 == 0 || large) && i > size / 4 && i < size / 4 * 3;
            if (run || random() % spacing == 0)
                b[i] = static_cast<char>(b[i] + 1 + random() % 255);
        }
        writeFile(folder / "b", b);
        platform::File patched = platform::openForReading(folder / "b");
        ASSERT_TRUE(platform::isOpen(patched));
        for (PatchFormat format : {PatchFormat::First, PatchFormat::Second}) {
            SCOPED_TRACE("round " + std::to_string(round) +
                         (format == PatchFormat::First ? ", first format" : ", second format"));
            platform::File out = platform::openFile(folder / "out", platform::Access::ReadWrite,
                                                    platform::Disposition::CreateOrEmpty, 0);
            ByteSink sink = sinkToFile(out);
            sink.positioned = true;
            // In the second format a checksum sees every byte; in the first, a long block's new
            // bytes are copied from file to file.
            RunningChecksum checksum;
            if (format == PatchFormat::Second)
                sink.checksum = &checksum;
            RecordWriter writer;
            writer.format = format;
            writer.sink = &sink;
            writer.patched = &patched;
            writer.keepLimit = 1 + round % 40 * 7;
            const std::uint8_t* original = reinterpret_cast<const std::uint8_t*>(a.data());
            const std::uint8_t* changed = reinterpret_cast<const std::uint8_t*>(b.data());
            std::size_t largest = large ? 300 * 1024 : 1 + round % 50 * 13;
            for (std::size_t at = 0; at < size;) {
                std::size_t equal = 0;
                while (at + equal < size && a[at + equal] == b[at + equal])
                    ++equal;
                if (equal >= 8 && random() % 2 == 0) {
                    skipEqual(writer, at);
                    at += equal;
                    continue;
                }
                std::size_t count = std::min<std::size_t>(1 + random() % largest, size - at);
                writeClosedBlocks(writer, original + at, changed + at, count, at);
                keepOpenBlock(writer, original + at, changed + at, count, at);
                at += count;
            }
            finishRecords(writer, size);
            ASSERT_TRUE(flushSink(sink));
            std::uint64_t blocks = 0;
            std::uint64_t bytes = 0;
            const std::string expected = expectedRecords(a, b, format, blocks, bytes);
            ASSERT_TRUE(readFile(folder / "out") == expected);
            EXPECT_EQ(writer.blocks, blocks);
            EXPECT_EQ(writer.bytes, bytes);
            EXPECT_EQ(sink.position, expected.size());
            if (format == PatchFormat::Second) {
                EXPECT_EQ(checksum.value(), checksumOf(expected.data(), expected.size()));
            }
        }
    }
}

} // namespace
