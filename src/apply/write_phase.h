// The target's write phase: from the resume record to its removal, every byte a run writes to
// the file it patches. What it keeps, and the function that keeps each:
//
// 1. Nothing is written before every block verifies: applyPatch calls writePatchToTarget only
//    after the whole patch verified against the target (apply_patch.cpp).
// 2. The record is durable before the first write: writeResumeRecord flushes the record and
//    its folder entry (resume_record.cpp); writePatchToTarget calls it before writeBlocks. A
//    resumed run keeps the record it found.
// 3. Every write is flushed before the record goes: writeBlocks flushes the target before
//    writePatchToTarget removes the record, and rollBack removes it only after its own writes
//    are flushed.
// 4. A failed write is undone last first: rollBack writes the original side back over the
//    blocks written, from the failed write back to the first window; a run that resumed a
//    mixed file cannot be brought back to one side and keeps its record instead.
// 5. Interruptions wait from the record until it is removed: writePatchToTarget holds them for
//    its whole extent. Windows gives the handler of a closed console window about 5 seconds
//    and then ends the process whatever it does; a write phase cut there leaves the record,
//    with which the next run finishes or undoes the job, as after a crash.
// 6. Outputs replace their names only by rename after a flush: commitOutputOrFail
//    (services/output_file.cpp); an output that is not committed is removed when the run ends.
//
// Rules 2, 3 and 5 are checked at every step in debug builds (phaseIsSound).
#pragma once

#include "apply/patch_reader.h"
#include "apply/resume_record.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

// Writes the verified patch into the open target and prints a line for each block. `resuming`
// when the run found the record of an interrupted run of this job (kept in `job`). Ends the run
// through failWith on a failed write, flush or reading of the patch, after the rollback.
void writePatchToTarget(platform::File& target, PatchReader& reader, bool resuming, ResumeJob& job);

// Where a write phase stands, and how far its writes got.
enum class PhaseStep {
    Verified,   // every block verified; nothing written yet
    Recorded,   // the record is durable, or none could be made; blocks are being written
    Written,    // every block is written and flushed
    RolledBack, // a write failed; what was written is back as it was, or could not be
    Ended,      // the record is gone, or kept on purpose
};

// The write that failed: the blocks it was for (after those written whole) and how many of its
// bytes, from `start`, reached the file.
struct FailedWrite {
    std::size_t blocks = 0;
    std::uint64_t start = 0;
    std::size_t moved = 0;
};

struct WritePhase {
    const platform::File* target = nullptr;
    PatchReader* reader = nullptr;
    ResumeJob* job = nullptr;
    bool resuming = false;
    platform::InterruptionHold hold;

    PhaseStep step = PhaseStep::Verified;
    bool recordTried = false; // writeResumeRecord has run (a resumed run keeps its record)
    bool recordMade = false;  // the job had a record when the writes began
    bool unflushed = false;   // bytes written since the last flush that succeeded
    bool failing = false;     // a write, flush or reading of the patch failed
    bool restored = false;    // after that, every byte written is back and flushed

    // Progress: the windows written before the current one, the current window (none when it
    // could not be read), how many of its blocks were written whole, and the write that failed.
    std::uint64_t windowsDone = 0;
    bool inWindow = false;
    PatchWindow window;
    std::size_t written = 0;
    FailedWrite failed;
};

// True when the phase keeps rules 2, 3 and 5 above as far as it has come: no write before the
// record was made (or tried), interruptions held while the target may be part-way, the record
// never gone while a byte is unflushed or a failed write not undone.
bool phaseIsSound(const WritePhase& phase);
