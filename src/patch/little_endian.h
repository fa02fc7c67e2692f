// The patch format, the trailer and the PE headers store their integers least significant
// byte first.
#pragma once

#include <cstdint>

inline std::uint32_t loadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void storeLe32(std::uint8_t* bytes, std::uint32_t value) {
    for (int k = 0; k < 4; ++k)
        bytes[k] = static_cast<std::uint8_t>(value >> (8 * k));
}
