// The system layer called directly: positioned reads and writes past 4 GiB, and how the file to
// patch is shared (Windows).
#include "platform/platform.h"
#include "support/files.h"
#include "support/patterned_bytes.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
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

std::string shown(const platform::FileView& view) {
    return std::string(reinterpret_cast<const char*>(view.data), view.count);
}

} // namespace

// A view shows the file's bytes from any offset, and comes up short past the end.
TEST(PlatformFile, ViewsShowTheBytesAndNoticeBytesPastTheEnd) {
    ScratchFolder folder;
    const std::string bytes = patternedBytes(5 * 65536 + 100);
    writeFile(folder / "data.bin", bytes);
    platform::File file = platform::openForReading(folder / "data.bin");
    ASSERT_TRUE(platform::isOpen(file));
    platform::FileView view;
    for (std::uint64_t offset : {0, 1, 65536 + 4095, 4 * 65536}) {
        SCOPED_TRACE(offset);
        platform::ReadResult got = platform::viewAt(file, offset, 3 * 65536, view);
        std::string expected = bytes.substr(offset, 3 * 65536);
        EXPECT_FALSE(got.failed);
        EXPECT_EQ(got.count, expected.size());
        EXPECT_TRUE(shown(view) == expected);
    }
    platform::closeView(view);
    EXPECT_EQ(view.count, 0u);
}

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
    EXPECT_EQ(readFileAt(path, 0, 8192).find_first_not_of('\0'), std::string::npos);

    // A read that runs past the end delivers what is there and reports no error.
    bool failed = true;
    EXPECT_EQ(readAtOffset(file, FOUR_GIB + 4094, 8, failed), "nd");
    EXPECT_FALSE(failed);
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::fileSize(file, size));
    EXPECT_EQ(size, FOUR_GIB + 4096);
}

// What statusOf tells of each kind of open file: a plain file, one with a second link, a
// device, a folder and a FIFO (POSIX), another user's file, and no file at all.
TEST(PlatformFile, StatusTellsKindLinksAndOwner) {
    using platform::FileKind;
    ScratchFolder folder;
    writeFile(folder / "plain", "plain");
    writeFile(folder / "linked", "linked");
#ifdef _WIN32
    ASSERT_TRUE(CreateHardLinkA((folder / "second").c_str(), (folder / "linked").c_str(), nullptr));
    const std::string device = "NUL";
#else
    ASSERT_EQ(::link((folder / "linked").c_str(), (folder / "second").c_str()), 0);
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    const std::string device = "/dev/null";
    // Root can give a file away; anyone else finds one of root's.
    writeFile(folder / "theirs", "theirs");
    const std::string theirs =
        ::geteuid() == 0 && ::chown((folder / "theirs").c_str(), 65534, 65534) == 0
            ? folder / "theirs"
            : "/etc/passwd";
#endif
    struct Case {
        std::string name;
        platform::Access access;
        FileKind kind;
        std::uint64_t links;
        bool owned;
    };
    const platform::Access read = platform::Access::Read;
    // A device's or a folder's link count is whatever its file system keeps.
    const std::uint64_t ANY = ~std::uint64_t(0);
    const Case cases[] = {
        {folder / "plain", read, FileKind::Regular, 1, true},
        {folder / "linked", read, FileKind::Regular, 2, true},
        {device, platform::Access::Write, FileKind::Device, ANY, true},
#ifndef _WIN32
        {folder.path(), read, FileKind::Folder, ANY, true},
        {folder / "fifo", read, FileKind::Other, 1, true},
        {theirs, read, FileKind::Regular, 1, false},
#endif
        {folder / "missing", read, FileKind::Other, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::File file = platform::openFile(
            c.name, c.access, platform::Disposition::OpenExisting, platform::NO_WAIT);
        platform::FileStatus status = platform::statusOf(file);
        EXPECT_EQ(status.kind, c.kind);
        if (c.links != ANY) {
            EXPECT_EQ(status.links, c.links);
        }
        EXPECT_EQ(status.ownedByUser, c.owned);
    }
}

#ifdef _WIN32
// While the program holds the file to patch, others may read it but not write it.
TEST(PlatformFile, FileOpenForUpdateAdmitsReadersButNoWriters) {
    ScratchFolder folder;
    const std::string path = folder / "target.bin";
    writeFile(path, "target");
    platform::File held = platform::openForUpdate(path);
    ASSERT_TRUE(platform::isOpen(held));
    struct Open {
        const char* what;
        DWORD access;
        bool admitted;
    };
    const Open opens[] = {{"reading", GENERIC_READ, true},
                          {"writing", GENERIC_WRITE, false},
                          {"reading and writing", GENERIC_READ | GENERIC_WRITE, false}};
    for (const auto& [what, access, admitted] : opens) {
        SCOPED_TRACE(what);
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
