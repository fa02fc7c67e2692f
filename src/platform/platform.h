// Every call into the operating system goes through this header; there is one
// implementation per system (platform_posix.cpp, platform_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// ---- Files: opening, reading and writing them, and what they are ---------------------------

// An open file, or none. Move-only; it closes itself when it goes. Outputs are closed with
// closeFile, which reports whether the system could write out what it had buffered.
struct File {
    std::intptr_t handle = -1;

    File() = default;
    explicit File(std::intptr_t value) : handle(value) {}
    File(File&& other) noexcept : handle(other.handle) { other.handle = -1; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();
};

inline bool isOpen(const File& file) {
    return file.handle != -1;
}

// How a file is opened. Disposition: OpenExisting gives no file when it is missing, CreateNew
// when the name is taken; OpenOrCreate never empties a file, CreateOrEmpty does.
enum class Access { Read, Write, ReadWrite };
enum class Disposition { OpenExisting, CreateNew, OpenOrCreate, CreateOrEmpty };
// NO_FOLLOW: no file through a symbolic link (Windows: the link, any reparse point, is opened
//   as itself, and statusOf calls it Other).
// NO_WAIT: no wait in the open on a FIFO that no one reads or writes (POSIX: no file; Windows
//   never waits there).
// OWNER_ONLY: a new file is its owner's only (POSIX: 0600, not 0666 less the umask; Windows: no
//   effect, the folders where it is asked for are the user's own).
// DATA_ONLY: only files that hold data at fixed offsets: POSIX regular files and block devices,
//   checked by name before the open (opening some devices acts: a tape rewinds) and on the open
//   file; Windows files on a disk, checked on the open file.
// SHARE_READ, SHARE_NONE: Windows: while it is open others may read the file but not write it
//   (and delete or rename it when it is only read), or not open it at all; by default they may
//   read and write it, and delete or rename it.
// LOCK: POSIX: a lock, shared for Access::Read and exclusive otherwise, taken without waiting
//   and held until the file is closed: no file when another process holds one that conflicts;
//   a file system without locks does not stop the open.
constexpr unsigned NO_FOLLOW = 1, NO_WAIT = 2, OWNER_ONLY = 4, DATA_ONLY = 8, SHARE_READ = 16,
                   SHARE_NONE = 32, LOCK = 64;
// The one way a file is opened; no file when the system or the flags refuse it.
File openFile(const std::string& name, Access access, Disposition disposition, unsigned flags);

// An input, opened without ever waiting on it: folders, pipes, sockets and character devices
// give no file and are never opened.
inline File openForReading(const std::string& name) {
    return openFile(name, Access::Read, Disposition::OpenExisting, DATA_ONLY);
}
// Creates a missing file or empties an existing one; a FIFO that no one reads gives no file.
inline File openForWriting(const std::string& name) {
    return openFile(name, Access::Write, Disposition::CreateOrEmpty, NO_WAIT);
}
// The file to patch, for reading and writing; other processes may read it meanwhile but not
// write it, and no file while one holds a lock on it.
inline File openForUpdate(const std::string& name) {
    return openFile(name, Access::ReadWrite, Disposition::OpenExisting,
                    DATA_ONLY | SHARE_READ | LOCK);
}

// Closes the file; false when the system reports that buffered data could not be written.
bool closeFile(File& file);

inline File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        closeFile(*this);
        handle = other.handle;
        other.handle = -1;
    }
    return *this;
}

inline File::~File() {
    closeFile(*this);
}

// Writes what the system holds of the file out to stable storage.
bool syncFile(const File& file);

// Which file a name or handle leads to: device and inode, or volume serial number and file
// index. Two names lead to the same file exactly when their identities are equal.
struct FileIdentity {
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t index = 0;
};
FileIdentity identityOf(const File& file);
// Follows links; unknown when the name leads to no file.
FileIdentity identityOfName(const std::string& name);
inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.index == b.index;
}

// Which file a handle leads to, in numbers that a reboot keeps, for records that must find the
// file again: POSIX: the file system's own identity (statvfs's f_fsid, or where that is only
// the device number its UUID; 0 when it has neither) and the inode number, or for a block
// device the device number it names (st_rdev); never the device number of the file system
// (st_dev) nor a device node's inode, which may change at every boot. Windows: volume serial
// number and file index.
struct LastingIdentity {
    bool known = false;
    bool device = false; // a block device, named by `index`
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};
LastingIdentity lastingIdentityOf(const File& file);

