#include "package/embedded_patch.h"

#ifndef _WIN32
#include "package/elf_image.h"
#endif
#include "package/pe_image.h"
#include "patch/byte_stream.h"
#include "patch/patch_format.h"
#include "services/console.h"

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

namespace {

// Where the image ends that the headers of a program for this system describe (Windows: PE,
// other systems: ELF; a self-applying patch carries a copy of the program, so neither carries
// the other's reader); any other file, or one whose headers cannot be read, ends at its end.
std::uint64_t imageEnd(ByteSource& source) {
    std::uint64_t end = 0;
#ifdef _WIN32
    bool found = findSectionsEnd(source, end);
#else
    bool found = findElfImageEnd(source, end);
#endif
    return found ? end : source.size;
}

} // namespace

OwnPatch findOwnPatch(const platform::File& file, std::uint64_t size,
                      EmbeddedPatchTrailer& trailer) {
    if (findEmbeddedPatch(file, size, trailer))
        return OwnPatch::Found;
    // In a signed file, only the bytes before its certificate table (and the zeros that align
    // it) can be beyond the image: the table itself is covered by no signature.
    ByteSource source = sourceFromFile(file, size);
    CertificateTable table;
    std::uint64_t limit = size;
    if (findCertificateTable(source, table))
        limit = table.start - zerosBefore(source, table.start);
    return imageEnd(source) < limit ? OwnPatch::Damaged : OwnPatch::None;
}

void examineOwnImage(const std::string& ownPath, OwnImage& image) {
    image.file = platform::openForReading(ownPath);
    std::uint64_t size = 0;
    image.patch = platform::isOpen(image.file) && platform::fileSize(image.file, size)
                      ? findOwnPatch(image.file, size, image.trailer)
                      : OwnPatch::None;
}

bool extractEmbeddedPatch(const OwnImage& image, TemporaryFile& copy) {
    if (!createTemporary(copy))
        return false;
    bool copied =
        copyRange(image.file, image.trailer.patchStart, image.trailer.patchEnd, copy.file);
    // A short copy would pass for a patch whose last blocks were cut off: never use it.
    if (!platform::closeFile(copy.file) || !copied) {
        removeTemporary(copy.name);
        copy.name.clear();
        return false;
    }
    return true;
}

bool extractEmbeddedPatch(const std::string& ownPath, TemporaryFile& copy) {
    OwnImage image;
    examineOwnImage(ownPath, image);
    return image.patch == OwnPatch::Found && extractEmbeddedPatch(image, copy);
}

void printEmbeddedHelp(const OwnImage& image) {
    ByteSource source = sourceFromFile(image.file, image.trailer.patchEnd);
    source.position = image.trailer.patchStart;
    PatchHeader header;
    HeaderStatus status = readPatchHeader(source, header);
    if (source.failed)
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (status != HeaderStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, "Not a valid patch file");
    platform::readNameFromPatch(header.targetName);
    printLine("Patch for file " + header.targetName + " (" + std::to_string(header.fileSize) +
              " bytes)");
    printLine("");
    printLine("Start it in the folder that holds the file:");
    printLine("\t(no arguments)\tApplies the patch.");
    printLine("\t--reverse\tReverses (undoes) the patch.");
    endProcess(EXIT_OK);
}
