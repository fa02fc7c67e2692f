#include "apply/apply_patch.h"

#include "app/console.h"
#include "app/input_file.h"
#include "app/output_file.h"
#include "apply/patch_windows.h"
#include "apply/resume_record.h"
#include "apply/show_message.h"
#include "apply/verify_blocks.h"
#include "patch/patch_format.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// "@ <offset, 8 upper-case hex digits> : <length in upper-case hex> bytes". A dense patch has
// millions of these lines, so they are made without the printf machinery.
void printBlockLine(const PatchBlock& block) {
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
void readPatch(const platform::File& patchFile, std::uint64_t patchSize, PatchHeader& header,
               PatchReading& reading, ResumeJob& job) {
    ByteSource source = checkedSourceFromFile(patchFile, patchSize, reading.chunks);
    HeaderStatus status = readPatchHeader(source, header);
    if (source.failed)
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (status != HeaderStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, "Not a valid patch file");
    platform::readNameFromPatch(header.targetName);
    if (!header.message.empty())
        showPatchMessage(header.message, platform::identityOf(patchFile), header.targetName);

    ScanStatus blocksStatus = scanBlocks(source, reading);
    if (source.failed)
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    if (blocksStatus != ScanStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, "Not a valid patch file");
    job.patchLength = patchSize;
    job.patchHash = hashBytes(HASH_SEED, reading.chunks.hashes.data(),
                              reading.chunks.hashes.size() * sizeof(std::uint64_t));
}

// A long block's pieces are checked as the whole block is: outside the file, it matches
// neither side.
bool pieceOutside(const PatchWindow& window, std::uint64_t size) {
    return window.piece && std::uint64_t(window.blockOffset) + window.blockLength > size;
}

// Checks every window of the patch against the target, as verifyBlocks checks one list.
Verification verifyPatch(const platform::File& target, std::uint64_t size, PatchReading& reading,
                         bool reverse) {
    Verification result;
    WindowReader reader = readWindows(reading, reverse);
    PatchWindow window;
    while (nextWindow(reader, window)) {
        Verification part = pieceOutside(window, size) ? Verification{false, false}
                                                       : verifyBlocks(target, size, *window.blocks);
        result.matchesOriginal = result.matchesOriginal && part.matchesOriginal;
        result.matchesPatched = result.matchesPatched && part.matchesPatched;
        if (!result.matchesOriginal && !result.matchesPatched)
            return result;
    }
    if (windowsFailed(reader))
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    return result;
}

bool verifyMixedPatch(const platform::File& target, std::uint64_t size, PatchReading& reading,
                      bool reverse) {
    WindowReader reader = readWindows(reading, reverse);
    PatchWindow window;
    while (nextWindow(reader, window)) {
        if (pieceOutside(window, size) || !verifyMixedBlocks(target, size, *window.blocks))
            return false;
    }
    if (windowsFailed(reader))
        failWith(EXIT_CANNOT_OPEN, "Could not read patch file");
    return true;
}

// The write that failed: the blocks it was for (from `written` on) and how many bytes of it,
// from `start`, reached the file.
struct FailedWrite {
    std::size_t blocks = 0;
    std::uint64_t start = 0;
    std::size_t moved = 0;
};

// Ends a run whose write, flush or patch reading failed. A run that began on a file wholly on
// one side writes the original side back over the blocks of the current window before
// `written`, last first (after the bytes the failed write moved), then over every block of the
// `windowsDone` windows before it, read again; a block never written needs nothing. The record
// goes only when every block was restored and flushed. A resumed run began on
// a mixed file that no rollback could bring back to one side: its record stays, for the same
// command to finish the job or for --reverse to undo it.
[[noreturn]] void rollBack(const platform::File& target, PatchReading& reading,
                           std::uint64_t windowsDone, const PatchWindow& current,
                           BlockList::Iterator written, const FailedWrite& failed, bool resuming,
                           ResumeJob& job, ExitCode code, const char* message) {
    if (resuming)
        failWith(code, message);
    bool restored = true;
    BlockList::Iterator at = written;
    for (std::size_t k = 0; k < failed.blocks; ++k, ++at) {
        PatchBlock block = *at;
        std::uint64_t end = std::min<std::uint64_t>(std::uint64_t(block.offset) + block.length(),
                                                    failed.start + failed.moved);
        if (end > block.offset)
            restored = platform::writeAt(target, block.offset, block.originalBytes,
                                         static_cast<std::size_t>(end - block.offset)) &&
                       restored;
    }
    while (written != current.blocks->begin()) {
        PatchBlock block = *--written;
        restored = platform::writeAt(target, block.offset, block.originalBytes, block.length()) &&
                   restored;
    }
    WindowReader reader = readWindows(reading, job.reverse);
    PatchWindow window;
    for (std::uint64_t i = 0; i < windowsDone; ++i) {
        if (!nextWindow(reader, window)) {
            restored = false;
            break;
        }
        for (BlockList::Iterator at = window.blocks->begin(); at != window.blocks->end(); ++at)
            restored =
                platform::writeAt(target, at->offset, at->originalBytes, at->length()) && restored;
    }
    if (restored && platform::syncFile(target))
        removeResumeRecord(job);
    failWith(code, message);
}

void printWindowLine(const PatchWindow& window, const PatchBlock& block) {
    if (!window.piece) {
        printBlockLine(block);
    } else if (window.closesBlock) {
        PatchBlock whole;
        whole.offset = window.blockOffset;
        whole.size = window.blockLength;
        printBlockLine(whole);
    }
}

// Neighbouring blocks this close are written together, with the target's bytes between them...
const std::uint64_t WRITE_GAP = 1024;
// ...in one write of up to this many bytes.
const std::size_t WRITE_SPAN = 1024 * 1024;

// Writes the window's blocks, each run of neighbours in one write of the bytes just read from
// the target with the blocks' new bytes over them, and prints their lines. False when a write
// failed, with `written` at the first block of that write, described by `failed`.
bool writeWindow(const platform::File& target, const PatchWindow& window,
                 BlockList::Iterator& written, FailedWrite& failed,
                 std::vector<std::uint8_t>& span) {
    const BlockList& blocks = *window.blocks;
    for (BlockList::Iterator at = blocks.begin(); at != blocks.end();) {
        PatchBlock first = *at;
        std::uint64_t start = first.offset;
        std::uint64_t reach = start + first.length();
        BlockList::Iterator next = at;
        std::size_t count = 1;
        while (++next != blocks.end()) {
            PatchBlock block = *next;
            std::uint64_t end = std::uint64_t(block.offset) + block.length();
            if (block.offset < reach || block.offset - reach > WRITE_GAP ||
                end - start > WRITE_SPAN)
                break;
            reach = end;
            ++count;
        }
        bool together = false;
        if (count > 1) {
            span.resize(static_cast<std::size_t>(reach - start));
            platform::ReadResult got = platform::readAt(target, start, span.data(), span.size());
            together = !got.failed && got.count == span.size();
        }
        if (together) {
            for (BlockList::Iterator in = at; in != next; ++in) {
                if (in->length() != 0)
                    std::memcpy(span.data() + (in->offset - start), in->patchedBytes, in->length());
            }
            written = at;
            failed = FailedWrite{count, start, 0};
            if (!platform::writeAt(target, start, span.data(), span.size(), &failed.moved))
                return false;
            written = next;
            for (; at != next; ++at)
                printWindowLine(window, *at);
            continue;
        }
        // One write per block: a single block, or a run whose bytes could not be read.
        for (; at != next;) {
            PatchBlock block = *at;
            written = at;
            failed = FailedWrite{1, block.offset, 0};
            if (!platform::writeAt(target, block.offset, block.patchedBytes, block.length(),
                                   &failed.moved))
                return false;
            written = ++at;
            printWindowLine(window, block);
        }
    }
    return true;
}

// Writes every block, then makes the writes durable; a failure anywhere rolls the file back.
void writeBlocks(const platform::File& target, PatchReading& reading, bool resuming,
                 ResumeJob& job) {
    WindowReader reader = readWindows(reading, job.reverse);
    PatchWindow window;
    BlockList none;
    window.blocks = &none;
    std::uint64_t windowsDone = 0;
    std::vector<std::uint8_t> span;
    while (nextWindow(reader, window)) {
        BlockList::Iterator written = window.blocks->begin();
        FailedWrite failed;
        if (!writeWindow(target, window, written, failed, span))
            rollBack(target, reading, windowsDone, window, written, failed, resuming, job,
                     EXIT_CANNOT_WRITE, "Could not write to file to patch");
        ++windowsDone;
    }
    // A window that failed to read was not written: every window written is read again.
    if (windowsFailed(reader))
        rollBack(target, reading, windowsDone, PatchWindow{&none}, none.begin(), FailedWrite(),
                 resuming, job, EXIT_CANNOT_OPEN, "Could not read patch file");
    // The last window stays as it was: the rollback takes it from memory, the others again.
    if (!platform::syncFile(target))
        rollBack(target, reading, windowsDone > 0 ? windowsDone - 1 : 0, window,
                 window.blocks->end(), FailedWrite(), resuming, job, EXIT_CANNOT_WRITE,
                 "Could not write to file to patch");
}

} // namespace

