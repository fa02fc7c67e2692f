#include "create/change_collector.h"

#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
#ifdef __SSE2__
    // A long changed run is scanned 64 bytes at a time.
    while (count - i >= 64) {
        __m128i equal = _mm_setzero_si128();
        for (int k = 0; k < 4; ++k)
            equal = _mm_or_si128(
                equal,
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 16 * k)),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 16 * k))));
        if (_mm_movemask_epi8(equal) != 0)
            break;
        i += 64;
    }
#endif
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
