#include "patch/patch_format.h"

#include "patch/checksum.h"
#include "patch/little_endian.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

bool readMagic(ByteSource& source, PatchFormat* format) {
    char magic[PATCH_MAGIC_SIZE];
    if (readBytes(source, magic, PATCH_MAGIC_SIZE) != PATCH_MAGIC_SIZE)
        return false;
    bool first = std::memcmp(magic, FIRST_FORMAT_MAGIC, PATCH_MAGIC_SIZE) == 0;
    if (!first && std::memcmp(magic, SECOND_FORMAT_MAGIC, PATCH_MAGIC_SIZE) != 0)
        return false;
    if (format != nullptr)
        *format = first ? PatchFormat::First : PatchFormat::Second;
    return true;
}

void writeU32(ByteSink& sink, std::uint32_t value) {
    std::uint8_t bytes[4];
    storeLe32(bytes, value);
    writeBytes(sink, bytes, sizeof bytes);
}

void writeU64(ByteSink& sink, std::uint64_t value) {
    std::uint8_t bytes[8];
    storeLe32(bytes, static_cast<std::uint32_t>(value));
    storeLe32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
    writeBytes(sink, bytes, sizeof bytes);
}

std::uint32_t readU32(ByteSource& source) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    readBytes(source, bytes, sizeof bytes);
    return loadLe32(bytes);
}

std::uint64_t readU64(ByteSource& source) {
    std::uint64_t low = readU32(source);
    return low | std::uint64_t(readU32(source)) << 32;
}

void writeCountedString(ByteSink& sink, const std::string& text) {
    writeU32(sink, static_cast<std::uint32_t>(text.size()));
    writeBytes(sink, text.data(), text.size());
}

bool readCountedString(ByteSource& source, std::string& text) {
    std::uint32_t length = readU32(source);
    if (length > remaining(source))
        return false;
    text.assign(length, '\0');
    readBytes(source, &text[0], length);
    return true;
}

namespace {
// Dense patches have millions of short records: those go to the sink in one piece.
const std::size_t SHORT_RECORD = 64;

// The head in the format's widths; returns its size.
std::size_t storeRecordHead(std::uint8_t* head, PatchFormat format, std::uint64_t offset,
                            std::uint64_t length) {
    if (format == PatchFormat::First) {
        storeLe32(head, static_cast<std::uint32_t>(offset));
        storeLe32(head + 4, static_cast<std::uint32_t>(length));
        return 8;
    }
    for (int k = 0; k < 2; ++k) {
        std::uint64_t value = k == 0 ? offset : length;
        storeLe32(head + 8 * k, static_cast<std::uint32_t>(value));
        storeLe32(head + 8 * k + 4, static_cast<std::uint32_t>(value >> 32));
    }
    return 16;
}

void writeRecord(ByteSink& sink, PatchFormat format, std::uint64_t offset,
                 const std::uint8_t* original, const std::uint8_t* patched, std::size_t length) {
    std::uint8_t record[16 + 2 * SHORT_RECORD];
    std::size_t head = storeRecordHead(record, format, offset, length);
    if (length <= SHORT_RECORD) {
        if (length > 0) {
            std::memcpy(record + head, original, length);
            std::memcpy(record + head + length, patched, length);
        }
        writeBytes(sink, record, head + 2 * length);
        return;
    }
    writeBytes(sink, record, head);
    writeBytes(sink, original, length);
    writeBytes(sink, patched, length);
}
} // namespace

void writeRecordHead(ByteSink& sink, PatchFormat format, std::uint64_t offset,
                     std::uint64_t length) {
    std::uint8_t head[16];
    writeBytes(sink, head, storeRecordHead(head, format, offset, length));
}

void writeBlock(ByteSink& sink, const PatchBlock& block, PatchFormat format) {
    writeRecord(sink, format, block.offset, block.originalBytes, block.patchedBytes,
                block.length());
}

