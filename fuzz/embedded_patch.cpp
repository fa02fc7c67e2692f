// Embedded-patch detection over an arbitrary executable image. A patch is found exactly when
// the image is at least 4 bytes long, the little-endian value D of its last four bytes is
// greater than 0 and less than the size minus 4, and the six bytes at D are "PATCH1"; the
// extracted copy is then the bytes from D up to the trailer, and otherwise no file is left.
#include "fuzz_support.h"

#include "package/embedded_patch.h"
#include "platform/platform.h"

#include <cstring>

namespace {

std::string folder;
const char IMAGE_NAME[] = "image.bin";

// Written from the trailer rule alone.
bool referenceFind(const std::uint8_t* data, std::size_t size, std::size_t& start) {
    if (size < 4)
        return false;
    std::uint64_t trailer = size - 4;
    std::uint32_t value = static_cast<std::uint32_t>(data[trailer]) |
                          static_cast<std::uint32_t>(data[trailer + 1]) << 8 |
                          static_cast<std::uint32_t>(data[trailer + 2]) << 16 |
                          static_cast<std::uint32_t>(data[trailer + 3]) << 24;
    if (value == 0 || value >= trailer)
        return false;
    if (size - value < 6 || std::memcmp(data + value, "PATCH1", 6) != 0)
        return false;
    start = value;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = fuzz::enterScratchFolder("embedded_patch");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t start = 0;
    bool expected = referenceFind(data, size, start);

    std::string imagePath = folder + IMAGE_NAME;
    fuzz::writeFile(imagePath, data, size);

    platform::File image = platform::openForReading(imagePath);
    std::uint64_t imageSize = 0;
    if (!platform::isOpen(image) || !platform::fileSize(image, imageSize) || imageSize != size)
        fuzz::fail("cannot open the image");
    EmbeddedPatchTrailer trailer;
    bool found = findEmbeddedPatch(image, imageSize, trailer);
    platform::closeFile(image);
    if (found != expected)
        fuzz::fail(expected ? "a patch that the trailer points at was not found"
                            : "a patch was found where the trailer rule does not hold");
    if (found && (trailer.patchStart != start || trailer.patchEnd != size - 4))
        fuzz::fail("the patch was found at the wrong place");

    std::string copy = extractEmbeddedPatch(imagePath);
    if (copy.empty() == expected)
        fuzz::fail(expected ? "the embedded patch was not extracted"
                            : "a patch was extracted where the trailer rule does not hold");
    if (expected) {
        fuzz::Bytes content;
        if (!fuzz::readFile(copy, content))
            fuzz::fail("the extracted patch file is missing");
        if (content != fuzz::Bytes(data + start, data + size - 4))
            fuzz::fail("the extracted patch differs from the bytes between offset and trailer");
        std::remove(copy.c_str());
    }
    std::vector<std::string> left = fuzz::listFolder(folder);
    if (left.size() != 1 || left[0] != IMAGE_NAME)
        fuzz::fail("extraction left a file behind in the temporary folder");
    return 0;
}
