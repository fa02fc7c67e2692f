#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

int fd(const File& file) {
    return static_cast<int>(file.handle);
}

bool holdsData(const struct stat& info) {
    return S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
}

// Makes a descriptor opened without waiting wait again, as the callers expect.
bool waitsAgain(const File& file) {
    int flags = ::fcntl(fd(file), F_GETFL);
    return flags >= 0 && ::fcntl(fd(file), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Never waits. Only a lock that another open file holds stops the caller; a file system that
// has no locks does not.
bool lockWithoutWaiting(const File& file, int kind) {
    int result;
    do {
        // The test seams stand in for a file system without locks.
        bool passes = MORVANE_SEAM_BEFORE_CALL(Lock);
        result = passes ? ::flock(fd(file), kind | LOCK_NB) : -1;
        if (!passes)
            errno = ENOLCK;
    } while (result != 0 && errno == EINTR);
    return result == 0 || errno != EWOULDBLOCK;
}

const int INTERRUPTIONS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t interruptions() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : INTERRUPTIONS)
        sigaddset(&set, signal);
    return set;
}

// The files an interruption outside a hold removes, for the handler below: fixed storage, since
// a handler may not allocate. The run's temporary files, and the fresh file of its output.
const std::size_t MOST_TEMPORARIES = 4;
char temporaries[MOST_TEMPORARIES][4096];
char freshOutput[4096];

// Lists the fresh file (empty for none); interruptions must be blocked, so that the handler
// never sees it half-written.
void listFreshFile(const std::string& name) {
    bool fits = name.size() < sizeof freshOutput;
    std::memcpy(freshOutput, fits ? name.c_str() : "", fits ? name.size() + 1 : 1);
}