bool readRecordHead(ByteSource& source, PatchFormat format, std::uint64_t end,
                    std::uint64_t& offset, std::size_t& length) {
    end = std::min(end, source.size);
    if (source.position > end || end - source.position < recordHeadSize(format))
        return false;
    bool small = format == PatchFormat::First;
    offset = small ? readU32(source) : readU64(source);
    std::uint64_t stated = small ? readU32(source) : readU64(source);
    length = static_cast<std::size_t>(stated);
    return stated <= (end - source.position) / 2;
}

void readRecordInto(ByteSource& source, BlockList& blocks, std::uint64_t offset,
                    std::size_t length) {
    std::uint8_t* original;
    std::uint8_t* patched;
    blocks.openBlock(offset);
    blocks.extendBlock(length, original, patched);
    readBytes(source, original, length);
    readBytes(source, patched, length);
    blocks.closeBlock();
}

HeaderStatus readPatchHeader(ByteSource& source, PatchHeader& header) {
    if (!readMagic(source, &header.format))
        return HeaderStatus::WrongMagic;
    if (!readCountedString(source, header.targetName))
        return HeaderStatus::BadLength;
    for (char c : header.targetName) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return HeaderStatus::BadName;
    }
    header.fileSize = header.format == PatchFormat::First ? readU32(source) : readU64(source);
    if (!readCountedString(source, header.message))
        return HeaderStatus::BadLength;
    return HeaderStatus::Valid;
}

bool blocksAreDisjoint(const BlockList& blocks) {
    // Creation writes blocks in ascending order, so one pass settles it; only a list in
    // another order pays for sorting its ranges.
    std::uint64_t end = 0;
    bool ascending = true;
    for (const PatchBlock& block : blocks) {
        if (block.length() == 0)
            continue;
        if (block.offset < end) {
            ascending = false;
            break;
        }
        end = std::uint64_t(block.offset) + block.length();
    }
    if (ascending)
        return true;
    GrowableArray<BlockRange> ranges;
    for (const PatchBlock& block : blocks) {
        if (block.length() != 0)
            ranges.push_back(BlockRange{block.offset, block.size});
    }
    return rangesAreDisjoint(ranges);
}

bool rangesAreDisjoint(GrowableArray<BlockRange>& ranges) {
    if (ranges.size() < 2)
        return true;
    // The C library's qsort: it costs the Windows executable nothing, std::sort a kilobyte.
    std::qsort(ranges.data(), ranges.size(), sizeof(BlockRange), [](const void* a, const void* b) {
        std::uint64_t first = static_cast<const BlockRange*>(a)->start;
        std::uint64_t second = static_cast<const BlockRange*>(b)->start;
        return first < second ? -1 : first > second ? 1 : 0;
    });
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].start < ranges[i - 1].start + ranges[i - 1].length)
            return false;
    }
    return true;
}

void writePatchHeader(ByteSink& sink, const PatchHeader& header, PatchFormat format) {
    bool first = format == PatchFormat::First;
    writeBytes(sink, first ? FIRST_FORMAT_MAGIC : SECOND_FORMAT_MAGIC, PATCH_MAGIC_SIZE);
    writeCountedString(sink, header.targetName);
    if (first)
        writeU32(sink, static_cast<std::uint32_t>(header.fileSize));
    else
        writeU64(sink, header.fileSize);
    writeCountedString(sink, header.message);
}

void writePatchEnd(ByteSink& sink, PatchFormat format) {
    if (format == PatchFormat::First)
        return;
    writeRecordHead(sink, format, END_RECORD_OFFSET, 0);
    // The checksum covers the end record too, and not itself.
    std::uint64_t checksum = sink.checksum->value();
    sink.checksum = nullptr;
    writeU64(sink, checksum);
}

void writePatch(ByteSink& sink, const PatchHeader& header, const BlockList& blocks,
                PatchFormat format) {
    writePatchHeader(sink, header, format);
    for (const PatchBlock& block : blocks)
        writeBlock(sink, block, format);
    writePatchEnd(sink, format);
}
