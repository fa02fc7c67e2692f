#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

File openWith(const std::string& name, int flags) {
    int fd;
    do {
        fd = ::open(name.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd >= 0 ? File(fd) : File();
}

int fd(const File& file) {
    return static_cast<int>(file.handle);
}

// Opens without waiting (a FIFO would block in open() until a writer came), then keeps only
// the kinds of file that hold data at fixed offsets, and makes the descriptor blocking again.
File openInput(const std::string& name, int access) {
    File file = openWith(name, access | O_NONBLOCK);
    struct stat info;
    if (!isOpen(file) || ::fstat(fd(file), &info) != 0 ||
        !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)))
        return File();
    int flags = ::fcntl(fd(file), F_GETFL);
    if (flags < 0 || ::fcntl(fd(file), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return File();
    return file;
}

std::string temporaryFolder() {
    const char* dir = std::getenv("TMPDIR");
    std::string folder = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

bool writeAll(int descriptor, const char* data, std::size_t count) {
    while (count > 0) {
        ssize_t done = ::write(descriptor, data, count);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        count -= static_cast<std::size_t>(done);
    }
    return true;
}

bool hasGraphicalSession() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
}

} // namespace

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        closeFile(*this);
        handle = other.handle;
        other.handle = -1;
    }
    return *this;
}

File::~File() {
    closeFile(*this);
}

File openForReading(const std::string& name) {
    return openInput(name, O_RDONLY);
}
File openForWriting(const std::string& name) {
    return openWith(name, O_WRONLY | O_CREAT | O_TRUNC);
}
File openForUpdate(const std::string& name) {
    return openInput(name, O_RDWR);
}

bool closeFile(File& file) {
    if (!isOpen(file))
        return true;
    int result = ::close(fd(file));
    file.handle = -1;
    return result == 0 || errno == EINTR;
}

bool fileSize(const File& file, std::uint64_t& size) {
    struct stat info;
    if (::fstat(fd(file), &info) != 0)
        return false;
    if (S_ISREG(info.st_mode)) {
        size = static_cast<std::uint64_t>(info.st_size);
        return true;
    }
    // Devices and the like: the end position is the size, as for a stream.
    off_t end = ::lseek(fd(file), 0, SEEK_END);
    if (end < 0)
        return false;
    size = static_cast<std::uint64_t>(end);
    return true;
}

ReadResult readAt(const File& file, std::uint64_t offset, void* data, std::size_t count) {
    ReadResult result;
    bool passes = MORVANE_SEAM_BEFORE(ReadAt, count);
    char* out = static_cast<char*>(data);
    while (result.count < count) {
        ssize_t done = ::pread(fd(file), out + result.count, count - result.count,
                               static_cast<off_t>(offset + result.count));
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            result.failed = true;
        if (done <= 0)
            break;
        result.count += static_cast<std::size_t>(done);
    }
    result.failed = result.failed || !passes;
    MORVANE_SEAM_AFTER(ReadAt);
    return result;
}

bool writeAt(const File& file, std::uint64_t offset, const void* data, std::size_t count) {
    bool passes = MORVANE_SEAM_BEFORE(WriteAt, count);
    std::size_t total = 0;
    const char* in = static_cast<const char*>(data);
    while (total < count) {
        ssize_t done =
            ::pwrite(fd(file), in + total, count - total, static_cast<off_t>(offset + total));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        total += static_cast<std::size_t>(done);
    }
    MORVANE_SEAM_AFTER(WriteAt);
    return passes;
}

bool writeNext(const File& file, const void* data, std::size_t count) {
    bool passes = MORVANE_SEAM_BEFORE(WriteNext, count);
    bool written = writeAll(fd(file), static_cast<const char*>(data), count);
    MORVANE_SEAM_AFTER(WriteNext);
    return written && passes;
}

std::string ownExecutablePath() {
    std::vector<char> buffer(260);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0)
            return std::string();
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

bool showMessageInViewer(const std::string& message) {
    std::string path = temporaryFolder() + "PATCH.TXT";
    // The temporary folder is shared: never follow a link planted under the fixed name.
    int descriptor =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return false;
    bool written = writeAll(descriptor, message.data(), message.size());
    ::close(descriptor);
    if (!written || !hasGraphicalSession())
        return false;

    char program[] = "xdg-open";
    std::vector<char> argument(path.begin(), path.end());
    argument.push_back('\0');
    char* arguments[] = {program, argument.data(), nullptr};
    pid_t child;
    // The viewer runs on its own; it is not waited for.
    return ::posix_spawnp(&child, program, nullptr, nullptr, arguments, environ) == 0;
}

std::string createTemporaryFile() {
    std::string pattern = temporaryFolder() + "morvane-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int descriptor = ::mkstemp(name.data());
    if (descriptor < 0)
        return std::string();
    ::close(descriptor);
    return std::string(name.data());
}

void removeFile(const std::string& name) {
    ::unlink(name.c_str());
}

void copyPermissions(const std::string& source, const File& target) {
    struct stat from;
    struct stat to;
    if (::stat(source.c_str(), &from) != 0 || ::fstat(fd(target), &to) != 0)
        return;
    if (!S_ISREG(to.st_mode))
        return;
    ::fchmod(fd(target), from.st_mode & 0777);
}

} // namespace platform
