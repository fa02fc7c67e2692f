// Embedded-patch detection over an arbitrary executable image, and packaging from it. A patch
// is found exactly when the trailer rule holds: the image is at least 4 bytes long, the
// little-endian value D of its last four bytes is greater than 0 and less than the size minus
// 4, and the six bytes at D are "PATCH1" or "PATCH2"; the extracted copy is then the bytes from D
// up to the trailer, and otherwise no file is left. When the rule does not hold and the image is a
// PE image whose certificate-table entry (data-directory entry 4: file offset and size, both
// non-zero) describes a table that ends exactly at the end of the image, the rule is applied to
// the image as if it ended at the table's start, or 1 to 7 bytes before it when all the bytes
// passed over are zero, nearest first. Packaging copies an image whole, except a PE image with
// such a table: that is copied up to the table's start (or up to the end of the trailer found
// before it), with the entry zero and the checksum of what was copied.
#include "fuzz_support.h"

#include "package/embedded_patch.h"
#include "package/packaged_executable.h"
#include "platform/platform.h"

#include <cstring>

namespace {

std::string folder;
const char IMAGE_NAME[] = "image.bin";
const char PATCH_NAME[] = "patch.bin";
const char OUTPUT_NAME[] = "packaged.bin";
const char PATCH[] = "PATCH1 and eleven more";

std::uint32_t little(const std::uint8_t* data, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;)
        value = value << 8 | data[i];
    return value;
}

// Written from the trailer rule alone, for the first `size` bytes.
bool trailerRule(const std::uint8_t* data, std::size_t size, std::size_t& start) {
    if (size < 4)
        return false;
    std::uint64_t trailer = size - 4;
    std::uint32_t value = little(data + trailer, 4);
    if (value == 0 || value >= trailer)
        return false;
    if (size - value < 6 || (std::memcmp(data + value, "PATCH1", 6) != 0 &&
                             std::memcmp(data + value, "PATCH2", 6) != 0))
        return false;
    start = value;
    return true;
}

struct Table {
    std::size_t start = 0;
    std::size_t entry = 0;    // offset of the certificate-table entry
    std::size_t checksum = 0; // offset of the checksum field
};

// Written from the PE format: the DOS header's offset of "PE\0\0" at 0x3C; the file header's
// optional-header size at +20 of it; the optional header right after the 24 bytes of both, its
// magic 0x10B (data directory at +96) or 0x20B (at +112), the entry count in the 4 bytes before
// the directory, the checksum at +64.
bool referenceTable(const std::uint8_t* data, std::size_t size, Table& table) {
    if (size < 64 || data[0] != 'M' || data[1] != 'Z')
        return false;
    std::uint64_t pe = little(data + 0x3C, 4);
    if (pe + 24 > size || std::memcmp(data + pe, "PE\0\0", 4) != 0)
        return false;
    std::uint64_t optional = pe + 24;
    std::uint64_t optionalEnd = optional + little(data + pe + 20, 2);
    if (optionalEnd > size || optional + 2 > optionalEnd)
        return false;
    std::uint32_t magic = little(data + optional, 2);
    if (magic != 0x10B && magic != 0x20B)
        return false;
    std::uint64_t directory = optional + (magic == 0x10B ? 96 : 112);
    std::uint64_t entry = directory + 4 * 8;
    if (entry + 8 > optionalEnd || little(data + directory - 4, 4) < 5)
        return false;
    std::uint64_t start = little(data + entry, 4), length = little(data + entry + 4, 4);
    if (start == 0 || length == 0 || start + length != size)
        return false;
    table.start = static_cast<std::size_t>(start);
    table.entry = static_cast<std::size_t>(entry);
    table.checksum = static_cast<std::size_t>(optional + 64);
    return true;
}

// The whole detection; `end` is where the trailer ends. A signed file is searched only before
// its certificate table.
bool referenceFind(const std::uint8_t* data, std::size_t size, std::size_t& start,
                   std::size_t& end) {
    end = size;
    Table table;
    if (!referenceTable(data, size, table))
        return trailerRule(data, size, start);
    for (std::size_t skipped = 0; skipped <= 7 && skipped <= table.start; ++skipped) {
        if (skipped > 0 && data[table.start - skipped] != 0)
            return false;
        end = table.start - skipped;
        if (trailerRule(data, end, start))
            return true;
    }
    return false;
}

// The executable part of a packaged image.
fuzz::Bytes referencePackagedImage(const std::uint8_t* data, std::size_t size) {
    Table table;
    if (!referenceTable(data, size, table))
        return fuzz::Bytes(data, data + size);
    std::size_t start = 0, end = 0;
    std::size_t copied = table.start;
    if (referenceFind(data, size, start, end) && end <= table.start)
        copied = end;
    fuzz::Bytes image(data, data + copied);
    for (std::size_t i = table.entry; i < table.entry + 8 && i < copied; ++i)
        image[i] = 0;
    for (std::size_t i = table.checksum; i < table.checksum + 4 && i < copied; ++i)
        image[i] = 0;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        sum += image[i] + (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    std::uint32_t checksum = static_cast<std::uint32_t>(sum + image.size());
    for (std::size_t i = 0; i < 4 && table.checksum + i < copied; ++i)
        image[table.checksum + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
    return image;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = fuzz::enterScratchFolder("embedded_patch");
    std::string patchPath = folder + PATCH_NAME;
    fuzz::writeFile(patchPath, reinterpret_cast<const std::uint8_t*>(PATCH), sizeof PATCH - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t start = 0, end = 0;
    bool expected = referenceFind(data, size, start, end);

    std::string imagePath = folder + IMAGE_NAME;
    fuzz::writeFile(imagePath, data, size);
    // Packaging removes the temporary patch once it is copied.
    fuzz::writeFile(folder + PATCH_NAME, reinterpret_cast<const std::uint8_t*>(PATCH),
                    sizeof PATCH - 1);

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
    if (found && (trailer.patchStart != start || trailer.patchEnd != end - 4))
        fuzz::fail("the patch was found at the wrong place");

    {
        TemporaryFile copy;
        if (extractEmbeddedPatch(imagePath, copy) != expected)
            fuzz::fail(expected ? "the embedded patch was not extracted"
                                : "a patch was extracted where the trailer rule does not hold");
        if (expected) {
            fuzz::Bytes content;
            if (!fuzz::readFile(copy.name, content))
                fuzz::fail("the extracted patch file is missing");
            if (content != fuzz::Bytes(data + start, data + end - 4))
                fuzz::fail("the extracted patch differs from the bytes between offset and trailer");
        }
    }
    std::vector<std::string> left = fuzz::listFolder(folder);
    if (left.size() != 2 || left[0] != IMAGE_NAME || left[1] != PATCH_NAME)
        fuzz::fail("extraction left a file behind in the temporary folder");

    std::string outputPath = folder + OUTPUT_NAME;
    buildPackagedExecutable(imagePath, folder + PATCH_NAME, outputPath, {});
    fuzz::Bytes output, expectedOutput = referencePackagedImage(data, size);
    std::uint32_t imagePart = static_cast<std::uint32_t>(expectedOutput.size());
    expectedOutput.insert(expectedOutput.end(), PATCH, PATCH + sizeof PATCH - 1);
    for (int i = 0; i < 4; ++i)
        expectedOutput.push_back(static_cast<std::uint8_t>(imagePart >> (8 * i)));
    if (!fuzz::readFile(outputPath, output) || output != expectedOutput)
        fuzz::fail("the packaged executable differs from the image without its signature");
    std::remove(outputPath.c_str());
    return 0;
}
