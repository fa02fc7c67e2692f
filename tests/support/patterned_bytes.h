// Test data: bytes of one fixed pattern, in which neighbouring bytes always differ and no
// stretch repeats at a short period, so that a byte read from the wrong place shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// `count` bytes of the pattern, starting `from` bytes into it: the bytes that a file made of the
// pattern holds at offset `from`.
inline std::string patternedBytes(std::size_t count, std::uint64_t from = 0) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t at = from + i;
        bytes[i] = static_cast<char>((at * 131 + at / 251 + 7) & 0xFF);
    }
    return bytes;
}
