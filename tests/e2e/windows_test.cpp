// Behaviour that only the Windows build has: its own path, exit statuses and console streams
// as Windows reports them, the message shown through PATCH.TXT and the command interpreter,
// and file names in UTF-8 on their way to the wide file calls.
#ifdef _WIN32

#include "e2e/e2e_fixture.h"
#include "platform/platform.h"
#include "support/patterned_bytes.h"

#include <algorithm>
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::uint32_t FILE_SIZE = 64;

std::string originalBytes() {
    return patternedBytes(FILE_SIZE);
}

std::string patchedBytes() {
    std::string bytes = originalBytes();
    bytes[10] = 'X';
    bytes[40] = 'Y';
    return bytes;
}

// A patch for originalBytes() -> patchedBytes() stored under `target`, carrying `message`.
std::string patchFor(const std::string& target, const std::string& message) {
    const std::string original = originalBytes(), patched = patchedBytes();
    return patchBytes(target, FILE_SIZE, message,
                      {{10, original.substr(10, 1), patched.substr(10, 1)},
                       {40, original.substr(40, 1), patched.substr(40, 1)}});
}

// Every line of `output` ends in CR LF, as the console's text mode writes it, and nothing
// follows the last line end.
::testing::AssertionResult endsEveryLineWithCrLf(const std::string& output) {
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '\n' && (i == 0 || output[i - 1] != '\r'))
            return ::testing::AssertionFailure() << "bare line feed at byte " << i;
    }
    if (!output.empty() && output.back() != '\n')
        return ::testing::AssertionFailure() << "unended last line";
    return ::testing::AssertionSuccess();
}

// The test program's own file, as the system names it.
std::string testProgramPath() {
    std::vector<char> buffer(32768);
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::string(buffer.data(), length);
}

bool isAbsoluteWindowsPath(const std::string& path) {
    bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                 path[1] == ':' && path[2] == '\\';
    return drive || path.rfind("\\\\", 0) == 0;
}

// Holds a file open for writing and shares it with no one, like an editor that locks it.
class LockedFile {
  public:
    explicit LockedFile(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~LockedFile() {
        if (isOpen())
            CloseHandle(handle_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool write(const std::string& bytes) {
        DWORD written = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr) &&
               written == bytes.size();
    }

  private:
    HANDLE handle_;
};

std::string withBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

class WindowsRun : public MorvaneRun {
  protected:
    // Where the program finds its temporary folder. The command interpreter (COMSPEC) is a
    // stand-in that records its command line in commandLog() and starts nothing, so that any
    // use of it shows there; so does the recorder as the viewer of .txt files.
    ProcessOptions withTemporaryFolder(const std::string& tmp, const std::string& temp) const {
        ProcessOptions result = options();
        result.set("TMP", tmp).set("TEMP", temp);
        result.set("COMSPEC", withBackslashes(MORVANE_COMMAND_RECORDER));
        result.set("MORVANE_COMMAND_LOG", commandLog());
        return result;
    }
    ProcessOptions withTemporaryFolder(const std::string& folderName) const {
        return withTemporaryFolder(folderName, folderName);
    }
    std::string commandLog() const { return folder / "commands.log"; }
    std::vector<std::string> commandsRun() const {
        return fileExists(commandLog()) ? outputLines(readFile(commandLog()))
                                        : std::vector<std::string>();
    }
    // The same once a viewer has logged its line: the shell does not wait for it.
    std::vector<std::string> commandsOnceViewerRan() const {
        for (int wait = 0; wait < 200 && commandsRun().empty(); ++wait)
            Sleep(50);
        return commandsRun();
    }

    // Target and patch in the scratch folder, ready to apply.
    void prepare(const std::string& patchName, const std::string& message) {
        write("target.bin", originalBytes());
        write(patchName, patchFor("target.bin", message));
    }
};

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Makes `viewer` the program that opens .txt files, for as long as the object lives.
class TextViewerAssociation {
  public:
    explicit TextViewerAssociation(const std::string& viewer) {
        char value[256] = {};
        DWORD size = sizeof value;
        hadOld_ = RegGetValueA(HKEY_CLASSES_ROOT, ".txt", nullptr, RRF_RT_REG_SZ, nullptr, value,
                               &size) == ERROR_SUCCESS;
        old_ = value;
        ok_ = setDefault(".txt", PROGRAM_ID) &&
              setDefault(std::string(PROGRAM_ID) + "\\shell\\open\\command",
                         "\"" + viewer + "\" \"%1\"");
    }
    ~TextViewerAssociation() {
        if (hadOld_)
            setDefault(".txt", old_);
        else
            RegDeleteKeyA(HKEY_CLASSES_ROOT, ".txt");
        RegDeleteTreeA(HKEY_CLASSES_ROOT, PROGRAM_ID);
    }
    TextViewerAssociation(const TextViewerAssociation&) = delete;
    TextViewerAssociation& operator=(const TextViewerAssociation&) = delete;

    bool ok() const { return ok_; }

  private:
    static constexpr const char* PROGRAM_ID = "MorvaneTest.TextViewer";

    static bool setDefault(const std::string& key, const std::string& value) {
        HKEY handle;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &handle, nullptr) != ERROR_SUCCESS)
            return false;
        LONG result =
            RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
        RegCloseKey(handle);
        return result == ERROR_SUCCESS;
    }

