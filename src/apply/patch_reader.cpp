#include "apply/patch_reader.h"

#include "patch/checksum.h"

#include <algorithm>

namespace {

bool isLong(std::size_t length) {
    return 8 + 2 * std::uint64_t(length) > PATCH_WINDOW_SIZE;
}

} // namespace

PatchReader::PatchReader(const platform::File& file, std::uint64_t size, bool reverse)
    : file_(&file), size_(size), reverse_(reverse),
      source_(checkedSourceFromFile(file, size, chunks_)),
      patchedSide_(checkedSourceFromFile(file, size, chunks_)) {}

HeaderStatus PatchReader::readHeader(PatchHeader& header) {
    return readPatchHeader(source_, header);
}

// Reads both sides of a long block, piece by piece; returns its length without the trailing
// pairs whose two bytes are equal, and leaves the source after the record.
std::uint64_t PatchReader::scanLongBlock(std::size_t length) {
    std::vector<std::uint8_t> original(std::min(LONG_BLOCK_PIECE, length));
    std::vector<std::uint8_t> patched(original.size());
    patchedSide_.position = source_.position + length;
    std::uint64_t kept = 0;
    for (std::size_t done = 0; done < length && !failed();) {
        std::size_t count = std::min(LONG_BLOCK_PIECE, length - done);
        readBytes(source_, original.data(), count);
        readBytes(patchedSide_, patched.data(), count);
        for (std::size_t i = count; i > 0; --i) {
            if (original[i - 1] != patched[i - 1]) {
                kept = done + i;
                break;
            }
        }
        done += count;
    }
    source_.position = patchedSide_.position;
    return kept;
}

ScanStatus PatchReader::scanBlocks() {
    blocksStart_ = source_.position;
    std::uint64_t heldBytes = 0;
    std::uint64_t end = 0;
    while (remaining(source_) != 0) {
        std::uint64_t offset;
        std::size_t length;
        if (!readRecordHead(source_, offset, length))
            return ScanStatus::CutOff;
        std::uint64_t kept;
        heldBytes += 8 + 2 * std::uint64_t(length);
        if (isLong(length) || heldBytes > PATCH_WINDOW_SIZE)
            allHeld_ = false;
        if (!allHeld_)
            held_.clear(); // only the record at hand
        if (isLong(length)) {
            kept = scanLongBlock(length);
            longLengths_.push_back(kept);
        } else {
            readRecordInto(source_, held_, offset, length);
            kept = held_.lastLength();
        }
        if (failed())
            return ScanStatus::Valid; // the caller reports the read error
        ++blockCount_;
        if (kept != 0 && ascending_) {
            ascending_ = offset >= end;
            end = offset + kept;
        }
    }
    if (!allHeld_)
        held_.clear();
    else if (reverse_)
        held_.swapSides();
    return ascending_ ? ScanStatus::Valid : checkOverlap();
}

// Blocks out of order are checked for a shared byte once all are read: held ones in place,
// others at 16 bytes each, gathered in a pass of their own.
ScanStatus PatchReader::checkOverlap() {
    if (allHeld_)
        return blocksAreDisjoint(held_) ? ScanStatus::Valid : ScanStatus::Overlapping;
    GrowableArray<BlockRange> ranges;
    restart();
    PatchWindow window;
    while (next(window)) {
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
    if (failed())
        return ScanStatus::Valid; // the caller reports the read error
    return rangesAreDisjoint(ranges) ? ScanStatus::Valid : ScanStatus::Overlapping;
}

void PatchReader::restart() {
    started_ = false;
    inLong_ = false;
    longIndex_ = 0;
    // Each pass reads afresh: a chunk that failed or changed fails again, the others read.
    for (ByteSource* source : {&source_, &patchedSide_}) {
        source->failed = false;
        source->changed = false;
    }
    source_.position = blocksStart_;
}

bool PatchReader::nextPiece(PatchWindow& window) {
    std::size_t count = static_cast<std::size_t>(
        std::min<std::uint64_t>(LONG_BLOCK_PIECE, longLength_ - longDone_));
    held_.clear();
    held_.openBlock(longOffset_ + longDone_);
    if (count > 0) {
        std::uint8_t* original;
        std::uint8_t* patched;
        held_.extendBlock(count, original, patched);
        readBytes(source_, original, count);
        readBytes(patchedSide_, patched, count);
    }
    longDone_ += count;
    window = PatchWindow();
    window.blocks = &held_;
    window.piece = true;
    window.blockOffset = longOffset_;
    window.blockLength = longLength_;
    window.closesBlock = longDone_ == longLength_;
    if (window.closesBlock) {
        inLong_ = false;
        source_.position = recordEnd_;
    }
    if (reverse_)
        held_.swapSides();
    return !failed();
}

bool PatchReader::startLongBlock(std::uint64_t offset, std::size_t length, PatchWindow& window) {
    if (longIndex_ >= longLengths_.size()) {
        source_.failed = true;
        return false;
    }
    inLong_ = true;
    longOffset_ = offset;
    longLength_ = longLengths_[longIndex_++];
    longDone_ = 0;
    patchedSide_.position = source_.position + length;
    recordEnd_ = patchedSide_.position + length;
    return nextPiece(window);
}

bool PatchReader::next(PatchWindow& window) {
    if (allHeld_) {
        if (started_)
            return false;
        started_ = true;
        window = PatchWindow();
        window.blocks = &held_;
        return true;
    }
    if (inLong_)
        return nextPiece(window);
    if (remaining(source_) == 0 || failed())
        return false;
    held_.clear();
    std::uint64_t used = 0;
    while (remaining(source_) != 0) {
        std::uint64_t at = source_.position;
        std::uint64_t offset;
        std::size_t length;
        // The chunks read are those the first pass checked, so a record that does not hold
        // together means the file failed to read.
        if (!readRecordHead(source_, offset, length) || source_.failed) {
            source_.failed = true;
            return false;
        }
        std::uint64_t recordSize = 8 + 2 * std::uint64_t(length);
        if (!held_.empty() && (isLong(length) || used + recordSize > PATCH_WINDOW_SIZE)) {
            source_.position = at;
            break;
        }
        if (isLong(length))
            return startLongBlock(offset, length, window);
        used += recordSize;
        readRecordInto(source_, held_, offset, length);
        if (source_.failed)
            return false;
    }
    if (reverse_)
        held_.swapSides();
    window = PatchWindow();
    window.blocks = &held_;
    return true;
}

std::uint64_t PatchReader::identity() const {
    return checksumOf(chunks_.hashes.data(), chunks_.hashes.size() * sizeof(std::uint64_t));
}
