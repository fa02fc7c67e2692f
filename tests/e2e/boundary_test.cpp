// The edges of sizes, offsets and buffers: blocks as large as the buffers that carry them,
// blocks that end at the last byte of the file, 32-bit values with their top byte set, and the
// largest file a patch can describe next to the smallest one it cannot. Large files are sparse.
#include "e2e/e2e_fixture.h"
#include "support/patterned_bytes.h"

#include <cstdio>

namespace {

const std::uint64_t FOUR_GIB = std::uint64_t(1) << 32;
const std::string MISMATCH = "Patch does not apply to this file (data mismatch)";

class Boundaries : public MorvaneRun {
  protected:
    // Flips every byte of the region, so that it is one block from its first to its last byte.
    static void flip(std::string& bytes, std::size_t offset, std::size_t length) {
        for (std::size_t i = offset; i < offset + length; ++i)
            bytes[i] = static_cast<char>(~bytes[i]);
    }
    static std::string blockLine(std::uint64_t offset, std::size_t length) {
        char line[64];
        std::snprintf(line, sizeof line, "@ %08X : %X bytes", static_cast<unsigned>(offset),
                      static_cast<unsigned>(length));
        return line;
    }
};

// Changed runs of the sizes of the read buffer (64 KiB) and of the write buffer, comparison
// chunk and verification piece (256 KiB), one byte either side, and longer; the last one ends
// at the last byte of the file.
TEST_F(Boundaries, BlocksLargerThanTheBuffersRoundTrip) {
    const std::size_t KIB = 1024;
    const std::size_t lengths[] = {64 * KIB - 1, 64 * KIB,      64 * KIB + 1, 256 * KIB - 1,
                                   256 * KIB,    256 * KIB + 1, 300 * KIB};
    const std::size_t gap = 100;
    std::vector<std::size_t> offsets;
    std::size_t size = gap;
    for (std::size_t length : lengths) {
        offsets.push_back(size);
        size += length + gap;
    }
    size -= gap;
    const std::string before = patternedBytes(size);
    std::string after = before;
    std::vector<RecordedBlock> blocks;
    std::vector<std::string> blockLines;
    std::size_t total = 0;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        flip(after, offsets[i], lengths[i]);
        blocks.push_back({static_cast<std::uint32_t>(offsets[i]),
                          before.substr(offsets[i], lengths[i]),
                          after.substr(offsets[i], lengths[i])});
        blockLines.push_back(blockLine(offsets[i], lengths[i]));
        total += lengths[i];
    }
    write("t.bin", before);
    write("new.bin", after);

    ProcessResult created =
        run({"--original", "t.bin", "--patched", "new.bin", "--patch", "fix.pat"});
    EXPECT_EQ(created.exitCode, 0) << created.err;
    EXPECT_OUTPUT(created.out, "Original file: t.bin", "Patched file: new.bin",
                  "Comparing files... DONE",
                  "Found " + std::to_string(total) + " bytes in 7 blocks.",
                  "Writing patch file: fix.pat", "Completed!");
    EXPECT_TRUE(read("fix.pat") ==
                patchBytes("t.bin", static_cast<std::uint32_t>(size), "", blocks));

    std::vector<std::string> lines = {"Reading patch file: fix.pat",
                                      "Patch for file t.bin (" + std::to_string(size) + " bytes)",
                                      "Applying patch:"};
    lines.insert(lines.end(), blockLines.begin(), blockLines.end());
    ProcessResult applied = run({"--patch", "fix.pat"});
    EXPECT_EQ(applied.exitCode, 0) << applied.err;
    EXPECT_EQ(outputLines(applied.out), lines);
    EXPECT_TRUE(read("t.bin") == after);

    ProcessResult reversed = run({"--patch", "fix.pat", "--reverse"});
    EXPECT_EQ(reversed.exitCode, 0) << reversed.err;
    EXPECT_TRUE(read("t.bin") == before);

