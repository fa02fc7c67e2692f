#include "apply/patch_windows.h"

#include "patch/patch_format.h"

#include <algorithm>

namespace {

bool isLong(std::size_t length) {
    return 8 + 2 * std::uint64_t(length) > PATCH_WINDOW_SIZE;
}

// Reads both sides of a long block, piece by piece; returns its length without the trailing
// pairs whose two bytes are equal, and leaves the source after the record.
std::uint64_t scanLongBlock(ByteSource& source, ByteSource& patchedSide, std::size_t length) {
    std::vector<std::uint8_t> original(std::min(LONG_BLOCK_PIECE, length));
    std::vector<std::uint8_t> patched(original.size());
    patchedSide.position = source.position + length;
    std::size_t kept = 0;
    for (std::size_t done = 0; done < length;) {
        std::size_t count = std::min(LONG_BLOCK_PIECE, length - done);
        readBytes(source, original.data(), count);
        readBytes(patchedSide, patched.data(), count);
        if (source.failed || patchedSide.failed)
            break;
        for (std::size_t i = count; i > 0; --i) {
            if (original[i - 1] != patched[i - 1]) {
                kept = done + i;
                break;
            }
        }
        done += count;
    }
    source.position = patchedSide.position;
    source.failed = source.failed || patchedSide.failed;
    source.changed = source.changed || patchedSide.changed;
    return kept;
}

bool nextPiece(WindowReader& reader, PatchWindow& window) {
    std::size_t count = static_cast<std::size_t>(
        std::min<std::uint64_t>(LONG_BLOCK_PIECE, reader.longLength - reader.longDone));
    BlockList& blocks = reader.storage;
    blocks.clear();
    blocks.openBlock(reader.longOffset + reader.longDone);
    if (count > 0) {
        std::uint8_t* original;
        std::uint8_t* patched;
        blocks.extendBlock(count, original, patched);
        readBytes(reader.source, original, count);
        readBytes(reader.patchedSide, patched, count);
    }
    reader.longDone += count;
    window.blocks = &blocks;
    window.piece = true;
    window.blockOffset = reader.longOffset;
    window.blockLength = reader.longLength;
    window.closesBlock = reader.longDone == reader.longLength;
    if (window.closesBlock) {
        reader.inLong = false;
        reader.source.position = reader.recordEnd;
    }
    if (reader.reverse)
        blocks.swapSides();
    return !windowsFailed(reader);
}

} // namespace

ScanStatus scanBlocks(ByteSource& source, PatchReading& reading) {
    reading.file = source.file;
    reading.size = source.size;
    reading.blocksStart = source.position;
    ByteSource patchedSide = checkedSourceFromFile(*source.file, source.size, *source.chunks);
    BlockList& held = reading.held;
    std::uint64_t heldBytes = 0;
    std::uint64_t end = 0;
    while (remaining(source) != 0) {
        std::uint64_t offset;
        std::size_t length;
        if (!readRecordHead(source, offset, length))
            return ScanStatus::CutOff;
        std::uint64_t kept;
        if (isLong(length)) {
            reading.allHeld = false;
            held.clear();
            kept = scanLongBlock(source, patchedSide, length);
            reading.longLengths.push_back(kept);
        } else {
            heldBytes += 8 + 2 * std::uint64_t(length);
            if (heldBytes > PATCH_WINDOW_SIZE)
                reading.allHeld = false;
            if (!reading.allHeld)
                held.clear();
            readRecordInto(source, held, offset, length);
            kept = held.lastLength();
        }
        if (source.failed)
            return ScanStatus::Valid; // the caller reports the read error
        ++reading.blockCount;
        if (kept != 0 && reading.ascending) {
            if (offset < end)
                reading.ascending = false;
            end = std::uint64_t(offset) + kept;
        }
    }
    if (!reading.allHeld)
        held.clear();
    if (reading.ascending)
        return ScanStatus::Valid;
    if (reading.allHeld)
        return blocksAreDisjoint(held) ? ScanStatus::Valid : ScanStatus::Overlapping;
    // Blocks out of order cost the check 8 bytes each, gathered in a pass of their own.
    GrowableArray<BlockRange> ranges;
    WindowReader reader = readWindows(reading, false);
    PatchWindow window;
    while (nextWindow(reader, window)) {
        if (window.piece) {
            if (window.closesBlock && window.blockLength != 0)
                ranges.push_back(BlockRange{window.blockOffset, window.blockLength});
            continue;
        }
        for (const PatchBlock& block : *window.blocks) {
            if (block.length() != 0)
                ranges.push_back(BlockRange{block.offset, block.size});
        }
    }
    if (windowsFailed(reader)) {
        source.failed = true;
        return ScanStatus::Valid;
    }
    return rangesAreDisjoint(ranges) ? ScanStatus::Valid : ScanStatus::Overlapping;
}

WindowReader readWindows(PatchReading& reading, bool reverse) {
    WindowReader reader;
    reader.reading = &reading;
    reader.reverse = reverse;
    if (!reading.allHeld) {
        reader.source = checkedSourceFromFile(*reading.file, reading.size, reading.chunks);
        reader.source.position = reading.blocksStart;
        reader.patchedSide = checkedSourceFromFile(*reading.file, reading.size, reading.chunks);
    }
    return reader;
}

bool nextWindow(WindowReader& reader, PatchWindow& window) {
    PatchReading& reading = *reader.reading;
    if (reading.allHeld) {
        if (reader.started)
            return false;
        reader.started = true;
        window = PatchWindow();
        window.blocks = &reading.held;
        return true;
    }
    if (reader.inLong)
        return nextPiece(reader, window);
    if (remaining(reader.source) == 0 || windowsFailed(reader))
        return false;
    BlockList& blocks = reader.storage;
    blocks.clear();
    std::uint64_t used = 0;
    while (remaining(reader.source) != 0) {
        std::uint64_t at = reader.source.position;
        std::uint64_t offset;
        std::size_t length;
        // The chunks read are those the first pass checked, so a record that does not hold
        // together means the file failed to read.
        if (!readRecordHead(reader.source, offset, length) || reader.source.failed) {
            reader.source.failed = true;
            return false;
        }
        if (isLong(length)) {
            if (!blocks.empty()) {
                reader.source.position = at;
                break;
            }
            if (reader.longIndex >= reading.longLengths.size()) {
                reader.source.failed = true;
                return false;
            }
            reader.inLong = true;
            reader.longOffset = offset;
            reader.longLength = reading.longLengths[reader.longIndex++];
            reader.longDone = 0;
            reader.patchedSide.position = reader.source.position + length;
            reader.recordEnd = reader.patchedSide.position + length;
            return nextPiece(reader, window);
        }
        std::uint64_t recordSize = 8 + 2 * std::uint64_t(length);
        if (!blocks.empty() && used + recordSize > PATCH_WINDOW_SIZE) {
            reader.source.position = at;
            break;
        }
        used += recordSize;
        readRecordInto(reader.source, blocks, offset, length);
        if (reader.source.failed)
            return false;
    }
    if (reader.reverse)
        blocks.swapSides();
    window = PatchWindow();
    window.blocks = &blocks;
    return true;
}
