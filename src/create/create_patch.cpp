#include "create/create_patch.h"

#include "create/change_collector.h"
#include "patch/checksum.h"
#include "patch/patch_format.h"
#include "platform/platform.h"
#include "services/console.h"
#include "services/input_file.h"
#include "services/output_file.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// Pieces in which bytes are read again or copied to the patch (which the patch writer then
// always copies into its own buffer).
const std::size_t COPY_PIECE_SIZE = 64 * 1024;
// Sizes and offsets in a patch are 32-bit.
const std::uint64_t LARGEST_PATCHABLE_SIZE = 0xFFFFFFFFu;
const char* const TOO_LARGE = "Files are too large for a patch";

// The blocks of a patch are kept in memory up to about this many bytes; a larger patch is
// found in one pass and written in a second, straight from the two files.
const std::uint64_t COLLECT_BUDGET = 6 * 1024 * 1024;

// The original file, then the patched file.
struct Inputs {
    const platform::File* files[2];
    std::uint64_t size;
};
const char* const READ_FAILURES[2] = {"Could not read original file",
                                      "Could not read patched file"};

// Reads both files a window at a time and hands each pair of windows to `compare`, with where
// they start, until it returns false. With `hashes`, the hash of each file's bytes goes there.
// Mapped files are not copied out of the system's cache: creating a sparse 1 GiB patch takes
// less time than cat of the two files.
template <typename Compare>
void readBoth(const Inputs& inputs, std::uint64_t* hashes, Compare compare) {
    platform::FileView views[2];
    std::uint64_t position = 0;
    while (position < inputs.size) {
        std::size_t wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(platform::VIEW_SIZE, inputs.size - position));
        for (int i = 0; i < 2; ++i) {
            // A read error or a file that shrank since its size was taken ends the run: a patch
            // of the first part only would pass for a whole one.
            platform::ReadResult got =
                platform::viewAt(*inputs.files[i], position, wanted, views[i]);
            if (got.failed || got.count < wanted)
                failWith(EXIT_CANNOT_OPEN, READ_FAILURES[i]);
        }
        for (int i = 0; hashes != nullptr && i < 2; ++i) {
            std::uint64_t chain[2] = {hashes[i], checksumOf(views[i].data, wanted)};
            hashes[i] = checksumOf(chain, sizeof chain);
        }
        bool more = compare(views[0].data, views[1].data, wanted, position);
        // Bytes of a mapped file that could not be read were compared as zeros: what was found
        // from them must not count.
        for (int i = 0; i < 2; ++i) {
            if (!platform::viewIntact(views[i]))
                failWith(EXIT_CANNOT_OPEN, READ_FAILURES[i]);
        }
        if (!more)
            return;
        position += wanted;
    }
}

// Collects the blocks in memory; false when they would take more than the budget.
bool compareFiles(const Inputs& inputs, ChangeCollector& collector) {
    bool fits = true;
    readBoth(inputs, nullptr,
             [&](const std::uint8_t* original, const std::uint8_t* patched, std::size_t count,
                 std::uint64_t position) {
                 collectChanges(collector, original, patched, count, position);
                 std::uint64_t open = collector.insideBlock ? collector.blocks.lastLength() : 0;
                 fits = 2 * (collector.byteTotal + open) + 8 * collector.blocks.size() <=
                        COLLECT_BUDGET;
                 return fits;
             });
    finishChanges(collector);
    return fits;
}

struct ScanTotals {
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;
    std::uint64_t hashes[2] = {0, 0};
};

