// The system layer called directly: positioned reads and writes past 4 GiB, the message file
// and the graphical session (POSIX), and how the file to patch is shared (Windows).
#include "platform/platform.h"
#include "support/environment.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

const std::uint64_t FOUR_GIB = std::uint64_t(1) << 32;

std::string readAtOffset(const platform::File& file, std::uint64_t offset, std::size_t count,
                         bool& failed) {
    std::string bytes(count, '\0');
    platform::ReadResult got = platform::readAt(file, offset, &bytes[0], count);
    bytes.resize(got.count);
    failed = got.failed;
    return bytes;
}

} // namespace

// A sparse file just over 4 GiB: bytes written past 4 GiB land there, and nothing lands at the
// low half of their offsets.
TEST(PlatformFile, OffsetsPastFourGigabytesKeepTheirHighHalf) {
    ScratchFolder folder;
    const std::string path = folder / "sparse.bin";
    writeFile(path, "");
    if (!resizeFile(path, FOUR_GIB + 4096))
        GTEST_SKIP() << "no room for a sparse file of 4 GiB";
    platform::File file = platform::openForUpdate(path);
    ASSERT_TRUE(platform::isOpen(file));
    const std::pair<std::uint64_t, std::string> writes[] = {
        {FOUR_GIB + 5, "past 4 GiB"},
        {FOUR_GIB - 3, "across"},
        {FOUR_GIB + 4090, "at end"}, // its last byte is the last byte of the file
    };
    for (const auto& [offset, bytes] : writes)
        ASSERT_TRUE(platform::writeAt(file, offset, bytes.data(), bytes.size())) << offset;
    for (const auto& [offset, bytes] : writes) {
        SCOPED_TRACE(offset);
        bool failed = true;
        EXPECT_EQ(readAtOffset(file, offset, bytes.size(), failed), bytes);
        EXPECT_FALSE(failed);
        EXPECT_EQ(readFileAt(path, offset, bytes.size()), bytes);
    }
    EXPECT_EQ(readFileAt(path, 0, 8192), std::string(8192, '\0'));

    // A read that runs past the end delivers what is there and reports no error.
    bool failed = true;
    EXPECT_EQ(readAtOffset(file, FOUR_GIB + 4094, 8, failed), "nd");
    EXPECT_FALSE(failed);
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::fileSize(file, size));
    EXPECT_EQ(size, FOUR_GIB + 4096);
}

#ifndef _WIN32
// PATCH.TXT is made readable by its owner only, whatever the umask; an empty DISPLAY or
// WAYLAND_DISPLAY is no graphical session, so no viewer is started.
TEST(PlatformMessage, PatchTxtIsPrivateAndAnEmptyDisplayIsNoSession) {
    ScratchFolder folder;
    const std::string bin = folder / "bin";
    makeFolder(bin);
    writeFile(bin + "/xdg-open", "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(::chmod((bin + "/xdg-open").c_str(), 0755), 0);
    const std::string patchTxt = folder / "PATCH.TXT";

    ProcessOptions noSession;
    noSession.set("TMPDIR", folder.path()).set("PATH", bin);
    noSession.unset("DISPLAY").unset("WAYLAND_DISPLAY");
    struct Case {
        const char* what;
        ProcessOptions environment;
        bool viewerStarted;
    };
    const Case cases[] = {
        {"no display", noSession, false},
        {"empty DISPLAY", ProcessOptions(noSession).set("DISPLAY", ""), false},
        {"empty WAYLAND_DISPLAY", ProcessOptions(noSession).set("WAYLAND_DISPLAY", ""), false},
        {"DISPLAY :7", ProcessOptions(noSession).set("DISPLAY", ":7"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(patchTxt.c_str());
        ScopedEnvironment environment(c.environment);
        mode_t umask = ::umask(0);
        bool started = platform::showMessageInViewer("hello");
        ::umask(umask);
        EXPECT_EQ(started, c.viewerStarted);
        EXPECT_EQ(readFile(patchTxt), "hello");
        struct stat info;
        ASSERT_EQ(::stat(patchTxt.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
    }
}
#endif

#ifdef _WIN32
// While the program holds the file to patch, others may read it but not write it.
TEST(PlatformFile, FileOpenForUpdateAdmitsReadersButNoWriters) {
    ScratchFolder folder;
    const std::string path = folder / "target.bin";
    writeFile(path, "target");
    platform::File held = platform::openForUpdate(path);
    ASSERT_TRUE(platform::isOpen(held));
    const std::pair<DWORD, bool> opens[] = {
        {GENERIC_READ, true}, {GENERIC_WRITE, false}, {GENERIC_READ | GENERIC_WRITE, false}};
    for (const auto& [access, admitted] : opens) {
        SCOPED_TRACE(access);
        HANDLE other = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        EXPECT_EQ(other != INVALID_HANDLE_VALUE, admitted);
        if (other != INVALID_HANDLE_VALUE)
            CloseHandle(other);
        else
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
}
#endif
