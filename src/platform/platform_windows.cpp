#include "platform/hex_text.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <windows.h>

namespace platform {
namespace {

HANDLE nativeHandle(const File& file) {
    return reinterpret_cast<HANDLE>(file.handle);
}

// Wide text, ended by a 0. Not std::wstring: its runtime functions, linked statically, would
// add some 20 KB to every self-applying patch.
using WideText = std::vector<wchar_t>;

// Text in a code page (UTF-8 inside the program) as UTF-16; with MB_ERR_INVALID_CHARS in
// `flags`, false for bytes the code page does not hold, otherwise anything is taken.
bool toWide(const std::string& text, UINT codePage, DWORD flags, WideText& out) {
    out.assign(text.size() + 1, L'\0');
    int length = text.empty() ? 0
                              : MultiByteToWideChar(codePage, flags, text.data(),
                                                    static_cast<int>(text.size()), out.data(),
                                                    static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(length) + 1);
    return length > 0 || text.empty();
}

WideText wide(const std::string& text) {
    WideText result;
    toWide(text, CP_UTF8, 0, result);
    return result;
}

std::string utf8(const wchar_t* text, std::size_t count) {
    std::string result(count * 3, '\0');
    int length = count == 0
                     ? 0
                     : WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), &result[0],
                                           static_cast<int>(result.size()), nullptr, nullptr);
    result.resize(static_cast<std::size_t>(length));
    return result;
}

bool startsWith(const WideText& text, const wchar_t* start) {
    return wcsncmp(text.data(), start, wcslen(start)) == 0;
}

// The absolute form of a wide name, through the buffer size GetFullPathNameW asks for; only
// the ending 0 when it cannot be made.
WideText wideFullPath(const WideText& name) {
    DWORD needed = GetFullPathNameW(name.data(), 0, nullptr, nullptr);
    WideText full(needed + 1, L'\0');
    DWORD length = needed == 0 ? 0 : GetFullPathNameW(name.data(), needed, full.data(), nullptr);
    full.resize(length < needed ? length + 1 : 1);
    return full;
}

// The name as the wide file calls take it: unchanged while its full path is short, otherwise
// that full path behind the \\?\ prefix, which lifts the 260-character limit (the prefix also
// turns off the system's own clean-up of the path, which GetFullPathNameW has done).
WideText systemName(const std::string& name) {
    WideText given = wide(name);
    if (startsWith(given, L"\\\\?\\"))
        return given;
    WideText full = wideFullPath(given);
    // Folders must leave room for an 8.3 name below them, hence 248 rather than 260.
    if (full.size() <= 248 || startsWith(full, L"\\\\.\\"))
        return full.size() <= 248 ? given : full;
    const wchar_t* prefix = startsWith(full, L"\\\\") ? L"\\\\?\\UNC" : L"\\\\?\\";
    // A share's \\server\share keeps one backslash after UNC.
    full.erase(full.begin(), full.begin() + (startsWith(full, L"\\\\") ? 1 : 0));
    full.insert(full.begin(), prefix, prefix + wcslen(prefix));
    return full;
}

// Every file is opened here.
File createWith(const std::string& name, DWORD access, DWORD share, DWORD disposition,
                DWORD flags) {
    HANDLE handle =
        CreateFileW(systemName(name).data(), access, share, nullptr, disposition, flags, nullptr);
    return handle != INVALID_HANDLE_VALUE ? File(reinterpret_cast<std::intptr_t>(handle)) : File();
}

OVERLAPPED positionAt(std::uint64_t offset) {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// Largest piece handed to one ReadFile or WriteFile call, whose count is 32-bit.
const std::size_t MAX_TRANSFER = 1u << 30;

} // namespace

