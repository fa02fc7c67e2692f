#include "e2e/e2e_fixture.h"

#include "seams/fault_plan.h"
#include "support/blocks.h"

#include <filesystem>
#include <random>
#include <set>

namespace {

using faults::Call;

// The patch the program must make: the blocks of the byte-by-byte comparison. `lines` receives
// the block lines of applying it.
std::string referencePatch(const std::string& a, const std::string& b,
                           std::vector<std::string>& lines, std::uint64_t& bytes) {
    std::vector<RecordedBlock> blocks;
    bytes = 0;
    for (const ChangedSpan& span : changedSpans(a, b)) {
        blocks.push_back({static_cast<std::uint32_t>(span.offset),
                          a.substr(span.offset, span.length), b.substr(span.offset, span.length)});
        char line[40];
        std::snprintf(line, sizeof line, "@ %08X : %X bytes", static_cast<unsigned>(span.offset),
                      static_cast<unsigned>(span.length));
        lines.push_back(line);
        bytes += span.length;
    }
    return patchBytes("t.bin", static_cast<std::uint32_t>(a.size()), "", blocks);
}

// Random pairs whose patches are larger than every buffer and window: a long block of
// megabytes, a dense region of one-byte blocks, scattered changes.
void makePair(unsigned seed, std::size_t longLength, std::size_t denseLength, std::string& a,
              std::string& b) {
    std::mt19937 random(seed);
    a.assign((1u << 20) + longLength + denseLength + 777, '\0');
    for (char& byte : a)
        byte = static_cast<char>(random());
    b = a;
    std::size_t at = 4096 + seed;
    for (std::size_t i = 0; i < longLength; ++i)
        b[at + i] = static_cast<char>(b[at + i] ^ (1 + random() % 255));
    at += longLength + 100;
    for (std::size_t i = 0; i < denseLength; i += 3 + seed % 2)
        b[at + i] = static_cast<char>(~b[at + i]);
    for (std::size_t i = at + denseLength; i < a.size(); i += 1 + random() % 20000)
        b[i] = static_cast<char>(~b[i]);
}

class Streaming : public MorvaneRun {};

const std::vector<std::string> APPLY = {"--patch", "fix.pat"};
const std::vector<std::string> REVERSE = {"--patch", "fix.pat", "--reverse"};

TEST_F(Streaming, LargePatchesAreExactAndApplyBothWays) {
    struct Pair {
        unsigned seed;
        std::size_t longLength, denseLength;
    };
    for (const Pair& pair : {Pair{1, (7u << 19) + 5, 1u << 20}, Pair{2, 0, 3u << 20}}) {
        SCOPED_TRACE(pair.seed);
        std::string a, b;
        makePair(pair.seed, pair.longLength, pair.denseLength, a, b);
        std::vector<std::string> lines;
        std::uint64_t bytes = 0;
        const std::string patch = referencePatch(a, b, lines, bytes);
        write("t.bin", a);
        write("t.new", b);
        ProcessResult created =
            run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"});
        EXPECT_OUTPUT(created.out, "Original file: t.bin", "Patched file: t.new",
                      "Comparing files... DONE",
                      "Found " + std::to_string(bytes) + " bytes in " +
                          std::to_string(lines.size()) + " blocks.",
                      "Writing patch file: fix.pat", "Completed!");
        ASSERT_EQ(created.exitCode, 0) << created.err;
        ASSERT_TRUE(read("fix.pat") == patch);

        std::vector<std::string> head = {
            "Reading patch file: fix.pat",
            "Patch for file t.bin (" + std::to_string(a.size()) + " bytes)", "Applying patch:"};
        std::vector<std::string> expected = head;
        expected.insert(expected.end(), lines.begin(), lines.end());
        ProcessResult applied = run(APPLY);
        EXPECT_EQ(applied.exitCode, 0) << applied.err;
        EXPECT_TRUE(outputLines(applied.out) == expected);
        EXPECT_TRUE(read("t.bin") == b);
        EXPECT_FAILURE(run(APPLY), 9, "File is already patched, specify \"--reverse\" to undo");

        expected.insert(expected.begin() + 1, "Reversing patch data... DONE");
        ProcessResult reversed = run(REVERSE);
        EXPECT_EQ(reversed.exitCode, 0) << reversed.err;
        EXPECT_TRUE(outputLines(reversed.out) == expected);
        EXPECT_TRUE(read("t.bin") == a);
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

// Neighbouring blocks, empty ones among them, are written in one piece and keep their lines.
TEST_F(Streaming, NeighboursAndEmptyBlocksAreWrittenTogether) {
    write("t.bin", std::string(64, 'a'));
    write("fix.pat", patchBytes("t.bin", 64, "",
                                {{8, "a", "b"}, {9, "", ""}, {12, "aa", "xy"}, {20, "", ""}}));
    ProcessResult result = run(APPLY);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "Patch for file t.bin (64 bytes)",
                  "Applying patch:", "@ 00000008 : 1 bytes", "@ 00000009 : 0 bytes",
                  "@ 0000000C : 2 bytes", "@ 00000014 : 0 bytes");
    EXPECT_EQ(read("t.bin"), "aaaaaaaabaaaxyaa" + std::string(48, 'a'));
}

// Blocks written together, a window at a time: a run killed after any write is finished or
// undone by the next, and a failed write is rolled back, windows read again included.
TEST_F(Streaming, KilledAndFailedRunsResumeAndRollBack) {
    std::string a, b;
    makePair(1, (5u << 19) + 5, 1u << 20, a, b);
    write("t.bin", a);
    write("t.new", b);
    ASSERT_EQ(run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"}).exitCode, 0);
    for (unsigned k : {1u, 3u, 6u}) {
        for (bool undo : {false, true}) {
            SCOPED_TRACE(std::to_string(k) + (undo ? " then --reverse" : " then again"));
            write("t.bin", a);
            EXPECT_EQ(runSeamed(APPLY, {Call::WriteAt, k, faults::Action::Kill}).exitCode, 137);
            EXPECT_FALSE(read("t.bin") == a);
            EXPECT_FALSE(read("t.bin") == b);
            ProcessResult next = run(undo ? REVERSE : APPLY);
            EXPECT_EQ(next.exitCode, 0) << next.err;
            EXPECT_TRUE(read("t.bin") == (undo ? a : b));
            EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
        }
        for (faults::Action action : {faults::Action::Fail, faults::Action::Short}) {
            SCOPED_TRACE(faults::describe({Call::WriteAt, k, action}));
            write("t.bin", a);
            EXPECT_FAILURE(runSeamed(APPLY, {Call::WriteAt, k, action}), 5,
                           "Could not write to file to patch");
            EXPECT_TRUE(read("t.bin") == a);
            EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
        }
    }
}

// A read of the patch or of the target that fails or comes up short anywhere, past the first
// buffer too, ends the run with the target as it was, or (a read of the target's bytes between
// blocks) leaves the blocks to be written one by one. When every read from then on fails, the
// target reads as a mismatch; a rollback that cannot read the patch again leaves the record.
TEST_F(Streaming, AFailedReadAnywhereLeavesTheTargetWholeOrPatched) {
    std::string a, b;
    makePair(3, 5u << 19, 0, a, b);
    write("t.new", b);
    write("t.bin", a);
    ASSERT_EQ(run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"}).exitCode, 0);
    std::set<int> codes;
    for (bool onward : {false, true}) {
        for (faults::Action action : {faults::Action::Fail, faults::Action::Short}) {
            for (unsigned n = 1; n <= 40; n += 3) {
                faults::Plan plan{Call::ReadAt, n, action, onward};
                SCOPED_TRACE(faults::describe(plan));
                write("t.bin", a);
                ProcessResult result = runSeamed(APPLY, plan);
                codes.insert(result.exitCode);
                if (result.exitCode == 0) {
                    EXPECT_TRUE(read("t.bin") == b);
                    continue;
                }
                if (result.exitCode == 4) {
                    EXPECT_FAILURE(result, 4, "Could not read patch file");
                } else {
                    EXPECT_FAILURE(result, 10, "Patch does not apply to this file (data mismatch)");
                }
                if (onward && outputLines(result.out).size() >= 3) {
                    for (const std::string& name : namesIn(temporaryFolder()))
                        std::filesystem::remove(std::filesystem::path(temporaryFolder()) / name);
                    continue;
                }
                EXPECT_TRUE(read("t.bin") == a);
                EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
            }
        }
    }
    EXPECT_EQ(codes, (std::set<int>{0, 4, 10}));
}

#ifndef _WIN32
// A patch file that changes during the run (its last byte flipped before one of the reads)
// never gets bytes written that were not verified: the run either applies the patch as it was
// first read, or fails with the target as it was.
TEST_F(Streaming, APatchChangedDuringTheRunWritesNothingUnverified) {
    std::string a, b;
    makePair(3, 5u << 19, 0, a, b);
    write("t.new", b);
    write("t.bin", a);
    ASSERT_EQ(run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"}).exitCode, 0);
    const std::string patch = read("fix.pat");
    bool rolledBack = false;
    for (unsigned n = 1; n <= 60; n += 2) {
        SCOPED_TRACE(n);
        write("t.bin", a);
        write("fix.pat", patch);
        ProcessResult result = runSeamed(APPLY, {Call::ReadAt, n, faults::Action::Change});
        const std::string now = read("t.bin");
        if (result.exitCode == 0) {
            // Changed before the first pass read that part: the patch as changed applies.
            std::size_t differences = 0;
            for (std::size_t i = 0; i < now.size(); ++i)
                differences += now[i] != b[i];
            EXPECT_LE(differences, 1u);
        } else {
            EXPECT_FAILURE(result, 4, "Could not read patch file");
            EXPECT_TRUE(now == a);
            rolledBack = rolledBack || outputLines(result.out).size() >= 3; // "Applying patch:"
        }
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
    EXPECT_TRUE(rolledBack);
}
#endif

} // namespace
