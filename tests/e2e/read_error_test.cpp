#include "e2e/e2e_fixture.h"

#include "seams/fault_plan.h"
#include "support/patterned_bytes.h"

namespace {

using faults::Call;

// Runs of the program built with fault seams, where one read fails or comes up short.
class ReadError : public MorvaneRun {};

TEST_F(ReadError, EndsCreationAndPackagingWithTheInputsMessage) {
    const std::string original(5000, 'a');
    const std::string patched = original.substr(0, 4000) + "b" + original.substr(4001);
    const std::vector<std::string> create = {"--original", "a.bin",   "--patched", "b.bin",
                                             "--patch",    "fix.pat", "--message", "m.txt"};
    std::vector<std::string> package = create;
    package.push_back("--executable");
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        faults::Plan plan;
        std::string message;
    };
    const Case cases[] = {
        {"original fails",
         create,
         {Call::ReadAt, 1, faults::Action::Fail},
         "Could not read original file"},
        {"original shrank",
         create,
         {Call::ReadAt, 1, faults::Action::Short},
         "Could not read original file"},
        {"patched fails",
         create,
         {Call::ReadAt, 2, faults::Action::Fail},
         "Could not read patched file"},
        {"patched shrank",
         create,
         {Call::ReadAt, 2, faults::Action::Short},
         "Could not read patched file"},
        {"message fails",
         create,
         {Call::ReadAt, 3, faults::Action::Fail},
         "Could not read message file"},
        {"message shrank",
         create,
         {Call::ReadAt, 3, faults::Action::Short},
         "Could not read message file"},
        {"program fails",
         package,
         {Call::OwnReadAt, 1, faults::Action::Fail},
         "Cannot use this executable to build embedded patch"},
        {"program shrank",
         package,
         {Call::OwnReadAt, 2, faults::Action::Short},
         "Cannot use this executable to build embedded patch"},
        {"generated patch fails",
         package,
         {Call::ReadAt, 4, faults::Action::Fail},
         "Cannot read generated patch from temporary file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder own;
        writeFile(own / "a.bin", original);
        writeFile(own / "b.bin", patched);
        writeFile(own / "m.txt", "read me");
        ProcessOptions with = options();
        with.workingDirectory = own.path();
        ProcessResult result = runSeamed(c.arguments, c.plan, with);
        EXPECT_EQ(result.exitCode, 4);
        EXPECT_EQ(outputLines(result.err), std::vector<std::string>{"Error: " + c.message});
        EXPECT_FALSE(fileExists(own / "fix.pat"));
        EXPECT_EQ(readFile(own / "a.bin"), original);
    }
}

// The inputs are read a window at a time: a read that fails or comes up short on a later window
// of either file, or a file cut short before or while it is read, while a block too long to keep
// is written as it is found or while its new bytes are read again, ends the run with that
// file's line, code 4 and no patch.
TEST_F(ReadError, OnALaterWindowEndsCreationWithThatFilesMessage) {
    const std::string few = patternedBytes(3 << 20);
    std::string fewChanged = few;
    for (std::size_t at : {5u, (1u << 20) + 77, (5u << 19) + 3})
        fewChanged[at] = static_cast<char>(~fewChanged[at]);
    const std::string every = patternedBytes(4 << 20);
    const std::string everyChanged = patternedBytes(4 << 20, 1); // neighbours always differ
    const std::string original = "Could not read original file";
    const std::string patched = "Could not read patched file";
    struct Case {
        bool dense;
        faults::Plan plan;
        const std::string& message;
    };
    const Case cases[] = {
        {false, {Call::ReadAt, 3, faults::Action::Fail}, original},
        {false, {Call::ReadAt, 4, faults::Action::Short}, patched},
        {true, {Call::ReadAt, 10, faults::Action::Fail}, patched},
#ifndef _WIN32
        // Cut before the window is mapped: its pages past the new end are read when compared.
        {false, {Call::ReadAt, 4, faults::Action::Cut}, patched},
        {false, {Call::ReadAt, 5, faults::Action::Cut}, original},
        {true, {Call::ReadAt, 7, faults::Action::Cut}, original}, // its last window
        {true, {Call::ReadAt, 12, faults::Action::Cut}, patched},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(faults::describe(c.plan) + (c.dense ? " every byte changed" : ""));
        write("a.bin", c.dense ? every : few);
        write("b.bin", c.dense ? everyChanged : fewChanged);
        ProcessResult result =
            runSeamed({"--original", "a.bin", "--patched", "b.bin", "--patch", "fix.pat"}, c.plan);
        EXPECT_FAILURE(result, 4, c.message);
        EXPECT_EQ(namesIn(folder.path()),
                  (std::vector<std::string>{"a.bin", "b.bin", "state", "tmp"}));
    }
}

TEST_F(ReadError, InThePatchIsCode4AndInTheTargetAMismatch) {
    const std::string target(64, 'a');
    write("t.bin", target);
    write("fix.pat", patchBytes("t.bin", 64, "", {{8, "a", "b"}}));
    ProcessResult result =
        runSeamed({"--patch", "fix.pat"}, {Call::ReadAt, 1, faults::Action::Fail});
    EXPECT_FAILURE(result, 4, "Could not read patch file");
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat");

    result = runSeamed({"--patch", "fix.pat"}, {Call::ReadAt, 1, faults::Action::Short});
    EXPECT_FAILURE(result, 4, "Could not read patch file");

    // A failed read of many blocks at once is tried again block by block before it counts.
    result = runSeamed({"--patch", "fix.pat"}, {Call::ReadAt, 2, faults::Action::Fail, true});
    EXPECT_FAILURE(result, 10, "Patch does not apply to this file (data mismatch)");
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "Patch for file t.bin (64 bytes)");
    EXPECT_EQ(read("t.bin"), target);
}

} // namespace
