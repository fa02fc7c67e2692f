#include "package/packaged_executable.h"

#include "package/unsigned_image.h"
#include "patch/byte_stream.h"
#include "patch/patch_format.h"
#include "platform/platform.h"
#include "services/console.h"
#include "services/input_file.h"
#include "services/output_file.h"
#include "services/temporary_file.h"

#include <cstdint>

namespace {

// Copies a whole input of `size` bytes to the sink; a read error or a file that turns out
// shorter than its size ends the run with `failure`. An image's signature fields are unset.
void copyFile(const platform::File& input, std::uint64_t size, ByteSink& sink, const char* failure,
              const UnsignedImage* image = nullptr) {
    ByteSource source = sourceFromFile(input, size);
    bool copied =
        readInPieces(source, [&](std::uint8_t* bytes, std::size_t count, std::uint64_t offset) {
            if (image != nullptr)
                unsignBytes(*image, offset, bytes, count);
            writeBytes(sink, bytes, count);
            return true;
        });
    if (!copied)
        failWith(EXIT_CANNOT_OPEN, failure);
}

const char* const OWN_FAILURE = "Cannot use this executable to build embedded patch";
const char* const PATCH_FAILURE = "Cannot read generated patch from temporary file";
const char* const OUTPUT_FAILURE = "Cannot write to output file";

} // namespace

void buildPackagedExecutable(const std::string& ownPath, const std::string& patchPath,
                             const std::string& outputPath,
                             std::vector<platform::FileIdentity> inputs) {
    std::uint64_t ownSize = 0;
    std::uint64_t patchSize = 0;
    platform::File own = openInputOrFail(ownPath, OWN_FAILURE, ownSize);
    // A signed executable is copied without its signature: the output is signed as a whole.
    UnsignedImage image;
    if (!readUnsignedImage(own, ownSize, image))
        failWith(EXIT_CANNOT_OPEN, OWN_FAILURE);
    ownSize = image.size;
    inputs.push_back(platform::identityOf(own));
    OutputFile output;
    openOutputOrFail(outputPath, inputs, output, OUTPUT_FAILURE);
    ByteSink& sink = output.sink;
    copyFile(own, ownSize, sink, OWN_FAILURE, &image);
    // The temporary patch is open only while it is copied (Windows deletes no file that is
    // open), and removed while interruptions are held, so that no way the run ends leaves it.
    platform::File patch = openInputOrFail(patchPath, PATCH_FAILURE, patchSize);
    copyFile(patch, patchSize, sink, PATCH_FAILURE);
    patch = platform::File();
    removeTemporary(patchPath);
    // The trailer can only point at an offset that fits in 32 bits.
    bool fits = ownSize <= 0xFFFFFFFFu;
    writeU32(sink, static_cast<std::uint32_t>(ownSize));
    platform::copyPermissions(ownPath, output.file);
    if (!fits)
        failWith(EXIT_CANNOT_WRITE, OUTPUT_FAILURE);
    commitOutputOrFail(output, OUTPUT_FAILURE);
}
