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
};

// True when a record of this user's for exactly this target and patch exists.
bool findResumeRecord(const ResumeJob& job);
// Writes the record to stable storage; false when it cannot be written.
bool writeResumeRecord(const ResumeJob& job);
void removeResumeRecord(const ResumeJob& job);
