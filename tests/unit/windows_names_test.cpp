// How the Windows layer turns names into what the wide calls take, and back.
#ifdef _WIN32

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::string currentFolder() {
    wchar_t buffer[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer);
    std::string folder(length * 3, '\0');
    folder.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), &folder[0],
                            static_cast<int>(folder.size()), nullptr, nullptr)));
    return folder;
}

} // namespace

TEST(WindowsNames, LongPathsGoToTheWideCallsBehindThePrefix) {
    const std::string deep = "C:\\" + std::string(240, 'd') + "\\\xE6\x97\xA5.bin"; // 日
    const std::string share = "\\\\server\\share\\" + std::string(240, 's') + "\\f.bin";
    const std::string here = currentFolder() + (currentFolder().back() == '\\' ? "" : "\\");
    struct Case {
        std::string given, expected;
    };
    const std::vector<Case> cases = {
        {"f.bin", "f.bin"},
        {"C:\\a\\..\\b/f.bin", "C:\\a\\..\\b/f.bin"},
        {"NUL", "NUL"},
        {deep, "\\\\?\\" + deep},
        {"C:/" + std::string(240, 'd') + "/./x/../\xE6\x97\xA5.bin", "\\\\?\\" + deep},
        {share, "\\\\?\\UNC\\" + share.substr(2)},
        {"\\\\?\\C:\\already", "\\\\?\\C:\\already"},
        {std::string(250, 'r'), "\\\\?\\" + here + std::string(250, 'r')},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::systemNameOf(c.given), c.expected) << c.given;
}

TEST(WindowsNames, StoredNamesAreUtf8OrElseInTheAnsiCodePage) {
    EXPECT_EQ(platform::nameFromPatch("plain.bin"), "plain.bin");
    EXPECT_EQ(platform::nameFromPatch(""), "");
    const std::string utf8 = "\xC3\x9C"
                             "ber \xF0\x9F\x99\x82.bin"; // Über 🙂.bin
    EXPECT_EQ(platform::nameFromPatch(utf8), utf8);
    if (GetACP() == 1252) {
        EXPECT_EQ(platform::nameFromPatch("\xDC"
                                          "ber.bin"),
                  "\xC3\x9C"
                  "ber.bin");
        EXPECT_EQ(platform::nameFromPatch("caf\xE9\x80"), "caf\xC3\xA9\xE2\x82\xAC"); // é €
    }
}

TEST(WindowsNames, ArgumentsArriveInUtf8) {
    const wchar_t* const argv[] = {L"morvane.exe", L"\x65E5\x672C.bin", L"\xD83D\xDE42",
                                   L"caf\xE9 x"};
    EXPECT_EQ(platform::argumentsInUtf8(4, argv),
              (std::vector<std::string>{"morvane.exe", "\xE6\x97\xA5\xE6\x9C\xAC.bin",
                                        "\xF0\x9F\x99\x82", "caf\xC3\xA9 x"}));
}

#endif