    bool hadOld_ = false, ok_ = false;
    std::string old_;
};

} // namespace

// ---- Own executable path ------------------------------------------------------------------

TEST(WindowsOwnPath, IsTheFullPathOfTheRunningProgram) {
    std::string path = platform::ownExecutablePath();
    EXPECT_TRUE(isAbsoluteWindowsPath(path)) << path;
    EXPECT_EQ(path, testProgramPath());
    EXPECT_TRUE(endsWith(path, "\\morvane_tests.exe")) << path;
}

// A packaged program begins with a byte-for-byte copy of the running program's own file, so
// packaging from a marked copy shows which file the program found as its own.
class WindowsOwnPathRun : public WindowsRun {
  protected:
    // Copies the program to `folderName` below the scratch folder, marked inside its image (in
    // the DOS stub's text), so that nothing lies beyond the image.
    std::string markedCopy(const std::string& folderName) {
        std::string copyFolder = folder / folderName;
        makeFolder(copyFolder);
        std::string copy = copyFolder + "\\copy of morvane.exe";
        std::string image = readFile(morvanePath());
        std::size_t stub = image.find("DOS mode");
        EXPECT_LT(stub, 512u);
        image.replace(stub, 8, "DOS MARK");
        writeFile(copy, image);
        return copy;
    }

    void packagesItsOwnFile(const std::string& copy) {
        write("original.bin", originalBytes());
        write("patched.bin", patchedBytes());
        ProcessResult packaging = runProcess(copy,
                                             {"--original", "original.bin", "--patched",
                                              "patched.bin", "--patch", "fix.exe", "--executable"},
                                             options());
        ASSERT_EQ(packaging.exitCode, 0) << packaging.out << packaging.err;
        std::string packaged = read("fix.exe");
        std::string own = readFile(copy);
        ASSERT_GT(packaged.size(), own.size());
        EXPECT_EQ(packaged.substr(0, own.size()), own);

        // The packaged program finds its own trailer the same way and applies the patch.
        ScratchFolder elsewhere;
        writeFile(elsewhere / "original.bin", originalBytes());
        ProcessOptions there = options();
        there.workingDirectory = elsewhere.path();
        ProcessResult applying = runProcess(folder / "fix.exe", {}, there);
        EXPECT_EQ(applying.exitCode, 0) << applying.out << applying.err;
        EXPECT_EQ(readFile(elsewhere / "original.bin"), patchedBytes());
    }
};

TEST_F(WindowsOwnPathRun, PackagingCopiesTheRunningFileFromAFolderWithABlank) {
    packagesItsOwnFile(markedCopy("own folder"));
}

// ---- Exit statuses and the console streams ------------------------------------------------

TEST_F(WindowsRun, EveryExitStatusReachesTheCaller) {
    write("original.bin", originalBytes());
    write("patched.bin", patchedBytes());
    write("short.bin", originalBytes().substr(1));
    write("not-a-patch.pat", "PATCH2 and more");
    write("target.bin", originalBytes());
    write("fix.pat", patchFor("target.bin", ""));
    write("done.bin", patchedBytes());
    write("done.pat", patchFor("done.bin", ""));
    std::string unrelated(FILE_SIZE, 'z');
    write("other.bin", unrelated);
    write("other.pat", patchFor("other.bin", ""));

    struct Case {
        std::vector<std::string> arguments;
        int code;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0},
        {{"--patch"}, 1},
        {{"--original", "original.bin"}, 2},
        {{"--original", "original.bin", "--patch", "x.pat"}, 3},
        {{"--patch", "missing.pat"}, 4},
        {{"--original", "original.bin", "--patched", "patched.bin", "--patch",
          "no such folder\\x.pat"},
         5},
        {{"--original", "original.bin", "--patched", "short.bin", "--patch", "x.pat"}, 6},
        {{"--original", "original.bin", "--patched", "original.bin", "--patch", "x.pat"}, 7},
        {{"--patch", "not-a-patch.pat"}, 8},
        {{"--patch", "done.pat"}, 9},
        {{"--patch", "other.pat"}, 10},
    };
    for (const Case& c : cases) {
        ProcessResult result = run(c.arguments);
        EXPECT_EQ(result.exitCode, c.code) << c.arguments[0] << " " << result.err;
        if (c.code == 0) {
            EXPECT_EQ(result.err, "");
        } else {
            std::vector<std::string> errorLines = outputLines(result.err);
            EXPECT_EQ(errorLines.size(), 1u) << result.err;
            EXPECT_TRUE(endsEveryLineWithCrLf(result.err));
        }
    }
    EXPECT_EQ(read("other.bin"), unrelated);
    EXPECT_EQ(read("done.bin"), patchedBytes());
}

TEST_F(WindowsRun, EmptyCommandLineStillNamesTheProgram) {
    // The runtime takes the program's name from its module when the command line is empty,
    // so the argument vector is never empty on Windows: the usage text and 0, not -1.
    std::string program = morvanePath();
    std::string commandLine;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                  nullptr, folder.path().c_str(), &startup, &process);
    CloseHandle(nul);
    ASSERT_TRUE(started);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(static_cast<int>(code), 0);
}

