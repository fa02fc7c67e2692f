#include "apply/write_phase.h"

#include "patch/sizes.h"
#include "platform/hex_text.h"
#include "services/console.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

namespace {

const char* const WRITE_FAILURE = "Could not write to file to patch";

// "@ <offset, 8 upper-case hex digits or more> : <length in upper-case hex> bytes".
void printBlockLine(std::uint64_t offset, std::uint64_t length) {
    char line[48] = "@ ";
    std::size_t at = 2 + writeHex(line + 2, offset, 8, true);
    std::memcpy(line + at, " : ", 3);
    at += 3;
    at += writeHex(line + at, length, 1, true);
    std::memcpy(line + at, " bytes", 6);
    printLine(line, at + 6);
}

void printWindowLine(const PatchWindow& window, const PatchBlock& block) {
    if (!window.piece)
        printBlockLine(block.offset, block.size);
    else if (window.closesBlock)
        printBlockLine(window.blockOffset, window.blockLength);
}

// Writes the original side back over the current window's blocks, last first: over what the
// failed write moved, then over every block written whole before it.
bool restoreWindow(const WritePhase& phase) {
    if (!phase.inWindow)
        return true;
    std::size_t count = phase.written + phase.failed.blocks;
    BlockList::Iterator at = phase.window.blocks->begin();
    for (std::size_t k = 0; k < count; ++k)
        ++at;
    bool restored = true;
    for (std::size_t k = count; k > 0; --k) {
        PatchBlock block = *--at;
        std::uint64_t end = block.offset + block.length();
        if (k > phase.written)
            end = std::min<std::uint64_t>(end, phase.failed.start + phase.failed.moved);
        if (end > block.offset)
            restored = platform::writeAt(*phase.target, block.offset, block.originalBytes,
                                         static_cast<std::size_t>(end - block.offset)) &&
                       restored;
    }
    return restored;
}

// Writes the original side back over every block of the windows before the current one, read
// again (of long blocks, that side alone).
bool restoreEarlierWindows(WritePhase& phase) {
    PatchReader& reader = *phase.reader;
    reader.restart(true);
    PatchWindow window;
    bool restored = true;
    for (std::uint64_t i = 0; i < phase.windowsDone; ++i) {
        if (!reader.next(window))
            return false;
        for (const PatchBlock& block : *window.blocks)
            restored = platform::writeAt(*phase.target, block.offset, block.originalBytes,
                                         block.length()) &&
                       restored;
    }
    return restored;
}

// Ends a run whose write, flush or patch reading failed. A run that began on a file wholly on
// one side writes the original side back, last first (restoreWindow, then
// restoreEarlierWindows); a block never written needs nothing. The record goes only when every
// block was restored and flushed. A resumed run began on a mixed file that no rollback could
// bring back to one side: its record stays, for the same command to finish the job or for
// --reverse to undo it.
[[noreturn]] void rollBack(WritePhase& phase, ExitCode code, const char* message) {
    phase.failing = true;
    if (!phase.resuming) {
        // The current window first: restarting the reader overwrites it.
        bool restored = restoreWindow(phase);
        restored = restoreEarlierWindows(phase) && restored;
        phase.restored = restored && platform::syncFile(*phase.target);
        phase.unflushed = !phase.restored;
    }
    phase.step = PhaseStep::RolledBack;
    assert(phaseIsSound(phase));
    if (phase.restored)
        removeResumeRecord(*phase.job);
    phase.step = PhaseStep::Ended;
    assert(phaseIsSound(phase));
    failWith(code, message);
}

// Writes the current window's blocks, each run of neighbours in one write of the bytes just read
// from the target with the blocks' new bytes over them, and prints their lines. False when a
// write failed, which the phase's progress then describes.
bool writeWindow(WritePhase& phase, std::vector<std::uint8_t>& span) {
    const platform::File& target = *phase.target;
    const BlockList& blocks = *phase.window.blocks;
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
        phase.failed = FailedWrite{count, start, 0};
        phase.unflushed = true;
        if (!platform::writeAt(target, start, bytes, static_cast<std::size_t>(reach - start),
                               &phase.failed.moved))
            return false;
        phase.written += count;
        phase.failed = FailedWrite();
        for (; at != next; ++at)
            printWindowLine(phase.window, *at);
    }
    return true;
}

// Writes every block, then makes the writes durable; a failure anywhere rolls the file back.
void writeBlocks(WritePhase& phase) {
    PatchReader& reader = *phase.reader;
    std::vector<std::uint8_t> span;
    reader.restart();
    while (reader.next(phase.window)) {
        if (phase.inWindow)
            ++phase.windowsDone;
        phase.inWindow = true;
        phase.written = 0;
        if (!writeWindow(phase, span))
            rollBack(phase, EXIT_CANNOT_WRITE, WRITE_FAILURE);
        assert(phaseIsSound(phase));
    }
    if (reader.failed()) {
        // The window that failed to read was not written, and it took the place of the one
        // before: every window written is read again.
        phase.windowsDone += phase.inWindow ? 1 : 0;
        phase.inWindow = false;
        rollBack(phase, EXIT_CANNOT_OPEN, PATCH_READ_FAILURE);
    }
    // The last window stays as it was: the rollback takes it from memory, the others again.
    if (!platform::syncFile(*phase.target))
        rollBack(phase, EXIT_CANNOT_WRITE, WRITE_FAILURE);
    phase.unflushed = false;
    phase.step = PhaseStep::Written;
    assert(phaseIsSound(phase));
}

} // namespace

bool phaseIsSound(const WritePhase& phase) {
    bool writing = phase.step != PhaseStep::Verified && phase.step != PhaseStep::Ended;
    bool recordGone = phase.recordMade && phase.job->record.empty();
    // Rule 2: no byte reaches the target before the record was made, or tried.
    if ((phase.step != PhaseStep::Verified || phase.unflushed) && !phase.recordTried)
        return false;
    // Rule 5: interruptions wait while the target may be part-way.
    if (writing && !phase.hold.held)
        return false;
    // Rule 3: the record goes only when every byte written is flushed, and after a failure only
    // when every byte is back as it was.
    if (recordGone && (phase.unflushed || (phase.failing && !phase.restored)))
        return false;
    return !(phase.step == PhaseStep::Written && phase.unflushed);
}

void writePatchToTarget(platform::File& target, PatchReader& reader, bool resuming,
                        ResumeJob& job) {
    WritePhase phase;
    phase.target = &target;
    phase.reader = &reader;
    phase.job = &job;
    phase.resuming = resuming;
    assert(phaseIsSound(phase));
    phase.hold.take();
    // Without a record (no folder for it, or its name taken by another user's file) the patch
    // is still applied; only resuming after a crash is then not possible.
    if (!resuming)
        writeResumeRecord(job);
    phase.recordTried = true;
    phase.recordMade = !job.record.empty();
    phase.step = PhaseStep::Recorded;
    assert(phaseIsSound(phase));
    writeBlocks(phase);
    // The writes are on stable storage: the file is wholly on this run's side.
    removeResumeRecord(job);
    phase.step = PhaseStep::Ended;
    assert(phaseIsSound(phase));
    // Everything written is flushed already, so closing can lose nothing; the target's lock
    // goes with it. Interruptions wait until it is closed.
    target = platform::File();
}
