// The system layer called directly: positioned reads and writes past 4 GiB, and how the file to
// patch is shared (Windows).
#include "platform/platform.h"
#include "support/files.h"
#include "support/patterned_bytes.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
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

// A view shows the file's bytes from any offset. Shown past its end, a mapped file reads as
// zeros there and the view is not intact until it is closed; one read into the buffer comes up
// short instead.
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
        bool mappedPastEnd = got.count > expected.size();
        EXPECT_FALSE(got.failed);
        EXPECT_EQ(got.count, mappedPastEnd ? 3u * 65536 : expected.size());
        expected.resize(got.count, '\0');
        EXPECT_TRUE(shown(view) == expected);
        EXPECT_EQ(platform::viewIntact(view), !mappedPastEnd);
    }
    platform::closeView(view);
    EXPECT_TRUE(platform::viewIntact(view));
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
