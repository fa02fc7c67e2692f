#include "jobs/job_run.h"
#include "patch/checksum.h"

#include <functional>

namespace {

struct LargeBlock {
    std::uint64_t offset;
    std::string original, patched;
};

// A patch in the second format, built by hand: 64-bit size, offsets and lengths, the end
// record, then the checksum of every byte before it.
std::string largePatchBytes(const std::string& target, std::uint64_t size,
                            const std::vector<LargeBlock>& blocks) {
    std::string bytes =
        "PATCH2" + le32(static_cast<std::uint32_t>(target.size())) + target + le64(size) + le32(0);
    for (const LargeBlock& block : blocks)
        bytes += le64(block.offset) + le64(block.original.size()) + block.original + block.patched;
    bytes += le64(~std::uint64_t(0)) + le64(0);
    return bytes + le64(checksumOf(bytes.data(), bytes.size()));
}

class LargeFormat : public JobRun {};

// Every kind of damage to a patch in the second format is found before anything is written.
TEST_F(LargeFormat, ADamagedPatchChangesNothing) {
    std::string original(4096, 'o');
    std::string patched = original;
    patched.replace(100, 3, "abc");
    patched.replace(4000, 2, "xy");
    const std::string patch =
        largePatchBytes("t.bin", original.size(), {{100, "ooo", "abc"}, {4000, "oo", "xy"}});
    const std::size_t checksumAt = patch.size() - 8;
    const std::size_t endRecordAt = checksumAt - 16;
    auto flip = [](std::size_t at) {
        return [at](std::string& bytes) { bytes[at] = static_cast<char>(bytes[at] ^ 0x10); };
    };
    const struct {
        const char* what;
        std::function<void(std::string&)> damage;
    } ROWS[] = {
        {"a flipped bit in new bytes", flip(endRecordAt - 1)},
        {"a flipped bit in old bytes", flip(endRecordAt - 3)},
        {"a flipped bit in the size", flip(6 + 4 + 5 + 1)},
        {"a flipped bit in the checksum", flip(checksumAt + 7)},
        {"a flipped bit in the end record", flip(endRecordAt + 3)},
        {"a byte after the checksum", [](std::string& bytes) { bytes += '\0'; }},
        {"the checksum twice", [&](std::string& bytes) { bytes += bytes.substr(checksumAt); }},
        {"no end record",
         [&](std::string& bytes) {
             std::string front = bytes.substr(0, endRecordAt);
             bytes = front + le64(checksumOf(front.data(), front.size()));
         }},
        {"cut off by one byte", [](std::string& bytes) { bytes.pop_back(); }},
        {"cut off inside a block", [](std::string& bytes) { bytes.resize(bytes.size() - 30); }},
        {"cut off after the end record", [&](std::string& bytes) { bytes.resize(checksumAt); }},
    };
    for (const auto& row : ROWS) {
        SCOPED_TRACE(row.what);
        std::string damaged = patch;
        row.damage(damaged);
        write("fix.pat", damaged);
        write("t.bin", original);
        EXPECT_JOB_FAILURE(runJob({"--patch", "fix.pat"}), 8, "Not a valid patch file");
        EXPECT_TRUE(read("t.bin") == original);
        EXPECT_TRUE(records().empty());
    }

    write("fix.pat", patch);
    JobResult applied = runJob({"--patch", "fix.pat"});
    EXPECT_EQ(applied.code, 0) << applied.err;
    EXPECT_TRUE(read("t.bin") == patched);
    EXPECT_EQ(runJob({"--patch", "fix.pat", "--reverse"}).code, 0);
    EXPECT_TRUE(read("t.bin") == original);
}

// Blocks just below, across and above the 4 GiB line of a sparse 5 GiB file, both ways, with
// the lines that name offsets and sizes past 32 bits.
TEST_F(LargeFormat, AppliesAcrossTheFourGigabyteLine) {
    const std::uint64_t FOUR = std::uint64_t(1) << 32;
    const std::uint64_t SIZE = 5 * (std::uint64_t(1) << 30);
    write("t.bin", "");
    ASSERT_TRUE(resizeFile(folder / "t.bin", SIZE));
    const std::vector<LargeBlock> blocks = {
        {FOUR - 10, std::string(3, '\0'), "low"},
        {FOUR - 2, std::string(5, '\0'), "cross"},
        {FOUR + 100, std::string(4, '\0'), "high"},
        {SIZE - 3, std::string(3, '\0'), "end"},
    };
    write("fix.pat", largePatchBytes("t.bin", SIZE, blocks));
    JobResult applied = runJob({"--patch", "fix.pat"});
    EXPECT_EQ(applied.code, 0) << applied.err;
    EXPECT_EQ(outputLines(applied.out),
              (std::vector<std::string>{
                  "Reading patch file: fix.pat", "Patch for file t.bin (5368709120 bytes)",
                  "Applying patch:", "@ FFFFFFF6 : 3 bytes", "@ FFFFFFFE : 5 bytes",
                  "@ 100000064 : 4 bytes", "@ 13FFFFFFD : 3 bytes"}));
    for (const LargeBlock& block : blocks)
        EXPECT_EQ(readFileAt(folder / "t.bin", block.offset, block.patched.size()), block.patched);
    EXPECT_JOB_FAILURE(runJob({"--patch", "fix.pat"}), 9,
                       "File is already patched, specify \"--reverse\" to undo");
    EXPECT_EQ(runJob({"--patch", "fix.pat", "--reverse"}).code, 0);
    for (const LargeBlock& block : blocks)
        EXPECT_EQ(readFileAt(folder / "t.bin", block.offset, block.original.size()),
                  block.original);
    EXPECT_EQ(sizeOfFile(folder / "t.bin"), SIZE);
    EXPECT_TRUE(records().empty());
}

} // namespace
