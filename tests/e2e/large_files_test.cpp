// Creating patches of any size in one pass: files of 4 GiB and more get the second format, byte
// for byte; a patch too large to keep goes into a spool and nothing reaches the output's name
// before "Writing patch file:"; inputs that change while they are read fail; sparse inputs keep
// their holes. Large files are sparse.
#include "e2e/e2e_fixture.h"

#include "patch/checksum.h"
#include "support/patterned_bytes.h"

#include <algorithm>
#include <csignal>
#include <cstdio>

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using faults::Call;
const std::uint64_t FOUR_GIB = std::uint64_t(1) << 32;
const std::uint64_t MIB = 1024 * 1024;

struct Span {
    std::uint64_t offset;
    std::size_t length;
};

#ifndef _WIN32
// The patch for a pair whose original holds the pattern in every span (holes elsewhere) and
// whose patched file holds the pattern's complement there: one block per span.
std::string patchFor(const std::string& name, std::uint64_t size, const std::string& message,
                     const std::vector<Span>& spans) {
    bool second = size >= FOUR_GIB;
    std::string bytes = std::string(second ? "PATCH2" : "PATCH1") +
                        le32(static_cast<std::uint32_t>(name.size())) + name +
                        (second ? le64(size) : le32(static_cast<std::uint32_t>(size))) +
                        le32(static_cast<std::uint32_t>(message.size())) + message;
    for (const Span& span : spans) {
        std::string old = patternedBytes(span.length, span.offset);
        std::string changed = old;
        for (char& byte : changed)
            byte = static_cast<char>(~byte);
        bytes += second ? le64(span.offset) + le64(span.length)
                        : le32(static_cast<std::uint32_t>(span.offset)) +
                              le32(static_cast<std::uint32_t>(span.length));
        bytes += old + changed;
    }
    if (second) {
        bytes += le64(~std::uint64_t(0)) + le64(0);
        bytes += le64(checksumOf(bytes.data(), bytes.size()));
    }
    return bytes;
}
#endif

class LargeFiles : public MorvaneRun {
  protected:
    // Makes orig.bin and new.bin of `size` bytes, holes but for the spans, or with `whole` the
    // pattern everywhere; false when the system has no room for them.
    bool makePair(std::uint64_t size, const std::vector<Span>& spans, bool whole = false) {
        write("orig.bin", whole ? patternedBytes(static_cast<std::size_t>(size)) : "");
        write("new.bin", whole ? patternedBytes(static_cast<std::size_t>(size)) : "");
        if (!resizeFile(folder / "orig.bin", size) || !resizeFile(folder / "new.bin", size))
            return false;
        for (const Span& span : spans) {
            std::string bytes = patternedBytes(span.length, span.offset);
            writeFileAt(folder / "orig.bin", span.offset, bytes);
            for (char& byte : bytes)
                byte = static_cast<char>(~byte);
            writeFileAt(folder / "new.bin", span.offset, bytes);
        }
        return true;
    }
    static std::vector<std::string> lines(std::uint64_t bytes, std::size_t blocks,
                                          const std::string& patch = "fix.pat") {
        return {"Original file: orig.bin",
                "Patched file: new.bin",
                "Comparing files... DONE",
                "Found " + std::to_string(bytes) + " bytes in " + std::to_string(blocks) +
                    (blocks > 1 ? " blocks." : " block."),
                "Writing patch file: " + patch,
                "Completed!"};
    }
    const std::vector<std::string> create = {"--original", "orig.bin", "--patched",
                                             "new.bin",    "--patch",  "fix.pat"};
};

#ifndef _WIN32
// Exact bytes on both sides of the 4 GiB line: the first format up to 4 GiB - 1, the second from
// 4 GiB on, with blocks below 2^32, across it and above it, and a block longer than what is
// kept (written as it is found, then its head and the checksum catch up).
TEST_F(LargeFiles, PatchesOnBothSidesOfFourGibibytesAreExact) {
    struct Case {
        const char* what;
        std::uint64_t size;
        std::vector<Span> spans;
    };
    // clang-format off
    const Case cases[] = {
        {"4 GiB - 1, the first format", FOUR_GIB - 1, {{0x10, 3}, {FOUR_GIB - 16, 15}}},
        {"4 GiB, the second format", FOUR_GIB, {{0x10, 3}, {FOUR_GIB - 1, 1}}},
        {"above 4 GiB, kept in memory", FOUR_GIB + 5 * MIB,
         {{0x1000, 3}, {FOUR_GIB - 4, 8}, {FOUR_GIB + 0x10000, 1}}},
        {"above 4 GiB, a long block", FOUR_GIB + 5 * MIB,
         {{0x1000, 3}, {FOUR_GIB - 4, 8}, {FOUR_GIB + 0x10000, 1},
          {FOUR_GIB + 2 * MIB, 3 * MIB / 2 + 5}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!makePair(c.size, c.spans))
            GTEST_SKIP() << "no room for sparse files of 4 GiB";
        write("msg.txt", "read me");
        std::vector<std::string> arguments = create;
        arguments.insert(arguments.end(), {"--message", "msg.txt"});
        ProcessResult result = run(arguments);
        std::uint64_t bytes = 0;
        for (const Span& span : c.spans)
            bytes += span.length;
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(outputLines(result.out), lines(bytes, c.spans.size()));
        EXPECT_TRUE(read("fix.pat") == patchFor("orig.bin", c.size, "read me", c.spans));
        EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"fix.pat", "msg.txt", "new.bin",
                                                                    "orig.bin", "state", "tmp"}));
    }
}
#endif

