#pragma once

#include <string>

// Reads the patch, shows its message, verifies every block against the file the patch names
// and only then writes the new bytes (the old ones when `reverse` is set). Ends the run
// through failWith on any failure, before anything is written.
void applyPatch(const std::string& patchName, bool reverse);
