// A small record that lives while a patch is being written to its target, in the user's state
// folder, which survives a reboot (the temporary folder when there is none). A run that finds
// the record of its own target and patch knows the target was left part-way by an interrupted
// run, and finishes (or undoes) the job. Each record belongs to one target and one patch; a
// run never touches the record of another patch.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

struct ResumeJob {
    platform::LastingIdentity target; // what a reboot keeps of the target's identity
    std::uint64_t targetSize = 0;
    std::uint64_t patchLength = 0;
    std::uint64_t patchHash = 0;
    bool reverse = false;
    std::string record; // the job's record, found or written by this run; empty when none
};

// Sets `record` when a record of this user's for exactly this target and patch exists: the
// same file (by its lasting identity, however its name is spelled), size and patch.
void findResumeRecord(ResumeJob& job);
// Writes the record and its folder entry to stable storage and sets `record`; when no folder
// can take it, or another user's file has the record's name, nothing is written.
void writeResumeRecord(ResumeJob& job);
// Removes the job's record, if it has one.
void removeResumeRecord(ResumeJob& job);