#ifndef _WIN32
// A sparse pair just over 4 GiB, blocks below, across and above 2^32 and one written as it is
// found, too large a patch to keep (so it goes through the output's fresh file, whose bytes the
// checksum reads back): the patch applies, then finds the file patched, undoes itself, and does
// the same as a self-applying patch.
TEST_F(LargeFiles, RoundTripsAcrossTheFourGibibyteLine) {
    const std::vector<Span> spans = {{0x1000, 3},
                                     {FOUR_GIB - 4, 8},
                                     {FOUR_GIB + 0x10000, 1},
                                     {FOUR_GIB + MIB / 2, 4 * MIB + 5}};
    if (!makePair(FOUR_GIB + 5 * MIB, spans))
        GTEST_SKIP() << "no room for sparse files of 4 GiB";
    auto holds = [&](bool changed) {
        bool all = true;
        for (const Span& span : spans) {
            std::string bytes = patternedBytes(span.length, span.offset);
            for (char& byte : bytes)
                byte = static_cast<char>(changed ? ~byte : byte);
            all = all && readFileAt(folder / "orig.bin", span.offset, span.length) == bytes;
        }
        return all;
    };
    ASSERT_EQ(run(create).exitCode, 0);
    std::vector<std::string> package = create;
    package[5] = "fix.run";
    package.push_back("--executable");
    ASSERT_EQ(run(package).exitCode, 0);
    for (const std::string& program : {morvanePath(), folder / "fix.run"}) {
        SCOPED_TRACE(program);
        std::vector<std::string> apply;
        if (program == morvanePath())
            apply = {"--patch", "fix.pat"};
        std::vector<std::string> reverse = apply;
        reverse.push_back("--reverse");
        ProcessResult applied = runProcess(program, apply, options());
        EXPECT_EQ(applied.exitCode, 0) << applied.err;
        EXPECT_EQ(outputLines(applied.out).back(), "@ 100080000 : 400005 bytes");
        EXPECT_TRUE(holds(true));
        EXPECT_FAILURE(runProcess(program, apply, options()), 9,
                       "File is already patched, specify \"--reverse\" to undo");
        EXPECT_EQ(runProcess(program, reverse, options()).exitCode, 0);
        EXPECT_TRUE(holds(false));
        EXPECT_EQ(sizeOfFile(folder / "orig.bin"), FOUR_GIB + 5 * MIB);
        EXPECT_EQ(records(), std::vector<std::string>{});
    }
}
#endif

