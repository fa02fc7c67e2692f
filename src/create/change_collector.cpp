#include "create/change_collector.h"

#include <cstring>

namespace {

const std::size_t EQUAL_SPAN = 256;

std::uint64_t loadWord(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
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