File openFile(const std::string& name, Access access, Disposition disposition, unsigned flags) {
    static const DWORD ACCESS[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    static const DWORD DISPOSITION[] = {OPEN_EXISTING, CREATE_NEW, OPEN_ALWAYS, CREATE_ALWAYS};
    DWORD share = (flags & SHARE_NONE) != 0   ? 0
                  : (flags & SHARE_READ) != 0 ? FILE_SHARE_READ
                                              : FILE_SHARE_READ | FILE_SHARE_WRITE;
    File file = createWith(
        name, ACCESS[static_cast<int>(access)], share, DISPOSITION[static_cast<int>(disposition)],
        FILE_ATTRIBUTE_NORMAL | ((flags & NO_FOLLOW) != 0 ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
    // Only files on a disk hold data at fixed offsets; pipes and character devices are refused.
    if ((flags & DATA_ONLY) != 0 && isOpen(file) &&
        GetFileType(nativeHandle(file)) != FILE_TYPE_DISK)
        return File();
    return file;
}

bool closeFile(File& file) {
    if (!isOpen(file))
        return true;
    BOOL closed = CloseHandle(nativeHandle(file));
    file.handle = -1;
    return closed != 0;
}

bool syncFile(const File& file) {
    if (!MORVANE_SEAM_BEFORE_CALL(SyncFile))
        return false;
    bool synced = FlushFileBuffers(nativeHandle(file)) != 0;
    MORVANE_SEAM_AFTER(SyncFile);
    return synced;
}

FileIdentity identityOf(const File& file) {
    BY_HANDLE_FILE_INFORMATION info;
    FileIdentity identity;
    if (GetFileInformationByHandle(nativeHandle(file), &info)) {
        identity.known = true;
        identity.device = info.dwVolumeSerialNumber;
        identity.index = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return identity;
}

namespace {
// Opens whatever the name leads to, a folder included, only to look at it.
File openToLookAt(const std::string& name) {
    return createWith(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}
} // namespace

FileIdentity identityOfName(const std::string& name) {
    File file = openToLookAt(name);
    return isOpen(file) ? identityOf(file) : FileIdentity();
}

bool isSpecialFile(const std::string& name) {
    File file = openToLookAt(name);
    return isOpen(file) && GetFileType(nativeHandle(file)) != FILE_TYPE_DISK;
}

namespace {
// Makes a new file exclusively under a fresh name in the folder (empty, or ending with a
// separator), which `freshName` receives; no file and an empty name when none can be made.
File createFresh(const std::string& folder, std::string& freshName) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        // "~mvn", the process id and a counter in 16 hexadecimal digits, ".tmp".
        std::uint64_t value = std::uint64_t(GetCurrentProcessId()) << 32 | counter++;
        char digits[16];
        freshName = folder + "~mvn" + std::string(digits, writeHex(digits, value, 16)) + ".tmp";
        // Readable too: a checksum may be taken of bytes written earlier.
        File file = openFile(freshName, Access::ReadWrite, Disposition::CreateNew, SHARE_NONE);
        if (isOpen(file))
            return file;
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    freshName.clear();
    return File();
}

// The name of the file a symbolic link (any reparse point) leads to, as the system has it
// (\\?\ and the full path); the name itself when it is no link, empty when the link leads to
// no file that can be opened.
std::string linkedName(const std::string& name) {
    DWORD attributes = GetFileAttributesW(systemName(name).data());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return name;
    File file = openToLookAt(name);
    // The longest path the system has, and its ending 0.
    WideText path(32768, L'\0');
    DWORD length = isOpen(file) ? GetFinalPathNameByHandleW(nativeHandle(file), path.data(),
                                                            static_cast<DWORD>(path.size()),
                                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)
                                : 0;
    return length == 0 || length >= path.size() ? std::string() : utf8(path.data(), length);
}
} // namespace

File createFileBeside(const std::string& name, std::string& freshName, std::string& target,
                      bool inPlace) {
    // Through a link the file it leads to is replaced, as writing through the link would.
    target = linkedName(name);
    freshName.clear();
    if (target.empty())
        return File();
    // An existing output must be one this user may write, as it was when written in place.
    File old = openFile(target, Access::Write, Disposition::OpenExisting, 0);
    if (!isOpen(old) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return File();
    BY_HANDLE_FILE_INFORMATION info;
    // A second link would keep the old content under its other name.
    bool linked = isOpen(old) && GetFileInformationByHandle(nativeHandle(old), &info) &&
                  info.nNumberOfLinks > 1;
    // The fresh file goes in the target's folder (none before the name: npos + 1 is 0).
    std::size_t separator = target.find_last_of("\\/:");
    File file = linked ? File() : createFresh(target.substr(0, separator + 1), freshName);
    if (isOpen(file))
        return file;
    // No fresh file can be had: the output goes into the old file itself.
    if (!inPlace || !isOpen(old) || !truncateFile(old, 0))
        return File();
    return old;
}

bool replaceFile(const std::string& from, const std::string& to) {
    if (!MORVANE_SEAM_BEFORE_CALL(Replace))
        return false;
    // ReplaceFile keeps the replaced file's attributes, owner and security. (Full paths: Wine
    // refuses relative ones.)
    bool replaced;
    if (GetFileAttributesW(systemName(to).data()) != INVALID_FILE_ATTRIBUTES)
        replaced =
            ReplaceFileW(wideFullPath(systemName(to)).data(), wideFullPath(systemName(from)).data(),
                         nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    else
        replaced = MoveFileExW(systemName(from).data(), systemName(to).data(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    MORVANE_SEAM_AFTER(Replace);
    return replaced;
}

bool fileSize(const File& file, std::uint64_t& size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(nativeHandle(file), &value) || value.QuadPart < 0)
        return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

ReadResult readAt(const File& file, std::uint64_t offset, void* data, std::size_t count) {
    ReadResult result;
    bool passes = MORVANE_SEAM_BEFORE(ReadAt, count);
    char* out = static_cast<char*>(data);
    while (result.count < count) {
        std::size_t piece = std::min(count - result.count, MAX_TRANSFER);
        OVERLAPPED position = positionAt(offset + result.count);
        DWORD done = 0;
        if (!ReadFile(nativeHandle(file), out + result.count, static_cast<DWORD>(piece), &done,
                      &position)) {
            result.failed = GetLastError() != ERROR_HANDLE_EOF;
            break;
        }
        if (done == 0)
            break;
        result.count += done;
    }
    result.failed = result.failed || !passes;
    MORVANE_SEAM_AFTER(ReadAt);
    return result;
}

ReadResult viewAt(const File& file, std::uint64_t offset, std::size_t count, FileView& view) {
    view.buffer.resize(count);
    ReadResult result = readAt(file, offset, view.buffer.data(), count);
    view.data = view.buffer.data();
    view.count = result.count;
    return result;
}

FileStamp stampOf(const File& file) {
    BY_HANDLE_FILE_INFORMATION info;
    FileStamp stamp;
    if (GetFileInformationByHandle(nativeHandle(file), &info)) {
        stamp.known = true;
        stamp.size = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
        stamp.modified = std::int64_t(info.ftLastWriteTime.dwHighDateTime) << 32 |
                         info.ftLastWriteTime.dwLowDateTime;
    }
    return stamp;
}

CopyResult copyBetween(const File& from, std::uint64_t offset, const File& to,
                       std::uint64_t toOffset, std::size_t count) {
    CopyResult result;
    std::vector<char> piece(std::min<std::size_t>(count, 64 * 1024));
    for (std::size_t done = 0; done < count && result.read && result.written;) {
        std::size_t wanted = std::min(piece.size(), count - done);
        ReadResult got = readAt(from, offset + done, piece.data(), wanted);
        result.read = !got.failed && got.count == wanted;
        result.written = writeAt(to, toOffset + done, piece.data(), got.count);
        done += got.count;
    }
    return result;
}

bool mayHaveHoles(const File&) {
    return false;
}

std::uint64_t nextData(const File&, std::uint64_t offset, std::uint64_t) {
    return offset;
}

void closeView(FileView& view) {
    view.data = nullptr;
    view.count = 0;
    view.buffer = std::vector<std::uint8_t>();
}

namespace {
// Writes the bytes at `offset`, or at the current position when it is AT_POSITION (pipes and
// consoles too); returns how many were written before any failure.
const std::uint64_t AT_POSITION = ~std::uint64_t(0);
std::size_t writeAll(const File& file, std::uint64_t offset, const void* data, std::size_t count) {
    const char* in = static_cast<const char*>(data);
    std::size_t total = 0;
    while (total < count) {
        OVERLAPPED position = positionAt(offset + total);
        DWORD done = 0;
        bool moved = WriteFile(nativeHandle(file), in + total,
                               static_cast<DWORD>(std::min(count - total, MAX_TRANSFER)), &done,
                               offset == AT_POSITION ? nullptr : &position) &&
                     done != 0;
        total += done;
        if (!moved)
            break;
    }
    return total;
}
} // namespace

bool writeAt(const File& file, std::uint64_t offset, const void* data, std::size_t count,
             std::size_t* written) {
    bool passes = MORVANE_SEAM_BEFORE(WriteAt, count);
    std::size_t total = writeAll(file, offset, data, count);
    if (written != nullptr)
        *written = total;
    if (total < count)
        return false;
    MORVANE_SEAM_AFTER(WriteAt);
    return passes;
}

bool writeNext(const File& file, const void* data, std::size_t count) {
    bool passes = MORVANE_SEAM_BEFORE(WriteNext, count);
    if (writeAll(file, AT_POSITION, data, count) < count)
        return false;
    MORVANE_SEAM_AFTER(WriteNext);
    return passes;
}

std::string ownExecutablePath() {
    HMODULE module = GetModuleHandleW(nullptr);
    DWORD size = 260;
    for (;;) {
        std::vector<wchar_t> buffer(size);
        DWORD length = GetModuleFileNameW(module, buffer.data(), size);
        if (length == 0)
            return std::string();
        if (length < size)
            return utf8(buffer.data(), length);
        size *= 2;
    }
}

std::string temporaryFolder() {
    DWORD needed = GetTempPathW(0, nullptr);
    if (needed == 0)
        return std::string();
    std::vector<wchar_t> folder(needed);
    DWORD length = GetTempPathW(needed, folder.data());
    if (length == 0 || length > needed)
        return std::string();
    return utf8(folder.data(), length);
}

std::string stateFolder() {
    DWORD needed = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (needed == 0)
        return std::string();
    std::vector<wchar_t> base(needed);
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), needed);
    if (length == 0 || length >= needed)
        return std::string();
    std::string folder = utf8(base.data(), length) + "\\Morvane";
    CreateDirectoryW(systemName(folder).data(), nullptr);
    DWORD attributes = GetFileAttributesW(systemName(folder).data());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return std::string();
    return folder + "\\";
}

// NTFS keeps its folder entries in its journal.
void syncFolder(const std::string&) {}

FileStatus statusOf(const File& file) {
    FileStatus status;
    DWORD type = isOpen(file) ? GetFileType(nativeHandle(file)) : FILE_TYPE_UNKNOWN;
    BY_HANDLE_FILE_INFORMATION info;
    if (type == FILE_TYPE_DISK && GetFileInformationByHandle(nativeHandle(file), &info)) {
        status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileKind::Other
                      : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? FileKind::Folder
                                                                                : FileKind::Regular;
        status.links = info.nNumberOfLinks;
    } else if (type == FILE_TYPE_CHAR) {
        status.kind = FileKind::Device;
    }
    status.ownedByUser = type != FILE_TYPE_UNKNOWN;
    return status;
}

bool truncateFile(const File& file, std::uint64_t size) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(nativeHandle(file), position, nullptr, FILE_BEGIN) &&
           SetEndOfFile(nativeHandle(file));
}

bool startViewer(const std::string& path) {
    // An empty title and a quoted path: START takes the first quoted text as the window title,
    // and an unquoted path with a blank or an & in it would run the wrong thing.
    return _wsystem(wide("START \"\" \"" + path + "\"").data()) != -1;
}

std::string createTemporaryFile() {
    std::string folder = temporaryFolder();
    if (folder.empty())
        return std::string();
    // Made with CREATE_NEW, so the name cannot be taken by another process; unlike
    // GetTempFileNameW this works in a folder of any length.
    std::string name;
    createFresh(folder, name);
    return name;
}

void removeFile(const std::string& name) {
    DeleteFileW(systemName(name).data());
}

std::vector<std::string> argumentsInUtf8(int argc, const wchar_t* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(utf8(argv[i], wcslen(argv[i])));
    return arguments;
}

std::string systemNameOf(const std::string& name) {
    WideText result = systemName(name);
    return utf8(result.data(), result.size() - 1);
}

void readNameFromPatch(std::string& name) {
    WideText characters;
    if (!toWide(name, CP_UTF8, MB_ERR_INVALID_CHARS, characters)) {
        toWide(name, CP_ACP, 0, characters);
        name = utf8(characters.data(), characters.size() - 1);
    }
}

bool writeToConsole(const char* text, std::size_t length) {
    bool ascii = true;
    for (std::size_t i = 0; i < length; ++i)
        ascii = ascii && static_cast<unsigned char>(text[i]) < 0x80;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (ascii || !GetConsoleMode(out, &mode))
        return false;
    std::fflush(stdout);
    WideText characters = wide(std::string(text, length));
    return WriteConsoleW(out, characters.data(), static_cast<DWORD>(characters.size() - 1),
                         &written, nullptr) != 0;
}

namespace {
volatile LONG holdDepth = 0;
bool consoleOfItsOwn = false;

bool isConsole(DWORD stream) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

// Explorer gives a console program a console of its own, which closes when the program ends;
// cmd, PowerShell and scripts share theirs, so the program is never alone in it.
bool startedInConsoleOfItsOwn() {
#ifdef MORVANE_TEST_SEAMS
    bool alone = false;
    if (seam::consoleOfItsOwn(alone))
        return alone;
#endif
    DWORD processes[2];
    return isConsole(STD_INPUT_HANDLE) && isConsole(STD_OUTPUT_HANDLE) &&
           isConsole(STD_ERROR_HANDLE) && GetConsoleProcessList(processes, 2) == 1;
}

// Runs on a thread of its own when Ctrl-C, Ctrl-Break or closing the console window arrives:
// it waits until the write phase is over, then lets the default handler end the process.
BOOL WINAPI onConsoleControl(DWORD) {
    while (InterlockedCompareExchange(&holdDepth, 0, 0) > 0)
        Sleep(10);
    return FALSE;
}
} // namespace

bool prepareProcess() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    // Decided now: a viewer started later shares the console for a while.
    consoleOfItsOwn = startedInConsoleOfItsOwn();
    return true;
}

bool consoleClosesWithProcess() {
    return consoleOfItsOwn;
}

void waitForKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // Keys typed while the run went on do not count.
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD count = 0;
    while (ReadConsoleInputW(input, &record, 1, &count) && count == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
    }
}

void removeWhenInterrupted(const std::vector<std::string>&) {}

void InterruptionHold::take() {
    if (!held)
        InterlockedIncrement(&holdDepth);
    held = true;
}

void InterruptionHold::release() {
    if (held)
        InterlockedDecrement(&holdDepth);
    held = false;
}

void copyPermissions(const std::string&, const File&) {}

} // namespace platform