TEST_F(WindowsRun, ErrorLineFollowsEveryProgressLineInOnePipe) {
    prepare("fix.pat", "");
    ProcessOptions merged = options();
    merged.mergeStreams = true;
    // Reversing a patch that was never applied: progress lines, then the error.
    ProcessResult result = run({"--patch", "fix.pat", "--reverse"}, merged);
    EXPECT_EQ(result.exitCode, 9);
    EXPECT_TRUE(endsEveryLineWithCrLf(result.combined)) << result.combined;
    std::vector<std::string> lines = outputLines(result.combined);
    ASSERT_GE(lines.size(), 3u) << result.combined;
    EXPECT_EQ(lines.back(), "Error: File is already patched, specify \"--reverse\" to undo");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].find("Error"), std::string::npos) << lines[i];
    EXPECT_NE(result.combined.find("Reversing patch data... DONE\r\n"), std::string::npos)
        << result.combined;
    EXPECT_EQ(read("target.bin"), originalBytes());
}

TEST_F(WindowsRun, ConsoleLinesEndInCrLf) {
    ProcessResult result = run({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(endsEveryLineWithCrLf(result.out));
    EXPECT_EQ(outputLines(result.out).size(), 22u);
    // Tabs and the blank at the end of a line stay as they are.
    EXPECT_NE(result.out.find("\t--help\tDisplay this message.\r\n"), std::string::npos);
    EXPECT_NE(result.out.find("Otherwise, the \r\n"), std::string::npos);
}

// ---- The patch message --------------------------------------------------------------------

// The shell opens PATCH.TXT with the program associated with .txt files; the tests make that
// the recorder, which logs its command line. Only in the Wine test prefix: the association is
// the machine's.
#define SKIP_UNLESS_UNDER_WINE()                                                                   \
    if (!runningUnderWine())                                                                       \
    GTEST_SKIP() << "changes the .txt file association; runs only in the Wine test prefix"

// The recorder's command line as the shell starts it to open `path`.
std::string viewerCommandFor(const std::string& path) {
    return "\"" + withBackslashes(MORVANE_COMMAND_RECORDER) + "\" \"" + path + "\"";
}

TEST_F(WindowsRun, MessageIsWrittenToPatchTxtInTheTemporaryFolderAndOpened) {
    SKIP_UNLESS_UNDER_WINE();
    std::string temp = folder / "temp folder";
    makeFolder(temp);
    const std::string message("Read me first.\r\nBytes 0 and 255: \0\xFF end\n", 41);
    ASSERT_EQ(message.size(), 41u);
    prepare("fix.pat", message);
    TextViewerAssociation association(withBackslashes(MORVANE_COMMAND_RECORDER));
    ASSERT_TRUE(association.ok());

    ProcessResult result = run({"--patch", "fix.pat"}, withTemporaryFolder(temp));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "Patch for file target.bin (64 bytes)",
                  "Applying patch:", "@ 0000000A : 1 bytes", "@ 00000028 : 1 bytes");
    EXPECT_EQ(readFile(temp + "\\PATCH.TXT"), message);
    // The viewer inherits no handle of the run's (its output is no pipe of the test's), and no
    // command interpreter (the recorder again, through COMSPEC) is started.
    EXPECT_EQ(commandsOnceViewerRan(),
              std::vector<std::string>{viewerCommandFor(temp + "\\PATCH.TXT")});
    EXPECT_EQ(read("target.bin"), patchedBytes());
}

// The exact path of PATCH.TXT reaches the viewer whatever the folder's name holds: a command
// interpreter would expand %OS% (to another folder, where a file may be planted), drop ! where
// delayed expansion is on, and take ^ and & for its own.
TEST_F(WindowsRun, TheViewerGetsTheExactPathWhateverTheFolderHolds) {
    SKIP_UNLESS_UNDER_WINE();
    TextViewerAssociation association(withBackslashes(MORVANE_COMMAND_RECORDER));
    ASSERT_TRUE(association.ok());
    const std::string planted = folder / "aWindows_NTb";
    makeFolder(planted);
    write("aWindows_NTb\\PATCH.TXT", "planted");
    for (const char* name :
         {"temp folder & co", "a%OS%b", "bang!OS!", "caret^x^^", "%PATH%", "100%"}) {
        SCOPED_TRACE(name);
        const std::string temp = folder / name;
        makeFolder(temp);
        std::filesystem::remove(commandLog());
        write("target.bin", originalBytes());
        write("fix.pat", patchFor(folder / "target.bin", "hello"));
        ProcessOptions with = withTemporaryFolder(temp);
        // The viewer may outlive the program for a moment; started outside the scratch folder,
        // it does not keep it from being removed.
        std::string scratch = folder.path();
        with.workingDirectory = scratch.substr(0, scratch.find_last_of('\\'));
        ProcessResult result = run({"--patch", folder / "fix.pat"}, with);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out.find("hello"), std::string::npos) << result.out;
        EXPECT_EQ(readFile(temp + "\\PATCH.TXT"), "hello");
        EXPECT_EQ(commandsOnceViewerRan(),
                  std::vector<std::string>{viewerCommandFor(temp + "\\PATCH.TXT")});
        EXPECT_EQ(read("aWindows_NTb\\PATCH.TXT"), "planted");
        EXPECT_EQ(read("target.bin"), patchedBytes());
    }
}

