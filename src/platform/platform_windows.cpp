#include "platform/hex_text.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

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

// For display only: bytes that are no UTF-8 become U+FFFD.
WideText wide(const std::string& text) {
    WideText result;
    toWide(text, CP_UTF8, 0, result);
    return result;
}

// UTF-16 as UTF-8. A unit of an unpaired surrogate, which NTFS names may hold and no UTF-8 can,
// is kept as the three bytes its code would take (WTF-8), which are no UTF-8 either, so that
// the name is never taken for another (every file call refuses it, see systemName).
std::string utf8(const wchar_t* text, std::size_t count) {
    std::string result;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t code = static_cast<std::uint16_t>(text[i]);
        std::uint32_t next = i + 1 < count ? static_cast<std::uint16_t>(text[i + 1]) : 0;
        if (code >= 0xD800 && code < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        }
        if (code < 0x80) {
            result += static_cast<char>(code);
            continue;
        }
        static const std::uint32_t LEAD[] = {0, 0xC0, 0xE0, 0xF0};
        int more = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        result += static_cast<char>(LEAD[more] | (code >> (6 * more)));
        while (more-- > 0)
            result += static_cast<char>(0x80 | ((code >> (6 * more)) & 0x3F));
    }
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
    // A name that is no UTF-8 (one that held an unpaired surrogate) would become another name:
    // it becomes none, which opens nothing.
    WideText given;
    if (!toWide(name, CP_UTF8, MB_ERR_INVALID_CHARS, given))
        return WideText(1, L'\0');
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
    // Others may delete a file the run merely reads or writes: an interruption deletes the
    // run's temporary files that way (see removeWhenInterrupted), the patch it applies among
    // them, which others may not write. Only the target is kept from being deleted.
    DWORD share = (flags & SHARE_NONE) != 0 ? 0
                  : (flags & SHARE_READ) != 0
                      ? FILE_SHARE_READ | (access == Access::Read ? FILE_SHARE_DELETE : 0)
                      : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
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

