#include "package/packaged_executable.h"

#include "app/console.h"
#include "app/input_file.h"
#include "patch/byte_stream.h"
#include "patch/patch_format.h"
#include "platform/platform.h"

#include <cstdint>

namespace {

const std::size_t COPY_CHUNK_SIZE = 1024;

// Copies a whole input to the sink and returns how many bytes it held.
std::uint64_t copyFile(const platform::File& input, std::uint64_t size, ByteSink& sink) {
    ByteSource source = sourceFromFile(input, size);
    std::uint8_t chunk[COPY_CHUNK_SIZE];
    std::uint64_t copied = 0;
    for (;;) {
        std::size_t got = readBytes(source, chunk, COPY_CHUNK_SIZE);
        writeBytes(sink, chunk, got);
        copied += got;
        if (got < COPY_CHUNK_SIZE)
            return copied;
    }
}

} // namespace

void buildPackagedExecutable(const std::string& ownPath, const std::string& patchPath,
                             const std::string& outputPath) {
    std::uint64_t ownSize = 0;
    std::uint64_t patchSize = 0;
    platform::File own =
        openInputOrFail(ownPath, "Cannot use this executable to build embedded patch", ownSize);
    platform::File patch =
        openInputOrFail(patchPath, "Cannot read generated patch from temporary file", patchSize);
    platform::File output = platform::openForWriting(outputPath);
    if (!platform::isOpen(output))
        failWith(EXIT_CANNOT_WRITE, "Cannot write to output file");

    ByteSink sink = sinkToFile(output);
    std::uint64_t executableSize = copyFile(own, ownSize, sink);
    copyFile(patch, patchSize, sink);
    // The trailer can only point at an offset that fits in 32 bits.
    bool fits = executableSize <= 0xFFFFFFFFu;
    writeU32(sink, static_cast<std::uint32_t>(executableSize));
    bool written = flushSink(sink);
    platform::copyPermissions(ownPath, output);
    platform::closeFile(own);
    platform::closeFile(patch);
    if (!platform::closeFile(output) || !written || !fits)
        failWith(EXIT_CANNOT_WRITE, "Cannot write to output file");
}