// True when the name leads to something other than a regular file (a device, a FIFO). POSIX:
// false when a link on the way may not be followed (see createFileBeside).
bool isSpecialFile(const std::string& name);
// Opens an output for the regular file that `name` leads to, whose name `target` receives.
// Usually a new file, made exclusively with a fresh name in that file's folder (`freshName`),
// to be put in place with replaceFile: a missing file's is created as any new file is (POSIX:
// mode 0666, less the umask or as the folder's default ACL says), an existing one's gets its
// owner, group, permission bits and extended attributes. When the old file has more than one
// link, or a fresh file cannot have what it has or cannot be made, the old file itself is
// returned, emptied once an exclusive lock on it is taken without waiting (POSIX), and
// `freshName` is empty (without `inPlace`: no file, the old one untouched). No file when an
// existing output cannot be written or another process holds a lock on it.
// A symbolic link stays a link: the file it leads to is replaced. POSIX follows a dangling link
// too and creates the file it names, but follows no link where the kernel's protection of
// shared folders would not: in a sticky folder that everyone may write, a link owned by neither
// the folder's owner nor the user gives no file. Windows cannot tell where a dangling link (or
// any reparse point whose file is gone) would lead and gives no file for it.
File createFileBeside(const std::string& name, std::string& freshName, std::string& target,
                      bool inPlace = true);
// Puts `from` in place under the name `to`, replacing the file that had it, in one step.
// `oldGone`, when given, is set when it failed after the file under `to` was already gone
// (Windows: a replace that failed half-way); `from` then holds the only copy and must be kept.
bool replaceFile(const std::string& from, const std::string& to, bool* oldGone = nullptr);

// The file's size in bytes; false when it cannot be determined.
bool fileSize(const File& file, std::uint64_t& size);

struct ReadResult {
    std::size_t count = 0; // bytes delivered
    bool failed = false;   // the system reported an error (end of file is not one)
};

// Reads up to `count` bytes at `offset`, retrying short reads; fewer bytes come only at the
// end of the file or with `failed` set.
ReadResult readAt(const File& file, std::uint64_t offset, void* data, std::size_t count);

// A file's bytes shown a window at a time, for reading the file from start to end, read into a
// buffer that stays in the processor's cache until it is compared. Reading never changes how a
// file is stored: a hole reads as zeros and stays a hole (on tmpfs too).
struct FileView {
    const std::uint8_t* data = nullptr;
    std::size_t count = 0;
    std::vector<std::uint8_t> buffer;

    FileView() = default;
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView();
};

// Shows `count` bytes from `offset`, in place of what the view showed. As
// readAt: fewer bytes only with `failed` set, or at the end of the file. Counted by the test seams
// as a ReadAt.
ReadResult viewAt(const File& file, std::uint64_t offset, std::size_t count, FileView& view);
void closeView(FileView& view);

inline FileView::~FileView() {
    closeView(*this);
}

// What the system changes whenever a file is written: its size and its modification and change
// times (Windows: its size and last write time). Unknown when the system tells nothing.
struct FileStamp {
    bool known = false;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
};
FileStamp stampOf(const File& file);
inline bool sameStamp(const FileStamp& a, const FileStamp& b) {
    return a.known && b.known && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}
// True when the file may hold holes: a regular file with fewer bytes allocated than its size.
// Windows: never (its holes are read as any other bytes).
bool mayHaveHoles(const File& file);
// The first offset from `offset` on at which the file holds data; `end` when there is none
// before it, `offset` itself when the system cannot tell.
std::uint64_t nextData(const File& file, std::uint64_t offset, std::uint64_t end);

// Copies `count` bytes of `from` at `offset` into `to` at `toOffset`, without copying them
// through the process where the system can (Linux: copy_file_range). Counted by the test seams
// as a ReadAt of `from` and a WriteAt of `to`, both before anything moves.
struct CopyResult {
    bool read = true;    // false: `from` could not be read, or ended before `count` bytes
    bool written = true; // false: `to` could not be written
};
CopyResult copyBetween(const File& from, std::uint64_t offset, const File& to,
                       std::uint64_t toOffset, std::size_t count);

// Writes all `count` bytes at `offset`; false when any of them could not be written.
// `written`, when given, receives how many bytes were written from the start.
bool writeAt(const File& file, std::uint64_t offset, const void* data, std::size_t count,
             std::size_t* written = nullptr);

