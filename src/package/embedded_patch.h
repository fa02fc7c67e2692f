// A self-applying patch is the program's own executable, then a patch file, then a 4-byte
// little-endian trailer holding the offset at which the patch file begins.
#pragma once

#include "platform/platform.h"
#include "services/temporary_file.h"

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

// What the program's own file carries. Its image ends where its headers say (PE: its sections,
// and the symbol tables of a build that is not stripped; ELF: its segments, sections and section
// header table); a signed file's certificate table, and the zero bytes that align it, count as
// part of the image. Bytes beyond the image that hold no patch by the rule above are a damaged
// self-applying patch (a cut-off download, a changed trailer). A file whose headers cannot be
// read has nothing beyond its image.
enum class OwnPatch { None, Found, Damaged };
OwnPatch findOwnPatch(const platform::File& file, std::uint64_t size,
                      EmbeddedPatchTrailer& trailer);

// The running program's own file, open for reading, and what it carries.
struct OwnImage {
    platform::File file;
    EmbeddedPatchTrailer trailer; // when it carries a patch
    OwnPatch patch = OwnPatch::None;
};
// Looks at the executable `ownPath`; a file that cannot be opened or read carries no patch.
// Never fails the run and prints nothing.
void examineOwnImage(const std::string& ownPath, OwnImage& image);

// Copies the patch that `image` carries to a new temporary file, `copy` (readable by the user
// alone, owned from its creation); false when it could not be copied whole, and then no file is
// left. Never fails the run and prints nothing.
bool extractEmbeddedPatch(const OwnImage& image, TemporaryFile& copy);
// The same for the executable `ownPath`; false also when it carries no patch.
bool extractEmbeddedPatch(const std::string& ownPath, TemporaryFile& copy);

// What a self-applying patch prints when asked for help: the file it patches (the stored name
// and size) and how to apply and undo the patch. Ends the process with status 0, having opened
// nothing for writing; a damaged patch header ends the run with code 8.
[[noreturn]] void printEmbeddedHelp(const OwnImage& image);