// Writes the bytes at `offset`, or at the current position when it is AT_POSITION (pipes and
// devices too); returns how many were written before any failure.
const std::uint64_t AT_POSITION = ~std::uint64_t(0);
std::size_t writeAll(const File& file, std::uint64_t offset, const void* data, std::size_t count) {
    const char* in = static_cast<const char*>(data);
    std::size_t total = 0;
    while (total < count) {
        ssize_t done = offset == AT_POSITION ? ::write(fd(file), in + total, count - total)
                                             : ::pwrite(fd(file), in + total, count - total,
                                                        static_cast<off_t>(offset + total));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            break;
        total += static_cast<std::size_t>(done);
    }
    return total;
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

File openFile(const std::string& name, Access access, Disposition disposition, unsigned flags) {
    static const int ACCESS[] = {O_RDONLY, O_WRONLY, O_RDWR};
    static const int DISPOSITION[] = {0, O_CREAT | O_EXCL, O_CREAT, O_CREAT | O_TRUNC};
    bool dataOnly = (flags & DATA_ONLY) != 0;
    struct stat info;
    if (dataOnly && (::stat(name.c_str(), &info) != 0 || !holdsData(info)))
        return File();
    // Between the check by name and the open, a FIFO may be put in place.
    MORVANE_SEAM_OPEN(name);
    bool noWait = dataOnly || (flags & NO_WAIT) != 0;
    int how = ACCESS[static_cast<int>(access)] | DISPOSITION[static_cast<int>(disposition)] |
              O_CLOEXEC | ((flags & NO_FOLLOW) != 0 ? O_NOFOLLOW : 0) | (noWait ? O_NONBLOCK : 0);
    int descriptor;
    do {
        descriptor = ::open(name.c_str(), how, (flags & OWNER_ONLY) != 0 ? 0600 : 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return File();
    File file(descriptor);
    if ((dataOnly && (::fstat(fd(file), &info) != 0 || !holdsData(info))) ||
        (noWait && !waitsAgain(file)) ||
        ((flags & LOCK) != 0 &&
         !lockWithoutWaiting(file, access == Access::Read ? LOCK_SH : LOCK_EX)))
        return File();
    return file;
}

bool closeFile(File& file) {
    if (!isOpen(file))
        return true;
    int result = ::close(fd(file));
    file.handle = -1;
    return result == 0 || errno == EINTR;
}

bool syncFile(const File& file) {
    if (!MORVANE_SEAM_BEFORE_CALL(SyncFile))
        return false;
    int result;
    do {
        result = ::fsync(fd(file));
    } while (result != 0 && errno == EINTR);
    MORVANE_SEAM_AFTER(SyncFile);
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

namespace {

#ifdef __linux__
// The file system's UUID, where the kernel gives it (Linux 6.5 and later).
struct FileSystemUuid {
    std::uint8_t length;
    std::uint8_t bytes[16];
};
const unsigned long GET_FILE_SYSTEM_UUID = _IOR(0x15, 0, FileSystemUuid);
#endif

// What names the file system across reboots: statvfs's f_fsid, which tells btrfs subvolumes
// apart (they share one UUID and number their files alike); where that is only the device
// number (XFS, FAT), the file system's UUID; 0 when it has neither.
std::uint64_t fileSystemIdentity(int descriptor, dev_t device) {
    struct statvfs info;
    std::uint64_t identity = 0;
    if (::fstatvfs(descriptor, &info) == 0 && info.f_fsid != static_cast<std::uint64_t>(device))
        identity = static_cast<std::uint64_t>(info.f_fsid);
#ifdef __linux__
    FileSystemUuid uuid = {};
    if (identity == 0 && ::ioctl(descriptor, GET_FILE_SYSTEM_UUID, &uuid) == 0 &&
        uuid.length <= 16) {
        // Folded to 64 bits: the records compare the file's bytes too.
        for (std::uint8_t k = 0; k < uuid.length; ++k)
            identity = (identity << 8 | identity >> 56) ^ uuid.bytes[k];
    }
#endif
    return identity;
}

} // namespace

LastingIdentity lastingIdentityOf(const File& file) {
    LastingIdentity identity;
    struct stat info;
    if (::fstat(fd(file), &info) != 0)
        return identity;
    identity.known = true;
    identity.device = S_ISBLK(info.st_mode);
    identity.index = static_cast<std::uint64_t>(identity.device ? info.st_rdev : info.st_ino);
    identity.volume = identity.device ? 0 : fileSystemIdentity(fd(file), info.st_dev);
    return identity;
}

namespace {

// Whether the kernel's protection of shared folders (fs.protected_symlinks) would follow the
// link `path`: in a sticky folder that everyone may write, only a link of the user's own or of
// the folder's owner. Applied whether that protection is on or not.
bool mayFollow(const std::string& path, const struct stat& link) {
    if (link.st_uid == ::geteuid())
        return true;
    std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0)
        return false;
    const mode_t SHARED = S_ISVTX | S_IWOTH;
    return (info.st_mode & SHARED) != SHARED || link.st_uid == info.st_uid;
}

// The name a chain of symbolic links ends in (`path`), whether that file exists or not; false
// when a link on the way may not be followed.
bool followLinks(const std::string& name, std::string& path) {
    path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true;
        if (!mayFollow(path, info))
            return false;
        std::vector<char> buffer(static_cast<std::size_t>(info.st_size) + 1);
        ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size())
            return true;
        std::string link(buffer.data(), static_cast<std::size_t>(length));
        std::size_t slash = path.rfind('/');
        path =
            link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    return true;
}

} // namespace

bool isSpecialFile(const std::string& name) {
    std::string target;
    struct stat info;
    return followLinks(name, target) && ::stat(target.c_str(), &info) == 0 &&
           !S_ISREG(info.st_mode);
}

namespace {

// The names of the file's extended attributes, each ended by a zero byte.
bool attributeNames(int descriptor, std::vector<char>& names) {
    ssize_t size = ::flistxattr(descriptor, nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    names.resize(static_cast<std::size_t>(size));
    size = size == 0 ? 0 : ::flistxattr(descriptor, names.data(), names.size());
    if (size < 0)
        return false;
    names.resize(static_cast<std::size_t>(size));
    return true;
}

bool attributeValue(int descriptor, const char* name, std::vector<char>& value) {
    ssize_t size = ::fgetxattr(descriptor, name, nullptr, 0);
    if (size < 0)
        return false;
    value.resize(static_cast<std::size_t>(size));
    size = size == 0 ? 0 : ::fgetxattr(descriptor, name, value.data(), value.size());
    if (size < 0)
        return false;
    value.resize(static_cast<std::size_t>(size));
    return true;
}

bool hasName(const std::vector<char>& names, const char* name) {
    for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        if (std::strcmp(&names[at], name) == 0)
            return true;
    }
    return false;
}

// Gives the fresh file exactly the extended attributes (ACLs among them) of the old one.
bool copyAttributes(int from, int to) {
    std::vector<char> names;
    std::vector<char> freshNames;
    if (!attributeNames(from, names) || !attributeNames(to, freshNames))
        return false;
    std::vector<char> value;
    std::vector<char> freshValue;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        if (!attributeValue(from, name, value))
            return false;
        // Some attributes (a security label) may only be set to what they already are.
        if (attributeValue(to, name, freshValue) && freshValue == value)
            continue;
        if (::fsetxattr(to, name, value.data(), value.size(), 0) != 0)
            return false;
    }
    for (std::size_t at = 0; at < freshNames.size(); at += std::strlen(&freshNames[at]) + 1) {
        if (!hasName(names, &freshNames[at]) && ::fremovexattr(to, &freshNames[at]) != 0)
            return false;
    }
    return true;
}

// What the old file had and writing in place kept: owner, group, extended attributes (an ACL
// the folder gave the fresh file goes), permission bits. The bits come last: changing the
// owner clears the set-user-ID and set-group-ID bits.
bool takeOver(int old, const struct stat& info, int fresh) {
    struct stat freshInfo;
    if (::fstat(fresh, &freshInfo) != 0)
        return false;
    if ((freshInfo.st_uid != info.st_uid || freshInfo.st_gid != info.st_gid) &&
        ::fchown(fresh, info.st_uid, info.st_gid) != 0)
        return false;
    return copyAttributes(old, fresh) && ::fchmod(fresh, info.st_mode & 07777) == 0;
}

// Makes a new file exclusively under a fresh name (".morvane-" and six letters or digits) in the
// folder (empty, or ending with '/'), and lists it for interruptions in the same step. A new
// output is created as any new file (0666, and the kernel applies the umask or the folder's
// default ACL); one that replaces a file is private until it takes that file's permissions.
File createFresh(const std::string& folder, bool replacing, std::string& freshName) {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::uint64_t counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec now = {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        // Only unlikely to be taken: O_EXCL makes the file safe whatever its name.
        std::uint64_t value = std::uint64_t(::getpid()) << 40 ^ std::uint64_t(now.tv_nsec) ^
                              std::uint64_t(now.tv_sec) << 20 ^ ++counter * 0x9E3779B97F4A7C15u;
        value = (value ^ value >> 31) * 0xBF58476D1CE4E5B9u;
        std::string name = folder + ".morvane-";
        for (int k = 0; k < 6; ++k, value /= 62)
            name += LETTERS[value % 62];
        sigset_t set = interruptions();
        sigset_t previous;
        ::sigprocmask(SIG_BLOCK, &set, &previous);
        // Readable too: a checksum may be taken of bytes written earlier.
        File file = openFile(name, Access::ReadWrite, Disposition::CreateNew,
                             NO_FOLLOW | (replacing ? OWNER_ONLY : 0));
        int error = errno;
        if (isOpen(file))
            listFreshFile(name);
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (isOpen(file)) {
            freshName = name;
            return file;
        }
        if (error != EEXIST)
            break;
    }
    return File();
}

} // namespace

File createFileBeside(const std::string& name, std::string& freshName, std::string& target,
                      bool inPlace) {
    freshName.clear();
    // Through a link, dangling or not, the file it leads to is created or replaced, as writing
    // through the link would; a link that the kernel would not follow is refused.
    if (!followLinks(name, target))
        return File();
    // An existing output must be one this user may write, as it was when written in place. A
    // link put under the name since it was looked at is not followed.
    File old = openFile(target, Access::Write, Disposition::OpenExisting, NO_FOLLOW | NO_WAIT);
    struct stat info;
    bool exists = isOpen(old);
    if (exists && (::fstat(fd(old), &info) != 0 || !S_ISREG(info.st_mode)))
        return File();
    if (!exists && errno != ENOENT)
        return File();
    std::size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    // A second link would keep the old content under its other name.
    File file = exists && info.st_nlink > 1 ? File() : createFresh(folder, exists, freshName);
    if (isOpen(file) && (!exists || takeOver(fd(old), info, fd(file))))
        return file;
    if (isOpen(file)) {
        file = File();
        ::unlink(freshName.c_str());
        forgetFreshFile();
        freshName.clear();
    }
    // No fresh file can carry what the old one has: the output goes into the old file itself,
    // once no other process reads or writes it under a lock (an applying run reads its patch so).
    if (!inPlace || !exists || !lockWithoutWaiting(old, LOCK_EX) || ::ftruncate(fd(old), 0) != 0)
        return File();
    return old;
}

// A rename that fails leaves both files as they were.
bool replaceFile(const std::string& from, const std::string& to, bool* oldGone) {
    if (oldGone != nullptr)
        *oldGone = false;
    if (!MORVANE_SEAM_BEFORE_CALL(Replace))
        return false;
    bool replaced = ::rename(from.c_str(), to.c_str()) == 0;
    MORVANE_SEAM_AFTER(Replace);
    return replaced;
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

namespace {
ReadResult readAll(const File& file, std::uint64_t offset, void* data, std::size_t count) {
    ReadResult result;
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
    return result;
}
} // namespace

ReadResult readAt(const File& file, std::uint64_t offset, void* data, std::size_t count) {
    bool passes = MORVANE_SEAM_BEFORE(ReadAt, file, count);
    ReadResult result = readAll(file, offset, data, count);
    result.failed = result.failed || !passes;
    MORVANE_SEAM_AFTER(ReadAt);
    return result;
}

// Views read into their buffer, never map: reading a mapped hole may allocate it (and fill a
// tmpfs), and a buffer that stays in the processor's cache is compared faster here than pages
// mapped a window at a time.
ReadResult viewAt(const File& file, std::uint64_t offset, std::size_t count, FileView& view) {
    view.buffer.resize(count);
    ReadResult result = readAt(file, offset, view.buffer.data(), count);
    view.data = view.buffer.data();
    view.count = result.count;
    return result;
}

void closeView(FileView& view) {
    view.data = nullptr;
    view.count = 0;
    view.buffer = std::vector<std::uint8_t>();
}

// ---- Reading the inputs of a new patch ----

FileStamp stampOf(const File& file) {
    FileStamp stamp;
    struct stat info;
    if (::fstat(fd(file), &info) != 0)
        return stamp;
    stamp.known = true;
    stamp.size = static_cast<std::uint64_t>(info.st_size);
    stamp.modified = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changed = std::int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return stamp;
}

bool mayHaveHoles(const File& file) {
    struct stat info;
    return ::fstat(fd(file), &info) == 0 && S_ISREG(info.st_mode) &&
           std::uint64_t(info.st_blocks) * 512 < std::uint64_t(info.st_size);
}

std::uint64_t nextData(const File& file, std::uint64_t offset, std::uint64_t end) {
    off_t found = ::lseek(fd(file), static_cast<off_t>(offset), SEEK_DATA);
    if (found < 0)
        return errno == ENXIO ? end : offset;
    return std::min(static_cast<std::uint64_t>(found), end);
}

CopyResult copyBetween(const File& from, std::uint64_t offset, const File& to,
                       std::uint64_t toOffset, std::size_t count) {
    CopyResult result;
    std::size_t wanted = count;
    result.read = MORVANE_SEAM_BEFORE(ReadAt, from, wanted) && wanted == count;
    MORVANE_SEAM_AFTER(ReadAt);
    result.written = MORVANE_SEAM_BEFORE(WriteAt, to, wanted) && wanted == count;
    if (!result.read || !result.written)
        return result;
    std::size_t done = 0;
    while (done < count) {
        off_t in = static_cast<off_t>(offset + done);
        off_t out = static_cast<off_t>(toOffset + done);
        ssize_t moved = ::copy_file_range(fd(from), &in, fd(to), &out, count - done, 0);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            break;
        done += static_cast<std::size_t>(moved);
    }
    // Where the system cannot copy (or fails), the rest goes through the process, which tells a
    // read error from a write error.
    std::vector<char> piece;
    while (done < count) {
        piece.resize(std::min<std::size_t>(count - done, 1 << 20));
        ReadResult got = readAll(from, offset + done, piece.data(), piece.size());
        if (writeAll(to, toOffset + done, piece.data(), got.count) < got.count) {
            result.written = false;
            break;
        }
        done += got.count;
        if (got.failed || got.count < piece.size()) {
            result.read = false;
            break;
        }
    }
    MORVANE_SEAM_AFTER(WriteAt);
    return result;
}

// ----

bool writeAt(const File& file, std::uint64_t offset, const void* data, std::size_t count,
             std::size_t* written) {
    bool passes = MORVANE_SEAM_BEFORE(WriteAt, file, count);
    std::size_t total = writeAll(file, offset, data, count);
    if (written != nullptr)
        *written = total;
    if (total < count)
        return false;
    MORVANE_SEAM_AFTER(WriteAt);
    return passes;
}

bool writeNext(const File& file, const void* data, std::size_t count) {
    bool passes = MORVANE_SEAM_BEFORE(WriteNext, file, count);
    if (writeAll(file, AT_POSITION, data, count) < count)
        return false;
    MORVANE_SEAM_AFTER(WriteNext);
    return passes;
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

std::string stateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    // A relative XDG_STATE_HOME is not valid and is passed over.
    if (state != nullptr && state[0] == '/')
        base = state;
    else if (home != nullptr && home[0] == '/')
        base = std::string(home) + "/.local/state";
    else
        return std::string();
    // Root with another user's HOME must not take that user's folders: only the last one is
    // made, in a folder of the user's own.
    struct stat info;
    if (::stat(base.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return std::string();
    std::string folder = base + "/morvane";
    ::mkdir(folder.c_str(), 0700);
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 022) != 0 ||
        ::access(folder.c_str(), W_OK | X_OK) != 0)
        return std::string();
    return folder + "/";
}

void syncFolder(const std::string& folder) {
    File opened = openFile(folder, Access::Read, Disposition::OpenExisting, NO_WAIT);
    if (isOpen(opened))
        syncFile(opened);
}

FileStatus statusOf(const File& file) {
    FileStatus status;
    struct stat info;
    if (::fstat(fd(file), &info) != 0)
        return status;
    status.kind = S_ISREG(info.st_mode)                            ? FileKind::Regular
                  : S_ISDIR(info.st_mode)                          ? FileKind::Folder
                  : S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode) ? FileKind::Device
                                                                   : FileKind::Other;
    status.links = static_cast<std::uint64_t>(info.st_nlink);
    status.ownedByUser = info.st_uid == ::geteuid();
    return status;
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

File createTemporaryFile(std::string& name) {
    std::string pattern = temporaryFolder() + "morvane-XXXXXX";
    std::vector<char> fresh(pattern.begin(), pattern.end());
    fresh.push_back('\0');
    int descriptor = ::mkostemp(fresh.data(), O_CLOEXEC);
    name = descriptor < 0 ? std::string() : std::string(fresh.data());
    return File(descriptor);
}

void removeFile(const std::string& name) {
    ::unlink(name.c_str());
}

namespace {
unsigned holdDepth = 0;

// An interruption outside a hold removes the run's temporary files and its output's fresh file,
// then ends the process as it would have without the handler: by the signal.
void onInterruption(int signal) {
    for (const char* name : temporaries) {
        if (name[0] != '\0')
            ::unlink(name);
    }
    if (freshOutput[0] != '\0')
        ::unlink(freshOutput);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
} // namespace

bool prepareProcess() {
    // The lowest free descriptor is the one opened, so each closed stream gets its own.
    for (int stream = 0; stream <= 2; ++stream) {
        if (::fcntl(stream, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != stream)
            return false;
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    // An interruption that is ignored (nohup) or handled already stays as it is.
    for (int signal : INTERRUPTIONS) {
        struct sigaction action = {};
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_DFL) {
            action.sa_handler = onInterruption;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;
            ::sigaction(signal, &action, nullptr);
        }
    }
    return true;
}

void removeWhenInterrupted(const std::vector<std::string>& names) {
    // The handler never sees a list half-written.
    sigset_t set = interruptions();
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &set, &previous);
    for (std::size_t k = 0; k < MOST_TEMPORARIES; ++k) {
        bool fits = k < names.size() && names[k].size() < sizeof temporaries[k];
        std::memcpy(temporaries[k], fits ? names[k].c_str() : "", fits ? names[k].size() + 1 : 1);
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void forgetFreshFile() {
    sigset_t set = interruptions();
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &set, &previous);
    listFreshFile(std::string());
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void InterruptionHold::take() {
    if (held)
        return;
    held = true;
    if (holdDepth++ == 0) {
        sigset_t set = interruptions();
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
    }
}

void InterruptionHold::release() {
    if (!held)
        return;
    held = false;
    if (--holdDepth == 0) {
        sigset_t set = interruptions();
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
}

void copyPermissions(const std::string& source, const File& target) {
    struct stat from;
    if (::stat(source.c_str(), &from) == 0 && statusOf(target).kind == FileKind::Regular)
        ::fchmod(fd(target), from.st_mode & 0777);
}

} // namespace platform
