#include "apply/patch_reader.h"

#include "patch/checksum.h"

#include <algorithm>
#include <cstring>

PatchReader::PatchReader(const platform::File& file, std::uint64_t size, bool reverse)
    : size_(size), reverse_(reverse), source_(checkedSourceFromFile(file, size, chunks_)),
      patchedSide_(checkedSourceFromFile(file, size, chunks_)) {
    // The second format's checksum covers every byte but its own.
    chunks_.checkpoint = size - std::min<std::uint64_t>(size, CHECKSUM_SIZE);
}

HeaderStatus PatchReader::readHeader(PatchHeader& header) {
    HeaderStatus status = readPatchHeader(source_, header);
    format_ = header.format;
    blocksEnd_ = format_ == PatchFormat::First ? size_ : chunks_.checkpoint;
#ifndef MORVANE_BENCH_NO_CHECKSUM
    // Only the second format carries a checksum of the whole file.
    chunks_.feeding = format_ == PatchFormat::Second;
#else
    chunks_.feeding = false;
#endif
    return status;
}

bool PatchReader::readHead(std::uint64_t& offset, std::size_t& length) {
    return readRecordHead(source_, format_, blocksEnd_, offset, length);
}

bool PatchReader::isLong(std::size_t length) const {
    return recordHeadSize(format_) + 2 * std::uint64_t(length) > PATCH_WINDOW;
}

// Reads a long block's record through, one side after the other, so that the first pass reads
// every chunk of the patch in order; returns the block's length without the trailing pairs
// whose two bytes are equal, compared from the end.
std::uint64_t PatchReader::scanLongBlock(std::size_t length) {
    std::uint64_t originalStart = source_.position;
    skipBytes(source_, 2 * std::uint64_t(length));
    std::vector<std::uint8_t> original(std::min(LONG_BLOCK_PIECE, length));
    std::vector<std::uint8_t> patched(original.size());
    std::uint64_t kept = 0;
    for (std::size_t end = length; end > 0 && kept == 0 && !failed();) {
        std::size_t count = std::min(LONG_BLOCK_PIECE, end);
        patchedSide_.position = originalStart + end - count;
        readBytes(patchedSide_, original.data(), count);
        patchedSide_.position += length - count;
        readBytes(patchedSide_, patched.data(), count);
        for (std::size_t i = count; i > 0 && kept == 0; --i) {
            if (original[i - 1] != patched[i - 1])
                kept = end - count + i;
        }
        end -= count;
    }
    return kept;
}

ScanStatus PatchReader::scanBlocks() {
    blocksStart_ = source_.position;
    std::uint64_t heldBytes = 0;
    std::uint64_t end = 0;
    bool ended = format_ == PatchFormat::First;
    while (source_.position < blocksEnd_) {
        std::uint64_t at = source_.position;
        std::uint64_t offset;
        std::size_t length;
        if (!readHead(offset, length))
            return ScanStatus::CutOff;
        if (format_ == PatchFormat::Second && offset == END_RECORD_OFFSET && length == 0) {
            blocksEnd_ = at;
            ended = true;
            break;
        }
        // No file holds a byte past the largest size, so no offset can wrap around.
        if (offset > LARGEST_FILE_SIZE || length > LARGEST_FILE_SIZE - offset)
            return ScanStatus::Damaged;
        heldBytes += recordHeadSize(format_) + 2 * std::uint64_t(length);
        if (isLong(length) || heldBytes > PATCH_WINDOW)
            allHeld_ = false;
        if (!allHeld_)
            held_.clear(); // only the record at hand
        std::uint64_t kept;
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
    if (!ended)
        return ScanStatus::Damaged;
    ScanStatus status = checkEnd();
    if (status != ScanStatus::Valid || failed())
        return status;
    if (!allHeld_)
        held_.clear();
    else if (reverse_)
        held_.swapSides();
    return ascending_ ? ScanStatus::Valid : checkOverlap();
}

// In the second format, the end record is followed by the checksum of every byte before it,
// and by nothing else.
ScanStatus PatchReader::checkEnd() {
    if (format_ == PatchFormat::First)
        return ScanStatus::Valid;
    source_.position = blocksEnd_ + recordHeadSize(format_);
    if (source_.position != chunks_.checkpoint)
        return ScanStatus::Damaged;
    std::uint64_t stored = readU64(source_);
#ifdef MORVANE_BENCH_NO_CHECKSUM
    return ScanStatus::Valid;
#else
    bool whole = chunks_.fed == size_;
    return whole && stored == chunks_.beforeCheckpoint ? ScanStatus::Valid : ScanStatus::Damaged;
#endif
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

void PatchReader::restart(bool originalOnly) {
    started_ = false;
    originalOnly_ = originalOnly;
    inLong_ = false;
    longIndex_ = 0;
    // Each pass reads afresh: a chunk that failed or changed fails again, the others read.
    for (ByteSource* source : {&source_, &patchedSide_}) {
        source->failed = false;
        source->changed = false;
    }
    source_.position = blocksStart_;
}

namespace {
// Reads `count` bytes of one side of a long block into `bytes`, or when it is not `wanted`,
// moves past them and gives zeros.
void readSide(ByteSource& source, std::uint8_t* bytes, std::size_t count, bool wanted) {
    if (wanted) {
        readBytes(source, bytes, count);
    } else {
        std::memset(bytes, 0, count);
        source.position += count;
    }
}
} // namespace

bool PatchReader::nextPiece(PatchWindow& window) {
    std::size_t count = static_cast<std::size_t>(
        std::min<std::uint64_t>(LONG_BLOCK_PIECE, longLength_ - longDone_));
    held_.clear();
    held_.openBlock(longOffset_ + longDone_);
    if (count > 0) {
        std::uint8_t* original;
        std::uint8_t* patched;
        held_.extendBlock(count, original, patched);
        // The file's old bytes, then its new ones; the run's original side is the new one when
        // it reverses the patch.
        readSide(source_, original, count, !originalOnly_ || !reverse_);
        readSide(patchedSide_, patched, count, !originalOnly_ || reverse_);
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
    if (source_.position >= blocksEnd_ || failed())
        return false;
    held_.clear();
    std::uint64_t used = 0;
    while (source_.position < blocksEnd_) {
        std::uint64_t at = source_.position;
        std::uint64_t offset;
        std::size_t length;
        // The chunks read are those the first pass checked, so a record that does not hold
        // together means the file failed to read.
        if (!readHead(offset, length) || source_.failed) {
            source_.failed = true;
            return false;
        }
        std::uint64_t recordSize = recordHeadSize(format_) + 2 * std::uint64_t(length);
        if (!held_.empty() && (isLong(length) || used + recordSize > PATCH_WINDOW)) {
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