void applyPatch(const std::string& patchName, bool reverse, bool temporary) {
    printLine("Reading patch file: " + patchName);
    PatchHeader header;
    ResumeJob job;
    job.reverse = reverse;
    std::uint64_t patchSize = 0;
    platform::File patchFile = openInputOrFail(patchName, "Could not open patch file", patchSize);
    // The patch is read again while the blocks are verified and written; a failing run closes
    // it before it removes it when it is a temporary file (Windows deletes no open file).
    if (temporary)
        closeBeforeRemoving(&patchFile);
    PatchReading reading;
    readPatch(patchFile, patchSize, header, reading, job);

    if (reverse) {
        printText("Reversing patch data...");
        reading.held.swapSides();
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
    if (reading.blockCount != 0)
        findResumeRecord(job);
    bool resuming = !job.record.empty();
    if (resuming) {
        if (!verifyMixedPatch(target, targetSize, reading, reverse))
            failWith(EXIT_DATA_MISMATCH, "Patch does not apply to this file (data mismatch)");
    } else {
        Verification verification = verifyPatch(target, targetSize, reading, reverse);
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
    writeBlocks(target, reading, resuming, job);
    // The writes are on stable storage: the file is wholly on this run's side.
    removeResumeRecord(job);
    platform::closeFile(target);
    platform::releaseInterruptions();
    if (temporary) {
        closeBeforeRemoving(nullptr);
        patchFile = platform::File();
        removeTemporary(patchName);
    }
}