// Writes all `count` bytes at the current position (works on pipes and devices too).
bool writeNext(const File& file, const void* data, std::size_t count);

enum class FileKind { Regular, Folder, Device, Other };
// What an open file is. POSIX: the kind from its mode (FIFOs and sockets are Other), its link
// count, and whether its owner is the effective user. Windows: a file on a disk is Regular, a
// Folder, or Other when it is a reparse point; a character device (a console, NUL) is a Device,
// a pipe Other; every open file counts as the user's own, since the folders whose files are
// checked (temporary, state) are the user's own there. When the system tells nothing: Other,
// no links, not owned.
struct FileStatus {
    FileKind kind = FileKind::Other;
    std::uint64_t links = 0;
    bool ownedByUser = false;
};
FileStatus statusOf(const File& file);
// Cuts the file to `size` bytes.
bool truncateFile(const File& file, std::uint64_t size);

// Deletes the file; failure is not reported.
void removeFile(const std::string& name);

// Gives an open regular file the permission bits of the file `source` (so a copy of an
// executable can be started). Special files are left alone. No effect on Windows.
void copyPermissions(const std::string& source, const File& target);

// ---- Names and folders -------------------------------------------------------------------

// Full path of the file the running process was started from; empty when it cannot be found.
std::string ownExecutablePath();

// The user's temporary folder, ending with the path separator; empty when there is none.
std::string temporaryFolder();

// The user's own folder for files that must outlive a reboot (POSIX: $XDG_STATE_HOME/morvane
// or ~/.local/state/morvane; Windows: %LOCALAPPDATA%\Morvane), created for the owner only
// when missing, ending with the path separator; empty when there is none that only this user
// can write. POSIX creates only that last folder, and only in a folder that exists and belongs
// to the effective user: never anything under another user's home.
std::string stateFolder();
// Writes the folder's entries (a file just created in it) out to stable storage.
void syncFolder(const std::string& folder);

// Creates a new, empty file with a fresh name in the user's temporary folder, exclusively, so
// no other process can have made it first, readable by the user alone and open for writing;
// `name` receives its name. No file and an empty name when none could be made.
File createTemporaryFile(std::string& name);

#ifdef _WIN32
// The program's arguments from the wide command line, argv[0] included, as UTF-8; an unpaired
// surrogate, which no UTF-8 holds, is kept as WTF-8 (see isExactName).
std::vector<std::string> argumentsInUtf8(int argc, const wchar_t* const* argv);
// The name as the wide file calls receive it, in UTF-8: as given while its full path is short,
// otherwise that full path behind the \\?\ prefix.
std::string systemNameOf(const std::string& name);
#endif
// False for a name that cannot reach the system as it was given: on Windows one that held an
// unpaired surrogate (an NTFS name may), which UTF-8 cannot hold; every file call refuses such a
// name, so that it is never taken for another file's.
#ifdef _WIN32
bool isExactName(const std::string& name);
#else
inline bool isExactName(const std::string&) {
    return true;
}
#endif
#ifdef _WIN32
// A name read from a patch, made what the program holds: UTF-8 stays as it is; a name that is
// not valid UTF-8 was stored by an earlier build in the ANSI code page, taken to be this
// system's.
void readNameFromPatch(std::string& name);
// True for a name that leads to another machine or to a device rather than to a file on a
// local disk: one that begins with two separators (\\server\share, //server/share,
// \\?\UNC\..., \\.\...), other than a drive path in its long form (\\?\C:\...), or with \??\.
// Opening a network name makes Windows connect to that host and offer it the user's credentials.
bool isNetworkOrDeviceName(const std::string& name);
#else
// Names are bytes, stored and used as they are.
inline void readNameFromPatch(std::string&) {}
inline bool isNetworkOrDeviceName(const std::string&) {
    return false;
}
#endif

// ---- The process -------------------------------------------------------------------------