TEST_F(WindowsRun, ShorterSecondMessageReplacesTheFirst) {
    SKIP_UNLESS_UNDER_WINE();
    TextViewerAssociation association(withBackslashes(MORVANE_COMMAND_RECORDER));
    ASSERT_TRUE(association.ok());
    std::string temp = folder / "temp";
    makeFolder(temp);
    write("first.bin", originalBytes());
    write("first.pat", patchFor("first.bin", "A long first message, ten lines' worth."));
    write("second.bin", originalBytes());
    write("second.pat", patchFor("second.bin", std::string("2nd\0", 4)));

    EXPECT_EQ(run({"--patch", "first.pat"}, withTemporaryFolder(temp)).exitCode, 0);
    EXPECT_EQ(readFile(temp + "\\PATCH.TXT"), "A long first message, ten lines' worth.");
    EXPECT_EQ(run({"--patch", "second.pat"}, withTemporaryFolder(temp)).exitCode, 0);
    EXPECT_EQ(readFile(temp + "\\PATCH.TXT"), std::string("2nd\0", 4));
    for (int wait = 0; wait < 200 && commandsRun().size() < 2; ++wait)
        Sleep(50);
    EXPECT_EQ(commandsRun().size(), 2u);
}

TEST_F(WindowsRun, TmpComesBeforeTemp) {
    std::string tmp = folder / "from tmp", temp = folder / "from temp";
    makeFolder(tmp);
    makeFolder(temp);
    prepare("fix.pat", "hello");
    EXPECT_EQ(run({"--patch", "fix.pat"}, withTemporaryFolder(tmp, temp)).exitCode, 0);
    EXPECT_EQ(readFile(tmp + "\\PATCH.TXT"), "hello");
    EXPECT_FALSE(fileExists(temp + "\\PATCH.TXT"));

    // Without TMP, TEMP names the folder.
    write("target.bin", originalBytes());
    ProcessOptions withoutTmp = withTemporaryFolder(tmp, temp);
    withoutTmp.setEnv.erase(std::remove_if(withoutTmp.setEnv.begin(), withoutTmp.setEnv.end(),
                                           [](const auto& set) { return set.first == "TMP"; }),
                            withoutTmp.setEnv.end());
    withoutTmp.unsetEnv.push_back("TMP");
    EXPECT_EQ(run({"--patch", "fix.pat"}, withoutTmp).exitCode, 0);
    EXPECT_EQ(readFile(temp + "\\PATCH.TXT"), "hello");
}

// Where no viewer can start (no program is associated with .txt files, as on Wine without a
// display), the message is printed, once, and nothing of a command interpreter or of the shell
// reaches the output. (The real interpreter is named, so that a run that used it would show.)
TEST_F(WindowsRun, MessageIsPrintedWhenNoViewerCanBeStarted) {
    SKIP_UNLESS_UNDER_WINE();
    char value[256] = {};
    DWORD size = sizeof value;
    ASSERT_NE(
        RegGetValueA(HKEY_CLASSES_ROOT, ".txt", nullptr, RRF_RT_REG_SZ, nullptr, value, &size),
        ERROR_SUCCESS)
        << "the test prefix associates .txt files with " << value;
    std::string temp = folder / "temp";
    makeFolder(temp);
    prepare("fix.pat", "hello");
    ProcessOptions realInterpreter = withTemporaryFolder(temp);
    realInterpreter.set("COMSPEC", std::getenv("COMSPEC"));
    ProcessResult result = run({"--patch", "fix.pat"}, realInterpreter);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "hello",
                  "Patch for file target.bin (64 bytes)", "Applying patch:", "@ 0000000A : 1 bytes",
                  "@ 00000028 : 1 bytes");
    EXPECT_EQ(readFile(temp + "\\PATCH.TXT"), "hello");
    EXPECT_EQ(read("target.bin"), patchedBytes());
}

// No command interpreter is needed (or started) to open PATCH.TXT.
TEST_F(WindowsRun, TheViewerStartsWithoutACommandInterpreter) {
    SKIP_UNLESS_UNDER_WINE();
    TextViewerAssociation association(withBackslashes(MORVANE_COMMAND_RECORDER));
    ASSERT_TRUE(association.ok());
    std::string temp = folder / "temp";
    makeFolder(temp);
    prepare("fix.pat", "hello");
    ProcessOptions noInterpreter = withTemporaryFolder(temp);
    noInterpreter.set("COMSPEC", folder / "no such interpreter.exe");
    noInterpreter.unset("PATH");
    ProcessResult result = run({"--patch", "fix.pat"}, noInterpreter);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.find("hello"), std::string::npos) << result.out;
    EXPECT_EQ(commandsOnceViewerRan(),
              std::vector<std::string>{viewerCommandFor(temp + "\\PATCH.TXT")});
    EXPECT_EQ(read("target.bin"), patchedBytes());
}

