// The Windows program as the shell and its users see it: the manifest and the version
// information it carries (and every self-applying patch with it), and the last line of a run
// started in a console window of its own.
#ifdef _WIN32

#include "e2e/e2e_fixture.h"
#include "support/patterned_bytes.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

// What the shell shows of an executable: its manifest and its version information, as Windows
// itself reads them.
struct ShownResources {
    std::string manifest;
    std::vector<std::string> strings; // "Name=value" for each version string asked for
    DWORD fileVersionHigh = 0, fileVersionLow = 0, fileType = 0;
};

ShownResources resourcesOf(const std::string& path) {
    ShownResources shown;
    HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image != nullptr) {
        HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        HGLOBAL loaded = found != nullptr ? LoadResource(image, found) : nullptr;
        if (loaded != nullptr)
            shown.manifest.assign(static_cast<const char*>(LockResource(loaded)),
                                  SizeofResource(image, found));
        FreeLibrary(image);
    }
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    if (block.empty() ||
        !GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()))
        return shown;
    for (const char* name : {"ProductName", "FileDescription", "FileVersion", "ProductVersion",
                             "LegalCopyright", "OriginalFilename"}) {
        std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
        void* value = nullptr;
        UINT length = 0;
        if (VerQueryValueA(block.data(), query.c_str(), &value, &length))
            shown.strings.push_back(name + ("=" + std::string(static_cast<const char*>(value))));
    }
    void* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueA(block.data(), "\\", &fixed, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const VS_FIXEDFILEINFO* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
        shown.fileVersionHigh = info->dwFileVersionMS;
        shown.fileVersionLow = info->dwFileVersionLS;
        shown.fileType = info->dwFileType;
    }
    return shown;
}

void expectShownAsMorvane(const std::string& path) {
    SCOPED_TRACE(path);
    ShownResources shown = resourcesOf(path);
    for (const char* part :
         {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
          "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>", // Windows 7
          "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>", // 8
          "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>", // 8.1
          "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>", // 10 and 11
          "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
          "true</longPathAware>"})
        EXPECT_NE(shown.manifest.find(part), std::string::npos) << part << "\n" << shown.manifest;
    const std::string version = MORVANE_VERSION;
    EXPECT_EQ(shown.strings,
              (std::vector<std::string>{
                  "ProductName=Morvane",
                  "FileDescription=Morvane: makes and applies byte patches to binary files",
                  "FileVersion=" + version, "ProductVersion=" + version,
                  "LegalCopyright=" MORVANE_COPYRIGHT, "OriginalFilename=morvane.exe"}));
    // 1.0 as 1.0.0.0, an application.
    EXPECT_EQ(shown.fileVersionHigh, (MORVANE_VERSION_MAJOR << 16) | MORVANE_VERSION_MINOR);
    EXPECT_EQ(shown.fileVersionLow, 0u);
    EXPECT_EQ(shown.fileType, static_cast<DWORD>(VFT_APP));
}

class WindowsShell : public MorvaneRun {};

} // namespace

TEST_F(WindowsShell, ProgramAndSelfApplyingPatchCarryManifestAndVersionInformation) {
    expectShownAsMorvane(morvanePath());
    write("original.bin", patternedBytes(64));
    write("patched.bin", patternedBytes(64).replace(5, 1, "#"));
    ProcessResult packaged = run({"--original", "original.bin", "--patched", "patched.bin",
                                  "--patch", "update.exe", "--executable"});
    ASSERT_EQ(packaged.exitCode, 0) << packaged.err;
    expectShownAsMorvane(folder / "update.exe");
}

// The console check and the parent's image are planted through MORVANE_TEST_CONSOLE
// (tests/seams); standard input is NUL, so the wait for a key ends at once. Only a program that
// Explorer started alone in its console asks: Task Scheduler (svchost.exe, taskeng.exe),
// `start /wait` (cmd.exe) and `Start-Process -Wait` (powershell.exe) also give it a console of its
// own, and nobody may be there to press a key.
TEST_F(WindowsShell, RunInAConsoleOfItsOwnEndsAskingForAKeyWithTheRunsStatus) {
    write("target.bin", patternedBytes(64));
    write("fix.pat", patchBytes("target.bin", 64, "", {{3, patternedBytes(64).substr(3, 1), "!"}}));
    const std::string prompt = "Press any key to close this window...";
    struct Case {
        const char* console; // nullptr: the real check, which finds pipes
        std::vector<std::string> arguments;
        int code;
        std::vector<std::string> lines;
        std::string error;
    };
    const std::vector<std::string> missing = {"--patch", "missing.pat"};
    const std::string missingLine = "Reading patch file: missing.pat";
    const std::string cannotOpen = "Error: Could not open patch file";
    const std::vector<Case> cases = {
        {"own:explorer.exe",
         {"--patch", "fix.pat"},
         0,
         {"Reading patch file: fix.pat", "Patch for file target.bin (64 bytes)",
          "Applying patch:", "@ 00000003 : 1 bytes", prompt},
         ""},
        {"own:explorer.exe",
         {"--patch", "fix.pat"},
         9,
         {"Reading patch file: fix.pat", "Patch for file target.bin (64 bytes)", prompt},
         "Error: File is already patched, specify \"--reverse\" to undo"},
        {"own:explorer.exe", missing, 4, {missingLine, prompt}, cannotOpen},
        {"own:explorer.exe", {"--patch"}, 1, {prompt}, "Error: No name specified for patchfile"},
        {"own:EXPLORER.EXE", missing, 4, {missingLine, prompt}, cannotOpen},
        {"own:Explorer.exe", missing, 4, {missingLine, prompt}, cannotOpen},
        {"own:svchost.exe", missing, 4, {missingLine}, cannotOpen},
        {"own:taskeng.exe", missing, 4, {missingLine}, cannotOpen},
        {"own:cmd.exe", missing, 4, {missingLine}, cannotOpen},
        {"own:powershell.exe", missing, 4, {missingLine}, cannotOpen},
        {"own:explorer.exe.exe", missing, 4, {missingLine}, cannotOpen},
        {"own:", missing, 4, {missingLine}, cannotOpen},
        // Alone, started by the test program, which the real lookup finds.
        {"own", missing, 4, {missingLine}, cannotOpen},
        {"shared:explorer.exe", missing, 4, {missingLine}, cannotOpen},
        {"shared",
         {"--patch", "fix.pat", "--reverse"},
         0,
         {"Reading patch file: fix.pat", "Reversing patch data... DONE",
          "Patch for file target.bin (64 bytes)", "Applying patch:", "@ 00000003 : 1 bytes"},
         ""},
        {nullptr, missing, 4, {missingLine}, cannotOpen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.console ? c.console : "real check") + " " +
                     ::testing::PrintToString(c.arguments));
        ProcessOptions with = options();
        if (c.console != nullptr)
            with.set("MORVANE_TEST_CONSOLE", c.console);
        ProcessResult result = runSeamed(c.arguments, faults::Plan(), with);
        EXPECT_EQ(result.exitCode, c.code);
        EXPECT_EQ(outputLines(result.out), c.lines);
        EXPECT_EQ(outputLines(result.err),
                  c.error.empty() ? std::vector<std::string>() : std::vector<std::string>{c.error});
    }
}

#endif
