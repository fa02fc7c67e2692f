// The patch file: "PATCH1", the target name (counted), the target size, the message
// (counted), then block records (offset, length, old bytes, new bytes) up to the end of the
// file. Every integer is unsigned 32-bit little-endian.
#pragma once

#include "patch/byte_stream.h"
#include "patch/patch_block.h"

#include <cstdint>
#include <string>

const std::size_t PATCH_MAGIC_SIZE = 6;

// True when the six bytes read are exactly "PATCH1"; a short read never matches.
bool readMagic(ByteSource& source);

void writeU32(ByteSink& sink, std::uint32_t value);
// Reads four bytes little-endian into a value preset to 0; a short read leaves the bytes that
// were not delivered at 0.
std::uint32_t readU32(ByteSource& source);

void writeCountedString(ByteSink& sink, const std::string& text);
// False when the stored length is larger than what is left of the source; nothing is then
// allocated.
bool readCountedString(ByteSource& source, std::string& text);

void writeBlock(ByteSink& sink, const PatchBlock& block);
// Reads a record's offset and length; false when the record, its bytes included, runs past
// the end of the source.
bool readRecordHead(ByteSource& source, std::uint64_t& offset, std::size_t& length);
// Reads the two sides of the record whose head was just read straight into the list's stores,
// as its new last block, trimmed.
void readRecordInto(ByteSource& source, BlockList& blocks, std::uint64_t offset,
                    std::size_t length);

struct PatchHeader {
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
void writePatchHeader(ByteSink& sink, const PatchHeader& header);
void writePatch(ByteSink& sink, const PatchHeader& header, const BlockList& blocks);
