// Buffered sequential reading and writing over a platform file. The reader always knows how
// many bytes are left, so a length read from a file can be checked before anything is
// allocated for it.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ByteSource {
    platform::File file;    // none when the bytes are all in `buffer`
    std::uint64_t size = 0; // total bytes of the source
    std::uint64_t position = 0;
    std::vector<std::uint8_t> buffer;
    std::uint64_t bufferStart = 0; // source position of buffer[0]
};

// A source over an open file of known size; the file stays owned by the caller.
ByteSource sourceFromFile(const platform::File& file, std::uint64_t size);
// A source over bytes held in memory.
ByteSource sourceFromBytes(const std::uint8_t* data, std::size_t count);

inline std::uint64_t remaining(const ByteSource& source) {
    return source.size - source.position;
}

// Reads up to `count` bytes; returns how many were delivered (fewer only at the end).
std::size_t readBytes(ByteSource& source, void* data, std::size_t count);

struct ByteSink {
    platform::File file;
    std::vector<std::uint8_t> buffer;
    bool failed = false;
};

ByteSink sinkToFile(const platform::File& file);
void writeBytes(ByteSink& sink, const void* data, std::size_t count);
// Writes out what is buffered; false when any write of the sink has failed.
bool flushSink(ByteSink& sink);
