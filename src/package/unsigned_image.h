// A signed executable is packaged as it was before it was signed, so that the output, which is
// signed as a whole, holds no signature that covers only a part of it.
#pragma once

#include "package/pe_image.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

struct UnsignedImage {
    std::uint64_t size = 0; // how many bytes of the file to copy
    bool wasSigned = false;
    CertificateTable table;     // when signed
    std::uint32_t checksum = 0; // when signed: the checksum of the copied bytes, unsigned
};

// What to copy of the executable `file` of `size` bytes: an unsigned file whole; a signed one
// up to its certificate table, or up to the end of a patch's trailer that the table follows
// after zero bytes of alignment. False when the file cannot be read.
bool readUnsignedImage(const platform::File& file, std::uint64_t size, UnsignedImage& image);

// Gives `bytes`, the file's bytes from `offset` on, their values in the unsigned image.
void unsignBytes(const UnsignedImage& image, std::uint64_t offset, std::uint8_t* bytes,
                 std::size_t count);
