// Scratch folders and whole-file reading and writing for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh, empty folder for one test, removed with everything in it when the object goes.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    // The full path of `name` inside the folder.
    std::string operator/(const std::string& name) const;

  private:
    std::string path_;
};

// The whole file as bytes; throws when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
void makeFolder(const std::string& path);
// Sets the file's size, leaving a hole where it grows (a sparse file where the system allows).
bool resizeFile(const std::string& path, std::uint64_t size);
std::uint64_t sizeOfFile(const std::string& path);
// The names of the entries of a folder, sorted.
std::vector<std::string> namesIn(const std::string& folder);
// Writes `bytes` at `offset` into an existing file, which grows where needed.
void writeFileAt(const std::string& path, std::uint64_t offset, const std::string& bytes);
// Up to `count` bytes from `offset` (fewer at the end of the file); throws when it cannot read.
std::string readFileAt(const std::string& path, std::uint64_t offset, std::size_t count);

// Four or eight bytes, least significant first.
std::string le32(std::uint32_t value);
std::string le64(std::uint64_t value);
