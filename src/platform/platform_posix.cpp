#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

File openWith(const std::string& name, int flags, mode_t mode = 0666) {
    int fd;
    do {
        fd = ::open(name.c_str(), flags | O_CLOEXEC, mode);
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

bool syncFile(const File& file) {
    int result;
    do {
        result = ::fsync(fd(file));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

namespace {
FileIdentity identityFrom(const struct stat& info) {
    FileIdentity identity;
    identity.known = true;
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.index = static_cast<std::uint64_t>(info.st_ino);
    return identity;
}
} // namespace

FileIdentity identityOf(const File& file) {
    struct stat info;
    return ::fstat(fd(file), &info) == 0 ? identityFrom(info) : FileIdentity();
}

FileIdentity identityOfName(const std::string& name) {
    struct stat info;
    return ::stat(name.c_str(), &info) == 0 ? identityFrom(info) : FileIdentity();
}

bool isSpecialFile(const std::string& name) {
    struct stat info;
    return ::stat(name.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

File createFileBeside(const std::string& name, std::string& freshName, std::string& target) {
    // Through a link, the file it leads to is replaced, as writing through the link would.
    target = name;
    struct stat info;
    if (::lstat(name.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* resolved = ::realpath(name.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    std::size_t slash = target.rfind('/');
    std::string pattern =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
        ".morvane-XXXXXX";
    std::vector<char> fresh(pattern.begin(), pattern.end());
    fresh.push_back('\0');
    int descriptor = ::mkostemp(fresh.data(), O_CLOEXEC);
    if (descriptor < 0)
        return File();
    File file(descriptor);
    freshName = fresh.data();
    // mkostemp makes the file private; a new file of that name would get 0666 less the umask.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(descriptor, 0666 & ~mask);
    return file;
}

bool replaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string fullPath(const std::string& name) {
    char* resolved = ::realpath(name.c_str(), nullptr);
    if (resolved == nullptr)
        return std::string();
    std::string path = resolved;
    std::free(resolved);
    return path;
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

std::string temporaryFolder() {
    const char* dir = std::getenv("TMPDIR");
    std::string folder = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

File openInSharedFolder(const std::string& path) {
    return openWith(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600);
}

File createInSharedFolder(const std::string& path) {
    return openWith(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0600);
}

File openExistingInSharedFolder(const std::string& path) {
    return openWith(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
}

bool isPrivateRegularFile(const File& file) {
    struct stat info;
    return ::fstat(fd(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
           info.st_uid == ::geteuid();
}

bool truncateFile(const File& file, std::uint64_t size) {
    return ::ftruncate(fd(file), static_cast<off_t>(size)) == 0;
}

bool startViewer(const std::string& path) {
    if (!hasGraphicalSession())
        return false;
    char program[] = "xdg-open";
    std::vector<char> argument(path.begin(), path.end());
    argument.push_back('\0');
    char* arguments[] = {program, argument.data(), nullptr};
    // The viewer gets the signal dispositions a program normally starts with.
    posix_spawnattr_t attributes;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child;
    // The viewer runs on its own; it is not waited for.
    bool started = ::posix_spawnp(&child, program, nullptr, &attributes, arguments, environ) == 0;
    ::posix_spawnattr_destroy(&attributes);
    return started;
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

void prepareProcess() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

namespace {
unsigned holdDepth = 0;

sigset_t interruptions() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, signal);
    return set;
}
} // namespace

void holdInterruptions() {
    if (holdDepth++ == 0) {
        sigset_t set = interruptions();
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
    }
}

void releaseInterruptions() {
    if (holdDepth > 0 && --holdDepth == 0) {
        sigset_t set = interruptions();
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
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