// A patch kept in memory and one written into a spool as it is found, each failing in every way
// it can once the files are compared: the lines, the code and the error line are those of
// today's runs, no file is left beside the output, and the older patch of that name is whole.
TEST_F(LargeFiles, FailuresOfTheOnePassLeaveTheOldPatchWhole) {
    struct Pair {
        const char* what;
        std::vector<Span> spans;
    };
    const Pair pairs[] = {{"kept in memory", {{100, 10}}},
                          {"written as found", {{100, 10}, {MIB, 2 * MIB + 3}}}};
    struct Case {
        const char* what;
        std::string patch;
        std::vector<std::string> extra;
        faults::Plan plan;
        int code;
        std::string message;
        std::size_t lines; // of the successful run's
        int pair = -1;     // the only pair the row is for: a spool is written at offsets
    };
    const std::string cannotWrite = "Can't write to patch file";
    // clang-format off
    const Case cases[] = {
        {"no such folder", "none/fix.pat", {}, {}, 5, cannotWrite, 5},
        {"a write fails", "fix.pat", {}, {Call::WriteNext, 1, faults::Action::Fail}, 5, cannotWrite, 5, 0},
        {"a write fails", "fix.pat", {}, {Call::WriteAt, 1, faults::Action::Fail}, 5, cannotWrite, 5, 1},
        {"a later write fails", "fix.pat", {}, {Call::WriteAt, 3, faults::Action::Short}, 5, cannotWrite, 5, 1},
        {"the flush fails", "fix.pat", {}, {Call::SyncFile, 1, faults::Action::Fail}, 5, cannotWrite, 5},
        {"the rename fails", "fix.pat", {}, {Call::Replace, 1, faults::Action::Fail}, 5, cannotWrite, 5},
        {"the output is the original", "orig.bin", {}, {}, 5, cannotWrite, 5},
        {"no message file", "fix.pat", {"--message", "none.txt"}, {}, 4, "Could not open message file", 4},
        {"identical files", "fix.pat", {}, {}, 7, "Nothing to patch, both files are identical", 3},
    };
    // clang-format on
    for (int p = 0; p < 2; ++p) {
        const Pair& pair = pairs[p];
        for (const Case& c : cases) {
            if (c.pair >= 0 && c.pair != p)
                continue;
            SCOPED_TRACE(std::string(pair.what) + ", " + c.what);
            ASSERT_TRUE(makePair(8 * MIB, pair.spans));
            if (c.code == 7)
                write("new.bin", read("orig.bin"));
            write("fix.pat", "an older patch");
            const std::string original = read("orig.bin");
            std::vector<std::string> arguments = {"--original", "orig.bin", "--patched",
                                                  "new.bin",    "--patch",  c.patch};
            arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
            ProcessResult result = runSeamed(arguments, c.plan);
            EXPECT_FAILURE(result, c.code, c.message);
            std::uint64_t bytes = 0;
            for (const Span& span : pair.spans)
                bytes += span.length;
            std::vector<std::string> expected = lines(bytes, pair.spans.size(), c.patch);
            expected.resize(c.lines);
            if (c.code == 7)
                expected.back() = "Comparing files... DONE";
            EXPECT_EQ(outputLines(result.out), expected);
            EXPECT_EQ(read("fix.pat"), "an older patch");
            EXPECT_TRUE(read("orig.bin") == original);
            EXPECT_EQ(namesIn(folder.path()),
                      (std::vector<std::string>{"fix.pat", "new.bin", "orig.bin", "state", "tmp"}));
            EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
        }
    }
}

