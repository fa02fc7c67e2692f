// Which names reach the wide file calls behind the \\?\ prefix, and in which form (Wine's
// own calls take long paths without it, so end-to-end tests cannot tell).
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

// A patch's target name that leads to the network or a device is never opened; every other
// name, absolute or relative, is.
TEST(WindowsNames, NetworkAndDeviceNamesAreToldFromLocalOnes) {
    const char* const remote[] = {
        "\\\\host\\share\\x.bin",
        "//host/share/x.bin",
        "\\/host/share/x.bin",
        "/\\host\\share\\x.bin",
        "\\\\host",
        "\\\\?\\UNC\\host\\share\\x.bin",
        "\\\\?\\unc\\host\\share\\x.bin",
        "//?/UNC/host/share/x.bin",
        "\\\\.\\PhysicalDrive0",
        "\\\\.\\C:\\x.bin",
        "\\\\?\\C:",
        "\\\\?\\GLOBALROOT\\Device\\Mup\\host\\share\\x.bin",
        "\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\x.bin",
        "\\??\\UNC\\host\\share\\x.bin",
        "\\??\\C:\\x.bin",
        "\\\\",
    };
    const char* const local[] = {
        "x.bin",     "sub\\x.bin", "..\\x.bin",  "\\x.bin",          "/x.bin",
        "C:\\x.bin", "C:x.bin",    "c:/x.bin",   "\\\\?\\C:\\x.bin", "\\\\?\\z:/x.bin",
        "\\",        "",           ".\\\\x.bin", "sub\\\\x.bin",     "?\\x.bin",
    };
    for (const char* name : remote)
        EXPECT_TRUE(platform::isNetworkOrDeviceName(name)) << name;
    for (const char* name : local)
        EXPECT_FALSE(platform::isNetworkOrDeviceName(name)) << name;
}

#endif
