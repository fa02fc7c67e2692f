#include "create/create_patch.h"

#include "app/console.h"
#include "app/input_file.h"
#include "app/output_file.h"
#include "create/change_collector.h"
#include "patch/patch_format.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

const std::size_t COMPARE_CHUNK_SIZE = 256 * 1024;
// Sizes and offsets in a patch are 32-bit.
const std::uint64_t LARGEST_PATCHABLE_SIZE = 0xFFFFFFFFu;

void compareFiles(const platform::File& original, const platform::File& patched, std::uint64_t size,
                  ChangeCollector& collector) {
    std::vector<std::uint8_t> originalChunk(COMPARE_CHUNK_SIZE);
    std::vector<std::uint8_t> patchedChunk(COMPARE_CHUNK_SIZE);
    std::uint64_t position = 0;
    while (position < size) {
        std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(COMPARE_CHUNK_SIZE, size - position));
        // Both sizes were taken at the start: fewer bytes now means a read error or a file
        // that shrank, and a patch of the first part only would pass for a whole one.
        platform::ReadResult gotOriginal =
            platform::readAt(original, position, originalChunk.data(), wanted);
        if (gotOriginal.failed || gotOriginal.count < wanted)
            failWith(EXIT_CANNOT_OPEN, "Could not read original file");
        platform::ReadResult gotPatched =
            platform::readAt(patched, position, patchedChunk.data(), wanted);
        if (gotPatched.failed || gotPatched.count < wanted)
            failWith(EXIT_CANNOT_OPEN, "Could not read patched file");
        collectChanges(collector, originalChunk.data(), patchedChunk.data(), wanted, position);
        position += wanted;
    }
    finishChanges(collector);
}

std::string readMessage(const std::string& messageName,
                        std::vector<platform::FileIdentity>& inputs) {
    std::uint64_t size = 0;
    platform::File file = openInputOrFail(messageName, "Could not open message file", size);
    inputs.push_back(platform::identityOf(file));
    if (size > LARGEST_PATCHABLE_SIZE)
        failWith(EXIT_SIZE_MISMATCH, "Files are too large for a patch");
    std::string message(static_cast<std::size_t>(size), '\0');
    platform::ReadResult got = platform::readAt(file, 0, &message[0], message.size());
    if (got.failed || got.count < message.size())
        failWith(EXIT_CANNOT_OPEN, "Could not read message file");
    return message;
}

std::string countedWord(std::uint64_t count, const char* word) {
    return std::to_string(count) + " " + word + (count > 1 ? "s" : "");
}

} // namespace

std::vector<platform::FileIdentity> createPatch(const std::string& originalName,
                                                const std::string& patchedName,
                                                const std::string& patchName,
                                                const std::string& messageName, bool temporary) {
    printLine("Original file: " + originalName);
    printLine("Patched file: " + patchedName);

    std::uint64_t originalSize = 0;
    std::uint64_t patchedSize = 0;
    // Neither file may be written by another run while they are compared.
    platform::File original =
        openInputOrFail(originalName, "Could not open original file", originalSize, true);
    platform::File patched =
        openInputOrFail(patchedName, "Could not open patched file", patchedSize, true);
    std::vector<platform::FileIdentity> inputs = {platform::identityOf(original),
                                                  platform::identityOf(patched)};
    if (originalSize != patchedSize)
        failWith(EXIT_SIZE_MISMATCH, "Files have different sizes");
    if (originalSize > LARGEST_PATCHABLE_SIZE)
        failWith(EXIT_SIZE_MISMATCH, "Files are too large for a patch");

    printText("Comparing files...");
    ChangeCollector collector;
    compareFiles(original, patched, originalSize, collector);
    original = platform::File();
    patched = platform::File();
    printLine(" DONE");

    if (collector.blocks.empty())
        failWith(EXIT_NOTHING_TO_PATCH, "Nothing to patch, both files are identical");
    printLine("Found " + countedWord(collector.byteTotal, "byte") + " in " +
              countedWord(collector.blocks.size(), "block") + ".");

    PatchHeader header;
    header.targetName = originalName;
    header.fileSize = static_cast<std::uint32_t>(originalSize);
    if (!messageName.empty())
        header.message = readMessage(messageName, inputs);

    printLine("Writing patch file: " + patchName);
    OutputFile output;
    bool opened = temporary ? openTemporaryOutput(patchName, output)
                            : !replacesAnInput(patchName, inputs) && openOutput(patchName, output);
    if (!opened)
        failWith(EXIT_CANNOT_WRITE, "Can't write to patch file");
    ByteSink sink = sinkToFile(output.file);
    writePatch(sink, header, collector.blocks);
    if (!flushSink(sink) || !commitOutput(output))
        failWith(EXIT_CANNOT_WRITE, "Can't write to patch file");
    printLine("Completed!");
    return inputs;
}
