#include "apply/write_phase.h"

#include "platform/hex_text.h"
#include "services/console.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const char* const WRITE_FAILURE = "Could not write to file to patch";

// "@ <offset, 8 upper-case hex digits> : <length in upper-case hex> bytes".
void printBlockLine(const PatchBlock& block) {
    char line[40] = "@ ";
    std::size_t at = 2 + writeHex(line + 2, block.offset, 8, true);
    std::memcpy(line + at, " : ", 3);
    at += 3;
    at += writeHex(line + at, block.size, 1, true);
    std::memcpy(line + at, " bytes", 6);
    printLine(line, at + 6);
}

// The write that failed: the blocks it was for (from `written` on) and how many bytes of it,
// from `start`, reached the file.
struct FailedWrite {
    std::size_t blocks = 0;
    std::uint64_t start = 0;
    std::size_t moved = 0;
};

// Ends a run whose write, flush or patch reading failed. A run that began on a file wholly on
// one side writes the original side back, last first: over what the failed write moved, over
// the blocks of the current window before it, then over every block of the `windowsDone`
// windows before that, read again; a block never written needs nothing. The record goes only
// when every block was restored and flushed. A resumed run began on a mixed file that no
// rollback could bring back to one side: its record stays, for the same command to finish the
// job or for --reverse to undo it.
[[noreturn]] void rollBack(const platform::File& target, PatchReading& reading,
                           std::uint64_t windowsDone, const PatchWindow& current,
                           BlockList::Iterator written, const FailedWrite& failed, bool resuming,
                           ResumeJob& job, ExitCode code, const char* message) {
    if (resuming)
        failWith(code, message);
    bool restored = true;
    for (std::size_t k = 0; k < failed.blocks; ++k)
        ++written;
    // The failed write's blocks as far as it moved bytes, then every block before them.
    for (std::size_t k = failed.blocks; written != current.blocks->begin(); k = k > 0 ? k - 1 : 0) {
        PatchBlock block = *--written;
        std::uint64_t end = std::uint64_t(block.offset) + block.length();
        if (k > 0)
            end = std::min<std::uint64_t>(end, failed.start + failed.moved);
        if (end > block.offset)
            restored = platform::writeAt(target, block.offset, block.originalBytes,
                                         static_cast<std::size_t>(end - block.offset)) &&
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
        std::uint64_t start = at->offset;
        std::uint64_t reach = 0;
        BlockList::Iterator next =
            endOfNeighbours(at, blocks.end(), WRITE_GAP, WRITE_SPAN, UINT64_MAX, reach);
        BlockList::Iterator single = at;
        ++single;
        const std::uint8_t* bytes = at->patchedBytes;
        std::size_t count = 0;
        bool together = next != single;
        if (together) {
            span.resize(static_cast<std::size_t>(reach - start));
            platform::ReadResult got = platform::readAt(target, start, span.data(), span.size());
            together = !got.failed && got.count == span.size();
        }
        if (together) {
            for (BlockList::Iterator in = at; in != next; ++in, ++count) {
                if (in->length() != 0)
                    std::memcpy(span.data() + (in->offset - start), in->patchedBytes, in->length());
            }
            bytes = span.data();
        } else {
            // A single block, or a run whose bytes could not be read: one block at a time.
            next = single;
            reach = start + at->length();
            count = 1;
        }
        written = at;
        failed = FailedWrite{count, start, 0};
        if (!platform::writeAt(target, start, bytes, static_cast<std::size_t>(reach - start),
                               &failed.moved))
            return false;
        written = next;
        for (; at != next; ++at)
            printWindowLine(window, *at);
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
                     EXIT_CANNOT_WRITE, WRITE_FAILURE);
        ++windowsDone;
    }
    // A window that failed to read was not written: every window written is read again.
    if (windowsFailed(reader))
        rollBack(target, reading, windowsDone, PatchWindow{&none}, none.begin(), FailedWrite(),
                 resuming, job, EXIT_CANNOT_OPEN, PATCH_READ_FAILURE);
    // The last window stays as it was: the rollback takes it from memory, the others again.
    if (!platform::syncFile(target))
        rollBack(target, reading, windowsDone > 0 ? windowsDone - 1 : 0, window,
                 window.blocks->end(), FailedWrite(), resuming, job, EXIT_CANNOT_WRITE,
                 WRITE_FAILURE);
}

} // namespace

void writePatchToTarget(platform::File& target, PatchReading& reading, bool resuming,
                        ResumeJob& job) {
    platform::InterruptionHold hold;
    hold.take();
    // Without a record (no folder for it, or its name taken by another user's file) the patch
    // is still applied; only resuming after a crash is then not possible.
    if (!resuming)
        writeResumeRecord(job);
    writeBlocks(target, reading, resuming, job);
    // The writes are on stable storage: the file is wholly on this run's side.
    removeResumeRecord(job);
    // Everything written is flushed already, so closing can lose nothing; the target's lock
    // goes with it.
    target = platform::File();
}
