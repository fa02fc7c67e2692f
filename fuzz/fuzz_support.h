// Helpers shared by the fuzz harnesses: a scratch folder to work in, small file helpers, a way
// to report a broken property, and a reader of patch files written from the format alone (it
// shares no code with the program), against which the program's own reader is compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// Makes a fresh folder under /dev/shm (or /tmp) and makes it the program's temporary folder
// (TMPDIR) and the parent of its state folder (XDG_STATE_HOME), sends standard output to /dev/null
// and keeps the message viewer from being started. Returns the folder's full path, ending with '/'.
// The current directory is left alone: the fuzzer reads and writes its corpus relative to it.
std::string enterScratchFolder(const char* harness);

// While it lives, the current directory is `folder`.
class InFolder {
  public:
    explicit InFolder(const std::string& folder);
    ~InFolder();
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    int previous_;
};

void writeFile(const std::string& name, const std::uint8_t* data, std::size_t size);
// False when the file does not exist.
bool readFile(const std::string& name, Bytes& content);
// Names in the folder, "." and ".." left out, sorted.
std::vector<std::string> listFolder(const std::string& folder);

// The descriptor the next open would get (the lowest free one): equal before and after a run
// when the run closed every file it opened, whichever way it ended.
int lowestFreeDescriptor();

// Reports a broken property through the sanitizer's report stream and aborts, so that the
// fuzzer saves the input.
[[noreturn]] void fail(const std::string& what);

struct ReferenceBlock {
    std::uint64_t offset = 0;
    Bytes original;
    Bytes patched;
};

// BadName: the target name holds a byte below 0x20 or 0x7F. CutOff: bytes are left after the
// last complete record. Overlapping: two non-empty blocks share a byte. Damaged ("PATCH2" only):
// no end record, anything but the checksum after it, a wrong checksum, or a block that reaches
// past 2^63 - 1.
enum class ReferenceStatus { Valid, WrongMagic, BadLength, BadName, CutOff, Overlapping, Damaged };

struct ReferencePatch {
    ReferenceStatus status = ReferenceStatus::WrongMagic;
    std::string targetName;
    std::uint64_t fileSize = 0;
    std::string message;
    std::vector<ReferenceBlock> blocks; // trimmed of trailing equal pairs, as the list keeps them
};

// Reads a patch file: "PATCH1"; counted name; size; counted message; then complete block
// records up to the end. A 32-bit field cut short by the end reads its missing bytes as 0; a
// counted string longer than what is left makes the header bad; so does a control byte in the
// name; a cut-off last record or two blocks that share a byte make the blocks bad. "PATCH2" has
// a 64-bit size, offsets and lengths, and its records end with an end record (offset all ones,
// length 0) followed by the XXH3-64 checksum of every byte before it, which ends the file.
ReferencePatch referenceRead(const std::uint8_t* data, std::size_t size);

} // namespace fuzz
