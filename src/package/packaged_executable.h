// Packaging a patch with a copy of the program into a self-applying patch.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

// Writes `outputPath`: the executable `ownPath` byte for byte, the temporary patch file
// `patchPath` (removed once copied), and a 4-byte little-endian trailer holding the size of the
// executable part. Ends the run
// through failWith when a file cannot be opened or read or the output cannot be written, or
// when the output would replace the executable or one of `inputs`.
void buildPackagedExecutable(const std::string& ownPath, const std::string& patchPath,
                             const std::string& outputPath,
                             std::vector<platform::FileIdentity> inputs);
