#pragma once

#include <string>

// Writes `outputPath`: the executable `ownPath` byte for byte, the patch file `patchPath`,
// and a 4-byte little-endian trailer holding the size of the executable part. Ends the run
// through failWith when a file cannot be opened or the output cannot be written.
void buildPackagedExecutable(const std::string& ownPath, const std::string& patchPath,
                             const std::string& outputPath);
