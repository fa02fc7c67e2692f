// A patch file read in windows of blocks, so that no run holds more than a window of a patch in
// memory, every window in the run's direction. The first pass reads the whole patch once and
// keeps a hash of every chunk of the file; every later pass reads it again in windows and fails
// when any chunk changed since. A patch whose blocks fit in one window is held after the first
// pass and never read again.
#pragma once

#include "patch/byte_stream.h"
#include "patch/patch_block.h"
#include "patch/patch_format.h"
#include "patch/sizes.h"
#include "platform/platform.h"

#include <cstdint>
#include <vector>

// The error line of a patch file that cannot be read, or that changed while it was read again.
const char* const PATCH_READ_FAILURE = "Could not read patch file";

// One window: whole blocks, or one piece of a long block.
struct PatchWindow {
    const BlockList* blocks = nullptr;
    bool piece = false;
    std::uint64_t blockOffset = 0; // of the whole long block
    std::uint64_t blockLength = 0;
    bool closesBlock = true; // the piece is the long block's last
};

// CutOff: bytes are left after the last complete record (a cut-off download or copy).
// Overlapping: two blocks share a byte, so the patch could never be undone. Damaged (large-file
// format): no end record, bytes after the checksum, a wrong checksum, or a block beyond the
// largest file there can be.
enum class ScanStatus { Valid, CutOff, Overlapping, Damaged };

class PatchReader {
  public:
    // Reads the patch `file` of `size` bytes, which must outlive the reader; every window comes
    // with its two sides exchanged when `reverse` is set.
    PatchReader(const platform::File& file, std::uint64_t size, bool reverse);
    PatchReader(const PatchReader&) = delete;
    PatchReader& operator=(const PatchReader&) = delete;

    // The first pass: the header, then (once the caller has shown the message) every block
    // record up to the end. A failed read is left for failed() to tell.
    HeaderStatus readHeader(PatchHeader& header);
    ScanStatus scanBlocks();

    // A later pass: restart() begins it and next() hands out its windows in order; false at the
    // end (the last window then stays as it was) or when the patch could not be read again or
    // changed (failed(), until the next pass begins). With `originalOnly`, the pieces of long
    // blocks carry only their original side (the other is zeros): what undoing a write needs,
    // without reading what it does not.
    void restart(bool originalOnly = false);
    bool next(PatchWindow& window);

    // A read failed or came up short, or the patch no longer holds what the first pass read.
    bool failed() const { return source_.failed || patchedSide_.failed; }
    // The latter.
    bool changed() const { return source_.changed || patchedSide_.changed; }
    std::uint64_t blockCount() const { return blockCount_; }
    // Recognises the patch's contents: the same for every copy of the same bytes.
    std::uint64_t identity() const;

  private:
    std::uint64_t scanLongBlock(std::size_t length);
    bool readHead(std::uint64_t& offset, std::size_t& length);
    bool isLong(std::size_t length) const;
    ScanStatus checkEnd();
    ScanStatus checkOverlap();
    bool nextPiece(PatchWindow& window);
    bool startLongBlock(std::uint64_t offset, std::size_t length, PatchWindow& window);

    std::uint64_t size_;
    bool reverse_;
    ChunkHashes chunks_;
    ByteSource source_;      // the records, in order
    ByteSource patchedSide_; // of a long block
    PatchFormat format_ = PatchFormat::First;
    std::uint64_t blocksStart_ = 0;
    std::uint64_t blocksEnd_ = 0; // where the records end: the end of the file, or the end record
    // The trimmed lengths of the long blocks, in patch order.
    std::vector<std::uint64_t> longLengths_;
    // All blocks, when they fit in one window; otherwise the window being handed out.
    BlockList held_;
    bool allHeld_ = true;
    bool ascending_ = true; // the non-empty blocks follow each other in ascending order
    std::uint64_t blockCount_ = 0;

    // Where the pass stands.
    bool started_ = false;
    bool originalOnly_ = false;
    std::size_t longIndex_ = 0;
    bool inLong_ = false;
    std::uint64_t longOffset_ = 0;
    std::uint64_t longLength_ = 0;
    std::uint64_t longDone_ = 0;
    std::uint64_t recordEnd_ = 0;
};
