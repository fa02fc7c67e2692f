#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <vector>
#include <windows.h>

namespace platform {
namespace {

HANDLE nativeHandle(const File& file) {
    return reinterpret_cast<HANDLE>(file.handle);
}

File openWith(const std::string& name, DWORD access, DWORD share, DWORD disposition) {
    HANDLE handle = CreateFileA(name.c_str(), access, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle != INVALID_HANDLE_VALUE ? File(reinterpret_cast<std::intptr_t>(handle)) : File();
}

// Only files on a disk hold data at fixed offsets; pipes and character devices are refused.
File keepDiskFile(File file) {
    if (isOpen(file) && GetFileType(nativeHandle(file)) != FILE_TYPE_DISK)
        return File();
    return file;
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

File openForReading(const std::string& name) {
    return keepDiskFile(
        openWith(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
}
File openForComparing(const std::string& name) {
    return keepDiskFile(openWith(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
}
File openForWriting(const std::string& name) {
    return openWith(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
}
File openForUpdate(const std::string& name) {
    // No other process may write the target between its verification and the writes.
    return keepDiskFile(
        openWith(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
}

bool closeFile(File& file) {
    if (!isOpen(file))
        return true;
    BOOL closed = CloseHandle(nativeHandle(file));
    file.handle = -1;
    return closed != 0;
}

bool syncFile(const File& file) {
    return FlushFileBuffers(nativeHandle(file)) != 0;
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
    HANDLE handle =
        CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return handle != INVALID_HANDLE_VALUE ? File(reinterpret_cast<std::intptr_t>(handle)) : File();
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

File createFileBeside(const std::string& name, std::string& freshName, std::string& target) {
    target = name;
    freshName.clear();
    // An existing output must be one this user may write, as it was when written in place.
    File old = openWith(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (!isOpen(old) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return File();
    BY_HANDLE_FILE_INFORMATION info;
    // A second link would keep the old content under its other name.
    bool linked = isOpen(old) && GetFileInformationByHandle(nativeHandle(old), &info) &&
                  info.nNumberOfLinks > 1;
    std::size_t separator = name.find_last_of("\\/:");
    std::string folder =
        separator == std::string::npos ? std::string() : name.substr(0, separator + 1);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000 && !linked; ++attempt) {
        // "~mvn", the process id and a counter in 16 hexadecimal digits, ".tmp"; made without
        // printf, whose formatting engine would make the executable much larger.
        std::uint64_t value = std::uint64_t(GetCurrentProcessId()) << 32 | counter++;
        freshName = folder + "~mvn";
        for (int shift = 60; shift >= 0; shift -= 4)
            freshName += "0123456789abcdef"[(value >> shift) & 0xF];
        freshName += ".tmp";
        HANDLE handle = CreateFileA(freshName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return File(reinterpret_cast<std::intptr_t>(handle));
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    freshName.clear();
    // No fresh file can be had: the output goes into the old file itself.
    if (!isOpen(old) || !truncateFile(old, 0))
        return File();
    return old;
}

bool replaceFile(const std::string& from, const std::string& to) {
    // ReplaceFile keeps the replaced file's attributes, owner and security. (Full paths: Wine
    // refuses relative ones.)
    if (GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES)
        return ReplaceFileA(fullPath(to).c_str(), fullPath(from).c_str(), nullptr,
                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string fullPath(const std::string& name) {
    DWORD needed = GetFullPathNameA(name.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return std::string();
    std::vector<char> buffer(needed);
    DWORD length = GetFullPathNameA(name.c_str(), needed, buffer.data(), nullptr);
    if (length == 0 || length >= needed)
        return std::string();
    return std::string(buffer.data(), length);
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

bool writeAt(const File& file, std::uint64_t offset, const void* data, std::size_t count,
             std::size_t* written) {
    bool passes = MORVANE_SEAM_BEFORE(WriteAt, count);
    std::size_t total = 0;
    const char* in = static_cast<const char*>(data);
    while (total < count) {
        std::size_t piece = std::min(count - total, MAX_TRANSFER);
        OVERLAPPED position = positionAt(offset + total);
        DWORD done = 0;
        bool moved = WriteFile(nativeHandle(file), in + total, static_cast<DWORD>(piece), &done,
                               &position) &&
                     done != 0;
        total += done;
        if (written != nullptr)
            *written = total;
        if (!moved)
            return false;
    }
    if (written != nullptr)
        *written = total;
    MORVANE_SEAM_AFTER(WriteAt);
    return passes;
}

bool writeNext(const File& file, const void* data, std::size_t count) {
    bool passes = MORVANE_SEAM_BEFORE(WriteNext, count);
    const char* in = static_cast<const char*>(data);
    while (count > 0) {
        DWORD piece = static_cast<DWORD>(std::min(count, MAX_TRANSFER));
        DWORD done = 0;
        if (!WriteFile(nativeHandle(file), in, piece, &done, nullptr) || done == 0)
            return false;
        in += done;
        count -= done;
    }
    MORVANE_SEAM_AFTER(WriteNext);
    return passes;
}

std::string ownExecutablePath() {
    HMODULE module = GetModuleHandleA(nullptr);
    DWORD size = 260;
    for (;;) {
        std::vector<char> buffer(size);
        DWORD length = GetModuleFileNameA(module, buffer.data(), size);
        if (length == 0)
            return std::string();
        if (length < size)
            return std::string(buffer.data(), length);
        size *= 2;
    }
}

std::string temporaryFolder() {
    DWORD needed = GetTempPathA(0, nullptr);
    if (needed == 0)
        return std::string();
    std::vector<char> folder(needed);
    DWORD length = GetTempPathA(needed, folder.data());
    if (length == 0 || length > needed)
        return std::string();
    return std::string(folder.data(), length);
}

std::string stateFolder() {
    char base[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", base, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    std::string folder = std::string(base, length) + "\\Morvane";
    CreateDirectoryA(folder.c_str(), nullptr);
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return std::string();
    return folder + "\\";
}

// NTFS keeps its folder entries in its journal.
void syncFolder(const std::string&) {}

File openInSharedFolder(const std::string& path) {
    // Not shared while it is written; a reparse point is opened as itself, never followed.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return handle != INVALID_HANDLE_VALUE ? File(reinterpret_cast<std::intptr_t>(handle)) : File();
}

File createInSharedFolder(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return handle != INVALID_HANDLE_VALUE ? File(reinterpret_cast<std::intptr_t>(handle)) : File();
}

File openExistingInSharedFolder(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return handle != INVALID_HANDLE_VALUE ? File(reinterpret_cast<std::intptr_t>(handle)) : File();
}

bool isPrivateRegularFile(const File& file) {
    // The temporary folder is the user's own on Windows; what is checked is that the name
    // leads to one plain file on a disk.
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(nativeHandle(file)) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(nativeHandle(file), &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               0 &&
           info.nNumberOfLinks == 1;
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
    std::string command = "START \"\" \"" + path + "\"";
    return std::system(command.c_str()) != -1;
}

std::string createTemporaryFile() {
    std::string folder = temporaryFolder();
    if (folder.empty())
        return std::string();
    // GetTempFileNameA creates the file itself, so the name cannot be taken by another process.
    std::vector<char> name(MAX_PATH + 1);
    if (GetTempFileNameA(folder.c_str(), "mvn", 0, name.data()) == 0)
        return std::string();
    return std::string(name.data());
}

void removeFile(const std::string& name) {
    DeleteFileA(name.c_str());
}

namespace {
volatile LONG holdDepth = 0;

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
    return true;
}

void removeWhenInterrupted(const std::vector<std::string>&) {}

void holdInterruptions() {
    InterlockedIncrement(&holdDepth);
}

void releaseInterruptions() {
    if (InterlockedCompareExchange(&holdDepth, 0, 0) > 0)
        InterlockedDecrement(&holdDepth);
}

void copyPermissions(const std::string&, const File&) {}

} // namespace platform
