// Windows executables (PE images): the header fields that a code signature changes. Signing
// appends a certificate table, after zero bytes that align it to 8 bytes, and points the
// certificate-table entry of the optional header's data directory (entry 4, whose address is a
// file offset, not a memory address) at it; it also updates the image's checksum.
#pragma once

#include "patch/byte_stream.h"

#include <cstddef>
#include <cstdint>

struct CertificateTable {
    std::uint64_t start = 0;          // file offset of the table, which runs to the end of the file
    std::uint64_t entryOffset = 0;    // file offset of the certificate-table entry (8 bytes)
    std::uint64_t checksumOffset = 0; // file offset of the optional header's checksum (4 bytes)
};

// True when the whole file behind `source` is a PE image (PE32 or PE32+) whose
// certificate-table entry is not zero and describes a table that ends exactly at the end of the
// file. Every offset and size taken from the headers is checked against the file's size first.
bool findCertificateTable(ByteSource& source, CertificateTable& table);

// True when the file behind `source` is a PE image whose headers and section table lie in the
// file; `end` then receives where the image the headers describe ends: the furthest end of the
// headers, of the sections' raw data, and of the COFF symbol and string tables that a build not
// stripped carries after them, each bounded by the file's size. (A certificate table is no part
// of it.)
bool findSectionsEnd(ByteSource& source, std::uint64_t& end);

const std::uint64_t MAX_ALIGNMENT_ZEROS = 7;

// How many zero bytes, at most MAX_ALIGNMENT_ZEROS, come right before `offset`.
std::uint64_t zerosBefore(ByteSource& source, std::uint64_t offset);

// Gives `bytes`, which hold the file's bytes from `offset` on, the values an unsigned image has:
// the certificate-table entry zero and the checksum `checksum`.
void unsignFields(const CertificateTable& table, std::uint32_t checksum, std::uint64_t offset,
                  std::uint8_t* bytes, std::size_t count);

// The image checksum as Windows computes it: the file's 16-bit little-endian words (an odd last
// byte taken as a word of its own) summed with the carry folded back in, plus the file's length.
// The checksum field counts as zero, so the bytes are handed in with it set to zero.
struct PeChecksum {
    std::uint32_t sum = 0;
    std::uint64_t length = 0;
};

// Adds the next `count` bytes of the file; every piece but the last must be of even length.
void addToChecksum(PeChecksum& checksum, const std::uint8_t* bytes, std::size_t count);
std::uint32_t checksumValue(const PeChecksum& checksum);
