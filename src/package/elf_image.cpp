#include "package/elf_image.h"

#include <algorithm>

namespace {

// Reads `count` (at most 8) bytes little-endian at `offset`; false when the file ends first.
bool readField(ByteSource& source, std::uint64_t offset, std::size_t count, std::uint64_t& value) {
    std::uint8_t bytes[8] = {};
    source.position = offset;
    if (offset > source.size || readBytes(source, bytes, count) != count)
        return false;
    value = 0;
    for (std::size_t k = count; k-- > 0;)
        value = value << 8 | bytes[k];
    return true;
}

// Where the fields lie, in the 32-bit and the 64-bit layout.
struct Layout {
    std::size_t word;                                      // size of an offset or a size
    std::uint64_t programTable, sectionTable;              // in the file header
    std::uint64_t programEntrySize, programCount;          // in the file header
    std::uint64_t sectionEntrySize, sectionCount;          // in the file header
    std::uint64_t programOffset, programFileSize;          // in a program header
    std::uint64_t sectionType, sectionOffset, sectionSize; // in a section header
};
const Layout LAYOUT_32 = {4, 0x1C, 0x20, 0x2A, 0x2C, 0x2E, 0x30, 4, 16, 4, 16, 20};
const Layout LAYOUT_64 = {8, 0x20, 0x28, 0x36, 0x38, 0x3A, 0x3C, 8, 32, 4, 24, 32};
const std::uint64_t SHT_NOBITS = 8;

// Each entry of a table of `count` entries of `entrySize` bytes at `table`: `field` at `at` of
// `width` bytes and the file range it starts, whose size is at `sizeAt`, extend `end`. False
// when the table does not lie in the file.
template <typename Skip>
bool extendOverEntries(ByteSource& source, const Layout& layout, std::uint64_t table,
                       std::uint64_t entrySize, std::uint64_t count, std::uint64_t offsetAt,
                       std::uint64_t sizeAt, std::uint64_t& end, Skip skip) {
    if (count == 0)
        return true;
    if (table > source.size || entrySize == 0 || count > (source.size - table) / entrySize)
        return false;
    end = std::max(end, table + count * entrySize);
    for (std::uint64_t k = 0; k < count; ++k) {
        std::uint64_t entry = table + k * entrySize, offset = 0, size = 0;
        if (!readField(source, entry + offsetAt, layout.word, offset) ||
            !readField(source, entry + sizeAt, layout.word, size))
            return false;
        if (skip(entry) || size == 0)
            continue;
        // Bounded before they are added, so the sum cannot wrap.
        end = std::max(end, std::min(offset, source.size) + std::min(size, source.size));
    }
    return true;
}

} // namespace

bool findElfImageEnd(ByteSource& source, std::uint64_t& end) {
    std::uint64_t magic = 0, kind = 0;
    // "\x7F" "ELF", then the class (1: 32-bit, 2: 64-bit) and the byte order (1: little-endian).
    if (!readField(source, 0, 4, magic) || magic != 0x464C457F || !readField(source, 4, 2, kind) ||
        (kind != 0x0101 && kind != 0x0102))
        return false;
    const Layout& layout = kind == 0x0101 ? LAYOUT_32 : LAYOUT_64;
    std::uint64_t programs = 0, programSize = 0, programCount = 0;
    std::uint64_t sections = 0, sectionSize = 0, sectionCount = 0;
    if (!readField(source, layout.programTable, layout.word, programs) ||
        !readField(source, layout.sectionTable, layout.word, sections) ||
        !readField(source, layout.programEntrySize, 2, programSize) ||
        !readField(source, layout.programCount, 2, programCount) ||
        !readField(source, layout.sectionEntrySize, 2, sectionSize) ||
        !readField(source, layout.sectionCount, 2, sectionCount))
        return false;
    end = 0;
    bool read =
        extendOverEntries(source, layout, programs, programSize, programCount, layout.programOffset,
                          layout.programFileSize, end, [](std::uint64_t) { return false; }) &&
        extendOverEntries(source, layout, sections, sectionSize, sectionCount, layout.sectionOffset,
                          layout.sectionSize, end, [&](std::uint64_t entry) {
                              std::uint64_t type = 0;
                              return !readField(source, entry + layout.sectionType, 4, type) ||
                                     type == SHT_NOBITS;
                          });
    end = std::min(end, source.size);
    return read;
}
