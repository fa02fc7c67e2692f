// Creating a patch: comparing the original and the patched file and writing the patch file.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

// The error line of a patch file that cannot be written.
const char* const PATCH_WRITE_FAILURE = "Can't write to patch file";

// Compares the original and the patched file and writes the patch file, with the message
// file's bytes when a message name is given. Ends the run through failWith on any failure.
// Returns the identities of the files it read, none of which an output may replace. A
// `temporary` patch name is the run's own temporary file, written in place.
std::vector<platform::FileIdentity>
createPatch(const std::string& originalName, const std::string& patchedName,
            const std::string& patchName, const std::string& messageName, bool temporary = false);
