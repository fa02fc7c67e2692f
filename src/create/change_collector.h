// Groups the differences between two equal-sized byte streams into change blocks. Changed
// bytes less than CHANGE_GAP_LIMIT unchanged bytes apart share a block; the unchanged bytes
// between them are stored in both sides. The streams are fed in chunks of any size and the
// result is the same as comparing them one byte at a time.
#pragma once

#include <cstddef>
#include <cstdint>

const unsigned CHANGE_GAP_LIMIT = 8;

// Index of the first position at which the two spans differ, or `count` when they are equal.
std::size_t firstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// Index of the first position at which the two spans hold the same byte, or `count`.
std::size_t firstEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// Finds the blocks without keeping their bytes: each is reported as it closes, by its offset and
// length.
struct ChangeScan {
    bool insideBlock = false;
    std::uint64_t blockStart = 0;
    std::uint64_t changedEnd = 0; // just after the block's last changed byte
};

template <typename Report>
void scanChanges(ChangeScan& scan, const std::uint8_t* original, const std::uint8_t* patched,
                 std::size_t count, std::uint64_t position, Report report) {
    std::size_t i = 0;
    while (i < count) {
        if (!scan.insideBlock) {
            i += firstDifference(original + i, patched + i, count - i);
            if (i == count)
                break;
            scan.insideBlock = true;
            scan.blockStart = position + i;
        }
        if (original[i] != patched[i]) {
            i += firstEqual(original + i, patched + i, count - i);
            scan.changedEnd = position + i;
            continue;
        }
        std::size_t room =
            static_cast<std::size_t>(CHANGE_GAP_LIMIT - (position + i - scan.changedEnd));
        std::size_t equal =
            firstDifference(original + i, patched + i, room < count - i ? room : count - i);
        i += equal;
        if (equal == room) {
            scan.insideBlock = false;
            report(scan.blockStart, scan.changedEnd - scan.blockStart);
        }
    }
}

template <typename Report> void finishScan(ChangeScan& scan, Report report) {
    if (scan.insideBlock) {
        scan.insideBlock = false;
        report(scan.blockStart, scan.changedEnd - scan.blockStart);
    }
}
