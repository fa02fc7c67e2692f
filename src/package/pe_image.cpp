#include "package/pe_image.h"

#include "patch/little_endian.h"

#include <algorithm>

namespace {

// Offsets in the headers, as the PE format defines them.
const std::uint64_t DOS_HEADER_SIZE = 64;
const std::uint64_t NEW_HEADER_OFFSET_FIELD = 0x3C; // in the DOS header: where "PE\0\0" is
const std::uint64_t FILE_HEADER_SIZE = 4 + 20;      // "PE\0\0" and the COFF file header
const std::uint64_t OPTIONAL_HEADER_SIZE_FIELD = 4 + 16;
const std::uint16_t PE32_MAGIC = 0x10B;
const std::uint16_t PE32_PLUS_MAGIC = 0x20B;
const std::uint64_t CHECKSUM_FIELD = 64; // in the optional header, for both kinds
const std::uint64_t ENTRY_SIZE = 8;      // address and size of one data-directory entry
const std::uint32_t CERTIFICATE_ENTRY = 4;

// Reads `count` (at most 4) bytes little-endian at `offset`; false when the file ends first.
bool readValue(ByteSource& source, std::uint64_t offset, std::size_t count, std::uint32_t& value) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    source.position = offset;
    if (offset > source.size || readBytes(source, bytes, count) != count)
        return false;
    value = loadLe32(bytes);
    return true;
}

// Sets to `value` the bytes of the field [field, field + size) that fall into `bytes`.
void setField(std::uint64_t field, std::uint64_t size, std::uint64_t value, std::uint64_t offset,
              std::uint8_t* bytes, std::size_t count) {
    for (std::uint64_t k = 0; k < size; ++k) {
        if (field + k >= offset && field + k - offset < count)
            bytes[field + k - offset] = static_cast<std::uint8_t>(value >> (8 * k));
    }
}

} // namespace

bool findCertificateTable(ByteSource& source, CertificateTable& table) {
    std::uint32_t value = 0;
    if (source.size < DOS_HEADER_SIZE || !readValue(source, 0, 2, value) || value != 0x5A4D ||
        !readValue(source, NEW_HEADER_OFFSET_FIELD, 4, value))
        return false;
    // 64-bit sums of 32-bit fields cannot wrap; every read below is bounded by the file's size.
    const std::uint64_t peHeader = value;
    if (!readValue(source, peHeader, 4, value) || value != 0x00004550) // "PE\0\0"
        return false;
    std::uint32_t optionalSize = 0;
    if (!readValue(source, peHeader + OPTIONAL_HEADER_SIZE_FIELD, 2, optionalSize))
        return false;
    const std::uint64_t optional = peHeader + FILE_HEADER_SIZE;
    if (optional + optionalSize > source.size || !readValue(source, optional, 2, value))
        return false;
    // The data directory follows the fixed fields, which are longer in PE32+.
    std::uint64_t directory = 0;
    if (value == PE32_MAGIC)
        directory = 96;
    else if (value == PE32_PLUS_MAGIC)
        directory = 112;
    else
        return false;
    const std::uint64_t entry = optional + directory + CERTIFICATE_ENTRY * ENTRY_SIZE;
    std::uint32_t entries = 0, start = 0, size = 0;
    if (entry + ENTRY_SIZE > optional + optionalSize ||
        !readValue(source, optional + directory - 4, 4, entries) || entries <= CERTIFICATE_ENTRY ||
        !readValue(source, entry, 4, start) || !readValue(source, entry + 4, 4, size))
        return false;
    if (start == 0 || size == 0 || std::uint64_t(start) + size != source.size)
        return false;
    table.start = start;
    table.entryOffset = entry;
    table.checksumOffset = optional + CHECKSUM_FIELD;
    return true;
}

bool findSectionsEnd(ByteSource& source, std::uint64_t& end) {
    const std::uint64_t SECTION_SIZE = 40, SYMBOL_SIZE = 18;
    std::uint32_t value = 0, sections = 0, symbols = 0, symbolTable = 0, optionalSize = 0;
    if (source.size < DOS_HEADER_SIZE || !readValue(source, 0, 2, value) || value != 0x5A4D ||
        !readValue(source, NEW_HEADER_OFFSET_FIELD, 4, value))
        return false;
    const std::uint64_t peHeader = value;
    if (!readValue(source, peHeader, 4, value) || value != 0x00004550 || // "PE\0\0"
        !readValue(source, peHeader + 6, 2, sections) ||
        !readValue(source, peHeader + 12, 4, symbolTable) ||
        !readValue(source, peHeader + 16, 4, symbols) ||
        !readValue(source, peHeader + OPTIONAL_HEADER_SIZE_FIELD, 2, optionalSize) ||
        !readValue(source, peHeader + FILE_HEADER_SIZE + 60, 4, value)) // SizeOfHeaders
        return false;
    const std::uint64_t table = peHeader + FILE_HEADER_SIZE + optionalSize;
    if (table + sections * SECTION_SIZE > source.size)
        return false;
    // Sums of 32-bit fields in 64 bits cannot wrap; each end is bounded by the file's size.
    end = value;
    for (std::uint64_t k = 0; k < sections; ++k) {
        std::uint32_t rawSize = 0, rawStart = 0;
        if (!readValue(source, table + k * SECTION_SIZE + 16, 4, rawSize) ||
            !readValue(source, table + k * SECTION_SIZE + 20, 4, rawStart))
            return false;
        if (rawSize != 0)
            end = std::max<std::uint64_t>(end, std::uint64_t(rawStart) + rawSize);
    }
    if (symbolTable != 0) {
        // The string table follows the symbols; its first four bytes give its size.
        std::uint64_t strings = symbolTable + symbols * SYMBOL_SIZE;
        std::uint32_t stringsSize = 0;
        end = std::max(end, strings);
        if (readValue(source, strings, 4, stringsSize))
            end = std::max(end, strings + stringsSize);
    }
    end = std::min(end, source.size);
    return true;
}

std::uint64_t zerosBefore(ByteSource& source, std::uint64_t offset) {
    std::uint64_t zeros = 0;
    std::uint32_t byte = 0;
    while (zeros < MAX_ALIGNMENT_ZEROS && zeros < offset &&
           readValue(source, offset - zeros - 1, 1, byte) && byte == 0)
        ++zeros;
    return zeros;
}

void unsignFields(const CertificateTable& table, std::uint32_t checksum, std::uint64_t offset,
                  std::uint8_t* bytes, std::size_t count) {
    setField(table.entryOffset, ENTRY_SIZE, 0, offset, bytes, count);
    setField(table.checksumOffset, 4, checksum, offset, bytes, count);
}

void addToChecksum(PeChecksum& checksum, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t k = 0; k < count; k += 2) {
        std::uint32_t word = bytes[k];
        if (k + 1 < count)
            word |= static_cast<std::uint32_t>(bytes[k + 1]) << 8;
        checksum.sum += word;
        checksum.sum = (checksum.sum & 0xFFFF) + (checksum.sum >> 16);
    }
    checksum.length += count;
}

std::uint32_t checksumValue(const PeChecksum& checksum) {
    return static_cast<std::uint32_t>(checksum.sum + checksum.length);
}