// Finds the blocks without keeping them; with a sink, writes each record to it as its block
// closes, its bytes from the chunks in hand or read again from the files.
ScanTotals scanFiles(const Inputs& inputs, ByteSink* sink) {
    ScanTotals totals;
    ChangeScan scan;
    const std::uint8_t* chunks[2] = {nullptr, nullptr};
    std::uint64_t chunkStart = 0;
    std::vector<std::uint8_t> piece;
    // In pieces through the patch writer's buffer, so that a page of a mapped file that can no
    // longer be read is touched here, never by a write of the system's.
    auto put = [&](const std::uint8_t* bytes, std::uint64_t length) {
        for (std::uint64_t done = 0; done < length; done += COPY_PIECE_SIZE)
            writeBytes(
                *sink, bytes + done,
                static_cast<std::size_t>(std::min<std::uint64_t>(COPY_PIECE_SIZE, length - done)));
    };
    auto copy = [&](int file, std::uint64_t start, std::uint64_t length) {
        piece.resize(COPY_PIECE_SIZE);
        for (std::uint64_t done = 0; done < length;) {
            std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done));
            platform::ReadResult got =
                platform::readAt(*inputs.files[file], start + done, piece.data(), count);
            if (got.failed || got.count < count)
                failWith(EXIT_CANNOT_OPEN, READ_FAILURES[file]);
            put(piece.data(), count);
            done += count;
        }
    };
    auto report = [&](std::uint64_t start, std::uint64_t length) {
        ++totals.blocks;
        totals.bytes += length;
        if (sink == nullptr)
            return;
        bool inHand = start >= chunkStart;
        std::size_t at = inHand ? static_cast<std::size_t>(start - chunkStart) : 0;
        if (inHand && length <= COPY_PIECE_SIZE) {
            PatchBlock block;
            block.offset = start;
            block.size = length;
            block.originalBytes = chunks[0] + at;
            block.patchedBytes = chunks[1] + at;
            writeBlock(*sink, block);
            return;
        }
        writeU32(*sink, static_cast<std::uint32_t>(start));
        writeU32(*sink, static_cast<std::uint32_t>(length));
        if (inHand) {
            put(chunks[0] + at, length);
            put(chunks[1] + at, length);
        } else {
            copy(0, start, length);
            copy(1, start, length);
        }
    };
    readBoth(inputs, totals.hashes,
             [&](const std::uint8_t* original, const std::uint8_t* patched, std::size_t count,
                 std::uint64_t position) {
                 chunks[0] = original;
                 chunks[1] = patched;
                 chunkStart = position;
                 scanChanges(scan, original, patched, count, position, report);
                 if (position + count == inputs.size) // while the last chunks are in hand
                     finishScan(scan, report);
                 return true;
             });
    return totals;
}

std::string readMessage(const std::string& messageName,
                        std::vector<platform::FileIdentity>& inputs) {
    std::uint64_t size = 0;
    platform::File file = openInputOrFail(messageName, "Could not open message file", size);
    inputs.push_back(platform::identityOf(file));
    if (size > LARGEST_PATCHABLE_SIZE)
        failWith(EXIT_SIZE_MISMATCH, TOO_LARGE);
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
        failWith(EXIT_SIZE_MISMATCH, TOO_LARGE);

    printText("Comparing files...");
    Inputs both = {{&original, &patched}, originalSize};
    ChangeCollector collector;
    bool held = compareFiles(both, collector);
    ScanTotals found;
    if (held) {
        found.blocks = collector.blocks.size();
        found.bytes = collector.byteTotal;
        original = platform::File();
        patched = platform::File();
    } else {
        collector = ChangeCollector();
        found = scanFiles(both, nullptr);
    }
    printLine(" DONE");

    if (found.blocks == 0)
        failWith(EXIT_NOTHING_TO_PATCH, "Nothing to patch, both files are identical");
    printLine("Found " + countedWord(found.bytes, "byte") + " in " +
              countedWord(found.blocks, "block") + ".");

    PatchHeader header;
    header.targetName = originalName;
    header.fileSize = originalSize;
    if (!messageName.empty())
        header.message = readMessage(messageName, inputs);

    printLine("Writing patch file: " + patchName);
    OutputFile output;
    openOutputOrFail(patchName, inputs, output, PATCH_WRITE_FAILURE, temporary);
    ByteSink& sink = output.sink;
    if (held) {
        writePatch(sink, header, collector.blocks);
    } else {
        writePatchHeader(sink, header);
        ScanTotals written = scanFiles(both, &sink);
        // A file changed since the first pass would give a patch other than the one counted.
        if (written.hashes[0] != found.hashes[0])
            failWith(EXIT_CANNOT_OPEN, READ_FAILURES[0]);
        if (written.hashes[1] != found.hashes[1] || written.blocks != found.blocks ||
            written.bytes != found.bytes)
            failWith(EXIT_CANNOT_OPEN, READ_FAILURES[1]);
    }
    commitOutputOrFail(output, PATCH_WRITE_FAILURE);
    printLine("Completed!");
    return inputs;
}
