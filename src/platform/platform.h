// Every call into the operating system goes through this header; there is one
// implementation per system (platform_posix.cpp, platform_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// An open file, or none. Plain value; closeFile releases it.
struct File {
    std::intptr_t handle = -1;
};

inline bool isOpen(const File& file) {
    return file.handle != -1;
}

File openForReading(const std::string& name);
// Creates a missing file or empties an existing one.
File openForWriting(const std::string& name);
// Opens an existing file for reading and writing; never creates or empties it.
File openForUpdate(const std::string& name);

// Closes the file; false when the system reports that buffered data could not be written.
bool closeFile(File& file);

// The file's size in bytes; false when it cannot be determined.
bool fileSize(const File& file, std::uint64_t& size);

// Reads up to `count` bytes at `offset`, retrying short reads; returns the bytes delivered
// (fewer only at end of file or on an error).
std::size_t readAt(const File& file, std::uint64_t offset, void* data, std::size_t count);

// Writes all `count` bytes at `offset`; false when any of them could not be written.
bool writeAt(const File& file, std::uint64_t offset, const void* data, std::size_t count);

// Writes all `count` bytes at the current position (works on pipes and devices too).
bool writeNext(const File& file, const void* data, std::size_t count);

// Full path of the file the running process was started from; empty when it cannot be found.
std::string ownExecutablePath();

// Writes the message to PATCH.TXT in the user's temporary folder and starts a viewer for
// it. False when the message could not be handed to a viewer; the caller then prints it.
bool showMessageInViewer(const std::string& message);

// Creates a new, empty file with a fresh name in the user's temporary folder, exclusively, so
// no other process can have made it first. Returns its name, or empty when none could be made.
std::string createTemporaryFile();

// Deletes the file; failure is not reported.
void removeFile(const std::string& name);

// Gives an open regular file the permission bits of the file `source` (so a copy of an
// executable can be started). Special files are left alone. No effect on Windows.
void copyPermissions(const std::string& source, const File& target);

} // namespace platform
