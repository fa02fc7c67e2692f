#include "package/embedded_patch.h"

#include "platform/platform.h"
#include "seams/fault_plan.h"
#include "support/environment.h"
#include "support/files.h"
#include "support/patterned_bytes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

const std::string IMAGE = "MZ-image"; // stands in for an executable, 8 bytes
const std::string PATCH = "PATCH1" + std::string(10, '\x01');

bool carriesPatch(const std::string& bytes, EmbeddedPatchTrailer& trailer) {
    ScratchFolder folder;
    const std::string path = folder / "image";
    writeFile(path, bytes);
    platform::File file = platform::openForReading(path);
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::isOpen(file) && platform::fileSize(file, size));
    bool found = findEmbeddedPatch(file, size, trailer);
    platform::closeFile(file);
    return found;
}

} // namespace

TEST(EmbeddedPatchTrailer, OnlyAnOffsetBeforeTheTrailerAtPatch1Counts) {
    const std::uint32_t trailerAt = static_cast<std::uint32_t>(IMAGE.size() + PATCH.size());
    struct Case {
        const char* what;
        std::string bytes;
        bool found;
        std::uint64_t start;
    };
    const Case cases[] = {
        {"patch behind the image", IMAGE + PATCH + le32(8), true, 8},
        {"patch of six bytes", IMAGE + "PATCH1" + le32(8), true, 8},
        {"patch at offset 1", "x" + PATCH + le32(1), true, 1},
        {"value 0", PATCH + PATCH + le32(0), false, 0},
        {"value equal to the trailer's position", IMAGE + PATCH + le32(trailerAt), false, 0},
        {"value at the end of the file", IMAGE + PATCH + le32(trailerAt + 4), false, 0},
        {"value beyond the file", IMAGE + PATCH + le32(0xFFFFFFFFu), false, 0},
        {"one byte early", IMAGE + PATCH + le32(7), false, 0},
        {"one byte late", IMAGE + PATCH + le32(9), false, 0},
        {"lower-case magic", IMAGE + "patch1" + PATCH.substr(6) + le32(8), false, 0},
        {"magic PATCH2 (large files)", IMAGE + "PATCH2" + PATCH.substr(6) + le32(8), true, 8},
        {"magic PATCH3", IMAGE + "PATCH3" + PATCH.substr(6) + le32(8), false, 0},
        {"magic cut off by the trailer", IMAGE + "PATC" + le32(8), false, 0},
        {"four bytes", le32(1), false, 0},
        {"three bytes", std::string("\x01\x00\x00", 3), false, 0},
        {"empty file", "", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EmbeddedPatchTrailer trailer;
        EXPECT_EQ(carriesPatch(c.bytes, trailer), c.found);
        if (c.found) {
            EXPECT_EQ(trailer.patchStart, c.start);
            EXPECT_EQ(trailer.patchEnd, c.bytes.size() - 4);
        }
    }
}

TEST(EmbeddedPatchExtraction, CopiesExactlyThePatchRegion) {
    ScratchFolder folder;
    // Larger than any copy buffer, so the copy runs in several pieces.
    const std::string patch = "PATCH1" + patternedBytes(199997);
    const std::string image = folder / "packaged";
    writeFile(image, IMAGE + patch + le32(static_cast<std::uint32_t>(IMAGE.size())));

    TemporaryFile copy;
    ASSERT_TRUE(extractEmbeddedPatch(image, copy));
    const std::string extracted = readFile(copy.name);
    EXPECT_EQ(extracted.size(), patch.size());
    EXPECT_TRUE(extracted == patch);
}

TEST(EmbeddedPatchExtraction, NothingWithoutAPatch) {
    ScratchFolder folder;
    writeFile(folder / "plain", IMAGE + PATCH + le32(0));
    for (const std::string& path : {folder / "plain", folder / "missing", std::string()}) {
        TemporaryFile copy;
        EXPECT_FALSE(extractEmbeddedPatch(path, copy));
        EXPECT_EQ(copy.name, "");
    }
}

TEST(EmbeddedPatchExtraction, FailingPartWayLeavesNoFile) {
    ScratchFolder folder;
    const std::string temporary = folder / "tmp";
    makeFolder(temporary);
    ScopedEnvironment environment(
        ProcessOptions().set("TMPDIR", temporary).set("TMP", temporary).set("TEMP", temporary));
    // Four pieces to copy. Reads 1 and 2 take the trailer and the magic; then every piece is
    // read once and written once.
    const std::string image = folder / "packaged";
    writeFile(image, IMAGE + "PATCH1" + patternedBytes(200000) + le32(8));
    using faults::Action;
    using faults::Call;
    const faults::Plan plans[] = {
        {Call::ReadAt, 3, Action::Fail},
        {Call::ReadAt, 5, Action::Short},
        {Call::WriteNext, 2, Action::Fail},
        {Call::WriteNext, 4, Action::Short},
    };
    for (const faults::Plan& plan : plans) {
        SCOPED_TRACE(faults::describe(plan));
        faults::plant(plan);
        TemporaryFile copy;
        bool extracted = extractEmbeddedPatch(image, copy);
        faults::plant(faults::Plan());
        EXPECT_FALSE(extracted);
        EXPECT_EQ(copy.name, "");
        EXPECT_TRUE(std::filesystem::is_empty(temporary));
    }
    // Without a fault the same image gives its patch, in the same folder, until it is done with.
    {
        TemporaryFile copy;
        ASSERT_TRUE(extractEmbeddedPatch(image, copy));
        EXPECT_TRUE(
            std::filesystem::equivalent(std::filesystem::path(copy.name).parent_path(), temporary));
        EXPECT_EQ(readFile(copy.name).size(), 200006u);
    }
    EXPECT_TRUE(std::filesystem::is_empty(temporary));
}