// Prepares the process for a run, before it opens anything: a closed standard stream is opened
// on the null device (so no file the run opens can become one), and a closed output pipe and
// a file-size limit become write errors instead of ending the process. False when a standard
// stream cannot be opened.
bool prepareProcess();
// The run's temporary files (at most four), removed when an interruption ends the process
// outside a write phase; each call replaces the list. (Windows deletes them as the ending
// process closes them, so the files the run opens let others delete them.)
void removeWhenInterrupted(const std::vector<std::string>& names);
// POSIX: an interruption outside a hold also removes the fresh file of the output being
// written, listed by createFileBeside from the moment it exists; taken off the list here once
// it is put in place or removed. Windows lists nothing.
void forgetFreshFile();
// Whether an interruption removes the run's files itself (POSIX), so that outputs need no hold
// while they are written; Windows deletes no file that is still open, and holds them instead.
#ifdef _WIN32
const bool INTERRUPTION_REMOVES_FILES = false;
#else
const bool INTERRUPTION_REMOVES_FILES = true;
#endif
// While a hold is taken, interruptions (Ctrl-C, a termination request, a closed console or
// terminal) wait and take effect when it is released, so a write phase is never cut in the
// middle. Holds nest; one that goes is released.
struct InterruptionHold {
    bool held = false;

    InterruptionHold() = default;
    InterruptionHold(const InterruptionHold&) = delete;
    InterruptionHold& operator=(const InterruptionHold&) = delete;
    ~InterruptionHold() { release(); }
    void take();
    void release();
};

// Starts the system's viewer for the file and does not wait for it; false when none could be
// started (on Linux also when there is no graphical session).
bool startViewer(const std::string& path);

// ---- The Windows console: a double-clicked program's window, and names in characters ------

#ifdef _WIN32
// Writes UTF-8 text that holds more than ASCII to standard output in characters when that is a
// console, after what the C runtime holds for it; false otherwise, and the caller writes the
// bytes.
bool writeToConsole(const char* text, std::size_t length);
// True when the program was started by the desktop shell (its parent is explorer.exe) in a
// console of its own that closes when it ends (a double click), and its standard streams are
// that console. Decided by prepareProcess.
bool consoleClosesWithProcess();
// Waits until a key is pressed on the console of standard input.
void waitForKey();
#else
// A terminal takes UTF-8 and never closes with the program.
inline bool writeToConsole(const char*, std::size_t) {
    return false;
}
inline bool consoleClosesWithProcess() {
    return false;
}
inline void waitForKey() {}
#endif

// ---- Test builds only ---------------------------------------------------------------------

#ifdef MORVANE_TEST_SEAMS
// Test builds only: faults planted into the file calls by a plan that lives with the tests.
namespace seam {
enum class Call { ReadAt, WriteAt, WriteNext, SyncFile, Replace, Open, Lock };
// Counts the call on `file`. May shorten `count`; false when the call must report a failure
// after moving that many bytes.
bool before(Call call, const File& file, std::size_t& count);
// Counts a call that moves no bytes (a flush, a rename); false when it must report a failure.
bool before(Call call);
// Counts a replace of the existing file `to` (a Replace); false when it must report a failure,
// whose system error `error` receives. The plan may first remove `to`, as a replace that fails
// half-way does.
bool beforeReplace(const std::string& to, unsigned long& error);
// Ends the process abruptly when the plan says so for this call.
void after(Call call);
// Counts an open by name, after its checks by name and before the open itself; may put
// something else under the name.
void beforeOpen(const std::string& name);
#ifdef _WIN32
// Delivers Ctrl-C as Windows does: the console handler runs on a thread of its own, and the
// process ends when the handler declines the event. Outside a write phase it is waited for.
void deliverInterruption();
#endif
// True when the plan says whether the console is the program's own (`alone`).
bool consoleOfItsOwn(bool& alone);
// True when the plan names the image of the process that started the program (`image`).
bool parentImage(std::string& image);
} // namespace seam
#define MORVANE_SEAM_BEFORE(call, file, count) seam::before(seam::Call::call, file, count)
#define MORVANE_SEAM_BEFORE_CALL(call) seam::before(seam::Call::call)
#define MORVANE_SEAM_BEFORE_REPLACE(to, error) seam::beforeReplace(to, error)
#define MORVANE_SEAM_AFTER(call) seam::after(seam::Call::call)
#define MORVANE_SEAM_OPEN(name) seam::beforeOpen(name)
#else
#define MORVANE_SEAM_BEFORE(call, file, count) true
#define MORVANE_SEAM_BEFORE_CALL(call) true
#define MORVANE_SEAM_BEFORE_REPLACE(to, error) true
#define MORVANE_SEAM_AFTER(call) ((void)0)
#define MORVANE_SEAM_OPEN(name) ((void)0)
#endif

} // namespace platform
