#include "create/change_collector.h"

#include <cstring>

namespace {

const std::size_t EQUAL_SPAN = 256;

std::uint64_t loadWord(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

void closeBlock(ChangeCollector& collector) {
    collector.blocks.closeBlock();
    collector.byteTotal += collector.blocks.lastLength();
    collector.insideBlock = false;
    collector.unchangedCount = 0;
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

std::size_t firstEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
    const std::uint64_t LOW = 0x0101010101010101u;
    const std::uint64_t HIGH = 0x8080808080808080u;
    std::size_t i = 0;
    // A word of differences with no zero byte holds no equal pair.
    while (count - i >= 8) {
        std::uint64_t difference = loadWord(a + i) ^ loadWord(b + i);
        if (((difference - LOW) & ~difference & HIGH) != 0)
            break;
        i += 8;
    }
    while (i < count && a[i] != b[i])
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
            collector.blocks.openBlock(position + i);
            collector.insideBlock = true;
            collector.unchangedCount = 0;
        }
        std::size_t j = i;
        if (original[i] != patched[i]) {
            while (j < count && original[j] != patched[j])
                ++j;
            collector.blocks.appendPairs(original + i, patched + i, j - i);
            collector.unchangedCount = 0;
        } else {
            std::size_t room = CHANGE_GAP_LIMIT - collector.unchangedCount;
            while (j < count && j - i < room && original[j] == patched[j])
                ++j;
            collector.unchangedCount += static_cast<unsigned>(j - i);
            // A run that closes the block would only be trimmed off again: it is not stored.
            // Pairs of the run stored from an earlier chunk are trimmed when the block closes.
            if (collector.unchangedCount == CHANGE_GAP_LIMIT) {
                closeBlock(collector);
            } else {
                collector.blocks.appendPairs(original + i, patched + i, j - i);
            }
        }
        i = j;
    }
}

void finishChanges(ChangeCollector& collector) {
    if (collector.insideBlock)
        closeBlock(collector);
}
