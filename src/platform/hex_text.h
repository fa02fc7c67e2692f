// Hexadecimal numbers in names and lines, made without the printf family, which would bring its
// whole machinery into the Windows program (and a dense patch prints millions of lines).
#pragma once

#include <cstddef>
#include <cstdint>

// Writes `value` at `out` in at least `width` digits (zeros in front), more when it needs them;
// returns how many were written (at most 16).
inline std::size_t writeHex(char* out, std::uint64_t value, int width, bool upperCase = false) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    int count = 1;
    while (count < 16 && (value >> (4 * count)) != 0)
        ++count;
    if (count < width)
        count = width;
    for (int at = count - 1; at >= 0; --at, value >>= 4)
        out[at] = digits[value & 0xF];
    return static_cast<std::size_t>(count);
}
