// A self-applying patch is the program's own executable, then a patch file, then a 4-byte
// little-endian trailer holding the offset at which the patch file begins.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

struct EmbeddedPatchTrailer {
    std::uint64_t patchStart = 0; // the trailer's value
    std::uint64_t patchEnd = 0;   // where the trailer itself begins
};

// True when the file of `size` bytes carries a patch: the trailer's value is greater than 0
// and less than the trailer's own position, and the six bytes there are "PATCH1". When the file
// is a signed PE image (pe_image.h), the rule is applied only to the file as if it ended where
// its certificate table begins, or up to 7 zero bytes before that, never to its last bytes.
bool findEmbeddedPatch(const platform::File& file, std::uint64_t size,
                       EmbeddedPatchTrailer& trailer);

// Copies the patch carried by the executable `ownPath` to a new temporary file and returns
// that file's name (readable by the user alone); empty when there is no patch or it could not
// be copied. `carriesPatch`, when given, tells whether the executable holds a patch. Never
// fails the run and prints nothing.
std::string extractEmbeddedPatch(const std::string& ownPath, bool* carriesPatch = nullptr);
