#include "fuzz_support.h"

#include "patch/checksum.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace fuzz {

std::string enterScratchFolder(const char* harness) {
    struct stat info;
    std::string base =
        (::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && ::access("/dev/shm", W_OK) == 0)
            ? "/dev/shm/"
            : "/tmp/";
    std::string pattern = base + "morvane-fuzz-" + harness + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        fail("cannot make the scratch folder " + pattern);
    std::string folder = std::string(name.data()) + "/";
    ::setenv("TMPDIR", folder.c_str(), 1);
    // Resume records stay in the scratch folder too.
    ::setenv("XDG_STATE_HOME", (folder + "state").c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        fail("cannot send standard output to /dev/null");
    return folder;
}

InFolder::InFolder(const std::string& folder)
    : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (previous_ < 0 || ::chdir(folder.c_str()) != 0)
        fail("cannot enter " + folder);
}

InFolder::~InFolder() {
    if (::fchdir(previous_) != 0)
        fail("cannot return to the starting folder");
    ::close(previous_);
}

void writeFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
    int descriptor = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0)
        fail("cannot write " + name + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < size) {
        ssize_t got = ::write(descriptor, data + done, size - done);
        if (got <= 0)
            fail("cannot write " + name);
        done += static_cast<std::size_t>(got);
    }
    ::close(descriptor);
}

bool readFile(const std::string& name, Bytes& content) {
    content.clear();
    int descriptor = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    std::uint8_t chunk[4096];
    for (;;) {
        ssize_t got = ::read(descriptor, chunk, sizeof chunk);
        if (got <= 0)
            break;
        content.insert(content.end(), chunk, chunk + got);
    }
    ::close(descriptor);
    return true;
}

std::vector<std::string> listFolder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        fail("cannot list " + folder);
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

int lowestFreeDescriptor() {
    // A copy of descriptor 2 costs no path lookup; a copy takes the lowest free number too.
    int descriptor = ::fcntl(2, F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0)
        fail("cannot copy descriptor 2");
    ::close(descriptor);
    return descriptor;
}

void fail(const std::string& what) {
    std::string line = "MORVANE FUZZ FAILURE: " + what;
    __sanitizer_report_error_summary(line.c_str());
    std::abort();
}

namespace {

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    std::size_t left() const { return size - at; }
    std::uint64_t number(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes && at < size; ++i, ++at)
            value |= static_cast<std::uint64_t>(data[at]) << (8 * i);
        return value;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(number(4)); }
    bool counted(std::string& text) {
        std::uint32_t length = u32();
        if (length > left())
            return false;
        text.assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
        return true;
    }
};

} // namespace

ReferencePatch referenceRead(const std::uint8_t* data, std::size_t size) {
    ReferencePatch patch;
    bool large = size >= 6 && std::memcmp(data, "PATCH2", 6) == 0;
    if (size < 6 || (std::memcmp(data, "PATCH1", 6) != 0 && !large)) {
        patch.status = ReferenceStatus::WrongMagic;
        return patch;
    }
    const int width = large ? 8 : 4;
    Reader reader{data, size, 6};
    patch.status = ReferenceStatus::BadLength;
    if (!reader.counted(patch.targetName))
        return patch;
    patch.status = ReferenceStatus::BadName;
    for (unsigned char c : patch.targetName)
        if (c < 0x20 || c == 0x7F)
            return patch;
    patch.status = ReferenceStatus::BadLength;
    patch.fileSize = reader.number(width);
    if (!reader.counted(patch.message))
        return patch;
    // The records of "PATCH2" stop where its checksum begins, 8 bytes before the end.
    const std::size_t recordsEnd = large ? (size < 8 ? 0 : size - 8) : size;
    bool ended = !large;
    while (reader.at < recordsEnd) {
        patch.status = ReferenceStatus::CutOff;
        if (recordsEnd - reader.at < std::size_t(2 * width))
            return patch;
        ReferenceBlock block;
        block.offset = reader.number(width);
        std::uint64_t length = reader.number(width);
        if (length > (recordsEnd - reader.at) / 2)
            return patch;
        if (large && block.offset == ~std::uint64_t(0) && length == 0) {
            ended = true;
            break;
        }
        patch.status = ReferenceStatus::Damaged;
        const std::uint64_t largest = (std::uint64_t(1) << 63) - 1;
        if (block.offset > largest || length > largest - block.offset)
            return patch;
        const std::uint8_t* original = data + reader.at;
        const std::uint8_t* patched = original + length;
        reader.at += 2 * length;
        while (length > 0 && original[length - 1] == patched[length - 1])
            --length;
        block.original.assign(original, original + length);
        block.patched.assign(patched, patched + length);
        patch.blocks.push_back(std::move(block));
    }
    patch.status = ReferenceStatus::Damaged;
    if (!ended)
        return patch;
    if (large && (reader.at != recordsEnd || reader.number(8) != checksumOf(data, recordsEnd)))
        return patch;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const ReferenceBlock& block : patch.blocks)
        if (!block.original.empty())
            ranges.emplace_back(block.offset, block.offset + block.original.size());
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i].first < ranges[i - 1].second) {
            patch.status = ReferenceStatus::Overlapping;
            return patch;
        }
    patch.status = ReferenceStatus::Valid;
    return patch;
}

} // namespace fuzz
