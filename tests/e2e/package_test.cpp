// Self-applying patches: packaging a patch with the program, and starting the packaged copy.
#include "e2e/e2e_fixture.h"
#include "support/patterned_bytes.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

const std::string ALREADY_PATCHED = "Error: File is already patched, specify \"--reverse\" to undo";
const std::string CANNOT_WRITE_OUTPUT = "Error: Cannot write to output file";

// One change block of 495 bytes at offset 1000 in a 5000-byte file: with the target name
// "game.dat" its patch file is exactly 1024 bytes long.
const std::size_t FILE_SIZE = 5000;
const std::size_t BLOCK_OFFSET = 1000;
const std::size_t BLOCK_LENGTH = 495;

std::string originalBytes() {
    return patternedBytes(FILE_SIZE);
}

std::string patchedBytes() {
    std::string bytes = originalBytes();
    for (std::size_t i = BLOCK_OFFSET; i < BLOCK_OFFSET + BLOCK_LENGTH; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    return bytes;
}

std::uint32_t u32At(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// The name a run printed in its "Reading patch file: " line, or "" when it printed none.
std::string patchNameRead(const ProcessResult& result) {
    const std::string prefix = "Reading patch file: ";
    for (const std::string& line : outputLines(result.out))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
    return "";
}

class Package : public MorvaneRun {
  protected:
    const std::string packaged = folder / ("fix" + fs::path(morvanePath()).extension().string());

    void SetUp() override {
        MorvaneRun::SetUp();
        writeFile(folder / "game.dat", originalBytes());
        writeFile(folder / "game.new", patchedBytes());
    }

    // The program's temporary folder is `temporaries`, under every name a system reads.
    ProcessOptions optionsFor(const std::string& temporaries) const {
        ProcessOptions with = options();
        for (const char* name : {"TMPDIR", "TMP", "TEMP"})
            with.set(name, temporaries);
        return with;
    }
    ProcessResult start(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& temporaries) const {
        return runProcess(program, arguments, optionsFor(temporaries));
    }
    ProcessResult start(const std::string& program,
                        const std::vector<std::string>& arguments = {}) const {
        return runProcess(program, arguments, options());
    }

    static std::vector<std::string> packaging(const std::string& output) {
        return {"--original", "game.dat", "--patched",   "game.new",
                "--patch",    output,     "--executable"};
    }
    ProcessResult packageWith(const std::string& program, const std::string& output) const {
        return start(program, packaging(output));
    }

    // The plain patch file that the same comparison writes.
    std::string plainPatch() const {
        ProcessResult result = start(morvanePath(), {"--original", "game.dat", "--patched",
                                                     "game.new", "--patch", "plain.pat"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return readFile(folder / "plain.pat");
    }

    // A startable copy of the program in the scratch folder, with `tail` appended.
    std::string copyOfProgram(const std::string& name, const std::string& tail) const {
        std::string path = folder / (name + fs::path(morvanePath()).extension().string());
        writeFile(path, readFile(morvanePath()) + tail);
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
        return path;
    }

    std::string target() const { return readFile(folder / "game.dat"); }
};

TEST_F(Package, WritesProgramPatchAndTrailerOnly) {
    const std::string patch = plainPatch();
    ASSERT_EQ(patch.size(), 1024u);
    // (A copy padded with zeros to a whole multiple of a copy chunk carries bytes beyond its
    // image and is refused as a damaged self-applying patch; chunk multiples are copied in
    // signed_image_test.cpp.)
    for (const std::string& program : {morvanePath()}) {
        SCOPED_TRACE(program);
        const std::string image = readFile(program);
        // An existing, longer output is emptied first.
        writeFile(packaged, std::string(image.size() + 3000, 'x'));

        ProcessResult result = packageWith(program, packaged);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        const std::string written = readFile(packaged);
        ASSERT_EQ(written.size(), image.size() + patch.size() + 4);
        EXPECT_TRUE(written.compare(0, image.size(), image) == 0);
        EXPECT_EQ(written.substr(image.size(), 6), "PATCH1");
        EXPECT_TRUE(written.compare(image.size(), patch.size(), patch) == 0);
        EXPECT_EQ(u32At(written, written.size() - 4), image.size());
        // The patch went through a temporary file that is gone now.
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
        EXPECT_EQ(target(), originalBytes());
    }
}

TEST_F(Package, PackagedCopyAppliesItsPatchWhateverItIsGiven) {
    ASSERT_EQ(packageWith(morvanePath(), packaged).exitCode, 0);
    struct Start {
        std::vector<std::string> arguments;
        bool reverse;
    };
    // (Help words and other spellings of --reverse are in SelfApplyingPatchArguments.)
    const Start starts[] = {
        {{}, false},
        {{"--original", "x"}, false},
        {{"--patch", "other.pat"}, false},
        {{"dropped file.dat"}, false},
        {{"/S"}, false},
        {{"--reverse"}, true},
        {{"--patch", "--reverse", "--original"}, true},
        {{"/S", "--reverse"}, true},
    };
    for (const Start& s : starts) {
        SCOPED_TRACE(::testing::PrintToString(s.arguments));
        writeFile(folder / "game.dat", s.reverse ? patchedBytes() : originalBytes());
        ProcessResult result = start(packaged, s.arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(target(), s.reverse ? originalBytes() : patchedBytes());

        // It reads a temporary file of its own, and deletes it after the success.
        const std::string name = patchNameRead(result);
        std::vector<std::string> expected = {"Reading patch file: " + name};
        if (s.reverse)
            expected.push_back("Reversing patch data... DONE");
        expected.insert(expected.end(), {"Patch for file game.dat (5000 bytes)",
                                         "Applying patch:", "@ 000003E8 : 1EF bytes"});
        EXPECT_EQ(outputLines(result.out), expected);
        EXPECT_NE(fs::path(name).filename(), fs::path(packaged).filename());
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

TEST_F(Package, SecondStartFailsAndRemovesTheExtractedPatch) {
    ASSERT_EQ(packageWith(morvanePath(), packaged).exitCode, 0);
    ASSERT_EQ(start(packaged).exitCode, 0);

    ProcessResult again = start(packaged);
    EXPECT_EQ(again.exitCode, 9);
    EXPECT_EQ(outputLines(again.err), std::vector<std::string>{ALREADY_PATCHED});
    EXPECT_EQ(target(), patchedBytes());
    EXPECT_FALSE(fileExists(patchNameRead(again)));
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});

    // A missing target (4) removes it too.
    fs::remove(folder / "game.dat");
    ProcessResult missing = start(packaged);
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
}

// A copy of the program with nothing beyond its image is the plain tool. One with bytes beyond
// its image (the end of its last segment, section or section table; on Windows its last section)
// is a self-applying patch, and one whose bytes hold no valid patch is a damaged one (a cut-off
// download, a changed trailer): it fails with code 8 and changes nothing, where the plain
// tool's usage text and status 0 would pass for success. (A cut signed copy: signing_test.sh and
// OwnImage in own_image_test.cpp.)
TEST_F(Package, ACopyWithBytesBeyondItsImageMustCarryAValidPatch) {
    const std::string patch = plainPatch();
    const std::uint32_t imageSize = static_cast<std::uint32_t>(sizeOfFile(morvanePath()));
    const std::uint32_t trailerAt = imageSize + static_cast<std::uint32_t>(patch.size());
    const std::string usage = start(morvanePath()).out;
    ASSERT_NE(usage, "");
    const std::string packagedTail = patch + le32(imageSize);

    struct Tail {
        const char* what;
        std::string bytes;
        int code; // 0: applies, or the plain tool when nothing follows the image
    };
    const Tail tails[] = {
        {"valid trailer", packagedTail, 0},
        {"nothing beyond the image", "", 0},
        {"cut by one byte", packagedTail.substr(0, packagedTail.size() - 1), 8},
        {"cut by 100 bytes", packagedTail.substr(0, packagedTail.size() - 100), 8},
        {"cut inside the patch", patch.substr(0, patch.size() / 2), 8},
        {"cut inside the trailer", patch + le32(imageSize).substr(0, 2), 8},
        {"a flipped trailer bit", patch + le32(imageSize ^ 0x10000u), 8},
        {"a flipped bit in the trailer's last byte", patch + le32(imageSize ^ 0x80000000u), 8},
        {"value 0", patch + le32(0), 8},
        {"value equal to the trailer's position", patch + le32(trailerAt), 8},
        {"value beyond the file", patch + le32(trailerAt + 5), 8},
        {"largest value", patch + le32(0xFFFFFFFFu), 8},
        {"one byte early", patch + le32(imageSize - 1), 8},
        {"one byte late", patch + le32(imageSize + 1), 8},
        {"lower-case magic", "patch1" + patch.substr(6) + le32(imageSize), 8},
        {"magic PATCH3", "PATCH3" + patch.substr(6) + le32(imageSize), 8},
        {"zeros to a whole multiple of 1024 bytes", std::string(1024 - imageSize % 1024, '\0'), 8},
        {"one byte", "x", 8},
    };
    for (const Tail& tail : tails) {
        SCOPED_TRACE(tail.what);
        writeFile(folder / "game.dat", originalBytes());
        ProcessResult result = start(copyOfProgram("copy", tail.bytes));
        if (tail.code == 0) {
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.err, "");
            if (tail.bytes.empty()) {
                EXPECT_EQ(result.out, usage);
            }
            EXPECT_EQ(target(), tail.bytes.empty() ? originalBytes() : patchedBytes());
        } else {
            EXPECT_FAILURE(result, tail.code, "Not a valid patch file");
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(target(), originalBytes());
        }
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

// A self-applying patch asked for help says what it patches and how to apply and undo it, and
// opens nothing for writing; the undo typed as a Windows user may type it fails and names the
// right spelling, where it used to apply the patch forward. Everything else is passed over.
TEST_F(Package, SelfApplyingPatchArguments) {
    ASSERT_EQ(packageWith(morvanePath(), packaged).exitCode, 0);
    const std::vector<std::string> help = {
        "Patch for file game.dat (5000 bytes)",        "",
        "Start it in the folder that holds the file:", "\t(no arguments)\tApplies the patch.",
        "\t--reverse\tReverses (undoes) the patch.",
    };
    const std::string wrongSpelling = "Unknown option, specify \"--reverse\" to undo the patch";
    struct Row {
        std::vector<std::string> arguments;
        int code; // 0: the help text
    };
    const Row rows[] = {
        {{"--help"}, 0},
        {{"-h"}, 0},
        {{"-?"}, 0},
        {{"/?"}, 0},
        {{"/h"}, 0},
        {{"/H"}, 0},
        {{"--HELP"}, 0},
        {{"-H"}, 0},
        {{"--reverse", "/?"}, 0},
        {{"dropped.dat", "--help", "/r"}, 0},
        {{"--Reverse"}, 1},
        {{"--REVERSE"}, 1},
        {{"/reverse"}, 1},
        {{"/Reverse"}, 1},
        {{"-reverse"}, 1},
        {{"-REVERSE"}, 1},
        {{"/r"}, 1},
        {{"/R"}, 1},
        {{"/S", "/R", "--help"}, 1},
        {{"--reverse", "/reverse"}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.arguments));
        writeFile(folder / "game.dat", originalBytes());
        ProcessResult result = start(packaged, row.arguments);
        if (row.code == 0) {
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.err, "");
            EXPECT_OUTPUT(result.out, help[0], help[1], help[2], help[3], help[4]);
        } else {
            EXPECT_FAILURE(result, row.code, wrongSpelling);
            EXPECT_EQ(result.out, "");
        }
        EXPECT_EQ(target(), originalBytes());
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

TEST_F(Package, WithoutATemporaryFolder) {
    const std::string missing = folder / "missing";
    ProcessResult packaging = start(
        morvanePath(),
        {"--original", "game.dat", "--patched", "game.new", "--patch", packaged, "--executable"},
        missing);
    EXPECT_EQ(packaging.exitCode, 5);
    EXPECT_EQ(packaging.out, "");
    EXPECT_EQ(outputLines(packaging.err),
              std::vector<std::string>{"Error: Can't write to patch file"});
    EXPECT_FALSE(fileExists(packaged));

    // A packaged copy that cannot extract its patch fails; it is not the plain tool.
    ASSERT_EQ(packageWith(morvanePath(), packaged).exitCode, 0);
    ProcessResult result = start(packaged, {}, missing);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(outputLines(result.err),
              std::vector<std::string>{"Error: Cannot extract embedded patch to temporary file"});
    EXPECT_EQ(target(), originalBytes());
    EXPECT_FALSE(fileExists(missing));
}

TEST_F(Package, ExtractionFailingPartWayFails) {
    // A packaged copy of the program built with fault seams; copying its patch out, its first
    // write stores half of the bytes and fails.
    ASSERT_EQ(runSeamed(packaging(packaged), faults::Plan()).exitCode, 0);
    ProcessResult result = runProcess(
        packaged, {}, options().withFaults({faults::Call::WriteNext, 1, faults::Action::Short}));
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_EQ(outputLines(result.err),
              std::vector<std::string>{"Error: Cannot extract embedded patch to temporary file"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(target(), originalBytes());
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
}

TEST_F(Package, RunningProgramCannotBeItsOwnOutput) {
    const std::string copy = copyOfProgram("self", "");
    ProcessResult result = packageWith(copy, copy);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_EQ(outputLines(result.err), std::vector<std::string>{CANNOT_WRITE_OUTPUT});
    EXPECT_TRUE(readFile(copy) == readFile(morvanePath()));
    // A failed run removes its temporary patch file.
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
}

#ifndef _WIN32
mode_t modeOf(const std::string& path) {
    struct stat info;
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST_F(Package, PackagedFileTakesTheProgramsPermissions) {
    const std::string copy = copyOfProgram("program", "");
    ASSERT_EQ(::chmod(copy.c_str(), 0710), 0);
    writeFile(packaged, "old");
    ASSERT_EQ(::chmod(packaged.c_str(), 0600), 0);
    ASSERT_EQ(packageWith(copy, packaged).exitCode, 0);
    EXPECT_EQ(modeOf(packaged), 0710u);
}
#endif

#ifdef __linux__
// The program finds its own file with a buffer of 260 characters that doubles until the path
// fits: paths that just fit, just do not, and need three doublings.
TEST_F(Package, WorksFromLongPaths) {
    const std::string image = readFile(morvanePath());
    const std::string base = fs::canonical(folder.path()).string();
    std::string copy;
    for (std::size_t length : {259u, 260u, 1100u}) {
        SCOPED_TRACE(length);
        // Folders of 150 characters, then a file name that makes up the length.
        std::string path = base;
        while (length - path.size() > 200) {
            path += "/" + std::string(150, 'd');
            fs::create_directory(path);
        }
        path += "/" + std::string(length - path.size() - 1, 'm');
        ASSERT_EQ(path.size(), length);
        if (copy.empty()) {
            writeFile(path, image);
            fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
        } else {
            fs::rename(copy, path);
        }
        copy = path;

        ProcessResult result = packageWith(copy, packaged);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        const std::string written = readFile(packaged);
        ASSERT_GT(written.size(), image.size() + 4);
        EXPECT_TRUE(written.compare(0, image.size(), image) == 0);
        EXPECT_EQ(u32At(written, written.size() - 4), image.size());
    }
}

TEST_F(Package, WriteErrorOnOutputIsReportedAndDeviceModeKept) {
    const mode_t before = modeOf("/dev/full");
    ProcessResult result = packageWith(morvanePath(), "/dev/full");
    const mode_t after = modeOf("/dev/full");
    if (after != before)
        ::chmod("/dev/full", before);
    EXPECT_EQ(after, before);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_EQ(outputLines(result.err), std::vector<std::string>{CANNOT_WRITE_OUTPUT});
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
}
#endif

} // namespace
