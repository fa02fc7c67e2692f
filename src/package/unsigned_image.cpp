#include "package/unsigned_image.h"

#include "package/embedded_patch.h"

#include <vector>

bool readUnsignedImage(const platform::File& file, std::uint64_t size, UnsignedImage& image) {
    image = UnsignedImage();
    image.size = size;
    ByteSource headers = sourceFromFile(file, size);
    if (!findCertificateTable(headers, image.table))
        return !headers.failed;
    image.wasSigned = true;
    image.size = image.table.start;
    // Zero bytes of alignment cannot be told apart from zero bytes at the end of the image, except
    // behind a patch's trailer; a linked image's own size is a multiple of 512 and needs none.
    EmbeddedPatchTrailer trailer;
    if (findEmbeddedPatch(file, size, trailer) && trailer.patchEnd + 4 <= image.size)
        image.size = trailer.patchEnd + 4;

    // The checksum the image had before signing, as the linker wrote it.
    ByteSource source = sourceFromFile(file, image.size);
    PeChecksum checksum;
    // Every piece but the last is 64 KiB, of even length as the checksum needs.
    bool read =
        readInPieces(source, [&](std::uint8_t* bytes, std::size_t count, std::uint64_t offset) {
            unsignFields(image.table, 0, offset, bytes, count);
            addToChecksum(checksum, bytes, count);
            return true;
        });
    if (!read)
        return false;
    image.checksum = checksumValue(checksum);
    return true;
}

void unsignBytes(const UnsignedImage& image, std::uint64_t offset, std::uint8_t* bytes,
                 std::size_t count) {
    if (image.wasSigned)
        unsignFields(image.table, image.checksum, offset, bytes, count);
}
