#include "package/embedded_patch.h"

#include "package/pe_image.h"
#include "patch/byte_stream.h"
#include "patch/patch_format.h"

#include <algorithm>
#include <vector>

namespace {

bool copyRange(const platform::File& from, std::uint64_t start, std::uint64_t end,
               const platform::File& to) {
    ByteSource source = sourceFromFile(from, end);
    source.position = start;
    return readInPieces(source, [&](const std::uint8_t* bytes, std::size_t count, std::uint64_t) {
        return platform::writeNext(to, bytes, count);
    });
}

// The trailer rule, for the file as if it ended after `size` bytes.
bool findPatchBefore(const platform::File& file, std::uint64_t size,
                     EmbeddedPatchTrailer& trailer) {
    if (size < 4)
        return false;
    ByteSource source = sourceFromFile(file, size);
    source.position = size - 4;
    std::uint32_t start = readU32(source);
    std::uint64_t end = size - 4;
    if (start == 0 || start >= end)
        return false;
    source.position = start;
    if (!readMagic(source))
        return false;
    trailer.patchStart = start;
    trailer.patchEnd = end;
    return true;
}

} // namespace

bool findEmbeddedPatch(const platform::File& file, std::uint64_t size,
                       EmbeddedPatchTrailer& trailer) {
    // Signing appends a certificate table after up to 7 zero bytes. Since a trailer may end in
    // zero bytes itself, every end from the table's start back over those zeros is tried. In a
    // signed file only the signed part is searched, never the table's own last bytes: a table
    // stretched over a second patch would otherwise hide that patch behind a valid signature.
    ByteSource source = sourceFromFile(file, size);
    CertificateTable table;
    if (!findCertificateTable(source, table))
        return findPatchBefore(file, size, trailer);
    std::uint64_t zeros = zerosBefore(source, table.start);
    for (std::uint64_t skipped = 0; skipped <= zeros; ++skipped) {
        if (findPatchBefore(file, table.start - skipped, trailer))
            return true;
    }
    return false;
}

std::string extractEmbeddedPatch(const std::string& ownPath, bool* carriesPatch) {
    if (carriesPatch != nullptr)
        *carriesPatch = false;
    platform::File own = platform::openForReading(ownPath);
    if (!platform::isOpen(own))
        return std::string();
    std::uint64_t size = 0;
    EmbeddedPatchTrailer trailer;
    std::string name;
    if (platform::fileSize(own, size) && findEmbeddedPatch(own, size, trailer)) {
        if (carriesPatch != nullptr)
            *carriesPatch = true;
        name = platform::createTemporaryFile();
    }
    if (!name.empty()) {
        platform::File copy = platform::openForWriting(name);
        bool copied =
            platform::isOpen(copy) && copyRange(own, trailer.patchStart, trailer.patchEnd, copy);
        // A short copy would pass for a patch whose last blocks were cut off: never use it.
        if (!platform::closeFile(copy) || !copied) {
            platform::removeFile(name);
            name.clear();
        }
    }
    return name;
}
