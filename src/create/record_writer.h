// Writes the records of a patch while the two files are compared a window at a time, so that
// each file is read once. A block goes out when it closes, from the windows in hand and the
// bytes of earlier windows kept for it. A block that outgrows what is kept goes out as it is
// found: its head first, its length filled in when it closes, then its old bytes as they are
// compared; its new bytes are read again from the patched file once it has closed.
#pragma once

#include "create/change_collector.h"
#include "patch/byte_stream.h"
#include "patch/patch_format.h"
#include "patch/sizes.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct RecordWriter {
    PatchFormat format = PatchFormat::First;
    // Where the records go; none while the blocks are only counted. Only a positioned sink over
    // a file takes a block as it is found; with a checksum that file must be readable, since
    // the checksum sees the block's bytes once its head is known.
    ByteSink* sink = nullptr;
    const platform::File* patched = nullptr;
    // The most bytes of either side kept for a block open across windows.
    std::size_t keepLimit = OPEN_BLOCK_PIECE;

    ChangeScan scan;
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;
    // The open block's old bytes from `keptFrom` to the end of the last window, and its new bytes
    // too unless it is written as found.
    std::vector<std::uint8_t> kept[2];
    std::uint64_t keptFrom = 0;
    bool asFound = false;
    std::uint64_t headAt = 0;          // where the head of the block written as found is
    RunningChecksum* paused = nullptr; // the sink's checksum, while such a head is unknown
};

// Finds the blocks in the next window of both files and writes those that close in it.
void writeClosedBlocks(RecordWriter& writer, const std::uint8_t* original,
                       const std::uint8_t* patched, std::size_t count, std::uint64_t position);
// True when the block open at the end of the window outgrows what is kept, and will be written
// as found.
bool outgrowsKeeping(const RecordWriter& writer, std::size_t count, std::uint64_t position);
// Keeps, or writes as found, the bytes of the block still open at the end of the window.
void keepOpenBlock(RecordWriter& writer, const std::uint8_t* original, const std::uint8_t* patched,
                   std::size_t count, std::uint64_t position);
// The bytes from `position` on, at least CHANGE_GAP_LIMIT of them, are equal in both files and
// are not read (holes in both): a block open before them closes.
void skipEqual(RecordWriter& writer, std::uint64_t position);
// Closes the block still open at the end of the files, `end` bytes long.
void finishRecords(RecordWriter& writer, std::uint64_t end);
