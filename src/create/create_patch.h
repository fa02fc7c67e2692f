#pragma once

#include <string>

// Compares the original and the patched file and writes the patch file, with the message
// file's bytes when a message name is given. Ends the run through failWith on any failure.
void createPatch(const std::string& originalName, const std::string& patchedName,
                 const std::string& patchName, const std::string& messageName);