    // One byte wrong in the second verification piece of a block: refused, nothing written.
    std::string damaged = before;
    damaged[offsets[5] + 256 * KIB] ^= 1;
    write("t.bin", damaged);
    ProcessResult refused = run({"--patch", "fix.pat"});
    EXPECT_FAILURE(refused, 10, MISMATCH);
    EXPECT_TRUE(read("t.bin") == damaged);
}

TEST_F(Boundaries, BlocksEndingAtTheLastByteApply) {
    const std::string before = patternedBytes(64);
    struct Case {
        const char* what;
        std::size_t offset, length;
    };
    const Case cases[] = {{"the last byte", 63, 1}, {"the whole file", 0, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string after = before;
        flip(after, c.offset, c.length);
        write("t.bin", before);
        write("fix.pat",
              patchBytes("t.bin", 64, "",
                         {{static_cast<std::uint32_t>(c.offset), before.substr(c.offset, c.length),
                           after.substr(c.offset, c.length)}}));
        ProcessResult result = run({"--patch", "fix.pat"});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read("t.bin"), after);
    }
}

// Offsets and sizes of 16 MiB and more have the top byte of their 32-bit value set; the largest
// size a patch records is 4 GiB - 1.
TEST_F(Boundaries, OffsetsAndSizesWithTheTopByteSetApply) {
    struct Case {
        std::uint32_t size, offset, length;
    };
    const Case cases[] = {{0x01001000, 0x01000010, 8}, {0xFFFFFFFF, 0xFFFFFFF0, 15}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string original = patternedBytes(c.length, c.offset);
        std::string patched = original;
        flip(patched, 0, c.length);
        write("t.bin", "");
        if (!resizeFile(folder / "t.bin", c.size))
            GTEST_SKIP() << "no room for a sparse file of " << c.size << " bytes";
        writeFileAt(folder / "t.bin", c.offset, original);
        write("fix.pat", patchBytes("t.bin", c.size, "", {{c.offset, original, patched}}));
        ProcessResult result = run({"--patch", "fix.pat"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat",
                      "Patch for file t.bin (" + std::to_string(c.size) + " bytes)",
                      "Applying patch:", blockLine(c.offset, c.length));
        EXPECT_EQ(readFileAt(folder / "t.bin", c.offset, c.length), patched);
        EXPECT_EQ(sizeOfFile(folder / "t.bin"), c.size);
    }
}

// The program built with fault seams fails its first read of the comparison, so a pair that
// passes the size checks ends there instead of being read whole. Files of 4 GiB and more pass.
TEST_F(Boundaries, SizeLimitsAreCheckedBeforeReading) {
    struct Case {
        const char* what;
        std::uint64_t originalSize, patchedSize;
        int code;
        std::string message;
        std::vector<std::string> lines; // after the two name lines
    };
    const std::string differentSizes = "Files have different sizes";
    // clang-format off
    const Case cases[] = {
        {"the largest size", FOUR_GIB - 1, FOUR_GIB - 1, 4, "Could not read original file", {"Comparing files..."}},
        {"4 GiB", FOUR_GIB, FOUR_GIB, 4, "Could not read original file", {"Comparing files..."}},
        {"sizes 4 GiB apart", FOUR_GIB + 3, 3, 6, differentSizes, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write("orig.bin", "");
        write("new.bin", "");
        if (!resizeFile(folder / "orig.bin", c.originalSize) ||
            !resizeFile(folder / "new.bin", c.patchedSize))
            GTEST_SKIP() << "no room for sparse files of 4 GiB";
        // Data at the start, so that the comparison reads there instead of passing the holes.
        writeFileAt(folder / "orig.bin", 0, "a");
        writeFileAt(folder / "new.bin", 0, "b");
        ProcessResult result =
            runSeamed({"--original", "orig.bin", "--patched", "new.bin", "--patch", "fix.pat"},
                      {faults::Call::ReadAt, 1, faults::Action::Fail});
        EXPECT_FAILURE(result, c.code, c.message);
        std::vector<std::string> lines = {"Original file: orig.bin", "Patched file: new.bin"};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(outputLines(result.out), lines);
        EXPECT_FALSE(fileExists(folder / "fix.pat"));
    }
}

} // namespace
