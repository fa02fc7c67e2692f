#include "apply/patch_reader.h"

#include "e2e/e2e_fixture.h"
#include "patch/patch_format.h"
#include "seams/fault_plan.h"
#include "support/blocks.h"
#include "support/read_windows.h"

#include <functional>
#include <random>

namespace {

struct Scanned {
    bool failed = false;
    bool changed = false;
    int status = 0; // ScanStatus or BlocksStatus, which agree
    std::vector<ModelBlock> blocks;
};

// Reads the patch file as a run does: the first pass, `between`, then one pass of windows, in
// the direction `reverse` gives.
Scanned scanFile(const std::string& path, const std::function<void()>& between = {},
                 bool reverse = false) {
    Scanned result;
    platform::File file = platform::openForReading(path);
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::fileSize(file, size));
    PatchReader reader(file, size, reverse);
    PatchHeader header;
    reader.readHeader(header);
    result.status = static_cast<int>(reader.scanBlocks());
    result.failed = reader.failed();
    if (result.failed || result.status != 0)
        return result;
    if (between)
        between();
    bool piecesAgree = true;
    result.blocks = blocksOfOnePass(reader, piecesAgree);
    EXPECT_TRUE(piecesAgree);
    result.failed = reader.failed();
    result.changed = reader.changed();
    return result;
}

// What reading the whole patch into memory finds.
Scanned referenceScan(const std::string& bytes) {
    Scanned result;
    ByteSource source =
        sourceFromBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    PatchHeader header;
    readPatchHeader(source, header);
    BlockList list;
    result.status = static_cast<int>(collectBlocks(source, list));
    if (result.status == 0)
        result.blocks = blocksOf(list);
    return result;
}

