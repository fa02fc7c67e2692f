// The patch reader over arbitrary bytes: the magic check, the counted strings and the rule by
// which blocks are collected. The program's reader, over a file in windows, and the tests' model
// of it, over the bytes in memory, must both agree with a reader written from the format alone,
// and what was read must come back unchanged when written out and read again.
#include "fuzz_support.h"

#include "apply/patch_reader.h"
#include "patch/byte_stream.h"
#include "patch/patch_format.h"
#include "support/blocks.h"
#include "support/read_windows.h"

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int scratchFile = -1; // an in-memory file for the file-backed reads and the round trip

struct ReadResult {
    fuzz::ReferenceStatus status = fuzz::ReferenceStatus::WrongMagic;
    PatchHeader header;
    BlockList blocks;
};

fuzz::ReferenceStatus statusOf(HeaderStatus header, ScanStatus blocks) {
    switch (header) {
    case HeaderStatus::WrongMagic:
        return fuzz::ReferenceStatus::WrongMagic;
    case HeaderStatus::BadLength:
        return fuzz::ReferenceStatus::BadLength;
    case HeaderStatus::BadName:
        return fuzz::ReferenceStatus::BadName;
    case HeaderStatus::Valid:
        break;
    }
    switch (blocks) {
    case ScanStatus::CutOff:
        return fuzz::ReferenceStatus::CutOff;
    case ScanStatus::Overlapping:
        return fuzz::ReferenceStatus::Overlapping;
    case ScanStatus::Damaged:
        return fuzz::ReferenceStatus::Damaged;
    case ScanStatus::Valid:
        break;
    }
    return fuzz::ReferenceStatus::Valid;
}

// The tests' model knows the first format only.
ScanStatus scanStatusOf(BlocksStatus blocks) {
    return blocks == BlocksStatus::CutOff        ? ScanStatus::CutOff
           : blocks == BlocksStatus::Overlapping ? ScanStatus::Overlapping
                                                 : ScanStatus::Valid;
}

ReadResult readAll(ByteSource& source) {
    ReadResult result;
    HeaderStatus header = readPatchHeader(source, result.header);
    BlocksStatus blocks = BlocksStatus::Valid;
    if (header == HeaderStatus::Valid)
        blocks = collectBlocks(source, result.blocks);
    result.status = statusOf(header, scanStatusOf(blocks));
    return result;
}

// The program's reader: the first pass, then one pass of windows.
ReadResult readInWindows(const platform::File& file, std::uint64_t size) {
    ReadResult result;
    PatchReader reader(file, size, false);
    HeaderStatus header = reader.readHeader(result.header);
    ScanStatus blocks = ScanStatus::Valid;
    if (header == HeaderStatus::Valid)
        blocks = reader.scanBlocks();
    result.status = statusOf(header, blocks);
    if (reader.failed())
        fuzz::fail("the reader failed on a file that reads whole");
    if (result.status != fuzz::ReferenceStatus::Valid)
        return result;
    bool piecesAgree = true;
    for (ModelBlock& block : blocksOfOnePass(reader, piecesAgree))
        appendTo(result.blocks, block);
    if (reader.failed() || !piecesAgree)
        fuzz::fail("a later pass of the reader failed or split a long block wrongly");
    return result;
}

void expectSame(const ReadResult& got, const fuzz::ReferencePatch& want, const char* how) {
    std::string where = std::string(" (") + how + ")";
    if (got.status != want.status)
        fuzz::fail("status differs from the format" + where);
    if (got.status != fuzz::ReferenceStatus::Valid)
        return;
    if (got.header.targetName != want.targetName)
        fuzz::fail("target name differs" + where);
    if (got.header.fileSize != want.fileSize)
        fuzz::fail("file size differs" + where);
    if (got.header.message != want.message)
        fuzz::fail("message differs" + where);
    if (got.blocks.size() != want.blocks.size())
        fuzz::fail("block count differs: " + std::to_string(got.blocks.size()) + " instead of " +
                   std::to_string(want.blocks.size()) + where);
    std::size_t index = 0;
    for (const PatchBlock& block : got.blocks) {
        const fuzz::ReferenceBlock& expected = want.blocks[index++];
        fuzz::Bytes original(block.originalBytes, block.originalBytes + block.length());
        fuzz::Bytes patched(block.patchedBytes, block.patchedBytes + block.length());
        if (block.offset != expected.offset || original != expected.original ||
            patched != expected.patched)
            fuzz::fail("block " + std::to_string(index - 1) + " differs" + where);
    }
}

void loadScratch(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(scratchFile, 0) != 0 ||
        (size > 0 && ::pwrite(scratchFile, data, size, 0) != static_cast<ssize_t>(size)))
        fuzz::fail("cannot fill the in-memory file");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterScratchFolder("patch_reader");
    scratchFile = ::memfd_create("morvane-fuzz-patch", MFD_CLOEXEC);
    if (scratchFile < 0)
        fuzz::fail("memfd_create failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ReferencePatch want = fuzz::referenceRead(data, size);

    loadScratch(data, size);
    // A second descriptor of the scratch file: the handle closes its own when it goes.
    platform::File file(::dup(scratchFile));
    ReadResult fromFile = readInWindows(file, size);
    expectSame(fromFile, want, "by the reader from a file");

    if (size < 6 || std::memcmp(data, "PATCH1", 6) != 0)
        return 0;
    ByteSource memory = sourceFromBytes(data, size);
    ReadResult fromMemory = readAll(memory);
    expectSame(fromMemory, want, "by the model from memory");
    if (fromMemory.status != fuzz::ReferenceStatus::Valid)
        return 0;

    // Round trip: what was read, written with the program's writer, reads back the same.
    if (::ftruncate(scratchFile, 0) != 0 || ::lseek(scratchFile, 0, SEEK_SET) != 0)
        fuzz::fail("cannot empty the in-memory file");
    ByteSink sink = sinkToFile(file);
    writePatch(sink, fromMemory.header, fromMemory.blocks);
    if (!flushSink(sink))
        fuzz::fail("writing the patch back failed");
    std::uint64_t expectedSize = 6 + 4 + want.targetName.size() + 4 + 4 + want.message.size();
    for (const fuzz::ReferenceBlock& block : want.blocks)
        expectedSize += 8 + 2 * block.original.size();
    off_t written = ::lseek(scratchFile, 0, SEEK_END);
    if (written < 0 || static_cast<std::uint64_t>(written) != expectedSize)
        fuzz::fail("written patch has the wrong size");
    ByteSource again = sourceFromFile(file, static_cast<std::uint64_t>(written));
    ReadResult reread = readAll(again);
    expectSame(reread, want, "written back and read again");
    return 0;
}
