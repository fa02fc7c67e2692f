// The patch file: "PATCH1", the target name (counted), the target size, the message
// (counted), then block records (offset, length, old bytes, new bytes) up to the end of the
// file. Every integer is unsigned 32-bit little-endian.
//
// Files of 4 GiB or more get the second format: "PATCH2", the counted name, a 64-bit size, the
// counted message, block records with 64-bit offsets and lengths, an end record (offset
// END_RECORD_OFFSET, length 0) and the XXH3-64 checksum of every byte before it. Nothing
// follows the checksum.
#pragma once

#include "patch/byte_stream.h"
#include "patch/patch_block.h"

#include <cstdint>
#include <string>

const std::size_t PATCH_MAGIC_SIZE = 6;
const char FIRST_FORMAT_MAGIC[] = "PATCH1";
const char SECOND_FORMAT_MAGIC[] = "PATCH2";
const std::uint64_t END_RECORD_OFFSET = ~std::uint64_t(0);
// The smallest file size that takes the second format.
const std::uint64_t SECOND_FORMAT_SIZE = std::uint64_t(1) << 32;

enum class PatchFormat { First, Second };
inline PatchFormat formatForSize(std::uint64_t fileSize) {
    return fileSize < SECOND_FORMAT_SIZE ? PatchFormat::First : PatchFormat::Second;
}
// A record's offset and length take 8 bytes in the first format, 16 in the second.
inline std::size_t recordHeadSize(PatchFormat format) {
    return format == PatchFormat::First ? 8 : 16;
}

// The size of the second format's checksum, after its end record.
const std::size_t CHECKSUM_SIZE = 8;
// Anything larger is beyond what the systems' file calls take.
const std::uint64_t LARGEST_FILE_SIZE = (std::uint64_t(1) << 63) - 1;

// True when the six bytes read are exactly "PATCH1" or "PATCH2" (`format`, when given, receives
// which); a short read never matches.
bool readMagic(ByteSource& source, PatchFormat* format = nullptr);

void writeU32(ByteSink& sink, std::uint32_t value);
void writeU64(ByteSink& sink, std::uint64_t value);
// Reads four bytes little-endian into a value preset to 0; a short read leaves the bytes that
// were not delivered at 0.
std::uint32_t readU32(ByteSource& source);
std::uint64_t readU64(ByteSource& source);

void writeCountedString(ByteSink& sink, const std::string& text);
// False when the stored length is larger than what is left of the source; nothing is then
// allocated.
bool readCountedString(ByteSource& source, std::string& text);

// A record's offset and length, in the format's widths.
void writeRecordHead(ByteSink& sink, PatchFormat format, std::uint64_t offset,
                     std::uint64_t length);
void writeBlock(ByteSink& sink, const PatchBlock& block, PatchFormat format = PatchFormat::First);
// Reads a record's offset and length; false when the record, its bytes included, runs past
// `end` (the end of the records).
bool readRecordHead(ByteSource& source, PatchFormat format, std::uint64_t end,
                    std::uint64_t& offset, std::size_t& length);
inline bool readRecordHead(ByteSource& source, std::uint64_t& offset, std::size_t& length) {
    return readRecordHead(source, PatchFormat::First, source.size, offset, length);
}
// Reads the two sides of the record whose head was just read straight into the list's stores,
// as its new last block, trimmed.
void readRecordInto(ByteSource& source, BlockList& blocks, std::uint64_t offset,
                    std::size_t length);

struct PatchHeader {
    PatchFormat format = PatchFormat::First;
    std::string targetName;
    std::uint64_t fileSize = 0;
    std::string message;
};

// BadLength: a counted string runs past the end of the file. BadName: the target name holds a
// control byte (below 0x20, or 0x7F), which could forge console lines or hide the real name.
enum class HeaderStatus { Valid, WrongMagic, BadLength, BadName };

HeaderStatus readPatchHeader(ByteSource& source, PatchHeader& header);

// True when no two non-empty blocks of the list share a byte; the list may be in any order.
bool blocksAreDisjoint(const BlockList& blocks);
struct BlockRange {
    std::uint64_t start;
    std::uint64_t length;
};
// True when no two of the ranges share a byte; sorts them.
bool rangesAreDisjoint(GrowableArray<BlockRange>& ranges);
// Everything before the first block record.
void writePatchHeader(ByteSink& sink, const PatchHeader& header,
                      PatchFormat format = PatchFormat::First);
// Everything after the last block record: nothing in the first format; the end record and the
// checksum in the second, for which the sink must have carried a checksum from its first byte.
void writePatchEnd(ByteSink& sink, PatchFormat format);
void writePatch(ByteSink& sink, const PatchHeader& header, const BlockList& blocks,
                PatchFormat format = PatchFormat::First);