std::string randomBytes(std::size_t count, std::mt19937& random) {
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// A long block (past every buffer and window size) whose last `equalTail` pairs are equal.
RecordedBlock longBlock(std::uint32_t offset, std::size_t length, std::size_t equalTail,
                        std::mt19937& random) {
    RecordedBlock block{offset, randomBytes(length, random), ""};
    block.patched = block.original;
    for (std::size_t i = 0; i + equalTail < length; ++i)
        block.patched[i] = static_cast<char>(~block.patched[i]);
    return block;
}

// Blocks whose two sides are equal (empty once trimmed), enough to take a patch past one
// window, so that its windows are read again.
const std::vector<RecordedBlock> FILLER(3, RecordedBlock{0, std::string(PATCH_WINDOW / 3, 'f'),
                                                         std::string(PATCH_WINDOW / 3, 'f')});

std::vector<RecordedBlock> operator+(std::vector<RecordedBlock> a,
                                     const std::vector<RecordedBlock>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Case {
    const char* what;
    std::vector<RecordedBlock> blocks;
    int status; // 0 valid, 1 cut off, 2 overlapping
};

std::vector<Case> cases() {
    std::mt19937 random(3);
    std::vector<RecordedBlock> small = {{10, "ab", "cd"}, {20, "xyz", "xyw"}};
    std::string tenOld = randomBytes(10, random);
    std::string tenNew = tenOld;
    tenNew[0] = static_cast<char>(~tenNew[0]);
    tenNew[9] = static_cast<char>(~tenNew[9]);
    RecordedBlock ten{100, tenOld, tenNew};
    auto at = [&](std::uint32_t offset) {
        RecordedBlock block = ten;
        block.offset = offset;
        return block;
    };
    return {
        {"ascending, with long blocks, one all equal",
         small + std::vector<RecordedBlock>{longBlock(1000, 3 << 20, 5, random),
                                            longBlock(5 << 20, (5 << 19) + 3, 5 << 19, random),
                                            {9 << 20, "q", "r"}},
         0},
        {"adjacent out of order", {at(100), at(90)}, 0},
        {"sharing a byte out of order", {at(100), at(91)}, 2},
        {"an empty block inside another's range", {at(200), {205, "", ""}, at(50)}, 0},
        {"an equal block inside another's range", {at(200), {203, "ss", "ss"}, at(50)}, 0},
        {"more than 2 GiB apart, sharing a byte", {at(0xF0000000u), at(0x10), at(0xF0000009u)}, 2},
        {"more than 2 GiB apart", {at(0xF0000000u), at(0x10), at(0x80000010u)}, 0},
        {"a long block out of order, overlapped",
         {longBlock(1000, 3 << 20, 0, random), at(500), at(2000)},
         2},
    };
}

// Whether the patch is read whole or window by window, the first pass and every later one find
// what reading it all into memory finds, in either direction.
TEST(PatchReader, FindWhatTheWholePatchHolds) {
    ScratchFolder folder;
    for (const Case& c : cases()) {
        for (bool filled : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (filled ? ", past one window" : ""));
            std::vector<RecordedBlock> blocks = filled ? FILLER + c.blocks : c.blocks;
            std::string bytes = patchBytes("t.bin", 1000, "note", blocks);
            writeFile(folder / "p.pat", bytes);
            Scanned want = referenceScan(bytes);
            ASSERT_EQ(want.status, c.status);
            Scanned got = scanFile(folder / "p.pat");
            EXPECT_FALSE(got.failed);
            EXPECT_EQ(got.status, want.status);
            EXPECT_TRUE(got.blocks == want.blocks);
            Scanned reversed = scanFile(folder / "p.pat", {}, true);
            for (ModelBlock& block : want.blocks)
                block.swapSides();
            EXPECT_TRUE(reversed.blocks == want.blocks);
            if (c.status == 0) {
                // Cut off inside the last record.
                writeFile(folder / "p.pat", bytes.substr(0, bytes.size() - 1));
                EXPECT_EQ(scanFile(folder / "p.pat").status, static_cast<int>(ScanStatus::CutOff));
            }
        }
    }
}

// A read that fails or comes up short anywhere, in the first pass or a later one, fails the
// reading; it never passes for a shorter patch.
TEST(PatchReader, AFailedReadAnywhereFailsTheReading) {
    ScratchFolder folder;
    std::mt19937 random(5);
    std::string bytes = patchBytes(
        "t.bin", 1000, "",
        FILLER + std::vector<RecordedBlock>{{10, "ab", "cd"}, longBlock(100, 3 << 19, 1, random)});
    writeFile(folder / "p.pat", bytes);
    Scanned want = referenceScan(bytes);
    std::size_t chunks = bytes.size() / CHECKED_CHUNK + 1;
    bool failedLater = false;
    for (faults::Action action : {faults::Action::Fail, faults::Action::Short}) {
        for (unsigned n = 1; n <= 3 * chunks + 2; n += n < chunks ? 1 : 3) {
            SCOPED_TRACE(faults::describe({faults::Call::ReadAt, n, action}));
            faults::plant({faults::Call::ReadAt, n, action});
            bool firstPassDone = false;
            Scanned got = scanFile(folder / "p.pat", [&] { firstPassDone = true; });
            faults::plant(faults::Plan());
            if (!got.failed) {
                EXPECT_TRUE(got.blocks == want.blocks);
            }
            failedLater = failedLater || (got.failed && firstPassDone);
            if (n <= chunks) {
                EXPECT_TRUE(got.failed);
            }
        }
    }
    EXPECT_TRUE(failedLater);
}

#ifndef _WIN32
// A patch changed after the first pass read it is never read again as if it were the same.
TEST(PatchReader, APatchChangedAfterTheFirstPassFailsTheReading) {
    ScratchFolder folder;
    std::string bytes = patchBytes("t.bin", 1000, "", FILLER + cases()[0].blocks);
    for (std::size_t at : {std::size_t(20), bytes.size() / 2, bytes.size() - 1}) {
        SCOPED_TRACE(at);
        writeFile(folder / "p.pat", bytes);
        std::string changed = bytes;
        changed[at] = static_cast<char>(~changed[at]);
        Scanned got = scanFile(folder / "p.pat", [&] { writeFile(folder / "p.pat", changed); });
        EXPECT_TRUE(got.failed);
        EXPECT_TRUE(got.changed);
    }
}
#endif

} // namespace
