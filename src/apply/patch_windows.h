// A patch file read in windows of blocks, so that no run holds more than a window of a patch
// in memory. The first pass reads the whole patch once and keeps a hash of every chunk of the
// file; every later pass reads it again in windows and fails when any chunk changed since.
#pragma once

#include "patch/byte_stream.h"
#include "patch/patch_block.h"
#include "platform/platform.h"

#include <cstdint>
#include <vector>

// Blocks are read in windows of up to this many patch bytes. A block whose record is larger
// is a long block and is read in pieces of LONG_BLOCK_PIECE bytes of each side.
const std::uint64_t PATCH_WINDOW_SIZE = 4 * 1024 * 1024;
const std::size_t LONG_BLOCK_PIECE = 1024 * 1024;

// The error line of a patch file that cannot be read, or that changed while it was read again.
const char* const PATCH_READ_FAILURE = "Could not read patch file";

struct PatchReading {
    const platform::File* file = nullptr;
    std::uint64_t size = 0;
    std::uint64_t blocksStart = 0; // where the first block record begins
    ChunkHashes chunks;
    // The trimmed lengths of the long blocks, in patch order.
    std::vector<std::uint64_t> longLengths;
    // All blocks, when they fit one window; the passes then read nothing again.
    BlockList held;
    bool allHeld = true;
    bool ascending = true; // the non-empty blocks follow each other in ascending order
    std::uint64_t blockCount = 0;
};

// The first pass over the block records, from the position of `source` (a checked source over
// the reading's file, see checkedSourceFromFile) to the end. CutOff and Overlapping as for
// collectBlocks; a failed source is left for the caller to report.
enum class ScanStatus { Valid, CutOff, Overlapping };
ScanStatus scanBlocks(ByteSource& source, PatchReading& reading);

// One window: whole blocks, or one piece of a long block.
struct PatchWindow {
    BlockList* blocks = nullptr;
    bool piece = false;
    std::uint64_t blockOffset = 0; // of the whole long block
    std::uint64_t blockLength = 0;
    bool closesBlock = true; // the piece is the long block's last
};

// Reads the windows of a scanned patch in order; `reverse` gives every window with its sides
// exchanged (the held blocks are exchanged by the caller).
struct WindowReader {
    PatchReading* reading = nullptr;
    bool reverse = false;
    ByteSource source;
    ByteSource patchedSide; // of a long block
    BlockList storage;
    bool started = false;
    std::size_t longIndex = 0;
    bool inLong = false;
    std::uint64_t longOffset = 0;
    std::uint64_t longLength = 0;
    std::uint64_t longDone = 0;
    std::uint64_t recordEnd = 0;
};

WindowReader readWindows(PatchReading& reading, bool reverse);
// The next window; false at the end (the last window is then left as it was), or when the
// patch could not be read again or changed (`windowsFailed`).
bool nextWindow(WindowReader& reader, PatchWindow& window);
inline bool windowsFailed(const WindowReader& reader) {
    return reader.source.failed || reader.patchedSide.failed;
}
