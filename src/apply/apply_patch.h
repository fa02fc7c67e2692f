// Applying a patch to the file it names: the application run from reading to the last write.
#pragma once

#include "services/temporary_file.h"

#include <string>

// Reads the patch, shows its message, verifies every block against the file the patch names
// and only then writes the new bytes (the old ones when `reverse` is set). Ends the run
// through failWith on any failure: before anything is written when the patch is damaged or
// does not apply, after undoing what was written when a write, a flush or a second reading of
// the patch fails (see write_phase.h).
// A `temporary` patch file (one extracted from the running program) is removed as soon as the
// run is done with it.
void applyPatch(const std::string& patchName, bool reverse, TemporaryFile* temporary = nullptr);
