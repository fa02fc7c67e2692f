// Linux executables (ELF files): where the parts of the file that the headers describe end, so
// that bytes appended behind them can be told apart from the program.
#pragma once

#include "patch/byte_stream.h"

#include <cstdint>

// True when the file behind `source` is a little-endian ELF file (32- or 64-bit) whose header
// tables lie in the file; `end` then receives the furthest end of the file ranges of its program
// headers, of its sections (those that take room in the file) and of its section header table,
// each bounded by the file's size.
bool findElfImageEnd(ByteSource& source, std::uint64_t& end);