TEST_F(WindowsRun, MessageIsPrintedWhenPatchTxtIsLocked) {
    std::string temp = folder / "temp";
    makeFolder(temp);
    const std::string message("Locked out\0!", 12);
    prepare("fix.pat", message);
    LockedFile locked(temp + "\\PATCH.TXT");
    ASSERT_TRUE(locked.isOpen());
    ASSERT_TRUE(locked.write("held"));

    ProcessResult result = run({"--patch", "fix.pat"}, withTemporaryFolder(temp));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // The message, then a line feed (CR LF in text mode), before the block lines.
    EXPECT_NE(result.out.find(message + "\r\n"), std::string::npos) << result.out;
    EXPECT_TRUE(commandsRun().empty());
    EXPECT_EQ(read("target.bin"), patchedBytes());
}

TEST_F(WindowsRun, MessageIsPrintedWhenTheTemporaryFolderIsMissing) {
    prepare("fix.pat", "first line\nsecond line");
    ProcessResult result =
        run({"--patch", "fix.pat"}, withTemporaryFolder(folder / "no such temp"));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // Line feeds inside the message become CR LF on the text-mode console, like every line end.
    EXPECT_NE(result.out.find("first line\r\nsecond line\r\n"), std::string::npos) << result.out;
    EXPECT_TRUE(commandsRun().empty());
    EXPECT_FALSE(fileExists(folder / "no such temp"));
    EXPECT_EQ(read("target.bin"), patchedBytes());
}

// ---- File names ---------------------------------------------------------------------------

TEST_F(WindowsRun, NamesWithBlanksAndFoldersAreStoredAndReopenedAsTyped) {
    const std::vector<std::string> names = {"my file.bin", "sub dir\\data file.bin",
                                            "sub dir/other.bin", ".\\sub dir\\..\\dot.bin"};
    makeFolder(folder / "sub dir");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        write(name, originalBytes());
        write("new version.bin", patchedBytes());
        ProcessResult created =
            run({"--original", name, "--patched", "new version.bin", "--patch", "my fix.pat"});
        ASSERT_EQ(created.exitCode, 0) << created.err;
        std::string patch = read("my fix.pat");
        EXPECT_EQ(patch.substr(6, 4 + name.size()),
                  le32(static_cast<std::uint32_t>(name.size())) + name);

        ProcessResult applied = run({"--patch", "my fix.pat"});
        EXPECT_EQ(applied.exitCode, 0) << applied.err;
        EXPECT_EQ(read(name), patchedBytes());
    }
}

TEST_F(WindowsRun, NamesAreStoredInUtf8AndNamesStoredInTheAnsiCodePageStillApply) {
    if (GetACP() != 1252)
        GTEST_SKIP() << "needs the ANSI code page 1252, not " << GetACP();
    // Each name in code page 1252, as earlier builds stored it, and in UTF-8.
    struct Case {
        std::string ansi, utf8;
    };
    const Case cases[] = {{"\xDC"
                           "ber.bin",
                           "\xC3\x9C"
                           "ber.bin"},
                          {"caf\xE9 \xB5\xE6.bin", "caf\xC3\xA9 \xC2\xB5\xC3\xA6.bin"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        // Made and read through the ANSI calls by plain concatenation: std::filesystem would
        // take the bytes for UTF-8. The test starts the program through CreateProcessA, so the
        // name reaches it converted from the ANSI code page.
        const std::string path = folder.path() + "\\" + c.ansi;
        writeFile(path, originalBytes());
        write("new.bin", patchedBytes());
        ProcessResult created =
            run({"--original", c.ansi, "--patched", "new.bin", "--patch", "fix.pat"});
        ASSERT_EQ(created.exitCode, 0) << created.err;
        EXPECT_EQ(outputLines(created.out).at(0), "Original file: " + c.utf8);
        const std::string patch = read("fix.pat");
        EXPECT_EQ(patch.substr(6, 4 + c.utf8.size()),
                  le32(static_cast<std::uint32_t>(c.utf8.size())) + c.utf8);
        ProcessResult applied = run({"--patch", "fix.pat"});
        EXPECT_EQ(applied.exitCode, 0) << applied.err;
        EXPECT_EQ(readFile(path), patchedBytes());

        // A patch that holds the name in the ANSI code page, as earlier builds made it.
        writeFile(path, originalBytes());
        write("old.pat", patchFor(c.ansi, ""));
        applied = run({"--patch", "old.pat"});
        EXPECT_EQ(applied.exitCode, 0) << applied.err;
        EXPECT_OUTPUT(applied.out, "Reading patch file: old.pat",
                      "Patch for file " + c.utf8 + " (64 bytes)",
                      "Applying patch:", "@ 0000000A : 1 bytes", "@ 00000028 : 1 bytes");
        EXPECT_EQ(readFile(path), patchedBytes());
    }
}

// ---- The file to patch, held by another process ------------------------------------------

TEST_F(WindowsRun, TargetHeldByAnotherProcessIsPatchedOnlyWhenThatOnlyReadsIt) {
    struct Case {
        const char* what;
        DWORD access, share;
        bool applies;
    };
    const DWORD shareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const Case cases[] = {
        {"read, sharing reading and writing", GENERIC_READ, shareBoth, true},
        {"written, sharing reading and writing", GENERIC_WRITE, shareBoth, false},
        {"read, sharing reading only", GENERIC_READ, FILE_SHARE_READ, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prepare("fix.pat", "");
        HANDLE held = CreateFileA((folder / "target.bin").c_str(), c.access, c.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        ProcessResult result = run({"--patch", "fix.pat"});
        CloseHandle(held);
        if (c.applies) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(read("target.bin"), patchedBytes());
        } else {
            EXPECT_FAILURE(result, 4, "Could not open file to patch");
            EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat",
                          "Patch for file target.bin (64 bytes)");
            EXPECT_EQ(read("target.bin"), originalBytes());
        }
    }
}

// Creating a patch while another process writes one of the files would give a patch of a
// half-written file: the files are opened so that no one else may write them meanwhile.
TEST_F(WindowsRun, FilesToCompareAreNotReadWhileAnotherProcessWritesThem) {
    struct Case {
        const char* what;
        const char* held;
        DWORD access, share;
        const char* error; // none: the patch is made
    };
    const DWORD shareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const Case cases[] = {
        {"original read by another", "a.bin", GENERIC_READ, shareBoth, nullptr},
        {"patched read, sharing reading only", "b.bin", GENERIC_READ, FILE_SHARE_READ, nullptr},
        {"original written by another", "a.bin", GENERIC_WRITE, shareBoth,
         "Could not open original file"},
        {"patched written by another", "b.bin", GENERIC_READ | GENERIC_WRITE, shareBoth,
         "Could not open patched file"},
    };
    write("a.bin", originalBytes());
    write("b.bin", patchedBytes());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE held = CreateFileA((folder / c.held).c_str(), c.access, c.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        ProcessResult result =
            run({"--original", "a.bin", "--patched", "b.bin", "--patch", "made.pat"});
        CloseHandle(held);
        if (c.error == nullptr) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
        } else {
            EXPECT_FAILURE(result, 4, c.error);
        }
    }
}

