#include "platform/platform.h"

#include <cstdlib>
#include <vector>
#include <windows.h>

namespace platform {
namespace {

HANDLE nativeHandle(const File& file) {
    return reinterpret_cast<HANDLE>(file.handle);
}

File openWith(const std::string& name, DWORD access, DWORD disposition) {
    // Shared for reading and writing, as ordinary stream files are.
    HANDLE handle = CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    File file;
    if (handle != INVALID_HANDLE_VALUE)
        file.handle = reinterpret_cast<std::intptr_t>(handle);
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
    return openWith(name, GENERIC_READ, OPEN_EXISTING);
}
File openForWriting(const std::string& name) {
    return openWith(name, GENERIC_WRITE, CREATE_ALWAYS);
}
File openForUpdate(const std::string& name) {
    return openWith(name, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

bool closeFile(File& file) {
    if (!isOpen(file))
        return true;
    BOOL closed = CloseHandle(nativeHandle(file));
    file.handle = -1;
    return closed != 0;
}

bool fileSize(const File& file, std::uint64_t& size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(nativeHandle(file), &value) || value.QuadPart < 0)
        return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

std::size_t readAt(const File& file, std::uint64_t offset, void* data, std::size_t count) {
    std::size_t total = 0;
    char* out = static_cast<char*>(data);
    while (total < count) {
        std::size_t piece = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
        OVERLAPPED position = positionAt(offset + total);
        DWORD done = 0;
        if (!ReadFile(nativeHandle(file), out + total, static_cast<DWORD>(piece), &done,
                      &position) ||
            done == 0)
            break;
        total += done;
    }
    return total;
}

bool writeAt(const File& file, std::uint64_t offset, const void* data, std::size_t count) {
    std::size_t total = 0;
    const char* in = static_cast<const char*>(data);
    while (total < count) {
        std::size_t piece = count - total < MAX_TRANSFER ? count - total : MAX_TRANSFER;
        OVERLAPPED position = positionAt(offset + total);
        DWORD done = 0;
        if (!WriteFile(nativeHandle(file), in + total, static_cast<DWORD>(piece), &done,
                       &position) ||
            done == 0)
            return false;
        total += done;
    }
    return true;
}

bool writeNext(const File& file, const void* data, std::size_t count) {
    const char* in = static_cast<const char*>(data);
    while (count > 0) {
        DWORD piece = static_cast<DWORD>(count < MAX_TRANSFER ? count : MAX_TRANSFER);
        DWORD done = 0;
        if (!WriteFile(nativeHandle(file), in, piece, &done, nullptr) || done == 0)
            return false;
        in += done;
        count -= done;
    }
    return true;
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

bool showMessageInViewer(const std::string& message) {
    DWORD needed = GetTempPathA(0, nullptr);
    if (needed == 0)
        return false;
    std::vector<char> folder(needed);
    DWORD length = GetTempPathA(needed, folder.data());
    if (length == 0 || length > needed)
        return false;
    std::string path(folder.data(), length);
    path += "PATCH.TXT";

    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(handle, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
    CloseHandle(handle);
    if (written != message.size())
        return false;

    // An empty title and a quoted path: START takes the first quoted text as the window title,
    // and an unquoted path with a blank or an & in it would run the wrong thing.
    std::string command = "START \"\" \"" + path + "\"";
    return std::system(command.c_str()) != -1;
}

std::string createTemporaryFile() {
    DWORD needed = GetTempPathA(0, nullptr);
    if (needed == 0)
        return std::string();
    std::vector<char> folder(needed);
    DWORD length = GetTempPathA(needed, folder.data());
    if (length == 0 || length > needed)
        return std::string();
    // GetTempFileNameA creates the file itself, so the name cannot be taken by another process.
    std::vector<char> name(MAX_PATH + 1);
    if (GetTempFileNameA(folder.data(), "mvn", 0, name.data()) == 0)
        return std::string();
    return std::string(name.data());
}

void removeFile(const std::string& name) {
    DeleteFileA(name.c_str());
}

void copyPermissions(const std::string&, const File&) {}

} // namespace platform
