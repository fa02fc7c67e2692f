#include "apply/apply_patch.h"

#include "app/console.h"
#include "app/input_file.h"
#include "app/output_file.h"
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
    // The patch is closed before the run ends, so that a failing run can remove it when it is
    // a temporary file (Windows deletes no file that is open).
    auto fail = [&patchFile](ExitCode code, const char* message) {
        patchFile = platform::File();
        failWith(code, message);
    };
    ByteSource source = sourceFromFile(patchFile, patchSize);
    source.hashing = true;
    HeaderStatus status = readPatchHeader(source, header);
    if (source.failed)
        fail(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (status != HeaderStatus::Valid)
        fail(EXIT_NOT_A_PATCH, "Not a valid patch file");
    platform::readNameFromPatch(header.targetName);
    if (!header.message.empty())
        showPatchMessage(header.message, platform::identityOf(patchFile), header.targetName);

    BlockList blocks;
    BlocksStatus blocksStatus = collectBlocks(source, blocks);
    if (source.failed)
        fail(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (blocksStatus != BlocksStatus::Valid)
        fail(EXIT_NOT_A_PATCH, "Not a valid patch file");
    job.patchLength = patchSize;
    job.patchHash = source.hash;
    return blocks;
}

// Ends a run whose write or flush failed. A run that began on a file wholly on one side writes
// the original side back over every block it wrote (`written` bytes of the block `failed`,
// whose write failed part-way, then the ones before it, last first); the record goes only
// when every block was restored and flushed. A resumed run began on a mixed file that no
// rollback could bring back to one side: its record stays, for the same command to finish the
// job or for --reverse to undo it.
[[noreturn]] void failWrites(const platform::File& target, const BlockList& blocks,
                             BlockList::Iterator failed, std::size_t written, bool resuming,
                             ResumeJob& job) {
    if (!resuming) {
        bool restored = true;
        if (written > 0) {
            StoredBlock block = *failed;
            restored = platform::writeAt(target, block.offset, block.originalBytes, written);
        }
        for (BlockList::Iterator at = failed; at != blocks.begin();) {
            StoredBlock block = *--at;
            restored =
                platform::writeAt(target, block.offset, block.originalBytes, block.length()) &&
                restored;
        }
        if (restored && platform::syncFile(target))
            removeResumeRecord(job);
    }
    failWith(EXIT_CANNOT_WRITE, "Could not write to file to patch");
}

// Writes every block, then makes the writes durable.
void writeBlocks(const platform::File& target, const BlockList& blocks, bool resuming,
                 ResumeJob& job) {
    for (BlockList::Iterator at = blocks.begin(); at != blocks.end(); ++at) {
        StoredBlock block = *at;
        std::size_t written = 0;
        if (!platform::writeAt(target, block.offset, block.patchedBytes, block.length(), &written))
            failWrites(target, blocks, at, written, resuming, job);
        printBlockLine(block);
    }
    if (!platform::syncFile(target))
        failWrites(target, blocks, blocks.end(), 0, resuming, job);
}

} // namespace

void applyPatch(const std::string& patchName, bool reverse, bool temporary) {
    printLine("Reading patch file: " + patchName);
    PatchHeader header;
    ResumeJob job;
    job.reverse = reverse;
    BlockList blocks = readPatch(patchName, header, job);
    // Its blocks are in memory: nothing is left behind, whichever way the run ends from here.
    if (temporary)
        removeTemporary(patchName);

    if (reverse) {
        printText("Reversing patch data...");
        blocks.swapSides();
        printLine(" DONE");
    }
    printLine("Patch for file " + header.targetName + " (" + std::to_string(header.fileSize) +
              " bytes)");

    // The target stays locked against other runs from here until its record is gone.
    platform::File target = platform::openForUpdate(header.targetName);
    std::uint64_t targetSize = 0;
    if (!platform::isOpen(target) || !platform::fileSize(target, targetSize))
        failWith(EXIT_CANNOT_OPEN, "Could not open file to patch");
    if (targetSize != header.fileSize)
        failWith(EXIT_SIZE_MISMATCH, "File does not match size recorded in patch");

    job.target = platform::identityOf(target);
    job.targetSize = targetSize;
    // A record of an interrupted run on this file with this patch: the file may hold some
    // blocks in one state and some in the other, and this run takes it to its own side.
    if (!blocks.empty())
        findResumeRecord(job);
    bool resuming = !job.record.empty();
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
    // Without a record (no folder for it, or its name taken by another user's file) the patch
    // is still applied; only resuming after a crash is then not possible.
    if (!resuming)
        writeResumeRecord(job);
    writeBlocks(target, blocks, resuming, job);
    // The writes are on stable storage: the file is wholly on this run's side.
    removeResumeRecord(job);
    platform::closeFile(target);
    platform::releaseInterruptions();
}
