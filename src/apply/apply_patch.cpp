#include "apply/apply_patch.h"

#include "app/console.h"
#include "app/input_file.h"
#include "apply/show_message.h"
#include "patch/patch_format.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Large blocks are read back from the file in pieces of this size, so checking a block needs
// no second copy of it in memory.
const std::size_t VERIFY_CHUNK_SIZE = 256 * 1024;

struct Verification {
    bool matchesOriginal = true;
    bool matchesPatched = true;
};

// Compares one block with the file and clears the flag of every side it does not match. A
// block that does not lie wholly inside the file matches neither side.
void verifyBlock(const platform::File& target, std::uint64_t size, const PatchBlock& block,
                 std::vector<std::uint8_t>& found, Verification& result) {
    std::size_t length = block.length();
    bool inside = length == 0 || (block.offset <= size && length <= size - block.offset);
    std::size_t done = 0;
    while (inside && done < length && (result.matchesOriginal || result.matchesPatched)) {
        std::size_t piece = std::min(VERIFY_CHUNK_SIZE, length - done);
        found.resize(piece);
        platform::ReadResult got =
            platform::readAt(target, block.offset + done, found.data(), piece);
        if (got.failed || got.count != piece) {
            inside = false;
            break;
        }
        if (result.matchesOriginal &&
            std::memcmp(found.data(), block.originalBytes.data() + done, piece) != 0)
            result.matchesOriginal = false;
        if (result.matchesPatched &&
            std::memcmp(found.data(), block.patchedBytes.data() + done, piece) != 0)
            result.matchesPatched = false;
        done += piece;
    }
    if (!inside) {
        result.matchesOriginal = false;
        result.matchesPatched = false;
    }
}

// Checks every block against the file, stopping at the first block after which the file can
// be in neither state.
Verification verifyBlocks(const platform::File& target, std::uint64_t size,
                          const BlockList& blocks) {
    Verification result;
    std::vector<std::uint8_t> found;
    for (const PatchBlock& block : blocks) {
        verifyBlock(target, size, block, found, result);
        if (!result.matchesOriginal && !result.matchesPatched)
            failWith(EXIT_DATA_MISMATCH, "Patch does not apply to this file (data mismatch)");
    }
    return result;
}

// Appends `value` in upper-case hexadecimal with at least `digits` (at most 8) digits, as
// printf's "%0*X" writes it. (The Windows runtime's printf family would bring a whole
// formatting engine into the executable.)
void appendHex(std::string& text, std::uint32_t value, std::size_t digits) {
    char hex[8];
    std::size_t first = sizeof hex;
    do {
        hex[--first] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0 || sizeof hex - first < digits);
    text.append(hex + first, sizeof hex - first);
}

std::string blockLine(const PatchBlock& block) {
    std::string line = "@ ";
    appendHex(line, block.offset, 8);
    line += " : ";
    appendHex(line, static_cast<std::uint32_t>(block.length()), 1);
    line += " bytes";
    return line;
}

} // namespace

void applyPatch(const std::string& patchName, bool reverse) {
    printLine("Reading patch file: " + patchName);
    std::uint64_t patchSize = 0;
    platform::File patchFile = openInputOrFail(patchName, "Could not open patch file", patchSize);

    ByteSource source = sourceFromFile(patchFile, patchSize);
    PatchHeader header;
    HeaderStatus status = readPatchHeader(source, header);
    if (source.failed)
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (status != HeaderStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, "Not a valid patch file");
    if (!header.message.empty())
        showPatchMessage(header.message);

    BlockList blocks;
    collectBlocks(source, blocks);
    if (source.failed)
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    patchFile = platform::File();

    if (reverse) {
        printText("Reversing patch data...");
        for (PatchBlock& block : blocks)
            block.swapSides();
        printLine(" DONE");
    }
    printLine("Patch for file " + header.targetName + " (" + std::to_string(header.fileSize) +
              " bytes)");

    platform::File target = platform::openForUpdate(header.targetName);
    std::uint64_t targetSize = 0;
    if (!platform::isOpen(target) || !platform::fileSize(target, targetSize))
        failWith(EXIT_CANNOT_OPEN, "Could not open file to patch");
    if (targetSize != header.fileSize)
        failWith(EXIT_SIZE_MISMATCH, "File does not match size recorded in patch");

    Verification verification = verifyBlocks(target, targetSize, blocks);
    if (verification.matchesPatched)
        failWith(EXIT_ALREADY_PATCHED, "File is already patched, specify \"--reverse\" to undo");

    printLine("Applying patch:");
    for (const PatchBlock& block : blocks) {
        if (!platform::writeAt(target, block.offset, block.patchedBytes.data(), block.length()))
            failWith(EXIT_CANNOT_WRITE, "Could not write to file to patch");
        printLine(blockLine(block));
    }
    if (!platform::closeFile(target))
        failWith(EXIT_CANNOT_WRITE, "Could not write to file to patch");
}
