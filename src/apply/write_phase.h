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
// 6. Outputs replace their names only by rename after a flush: commitOutput
//    (services/output_file.cpp); an output that is not committed is removed when the run ends.
#pragma once

#include "apply/patch_windows.h"
#include "apply/resume_record.h"
#include "platform/platform.h"

// Writes the verified patch into the open target and prints a line for each block. `resuming`
// when the run found the record of an interrupted run of this job (kept in `job`). Ends the run
// through failWith on a failed write, flush or reading of the patch, after the rollback.
void writePatchToTarget(platform::File& target, PatchReading& reading, bool resuming,
                        ResumeJob& job);