#ifndef _WIN32
// Outputs written in place (a file with a second link, a device) never see a byte before
// "Writing patch file:": a large patch goes to a temporary spool and is copied in whole; a run
// that fails leaves the linked file whole, and the spool goes.
TEST_F(LargeFiles, OutputsWrittenInPlaceGetTheWholePatch) {
    const std::vector<Span> spans = {{100, 10}, {MIB, 2 * MIB + 3}};
    ASSERT_TRUE(makePair(8 * MIB, spans));
    const std::string patch = patchFor("orig.bin", 8 * MIB, "", spans);
    write("fix.pat", "an older patch");
    ASSERT_EQ(::link((folder / "fix.pat").c_str(), (folder / "other.pat").c_str()), 0);
    write("same.bin", read("orig.bin"));
    EXPECT_FAILURE(run({"--original", "orig.bin", "--patched", "same.bin", "--patch", "fix.pat"}),
                   7, "Nothing to patch, both files are identical");
    EXPECT_EQ(read("other.pat"), "an older patch");

    ProcessResult result = run(create);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(read("other.pat") == patch);
    struct stat info;
    ASSERT_EQ(::stat((folder / "fix.pat").c_str(), &info), 0);
    EXPECT_EQ(info.st_nlink, 2u);
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});

    result = run({"--original", "orig.bin", "--patched", "new.bin", "--patch", "/dev/full"});
    EXPECT_FAILURE(result, 5, "Can't write to patch file");
    EXPECT_EQ(outputLines(result.out).back(), "Writing patch file: /dev/full");
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});

    // A packaged patch carries the same patch bytes.
    result = run(
        {"--original", "orig.bin", "--patched", "new.bin", "--patch", "fix.run", "--executable"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string packaged = read("fix.run");
    ASSERT_GT(packaged.size(), patch.size() + 4);
    EXPECT_TRUE(packaged.substr(packaged.size() - 4 - patch.size(), patch.size()) == patch);
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
}

// An input written to by another program while it is read (its last byte flipped before one of
// the reads, as a writer that takes no lock would): the run fails with that input's line and
// leaves no patch. The pair's last 2 MiB are one block, longer than what is kept: the original
// changes while that block is compared, the patched file between the two reads of its new bytes.
TEST_F(LargeFiles, AnInputChangedWhileItIsReadFails) {
    struct Case {
        const char* what;
        std::vector<Span> spans;
        unsigned read;
        std::string message;
    };
    const std::string original = "Could not read original file";
    const std::string patched = "Could not read patched file";
    const std::vector<Span> longBlock = {{MIB, 2 * MIB}};
    // Reads: the windows of both files in turn, then the long block's new bytes again.
    const Case cases[] = {
        {"kept in memory, original", {{3 * MIB - 1, 1}}, 1, original},
        {"kept in memory, patched", {{3 * MIB - 1, 1}}, 6, patched},
        {"original inside the long block", longBlock, 5, original},
        {"patched between its two reads", longBlock, 7, patched},
        {"patched at its last read", longBlock, 8, patched},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(makePair(3 * MIB, c.spans, true));
        ProcessResult result = runSeamed(create, {Call::ReadAt, c.read, faults::Action::Change});
        EXPECT_FAILURE(result, 4, c.message);
        EXPECT_EQ(outputLines(result.out),
                  (std::vector<std::string>{"Original file: orig.bin", "Patched file: new.bin",
                                            "Comparing files..."}));
        EXPECT_EQ(namesIn(folder.path()),
                  (std::vector<std::string>{"new.bin", "orig.bin", "state", "tmp"}));
    }
}

// An interruption while the files are compared ends the run at once and removes the spool.
TEST_F(LargeFiles, AnInterruptionWhileComparingRemovesTheSpool) {
    ASSERT_TRUE(makePair(8 * MIB, {{100, 10}, {MIB, 2 * MIB + 3}}, true));
    for (const char* patch : {"fix.pat", "/dev/null"}) {
        SCOPED_TRACE(patch);
        ProcessResult result =
            runSeamed({"--original", "orig.bin", "--patched", "new.bin", "--patch", patch},
                      {Call::ReadAt, 9, faults::Action::Interrupt});
        EXPECT_EQ(result.exitCode, 128 + SIGINT);
        EXPECT_EQ(namesIn(folder.path()),
                  (std::vector<std::string>{"new.bin", "orig.bin", "state", "tmp"}));
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

// Creating never changes how its inputs are stored: holes stay holes, in a file with holes on
// the test's own file system and on a tmpfs (mounted where the test may), where mapping a hole
// would fill it. Stretches that are holes in both files are not read at all.
TEST_F(LargeFiles, InputsWithHolesKeepThem) {
    auto blocksOf = [](const std::string& path) {
        struct stat info;
        return ::stat(path.c_str(), &info) == 0 ? std::uint64_t(info.st_blocks) : 0;
    };
    std::vector<std::string> places = {folder / "disk"};
    makeFolder(folder / "disk");
    makeFolder(folder / "memory");
    bool mounted = ::mount("tmpfs", (folder / "memory").c_str(), "tmpfs", 0, "size=64m") == 0;
    if (mounted)
        places.push_back(folder / "memory");
    else
        std::printf("no tmpfs: the test may not mount one\n");
    for (const std::string& place : places) {
        SCOPED_TRACE(place);
        // 48 MiB each: with holes but for two stretches, and the patched file whole on the
        // first round, so that the original's holes meet data.
        for (bool patchedWhole : {true, false}) {
            SCOPED_TRACE(patchedWhole ? "the patched file whole" : "both with holes");
            const std::string a = place + "/a.bin";
            const std::string b = place + "/b.bin";
            writeFile(a, "");
            ASSERT_TRUE(resizeFile(a, 48 * MIB));
            writeFileAt(a, 5 * MIB, patternedBytes(5000, 1));
            writeFileAt(a, 40 * MIB, patternedBytes(5000, 2));
            writeFile(b, "");
            if (patchedWhole) {
                writeFile(b, std::string(8 * MIB, '\0'));
                writeFileAt(b, 0, patternedBytes(MIB, 3));
            } else {
                ASSERT_TRUE(resizeFile(b, 8 * MIB));
            }
            ASSERT_TRUE(resizeFile(b, 48 * MIB));
            writeFileAt(b, 5 * MIB, patternedBytes(5000, 1));
            writeFileAt(b, 40 * MIB + 17, "x");
            const std::uint64_t before[2] = {blocksOf(a), blocksOf(b)};
            // Fewer reads than the files' windows: the holes in both are passed over.
            faults::Plan plan;
            if (!patchedWhole)
                plan = {Call::ReadAt, 12, faults::Action::Fail};
            ProcessResult result =
                runSeamed({"--original", a, "--patched", b, "--patch", place + "/fix.pat"}, plan);
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(blocksOf(a), before[0]);
            EXPECT_EQ(blocksOf(b), before[1]);
            std::remove((place + "/fix.pat").c_str());
        }
    }
    if (mounted)
        ::umount((folder / "memory").c_str());
}
#endif

} // namespace
