#include "create/change_collector.h"

#include <algorithm>
#include <cstring>

namespace {

const std::size_t EQUAL_SPAN = 256;

std::uint64_t loadWord(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

void closeBlock(ChangeCollector& collector) {
    collector.blocks.append(collector.working);
    const PatchBlock& stored = *(collector.blocks.end() - 1);
    collector.byteTotal += stored.length();
    collector.insideBlock = false;
    collector.unchangedCount = 0;
}

// Grows the block's storage geometrically, but never beyond what the rest of the stream can
// fill, so one long block does not cost twice its size.
void reserveFor(ChangeCollector& collector, std::size_t extra) {
    Bytes& original = collector.working.originalBytes;
    std::size_t needed = original.size() + extra;
    if (needed <= original.capacity())
        return;
    std::size_t wanted = std::max(needed, original.capacity() * 2);
    if (collector.streamSize > collector.working.offset) {
        std::uint64_t most = collector.streamSize - collector.working.offset;
        if (wanted > most)
            wanted = static_cast<std::size_t>(std::max<std::uint64_t>(most, needed));
    }
    original.reserve(wanted);
    collector.working.patchedBytes.reserve(wanted);
}

void appendPairs(ChangeCollector& collector, const std::uint8_t* original,
                 const std::uint8_t* patched, std::size_t count) {
    reserveFor(collector, count);
    collector.working.appendPairs(original, patched, count);
}

} // namespace

std::size_t firstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
    std::size_t i = 0;
    while (count - i >= EQUAL_SPAN && std::memcmp(a + i, b + i, EQUAL_SPAN) == 0)
        i += EQUAL_SPAN;
    while (count - i >= 8 && loadWord(a + i) == loadWord(b + i))
        i += 8;
    while (i < count && a[i] == b[i])
        ++i;
    return i;
}

void collectChanges(ChangeCollector& collector, const std::uint8_t* original,
                    const std::uint8_t* patched, std::size_t count, std::uint64_t position) {
    std::size_t i = 0;
    while (i < count) {
        if (!collector.insideBlock) {
            i += firstDifference(original + i, patched + i, count - i);
            if (i == count)
                break;
            collector.working.offset = static_cast<std::uint32_t>(position + i);
            collector.insideBlock = true;
            collector.unchangedCount = 0;
        }
        std::size_t j = i;
        if (original[i] != patched[i]) {
            while (j < count && original[j] != patched[j])
                ++j;
            appendPairs(collector, original + i, patched + i, j - i);
            collector.unchangedCount = 0;
        } else {
            std::size_t room = CHANGE_GAP_LIMIT - collector.unchangedCount;
            while (j < count && j - i < room && original[j] == patched[j])
                ++j;
            appendPairs(collector, original + i, patched + i, j - i);
            collector.unchangedCount += static_cast<unsigned>(j - i);
            if (collector.unchangedCount == CHANGE_GAP_LIMIT)
                closeBlock(collector);
        }
        i = j;
    }
}

void finishChanges(ChangeCollector& collector) {
    if (collector.insideBlock)
        closeBlock(collector);
}
