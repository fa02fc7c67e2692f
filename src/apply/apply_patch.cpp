#include "apply/apply_patch.h"

#include "app/console.h"
#include "app/input_file.h"
#include "apply/resume_record.h"
#include "apply/show_message.h"
#include "apply/verify_blocks.h"
#include "patch/patch_format.h"
#include "platform/platform.h"

#include <cstring>

namespace {

// "@ <offset, 8 upper-case hex digits> : <length in upper-case hex> bytes". A dense patch has
// millions of these lines, so they are made without the printf machinery.
void printBlockLine(const StoredBlock& block) {
    static const char DIGITS[] = "0123456789ABCDEF";
    char line[40] = "@ ";
    std::size_t at = 2;
    for (int shift = 28; shift >= 0; shift -= 4)
        line[at++] = DIGITS[(block.offset >> shift) & 0xF];
    std::memcpy(line + at, " : ", 3);
    at += 3;
    std::uint32_t length = block.size;
    int shift = 28;
    while (shift > 0 && (length >> shift) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        line[at++] = DIGITS[(length >> shift) & 0xF];
    std::memcpy(line + at, " bytes", 6);
    printLine(line, at + 6);
}

// Reads the patch file: header, message (shown at once), blocks. Ends the run on a damaged or
// unreadable patch, before the target is looked at.
BlockList readPatch(const std::string& patchName, PatchHeader& header, ResumeJob& job) {
    std::uint64_t patchSize = 0;
    platform::File patchFile = openInputOrFail(patchName, "Could not open patch file", patchSize);
    ByteSource source = sourceFromFile(patchFile, patchSize);
    source.hashing = true;
    HeaderStatus status = readPatchHeader(source, header);
    if (source.failed)
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (status != HeaderStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, "Not a valid patch file");
    if (!header.message.empty())
        showPatchMessage(header.message);

    BlockList blocks;
    BlocksStatus blocksStatus = collectBlocks(source, blocks);
    if (source.failed)
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (blocksStatus != BlocksStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, "Not a valid patch file");
    job.patchLength = patchSize;
    job.patchHash = source.hash;
    return blocks;
}

// Writes the original side back over the blocks before `written`, last first, and ends the
// run. When that too fails, the resume record stays for a later run to finish or undo the job.
[[noreturn]] void rollBack(const platform::File& target, const BlockList& blocks,
                           BlockList::Iterator written, const ResumeJob& job) {
    bool restored = true;
    while (written != blocks.begin()) {
        StoredBlock block = *--written;
        restored = platform::writeAt(target, block.offset, block.originalBytes, block.length()) &&
                   restored;
    }
    if (restored && platform::syncFile(target))
        removeResumeRecord(job);
    failWith(EXIT_CANNOT_WRITE, "Could not write to file to patch");
}

// Writes every block, then makes the writes durable; a failure anywhere rolls the file back.
void writeBlocks(const platform::File& target, const BlockList& blocks, const ResumeJob& job) {
    for (BlockList::Iterator at = blocks.begin(); at != blocks.end();) {
        StoredBlock block = *at;
        ++at;
        if (!platform::writeAt(target, block.offset, block.patchedBytes, block.length()))
            rollBack(target, blocks, at, job);
        printBlockLine(block);
    }
    if (!platform::syncFile(target))
        rollBack(target, blocks, blocks.end(), job);
}

} // namespace

void applyPatch(const std::string& patchName, bool reverse) {
    printLine("Reading patch file: " + patchName);
    PatchHeader header;
    ResumeJob job;
    job.reverse = reverse;
    BlockList blocks = readPatch(patchName, header, job);
    platform::readNameFromPatch(header.targetName);

    if (reverse) {
        printText("Reversing patch data...");
        blocks.swapSides();
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

    job.target = platform::identityOf(target);
    job.targetSize = targetSize;
    job.targetPath = platform::fullPath(header.targetName);
    // A record of an interrupted run on this file with this patch: the file may hold some
    // blocks in one state and some in the other, and this run takes it to its own side.
    if (!blocks.empty())
        findResumeRecord(job);
    bool resuming = job.recorded;
    if (resuming) {
        if (!verifyMixedBlocks(target, targetSize, blocks))
            failWith(EXIT_DATA_MISMATCH, "Patch does not apply to this file (data mismatch)");
    } else {
        Verification verification = verifyBlocks(target, targetSize, blocks);
        if (!verification.matchesOriginal && !verification.matchesPatched)
            failWith(EXIT_DATA_MISMATCH, "Patch does not apply to this file (data mismatch)");
        if (verification.matchesPatched)
            failWith(EXIT_ALREADY_PATCHED,
                     "File is already patched, specify \"--reverse\" to undo");
    }

    printLine("Applying patch:");
    platform::holdInterruptions();
    // Without a record (no temporary folder, or its name taken by another user's file) the
    // patch is still applied; only resuming after a crash is then not possible.
    if (!resuming)
        writeResumeRecord(job);
    writeBlocks(target, blocks, job);
    if (!platform::closeFile(target))
        failWith(EXIT_CANNOT_WRITE, "Could not write to file to patch");
    removeResumeRecord(job);
    platform::releaseInterruptions();
}