// An output with a second link is written in place, so both names lead to the new patch; one
// with a single link is replaced whole.
TEST_F(WindowsRun, AnOutputWithASecondLinkIsWrittenInPlace) {
    write("a.bin", originalBytes());
    write("b.bin", patchedBytes());
    write("one.pat", "old");
    write("linked.pat", "old");
    ASSERT_TRUE(
        CreateHardLinkA((folder / "second.pat").c_str(), (folder / "linked.pat").c_str(), nullptr));
    for (const char* output : {"one.pat", "linked.pat"}) {
        SCOPED_TRACE(output);
        ProcessResult result =
            run({"--original", "a.bin", "--patched", "b.bin", "--patch", output});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(read(output).substr(0, 6), "PATCH1");
    }
    EXPECT_EQ(read("second.pat"), read("linked.pat"));
    EXPECT_EQ(read("one.pat"), read("linked.pat"));
}

// An output named by a symbolic link: the file the link leads to gets the patch and the link
// stays a link; a link that leads to no file is refused and left as it was. Wine makes no
// symbolic links, so there the test is skipped.
TEST_F(WindowsRun, AnOutputThroughASymbolicLinkReplacesTheFileItLeadsTo) {
    write("a.bin", originalBytes());
    write("b.bin", patchedBytes());
    write("real.pat", "old");
    auto isLink = [&](const char* name) {
        DWORD attributes = GetFileAttributesA((folder / name).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    };
    for (const char* name : {"real.pat", "gone.pat"}) {
        CreateSymbolicLinkA((folder / (std::string("to-") + name)).c_str(), (folder / name).c_str(),
                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    }
    if (!isLink("to-real.pat") || !isLink("to-gone.pat"))
        GTEST_SKIP() << "no symbolic links can be made here";
    ProcessResult result =
        run({"--original", "a.bin", "--patched", "b.bin", "--patch", "to-real.pat"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(isLink("to-real.pat"));
    EXPECT_EQ(read("real.pat").substr(0, 6), "PATCH1");
    result = run({"--original", "a.bin", "--patched", "b.bin", "--patch", "to-gone.pat"});
    EXPECT_FAILURE(result, 5, "Can't write to patch file");
    EXPECT_TRUE(isLink("to-gone.pat"));
    EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"a.bin", "b.bin", "real.pat",
                                                                "to-gone.pat", "to-real.pat"}));
}

// ReplaceFileW can fail half-way: ERROR_UNABLE_TO_MOVE_REPLACEMENT and ..._2 mean that the old
// output is gone and the fresh file still has its own name. The fresh file is then moved into
// place, and when that fails too it is kept, whole. Only real Windows gives these answers; the
// rename seam plants them (and removes the old file first, as Windows has).
TEST_F(WindowsRun, AReplaceThatFailsHalfWayNeverLosesTheOutput) {
    write("a.bin", originalBytes());
    write("b.bin", patchedBytes());
    ASSERT_EQ(
        run({"--original", "a.bin", "--patched", "b.bin", "--patch", "expected.pat"}).exitCode, 0);
    const std::string expected = read("expected.pat");
    using faults::Action;
    struct Case {
        faults::Plan plan;
        int code;
        const char* output; // what out.pat holds afterwards; nullptr: it is gone
        bool freshKept;     // the complete patch is left under its fresh name
    };
    const Case cases[] = {
        {{faults::Call::Replace, 1, Action::Unable}, 0, "patch", false},
        {{faults::Call::Replace, 1, Action::Unable2}, 0, "patch", false},
        {{faults::Call::Replace, 1, Action::Unable, true}, 5, nullptr, true},
        {{faults::Call::Replace, 1, Action::Unable2, true}, 5, nullptr, true},
        {{faults::Call::Replace, 1, Action::Fail}, 5, "old", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(faults::describe(c.plan));
        write("out.pat", "old");
        ProcessResult result =
            runSeamed({"--original", "a.bin", "--patched", "b.bin", "--patch", "out.pat"}, c.plan);
        if (c.code == 0) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
        } else {
            EXPECT_FAILURE(result, c.code, "Can't write to patch file");
        }
        if (c.output == nullptr)
            EXPECT_FALSE(fileExists(folder / "out.pat"));
        else
            EXPECT_EQ(read("out.pat"), std::string(c.output) == "old" ? "old" : expected);
        std::vector<std::string> fresh;
        for (const std::string& name : namesIn(folder.path())) {
            if (name.rfind("~mvn", 0) == 0)
                fresh.push_back(name);
        }
        ASSERT_EQ(fresh.size(), c.freshKept ? 1u : 0u);
        if (c.freshKept) {
            EXPECT_EQ(read(fresh[0]), expected);
            std::filesystem::remove(folder / fresh[0]);
        }
    }
}

// The names in a folder, sorted, as UTF-16: through the \\?\ prefix, so that a folder of any
// length can be listed (the runtime's own listing stops at MAX_PATH) and a name that no UTF-8
// holds stays as it is.
std::vector<std::wstring> wideNamesIn(const std::string& asciiFolder) {
    const std::string pattern = "\\\\?\\" + asciiFolder + "\\*";
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(std::wstring(pattern.begin(), pattern.end()).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return {L"(cannot be listed)"};
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// GetTempPathW gives no folder of MAX_PATH characters or more; the program then reads TMP, TEMP
// and USERPROFILE itself, in that order, and a self-applying patch extracts its patch there.
TEST_F(WindowsRun, ATemporaryFolderOfAnyLengthHoldsTheExtractedPatch) {
    const std::string longFolder = folder / (std::string(150, 't') + "\\" + std::string(150, 'u'));
    makeFolder(longFolder);
    ASSERT_GT(longFolder.size(), 300u);
    write("original.bin", originalBytes());
    write("patched.bin", patchedBytes());
    ProcessOptions packaging = options();
    packaging.set("TMP", longFolder);
    ProcessResult packaged = run({"--original", "original.bin", "--patched", "patched.bin",
                                  "--patch", "fix.exe", "--executable"},
                                 packaging);
    ASSERT_EQ(packaged.exitCode, 0) << packaged.err;
    EXPECT_TRUE(wideNamesIn(longFolder).empty());
    for (const char* variable : {"TMP", "TEMP", "USERPROFILE"}) {
        SCOPED_TRACE(variable);
        write("original.bin", originalBytes());
        ProcessOptions with = options();
        with.unset("TMP").unset("TEMP").set(variable, longFolder);
        ProcessResult result = runProcess(folder / "fix.exe", {}, with);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        const std::vector<std::string> lines = outputLines(result.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind("Reading patch file: " + longFolder + "\\~mvn", 0), 0u)
            << lines[0];
        EXPECT_EQ(read("original.bin"), patchedBytes());
        EXPECT_TRUE(wideNamesIn(longFolder).empty());
    }
}

// A stranger's patch that names a network or device path as its target would make Windows
// connect to that host and offer it the user's credentials the moment the name is opened: such a
// name is refused before anything opens it (its message is printed, not written to PATCH.TXT
// with the name compared). Wine offers no credentials; a device path that leads to the real
// target shows that the name is not opened.
TEST_F(WindowsRun, ATargetNameOnTheNetworkIsNeverOpened) {
    std::string temp = folder / "temp";
    makeFolder(temp);
    const std::string device = "\\\\.\\" + folder / "target.bin";
    const std::string longDrive = "\\\\?\\" + folder / "target.bin";
    struct Case {
        std::string name;
        bool refused;
    };
    const Case cases[] = {
        {"\\\\host\\share\\target.bin", true},         {"//host/share/target.bin", true},
        {"\\\\?\\UNC\\host\\share\\target.bin", true}, {device, true},
        {"\\??\\" + folder / "target.bin", true},      {longDrive, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write("target.bin", originalBytes());
        write("fix.pat", patchFor(c.name, "hello"));
        std::filesystem::remove(temp + "\\PATCH.TXT");
        ProcessResult result = run({"--patch", "fix.pat"}, withTemporaryFolder(temp));
        if (!c.refused) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(read("target.bin"), patchedBytes());
            continue;
        }
        EXPECT_FAILURE(result, 4, "Could not open file to patch");
        EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "hello",
                      "Patch for file " + c.name + " (64 bytes)");
        EXPECT_FALSE(fileExists(temp + "\\PATCH.TXT"));
        EXPECT_EQ(read("target.bin"), originalBytes());
    }
}

// Files named in UTF-16 in the scratch folder, for names no UTF-8 holds.
void writeWide(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string readWide(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "(missing)";
    std::string bytes(1 << 16, '\0');
    DWORD got = 0;
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(file);
    return bytes.substr(0, got);
}

// NTFS names are UTF-16 units that are never checked, so "sur\xD800.dat" (an unpaired
// surrogate) is a file of its own, not "sur\xFFFD.dat". A name that cannot reach the system
// exactly as typed is refused with the error of the open that would use it, before anything is
// read or written; the U+FFFD files, which a lossy conversion would take instead, stay as they
// are.
TEST_F(WindowsRun, ANameWithAnUnpairedSurrogateIsNeverTakenForAnother) {
    const std::wstring here(folder.path().begin(), folder.path().end());
    write("a.bin", originalBytes());
    write("b.bin", patchedBytes());
    write("target.bin", originalBytes());
    write("msg.txt", "hello");
    const std::string lone = "\xED\xA0\x80"; // U+D800 as WTF-8
    writeWide(here + L"\\sur\xFFFD.dat", patchedBytes());
    writeWide(here + L"\\out\xFFFD.pat", "keep");
    writeWide(here + L"\\fix\xFFFD.pat", patchFor("target.bin", ""));
    const std::vector<std::wstring> before = wideNamesIn(folder.path());
    const std::string sur = "sur" + lone + ".dat", out = "out" + lone + ".pat";
    struct Case {
        std::vector<std::string> arguments;
        int code;
        const char* error;
    };
    const Case cases[] = {
        {{"--original", sur, "--patched", "b.bin", "--patch", "x.pat"},
         4,
         "Could not open original file"},
        {{"--original", "a.bin", "--patched", sur, "--patch", "x.pat"},
         4,
         "Could not open patched file"},
        {{"--original", "a.bin", "--patched", "b.bin", "--message", sur, "--patch", "x.pat"},
         4,
         "Could not open message file"},
        {{"--original", sur, "--patched", "b.bin", "--patch", out},
         4,
         "Could not open original file"},
        {{"--original", "a.bin", "--patched", "b.bin", "--patch", out},
         5,
         "Can't write to patch file"},
        {{"--original", "a.bin", "--patched", "b.bin", "--patch", out, "--executable"},
         5,
         "Cannot write to output file"},
        {{"--patch", "fix" + lone + ".pat"}, 4, "Could not open patch file"},
    };
    ProcessOptions wide = options();
    wide.wideArguments = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        ProcessResult result = run(c.arguments, wide);
        EXPECT_FAILURE(result, c.code, c.error);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(wideNamesIn(folder.path()), before);
        EXPECT_EQ(readWide(here + L"\\out\xFFFD.pat"), "keep");
        EXPECT_EQ(read("target.bin"), originalBytes());
    }
    // The same runs with the U+FFFD names typed as such do what they say.
    ProcessResult made =
        run({"--original", "a.bin", "--patched", "b.bin", "--patch", "out\xEF\xBF\xBD.pat"}, wide);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(readWide(here + L"\\out\xFFFD.pat").substr(0, 6), "PATCH1");
    EXPECT_EQ(run({"--patch", "fix\xEF\xBF\xBD.pat"}, wide).exitCode, 0);
    EXPECT_EQ(read("target.bin"), patchedBytes());
}

// Ctrl-C outside a write phase (while the files are compared, while a self-applying patch copies
// out its patch or reads it) ends the run through the default handler, which runs no exit hook:
// the program's console handler deletes the temporary files first. The seam delivers Ctrl-C as
// Windows does, the handler on a thread of its own.
TEST_F(WindowsRun, CtrlCLeavesNoTemporaryFile) {
    write("original.bin", originalBytes());
    write("patched.bin", patchedBytes());
    const std::vector<std::string> packaging = {"--original",  "original.bin", "--patched",
                                                "patched.bin", "--patch",      "fix.exe",
                                                "--executable"};
    ASSERT_EQ(runSeamed(packaging, faults::Plan()).exitCode, 0);
    std::vector<std::string> again = packaging;
    again[5] = "out.exe";
    const int CTRL_C_EXIT = static_cast<int>(STATUS_CONTROL_C_EXIT);
    struct Row {
        std::string program;
        std::vector<std::string> arguments;
        faults::Plan plan;
    };
    const Row rows[] = {
        {seamedMorvanePath(), again, {faults::Call::ReadAt, 1, faults::Action::Interrupt}},
        {folder / "fix.exe", {}, {faults::Call::WriteNext, 1, faults::Action::Interrupt}},
        {folder / "fix.exe", {}, {faults::Call::ReadAt, 1, faults::Action::Interrupt}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.program + " " + faults::describe(row.plan));
        ProcessResult result =
            runProcess(row.program, row.arguments, options().withFaults(row.plan));
        EXPECT_EQ(result.exitCode, CTRL_C_EXIT);
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
        EXPECT_FALSE(fileExists(folder / "out.exe"));
        EXPECT_EQ(read("original.bin"), originalBytes());
    }
}

#endif
