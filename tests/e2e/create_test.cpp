#include "e2e/e2e_fixture.h"
#include "support/patterned_bytes.h"

namespace {

using namespace std::string_literals;

class Create : public MorvaneRun {
  protected:
    // A copy of `bytes` with the bytes at the given offsets changed.
    static std::string changed(std::string bytes, const std::vector<std::size_t>& at) {
        for (std::size_t i : at)
            bytes[i] = static_cast<char>(~bytes[i]);
        return bytes;
    }
    ProcessResult create(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments = {"--original", "orig.bin", "--patched",
                                              "new.bin",    "--patch",  "fix.pat"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return run(arguments);
    }
};

TEST_F(Create, WritesExactPatchesForSmallChanges) {
    struct Span {
        std::uint32_t offset, length;
    };
    struct Case {
        const char* what;
        std::size_t size;
        std::vector<std::size_t> changes;
        const char* found;
        std::vector<Span> blocks;
    };
    // clang-format off
    const Case cases[] = {
        {"only the last byte", 32, {31}, "Found 1 byte in 1 block.", {{31, 1}}},
        {"only the first byte of one", 1, {0}, "Found 1 byte in 1 block.", {{0, 1}}},
        {"7 unchanged between", 40, {10, 18}, "Found 9 bytes in 1 block.", {{10, 9}}},
        {"8 unchanged between", 40, {10, 19}, "Found 2 bytes in 2 blocks.", {{10, 1}, {19, 1}}},
        {"3 unchanged, then the end", 20, {16}, "Found 1 byte in 1 block.", {{16, 1}}},
        {"runs and gaps", 64, {0, 1, 2, 9, 17, 18, 40, 63}, "Found 21 bytes in 3 blocks.",
         {{0, 19}, {40, 1}, {63, 1}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string before = patternedBytes(c.size);
        std::string after = changed(before, c.changes);
        write("orig.bin", before);
        write("new.bin", after);
        ProcessResult result = create();
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_OUTPUT(result.out, "Original file: orig.bin", "Patched file: new.bin",
                      "Comparing files... DONE", c.found, "Writing patch file: fix.pat",
                      "Completed!");
        std::vector<RecordedBlock> blocks;
        for (const Span& span : c.blocks)
            blocks.push_back({span.offset, before.substr(span.offset, span.length),
                              after.substr(span.offset, span.length)});
        EXPECT_EQ(read("fix.pat"),
                  patchBytes("orig.bin", static_cast<std::uint32_t>(c.size), "", blocks));
        EXPECT_EQ(read("orig.bin"), before);
        EXPECT_EQ(read("new.bin"), after);
    }
}

TEST_F(Create, TreatsWhitespaceAndLineEndsAsBytes) {
    write("orig.bin", "a b c\r\n d");
    write("new.bin", "a\tb c\r\n\td");
    EXPECT_EQ(create().exitCode, 0);
    EXPECT_EQ(read("fix.pat"), patchBytes("orig.bin", 9, "", {{1, " b c\r\n ", "\tb c\r\n\t"}}));
}

TEST_F(Create, StoresTheNameAsTypedAndTheMessageUnchanged) {
    makeFolder(folder / "sub");
    write("sub/a.bin", "xyz");
    write("new.bin", "xYz");
    const std::string message = "Read me\r\nbytes \0\xFF kept"s;
    write("msg.txt", message);
    write("empty.txt", "");
    ProcessResult result = run({"--original", "sub/a.bin", "--patched", "new.bin", "--patch",
                                "fix.pat", "--message", "msg.txt", "--reverse"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(read("fix.pat"), patchBytes("sub/a.bin", 3, message, {{1, "y", "Y"}}));

    result = run({"--original", "sub/a.bin", "--patched", "new.bin", "--patch", "fix.pat",
                  "--message", "empty.txt"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(read("fix.pat"), patchBytes("sub/a.bin", 3, "", {{1, "y", "Y"}}));
}

TEST_F(Create, FailuresLeaveEveryFileAsItWas) {
    struct Case {
        const char* what;
        std::string before, after; // empty name: the file is not there
        bool folderAsOriginal;
        std::vector<std::string> extra;
        int code;
        std::string message;
        std::vector<std::string> lines; // after the two name lines
    };
    const std::string compared = "Comparing files... DONE";
    const std::string identical = "Nothing to patch, both files are identical";
    // clang-format off
    const Case cases[] = {
        {"no original", "-", "abc", false, {}, 4, "Could not open original file", {}},
        {"original is a folder", "", "abc", true, {}, 4, "Could not open original file", {}},
        {"no patched file", "abc", "-", false, {}, 4, "Could not open patched file", {}},
        {"different sizes", "abc", "abcd", false, {}, 6, "Files have different sizes", {}},
        {"identical", "abc", "abc", false, {}, 7, identical, {compared}},
        {"both empty", "", "", false, {}, 7, identical, {compared}},
        {"no message file", "abc", "abd", false, {"--message", "none.txt"}, 4, "Could not open message file",
         {compared, "Found 1 byte in 1 block."}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder own;
        ProcessOptions options = this->options();
        options.workingDirectory = own.path();
        if (c.folderAsOriginal)
            makeFolder(own / "orig.bin");
        else if (c.before != "-")
            writeFile(own / "orig.bin", c.before);
        if (c.after != "-")
            writeFile(own / "new.bin", c.after);
        writeFile(own / "fix.pat", "an older patch");
        std::vector<std::string> arguments = {"--original", "orig.bin", "--patched",
                                              "new.bin",    "--patch",  "fix.pat"};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        ProcessResult result = run(arguments, options);

        EXPECT_FAILURE(result, c.code, c.message);
        std::vector<std::string> lines = {"Original file: orig.bin", "Patched file: new.bin"};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(outputLines(result.out), lines);
        EXPECT_EQ(readFile(own / "fix.pat"), "an older patch");
        if (!c.folderAsOriginal && c.before != "-") {
            EXPECT_EQ(readFile(own / "orig.bin"), c.before);
        }
        if (c.after != "-") {
            EXPECT_EQ(readFile(own / "new.bin"), c.after);
        }
    }
}

TEST_F(Create, PatchFileThatCannotBeCreated) {
    write("orig.bin", "abc");
    write("new.bin", "abd");
    ProcessResult result = run(
        {"--original", "orig.bin", "--patched", "new.bin", "--patch", "missing-folder/fix.pat"});
    EXPECT_FAILURE(result, 5, "Can't write to patch file");
    EXPECT_EQ(outputLines(result.out).back(), "Writing patch file: missing-folder/fix.pat");
}

TEST_F(Create, ErrorLineFollowsTheProgressLines) {
    write("orig.bin", "same");
    write("new.bin", "same");
    ProcessOptions merged = options();
    merged.mergeStreams = true;
    ProcessResult result =
        run({"--original", "orig.bin", "--patched", "new.bin", "--patch", "fix.pat"}, merged);
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_EQ(outputLines(result.combined),
              (std::vector<std::string>{"Original file: orig.bin", "Patched file: new.bin",
                                        "Comparing files... DONE",
                                        "Error: Nothing to patch, both files are identical"}));
    EXPECT_FALSE(fileExists(folder / "fix.pat"));
}

#ifndef _WIN32
TEST_F(Create, WriteErrorsOnThePatchFileAreReported) {
    write("orig.bin", "abc");
    write("new.bin", "abd");
    ProcessResult result =
        run({"--original", "orig.bin", "--patched", "new.bin", "--patch", "/dev/full"});
    EXPECT_FAILURE(result, 5, "Can't write to patch file");
    EXPECT_OUTPUT(result.out, "Original file: orig.bin", "Patched file: new.bin",
                  "Comparing files... DONE", "Found 1 byte in 1 block.",
                  "Writing patch file: /dev/full");
}
#endif

} // namespace
