#include "e2e/e2e_fixture.h"

#ifndef _WIN32

#include <sys/stat.h>

namespace {

// Inputs are opened without waiting: a FIFO (nobody writes to it), a socket or a character
// device is refused at once like a file that cannot be opened.
class FifoAndDeviceInput : public MorvaneRun {};

TEST_F(FifoAndDeviceInput, FifosAndDevicesAreRefusedAtOnce) {
    write("a.bin", "abcdefgh");
    write("b.bin", "abcdXfgh");
    write("fix.pat", patchBytes("fifo", 8, "", {{4, "e", "X"}}));
    write("dev.pat", patchBytes("/dev/zero", 8, "", {{4, "e", "X"}}));
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const std::vector<std::string> create = {"--original", "a.bin",   "--patched",
                                             "b.bin",      "--patch", "out.pat"};
    const Case cases[] = {
        {{"--patch", "fifo"}, "Could not open patch file"},
        {{"--patch", "/dev/zero"}, "Could not open patch file"},
        {{"--patch", "fix.pat"}, "Could not open file to patch"},
        {{"--patch", "dev.pat"}, "Could not open file to patch"},
        {{"--original", "fifo", "--patched", "b.bin", "--patch", "out.pat"},
         "Could not open original file"},
        {{"--original", "a.bin", "--patched", "fifo", "--patch", "out.pat"},
         "Could not open patched file"},
        {{"--original", "/dev/zero", "--patched", "b.bin", "--patch", "out.pat"},
         "Could not open original file"},
        {{"--original", "a.bin", "--patched", "b.bin", "--patch", "out.pat", "--message", "fifo"},
         "Could not open message file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1] + " " + c.message);
        ProcessResult result = run(c.arguments);
        EXPECT_FAILURE(result, 4, c.message);
        EXPECT_FALSE(fileExists(folder / "out.pat"));
    }
    EXPECT_EQ(read("a.bin"), "abcdefgh");
}

} // namespace

#endif
