#include "e2e/e2e_fixture.h"
#include "support/patterned_bytes.h"

#include <random>

namespace {

using namespace std::string_literals;

class Apply : public MorvaneRun {
  protected:
    // The target t.bin (64 bytes) and its patched form: byte 8 and bytes 30 to 33 changed.
    const std::string before = patternedBytes(64);
    const std::string after =
        before.substr(0, 8) + "#" + before.substr(9, 21) + "WXYZ" + before.substr(34);
    const RecordedBlock first = {8, before.substr(8, 1), "#"};
    const RecordedBlock second = {30, before.substr(30, 4), "WXYZ"};

    std::string patch(std::vector<RecordedBlock> blocks, std::uint32_t size = 64) const {
        return patchBytes("t.bin", size, "", blocks);
    }
};

TEST_F(Apply, WritesEveryBlockAndPrintsItsLine) {
    std::string target(5000, 'x');
    write("t.bin", target);
    write("fix.pat",
          patchBytes("t.bin", 5000, "",
                     {{0, "x", "0"}, {4096, std::string(26, 'x'), std::string(26, 'N')}}));
    ProcessResult result = run({"--patch", "fix.pat"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "Patch for file t.bin (5000 bytes)",
                  "Applying patch:", "@ 00000000 : 1 bytes", "@ 00001000 : 1A bytes");
    std::string expected = target;
    expected[0] = '0';
    expected.replace(4096, 26, 26, 'N');
    EXPECT_EQ(read("t.bin"), expected);

    result = run({"--reverse", "--patch", "fix.pat"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "Reversing patch data... DONE",
                  "Patch for file t.bin (5000 bytes)", "Applying patch:", "@ 00000000 : 1 bytes",
                  "@ 00001000 : 1A bytes");
    EXPECT_EQ(read("t.bin"), target);
}

TEST_F(Apply, FailuresLeaveTheTargetUntouched) {
    struct Case {
        const char* what;
        std::string patchFile;
        std::string target;
        bool reverse;
        int code;
        std::string message;
        std::vector<std::string> lines;
    };
    const std::string reading = "Reading patch file: fix.pat";
    const std::string header = "Patch for file t.bin (64 bytes)";
    const std::string notPatch = "Not a valid patch file";
    const std::string mismatch = "Patch does not apply to this file (data mismatch)";
    const std::string patched = "File is already patched, specify \"--reverse\" to undo";
    const RecordedBlock outside = {60, before.substr(60, 4) + "1234", "abcdefgh"};
    const std::string tooShort = "File does not match size recorded in patch";
    const std::string noTarget = "Could not open file to patch";
    const std::string firstDone = before.substr(0, 8) + "#" + before.substr(9);
    const std::string firstWrong = before.substr(0, 8) + "?" + before.substr(9);
    const std::string header5 = "PATCH1"s + le32(5) + "t.bin" + le32(64);
    // clang-format off
    const Case cases[] = {
        {"wrong magic", "PATCH2" + patch({first}).substr(6), before, false, 8, notPatch, {reading}},
        {"magic in lower case", "patch1" + patch({first}).substr(6), before, false, 8, notPatch, {reading}},
        {"short file", "PATC", before, false, 8, notPatch, {reading}},
        {"name longer than the file", "PATCH1\xFF\xFF\xFF\xFFt.bin"s, before, false, 8, notPatch, {reading}},
        {"message longer than the file", header5 + le32(0xFFFFFFFF) + "hello", before, false, 8, notPatch, {reading}},
        {"message one byte too long", header5 + le32(6) + "hello", before, false, 8, notPatch, {reading}},
        {"no target", patch({first}), "-", false, 4, noTarget, {reading, header}},
        {"only the magic", "PATCH1", before, false, 4, noTarget, {reading, "Patch for file  (0 bytes)"}},
        {"target one byte longer", patch({first}), before + "!", false, 6, tooShort, {reading, header}},
        {"target one byte shorter", patch({first}), before.substr(1), false, 6, tooShort, {reading, header}},
        {"no blocks", patch({}), before, false, 9, patched, {reading, header}},
        {"already patched", patch({first, second}), after, false, 9, patched, {reading, header}},
        {"reversing an unpatched file", patch({first, second}), before, true, 9, patched,
         {reading, "Reversing patch data... DONE", header}},
        {"first block patched, second not", patch({first, second}), firstDone, false, 10, mismatch, {reading, header}},
        {"first block matches neither side", patch({first, second}), firstWrong, false, 10, mismatch,
         {reading, header}},
        {"block past the end", patch({first, outside}), before, false, 10, mismatch, {reading, header}},
        {"block just behind the end", patch({first, {64, "x", "y"}}), before, false, 10, mismatch, {reading, header}},
        {"block offset wrapping around", patch({first, {0xFFFFFFFF, "ab", "cd"}}), before, false, 10, mismatch,
         {reading, header}},
        {"empty block behind the end", patch({first, {65, "", ""}}), before, false, 10, mismatch, {reading, header}},
        {"empty block far outside", patch({{0xFFFFFFFF, "", ""}, first}), before, false, 10, mismatch, {reading, header}},
        {"overlapping blocks", patch({{0, "abcde", "HELLO"}, {2, "cdefg", "xxxxx"}}), before, false, 8, notPatch, {reading}},
        {"name with an escape sequence", patchBytes("t.bin\x1B[2K", 64, "msg", {first}), before, false, 8, notPatch, {reading}},
        {"name with a line feed", patchBytes("x\nPatch for file t.bin", 64, "msg", {first}), before, false, 8, notPatch, {reading}},
        {"name with a carriage return", patchBytes("t.bin\rgame.dat", 64, "msg", {first}), before, false, 8, notPatch, {reading}},
        {"name with a NUL byte", patchBytes("t.bin\0/../game.dat"s, 64, "msg", {first}), before, false, 8, notPatch, {reading}},
        {"name with DEL", patchBytes("t.bin\x7F", 64, "msg", {first}), before, false, 8, notPatch, {reading}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder own;
        ProcessOptions options = this->options();
        options.workingDirectory = own.path();
        writeFile(own / "fix.pat", c.patchFile);
        if (c.target != "-")
            writeFile(own / "t.bin", c.target);
        std::vector<std::string> arguments = {"--patch", "fix.pat"};
        if (c.reverse)
            arguments.push_back("--reverse");
        ProcessResult result = run(arguments, options);

        EXPECT_FAILURE(result, c.code, c.message);
        EXPECT_EQ(outputLines(result.out), c.lines);
        if (c.target != "-") {
            EXPECT_EQ(readFile(own / "t.bin"), c.target);
        } else {
            EXPECT_FALSE(fileExists(own / "t.bin"));
        }
    }
}

TEST_F(Apply, MissingPatchFile) {
    ProcessResult result = run({"--patch", "none.pat"});
    EXPECT_FAILURE(result, 4, "Could not open patch file");
    EXPECT_OUTPUT(result.out, "Reading patch file: none.pat");
}

TEST_F(Apply, ACutOffOrOversizedLastRecordMakesThePatchInvalid) {
    const std::string complete = patch({first, second});
    const std::string lastRecord = le32(30) + le32(4) + second.original + second.patched;
    std::vector<std::string> damaged = {
        patch({first}) + le32(30) + le32(0xFFFFFFFF) + "WXYZ",
        complete + std::string(1, '\0'),
    };
    for (std::size_t cut = 1; cut < lastRecord.size(); ++cut)
        damaged.push_back(complete.substr(0, complete.size() - cut));
    for (const std::string& patchFile : damaged) {
        SCOPED_TRACE(patchFile.size());
        write("t.bin", before);
        write("fix.pat", patchFile);
        ProcessResult result = run({"--patch", "fix.pat"});
        EXPECT_FAILURE(result, 8, "Not a valid patch file");
        EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat");
        EXPECT_EQ(read("t.bin"), before);
    }
}

TEST_F(Apply, BlocksOutOfOrderAndAnEmptyBlockAtTheEndStayValid) {
    write("t.bin", before);
    write("fix.pat", patch({second, {64, "", ""}, first}));
    ProcessResult result = run({"--patch", "fix.pat"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "Patch for file t.bin (64 bytes)",
                  "Applying patch:", "@ 0000001E : 4 bytes", "@ 00000040 : 0 bytes",
                  "@ 00000008 : 1 bytes");
    EXPECT_EQ(read("t.bin"), after);
}

TEST_F(Apply, ErrorLineFollowsTheProgressLines) {
    write("t.bin", after);
    write("fix.pat", patch({first, second}));
    ProcessOptions merged = options();
    merged.mergeStreams = true;
    ProcessResult result = run({"--patch", "fix.pat"}, merged);
    EXPECT_EQ(result.exitCode, 9);
    EXPECT_EQ(outputLines(result.combined),
              (std::vector<std::string>{
                  "Reading patch file: fix.pat", "Patch for file t.bin (64 bytes)",
                  "Error: File is already patched, specify \"--reverse\" to undo"}));
}

TEST_F(Apply, TargetOfFourGigabytesDoesNotMatchItsLowBits) {
    write("t.bin", before);
    write("fix.pat", patch({first}));
    const std::uint64_t size = (std::uint64_t(1) << 32) + before.size();
    if (!resizeFile(folder / "t.bin", size))
        GTEST_SKIP() << "no room for a sparse file of 4 GiB";
    ProcessResult result = run({"--patch", "fix.pat"});
    EXPECT_FAILURE(result, 6, "File does not match size recorded in patch");
    EXPECT_EQ(sizeOfFile(folder / "t.bin"), size);
}

TEST_F(Apply, RoundTripOnRandomData) {
    std::mt19937 random(77);
    std::string original(256 * 1024, '\0');
    for (char& byte : original)
        byte = static_cast<char>(random());
    std::string patched = original;
    for (int change = 0; change < 600; ++change) {
        std::size_t at = random() % (patched.size() - 40);
        std::size_t length = 1 + random() % 30;
        for (std::size_t i = at; i < at + length; ++i)
            patched[i] = static_cast<char>(random());
    }
    write("data.bin", original);
    write("new.bin", patched);
    ProcessResult created =
        run({"--original", "data.bin", "--patched", "new.bin", "--patch", "fix.pat"});
    ASSERT_EQ(created.exitCode, 0) << created.err;

    ProcessResult applied = run({"--patch", "fix.pat"});
    EXPECT_EQ(applied.exitCode, 0);
    EXPECT_GT(outputLines(applied.out).size(), 400u);
    EXPECT_TRUE(read("data.bin") == patched);
    EXPECT_FAILURE(run({"--patch", "fix.pat"}), 9,
                   "File is already patched, specify \"--reverse\" to undo");
    EXPECT_TRUE(read("data.bin") == patched);

    ProcessResult reversed = run({"--patch", "fix.pat", "--reverse"});
    EXPECT_EQ(reversed.exitCode, 0);
    EXPECT_EQ(outputLines(reversed.out).size(), outputLines(applied.out).size() + 1);
    EXPECT_TRUE(read("data.bin") == original);
    EXPECT_FAILURE(run({"--patch", "fix.pat", "--reverse"}), 9,
                   "File is already patched, specify \"--reverse\" to undo");
    EXPECT_TRUE(read("data.bin") == original);
}

} // namespace
