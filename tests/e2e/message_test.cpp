#include "e2e/e2e_fixture.h"

#ifndef _WIN32

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::string_literals;

class Message : public MorvaneRun {
  protected:
    const std::string message = "Thanks for patching.\r\nBytes \0 and \xE9 stay\n\nlast line"s;

    void SetUp() override {
        MorvaneRun::SetUp();
        write("t.bin", "abcdefgh");
        write("fix.pat", patchBytes("t.bin", 8, message, {{2, "c", "C"}}));
    }
    std::string patchText() const { return readFile(temporaryFolder() + "/PATCH.TXT"); }

    // A viewer stand-in that records what it was asked to open.
    std::string fakeViewerFolder() const {
        std::string bin = folder / "bin";
        makeFolder(bin);
        writeFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + bin +
                                         "/opened.tmp\"\n" + "mv \"" + bin + "/opened.tmp\" \"" +
                                         bin + "/opened\"\n");
        ::chmod((bin + "/xdg-open").c_str(), 0755);
        return bin;
    }
};

const char* const APPLIED[] = {"Patch for file t.bin (8 bytes)",
                               "Applying patch:", "@ 00000002 : 1 bytes"};

TEST_F(Message, IsPrintedWithoutAGraphicalSession) {
    ProcessResult result = run({"--patch", "fix.pat"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "Reading patch file: fix.pat\n" + message + "\n" +
                              textOf({APPLIED[0], APPLIED[1], APPLIED[2]}));
    EXPECT_EQ(patchText(), message);
    EXPECT_EQ(read("t.bin"), "abCdefgh");

    // A later, shorter message replaces the file whole, and it is shown even when the run fails.
    write("fix.pat", patchBytes("gone.bin", 8, "short", {{2, "c", "C"}}));
    result = run({"--patch", "fix.pat"});
    EXPECT_FAILURE(result, 4, "Could not open file to patch");
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "short",
                  "Patch for file gone.bin (8 bytes)");
    EXPECT_EQ(patchText(), "short");
}

TEST_F(Message, OpensInTheViewerWhenADisplayIsPresent) {
    std::string bin = fakeViewerFolder();
    for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        SCOPED_TRACE(display);
        write("t.bin", "abcdefgh");
        ::unlink((bin + "/opened").c_str());
        ProcessOptions options = this->options();
        options.set(display, ":7").set("PATH", bin + ":" + std::getenv("PATH"));
        ProcessResult result = run({"--patch", "fix.pat"}, options);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", APPLIED[0], APPLIED[1],
                      APPLIED[2]);
        EXPECT_EQ(patchText(), message);
        // The viewer is not waited for.
        for (int wait = 0; wait < 100 && !fileExists(bin + "/opened"); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(fileExists(bin + "/opened"));
        EXPECT_EQ(readFile(bin + "/opened"), temporaryFolder() + "/PATCH.TXT");
    }
}

// PATCH.TXT is made for its owner only, whatever the umask; a DISPLAY or WAYLAND_DISPLAY that is
// set but empty is no graphical session, so the message is printed although a viewer is there.
TEST_F(Message, PatchTxtIsPrivateAndAnEmptyDisplayIsNoSession) {
    std::string bin = fakeViewerFolder();
    for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        SCOPED_TRACE(display);
        write("t.bin", "abcdefgh");
        ::unlink((temporaryFolder() + "/PATCH.TXT").c_str());
        ProcessOptions options = this->options();
        options.set(display, "").set("PATH", bin + ":" + std::getenv("PATH"));
        ProcessResult result = runProcess(
            "/bin/sh", {"-c", "umask 0; exec \"$0\" --patch fix.pat", morvanePath()}, options);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, "Reading patch file: fix.pat\n" + message + "\n" +
                                  textOf({APPLIED[0], APPLIED[1], APPLIED[2]}));
        EXPECT_EQ(patchText(), message);
        struct stat info;
        ASSERT_EQ(::stat((temporaryFolder() + "/PATCH.TXT").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
    }
}

TEST_F(Message, FallsBackWhenTheViewerCannotBeStarted) {
    makeFolder(folder / "empty-bin");
    ProcessOptions options = this->options();
    options.set("DISPLAY", ":7").set("PATH", folder / "empty-bin");
    ProcessResult result = run({"--patch", "fix.pat"}, options);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "Reading patch file: fix.pat\n" + message + "\n" +
                              textOf({APPLIED[0], APPLIED[1], APPLIED[2]}));
    EXPECT_EQ(patchText(), message);
}

TEST_F(Message, NeverWritesThroughALinkPlantedUnderItsName) {
    write("victim.txt", "keep me");
    ASSERT_EQ(
        ::symlink((folder / "victim.txt").c_str(), (temporaryFolder() + "/PATCH.TXT").c_str()), 0);
    ProcessResult result = run({"--patch", "fix.pat"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(read("victim.txt"), "keep me");
    EXPECT_EQ(result.out, "Reading patch file: fix.pat\n" + message + "\n" +
                              textOf({APPLIED[0], APPLIED[1], APPLIED[2]}));
}

// Another user's file, a FIFO or a second link under the fixed name in the shared folder never
// receives the message: it is printed instead, and the run goes on.
TEST_F(Message, NeverWritesIntoAFileThatIsNotPrivate) {
    const std::string planted = temporaryFolder() + "/PATCH.TXT";
    struct Case {
        const char* what;
        void (*plant)(const std::string& path, const std::string& elsewhere);
    };
    const Case cases[] = {
        {"FIFO", [](const std::string& path, const std::string&) { ::mkfifo(path.c_str(), 0666); }},
        {"second link",
         [](const std::string& path, const std::string& elsewhere) {
             writeFile(elsewhere, "keep me");
             ::link(elsewhere.c_str(), path.c_str());
         }},
        {"another user's file",
         [](const std::string& path, const std::string&) {
             writeFile(path, "");
             ::chmod(path.c_str(), 0666);
             if (::chown(path.c_str(), 65534, 65534) != 0)
                 ::unlink(path.c_str());
         }},
    };
    ProcessOptions options = this->options();
    options.setEnv.push_back({"DISPLAY", ":7"});
    options.setEnv.push_back({"PATH", fakeViewerFolder() + ":" + std::getenv("PATH")});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(planted.c_str());
        write("t.bin", "abcdefgh");
        c.plant(planted, folder / "elsewhere.txt");
        if (!fileExists(planted)) {
            std::printf("skipped: files of another user can only be made as root\n");
            continue;
        }
        ProcessResult result = run({"--patch", "fix.pat"}, options);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, "Reading patch file: fix.pat\n" + message + "\n" +
                                  textOf({APPLIED[0], APPLIED[1], APPLIED[2]}));
        EXPECT_FALSE(fileExists(folder / "bin/opened"));
        if (std::string(c.what) == "second link") {
            EXPECT_EQ(read("elsewhere.txt"), "keep me");
        }
        if (std::string(c.what) == "another user's file") {
            EXPECT_EQ(readFile(planted), "");
        }
    }
}

TEST_F(Message, AFreshPatchTxtIsTheUsersOnly) {
    mode_t previous = ::umask(0);
    ProcessResult result = run({"--patch", "fix.pat"});
    ::umask(previous);
    EXPECT_EQ(result.exitCode, 0);
    struct stat info;
    ASSERT_EQ(::stat((temporaryFolder() + "/PATCH.TXT").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

} // namespace

#endif
