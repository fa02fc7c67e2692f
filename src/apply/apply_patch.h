#pragma once

#include <string>

// Reads the patch, shows its message, verifies every block against the file the patch names
// and only then writes the new bytes (the old ones when `reverse` is set). Ends the run
// through failWith on any failure, before anything is written.
// A `temporary` patch file (one extracted from the running program) is removed as soon as it
// has been read.
void applyPatch(const std::string& patchName, bool reverse, bool temporary = false);