// The volume serial number and the file index survive a reboot.
LastingIdentity lastingIdentityOf(const File& file) {
    FileIdentity identity = identityOf(file);
    LastingIdentity lasting;
    lasting.known = identity.known;
    lasting.volume = identity.device;
    lasting.index = identity.index;
    return lasting;
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
// separator), which `freshName` receives, shared as `share` says; no file and an empty name when
// none can be made.
File createFresh(const std::string& folder, std::string& freshName, DWORD share = 0) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        // "~mvn", the process id and a counter in 16 hexadecimal digits, ".tmp".
        std::uint64_t value = std::uint64_t(GetCurrentProcessId()) << 32 | counter++;
        char digits[16];
        freshName = folder + "~mvn" + std::string(digits, writeHex(digits, value, 16)) + ".tmp";
        // Readable too: a checksum may be taken of bytes written earlier.
        File file = createWith(freshName, GENERIC_READ | GENERIC_WRITE, share, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL);
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

namespace {
bool moveInPlace(const std::string& from, const std::string& to) {
    return MORVANE_SEAM_BEFORE_CALL(Replace) &&
           MoveFileExW(systemName(from).data(), systemName(to).data(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
} // namespace

bool replaceFile(const std::string& from, const std::string& to, bool* oldGone) {
    if (oldGone != nullptr)
        *oldGone = false;
    bool replaced;
    if (GetFileAttributesW(systemName(to).data()) == INVALID_FILE_ATTRIBUTES) {
        replaced = moveInPlace(from, to);
    } else {
        // ReplaceFile keeps the replaced file's attributes, owner and security. (Full paths:
        // Wine refuses relative ones.)
        unsigned long error = ERROR_SUCCESS;
        replaced =
            MORVANE_SEAM_BEFORE_REPLACE(to, error) &&
            ReplaceFileW(wideFullPath(systemName(to)).data(), wideFullPath(systemName(from)).data(),
                         nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
        if (!replaced && error == ERROR_SUCCESS)
            error = GetLastError();
        // The old file is gone already and `from` still has its own name: it is moved into
        // place, and kept whatever happens.
        if (!replaced && (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                          error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)) {
            replaced = moveInPlace(from, to);
            if (oldGone != nullptr)
                *oldGone = !replaced;
        }
    }
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
    bool passes = MORVANE_SEAM_BEFORE(ReadAt, file, count);
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

namespace {
// An environment variable's value, of any length; empty when it is not set.
std::string variable(const wchar_t* name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    WideText value(needed + 1, L'\0');
    DWORD length = needed == 0 ? 0 : GetEnvironmentVariableW(name, value.data(), needed);
    return length == 0 || length >= needed ? std::string() : utf8(value.data(), length);
}
} // namespace

std::string temporaryFolder() {
    // GetTempPathW reads TMP, TEMP and USERPROFILE in this order, but gives no folder of
    // MAX_PATH characters or more: such a folder is taken from the variables here.
    std::string folder;
    for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE"}) {
        folder = variable(name);
        if (!folder.empty())
            break;
    }
    if (wide(folder).size() < MAX_PATH - 1) {
        WideText path(MAX_PATH + 2, L'\0');
        DWORD length = GetTempPathW(MAX_PATH + 2, path.data());
        if (length != 0 && length < path.size())
            return utf8(path.data(), length);
    }
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/')
        return folder;
    return folder + "\\";
}

std::string stateFolder() {
    std::string base = variable(L"LOCALAPPDATA");
    if (base.empty())
        return std::string();
    std::string folder = base + "\\Morvane";
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

namespace {
// A function of a library in the system folder, loaded only when it is needed: a run that
// shows no message loads nothing but KERNEL32 and the C runtime. Null when there is none.
template <typename Function> Function systemFunction(const wchar_t* library, const char* name) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    WideText path(folder, folder + length);
    path.push_back(L'\\');
    path.insert(path.end(), library, library + wcslen(library) + 1);
    HMODULE module = LoadLibraryW(path.data());
    FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
    // Through a function type without parameters, which the compiler lets stand for any.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}
} // namespace

bool startViewer(const std::string& path) {
    // The shell opens the file itself: no command interpreter sees the name, so %, ! and ^ in
    // it are never expanded, and the user's AutoRun command never runs.
    WideText file;
    if (!toWide(path, CP_UTF8, MB_ERR_INVALID_CHARS, file))
        return false;
    using Execute = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
    using Initialize = HRESULT(WINAPI*)(void*, DWORD);
    Execute execute = systemFunction<Execute>(L"shell32.dll", "ShellExecuteExW");
    Initialize initialize = systemFunction<Initialize>(L"ole32.dll", "CoInitializeEx");
    if (execute == nullptr)
        return false;
    // The handler of a file type may be a shell extension that needs COM.
    if (initialize != nullptr)
        initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // The viewer inherits none of the run's handles: its files never are inheritable, and the
    // standard streams stop being so now (no other program is started after it).
    for (DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(stream), HANDLE_FLAG_INHERIT, 0);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // Done before the call returns (the run may end at once), and no window for a failure: the
    // message is printed instead. Opened as a .txt document by that class's command: a file
    // named alone has its %NAME% parts expanded by some shells (Wine's), one of a class not.
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_CLASSNAME;
    info.lpClass = L".txt";
    info.lpVerb = L"open";
    info.lpFile = file.data();
    info.nShow = SW_SHOWNORMAL;
    return execute(&info) != 0;
}

File createTemporaryFile(std::string& name) {
    std::string folder = temporaryFolder();
    name.clear();
    // Made with CREATE_NEW, so the name cannot be taken by another process; unlike
    // GetTempFileNameW this works in a folder of any length. Only deleting it is shared.
    return folder.empty() ? File() : createFresh(folder, name, FILE_SHARE_DELETE);
}

void removeFile(const std::string& name) {
    DeleteFileW(systemName(name).data());
}

bool isExactName(const std::string& name) {
    WideText ignored;
    return toWide(name, CP_UTF8, MB_ERR_INVALID_CHARS, ignored);
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

bool isNetworkOrDeviceName(const std::string& name) {
    auto separator = [&](std::size_t at) {
        return at < name.size() && (name[at] == '\\' || name[at] == '/');
    };
    if (separator(0) && name.compare(1, 2, "??") == 0 && separator(3))
        return true;
    if (!separator(0) || !separator(1))
        return false;
    bool longDrivePath = name.size() > 6 && name[2] == '?' && separator(3) &&
                         std::isalpha(static_cast<unsigned char>(name[4])) && name[5] == ':' &&
                         separator(6);
    return !longDrivePath;
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
// The run's temporary files; the console handler reads them on a thread of its own.
SRWLOCK temporariesLock = SRWLOCK_INIT;
std::vector<std::string> temporaries;

bool isConsole(DWORD stream) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

// The file name of the image of the process that started this one, as a snapshot of the
// processes has it; empty when it cannot be found.
std::string parentImage() {
    std::string name;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return name;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    DWORD self = GetCurrentProcessId(), parent = 0;
    // The first pass finds the parent's id, the second its image.
    for (int pass = 0; pass < 2 && name.empty(); ++pass) {
        for (BOOL more = Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry)) {
            if (pass == 0 && entry.th32ProcessID == self) {
                parent = entry.th32ParentProcessID;
                break;
            }
            if (pass == 1 && entry.th32ProcessID == parent && parent != 0) {
                name = utf8(entry.szExeFile, wcslen(entry.szExeFile));
                break;
            }
        }
    }
    CloseHandle(snapshot);
    return name;
}

// Explorer gives a console program a console of its own, which closes when the program ends;
// cmd, PowerShell and scripts share theirs, so the program is never alone in it. Task
// Scheduler, `start /wait` and `Start-Process -Wait` give it one of its own too, and nobody may
// be there to press a key: only a program that Explorer started waits.
bool startedFromTheDesktop() {
    bool alone = false;
#ifdef MORVANE_TEST_SEAMS
    if (!seam::consoleOfItsOwn(alone))
#endif
    {
        DWORD processes[2];
        alone = isConsole(STD_INPUT_HANDLE) && isConsole(STD_OUTPUT_HANDLE) &&
                isConsole(STD_ERROR_HANDLE) && GetConsoleProcessList(processes, 2) == 1;
    }
    if (!alone)
        return false;
    std::string parent;
#ifdef MORVANE_TEST_SEAMS
    if (!seam::parentImage(parent))
#endif
        parent = parentImage();
    return _wcsicmp(wide(parent).data(), L"explorer.exe") == 0;
}

// Runs on a thread of its own when Ctrl-C, Ctrl-Break or closing the console window arrives:
// it waits until the write phase is over, then lets the default handler end the process. That
// runs no exit hook, so the temporary files are deleted here: each is opened to be deleted on
// close, which takes effect once the ending process has closed its own handles too.
BOOL WINAPI onConsoleControl(DWORD) {
    while (InterlockedCompareExchange(&holdDepth, 0, 0) > 0)
        Sleep(10);
    AcquireSRWLockShared(&temporariesLock);
    for (const std::string& name : temporaries) {
        HANDLE file = CreateFileW(systemName(name).data(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    ReleaseSRWLockShared(&temporariesLock);
    return FALSE;
}
} // namespace

bool prepareProcess() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    // Decided now: a viewer started later shares the console for a while.
    consoleOfItsOwn = startedFromTheDesktop();
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

void removeWhenInterrupted(const std::vector<std::string>& names) {
    std::vector<std::string> list = names;
    AcquireSRWLockExclusive(&temporariesLock);
    temporaries.swap(list);
    ReleaseSRWLockExclusive(&temporariesLock);
}

#ifdef MORVANE_TEST_SEAMS
namespace {
DWORD WINAPI interrupt(void*) {
    if (!onConsoleControl(CTRL_C_EVENT))
        ExitProcess(STATUS_CONTROL_C_EXIT);
    return 0;
}
} // namespace

void seam::deliverInterruption() {
    HANDLE thread = CreateThread(nullptr, 0, interrupt, nullptr, 0, nullptr);
    if (thread != nullptr && InterlockedCompareExchange(&holdDepth, 0, 0) == 0)
        WaitForSingleObject(thread, INFINITE);
}
#endif

void forgetFreshFile() {}

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
