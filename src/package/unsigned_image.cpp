#include "package/unsigned_image.h"

#include "package/embedded_patch.h"

#include <vector>

namespace {
const std::size_t CHECKSUM_CHUNK_SIZE =
    64 * 1024; // even, as every piece of a checksum but the last
} // namespace

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
    std::vector<std::uint8_t> chunk(CHECKSUM_CHUNK_SIZE);
    PeChecksum checksum;
    for (std::uint64_t offset = 0; offset < image.size;) {
        std::size_t got = readBytes(source, chunk.data(), chunk.size());
        if (source.failed || got == 0)
            return false;
        unsignFields(image.table, 0, offset, chunk.data(), got);
        addToChecksum(checksum, chunk.data(), got);
        offset += got;
    }
    image.checksum = checksumValue(checksum);
    return true;
}

void unsignBytes(const UnsignedImage& image, std::uint64_t offset, std::uint8_t* bytes,
                 std::size_t count) {
    if (image.wasSigned)
        unsignFields(image.table, image.checksum, offset, bytes, count);
}
