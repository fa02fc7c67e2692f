// A small record in the user's temporary folder that lives while a patch is being written to
// its target. A run that finds one for its own target and patch knows the target was left
// part-way by an interrupted run, and finishes (or undoes) the job.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

struct ResumeJob {
    std::string targetPath; // full path
    platform::FileIdentity target;
    std::uint64_t targetSize = 0;
    std::uint64_t patchLength = 0;
    std::uint64_t patchHash = 0;
    bool reverse = false;
    bool recorded = false; // a record of this job exists: found, or written by this run
};

// Sets `recorded` when a record of this user's for exactly this target and patch exists.
void findResumeRecord(ResumeJob& job);
// Writes the record to stable storage and sets `recorded`; without a temporary folder, or when
// another user's file has the record's name, nothing is written.
void writeResumeRecord(ResumeJob& job);
// Removes the job's record, if it has one.
void removeResumeRecord(const ResumeJob& job);
