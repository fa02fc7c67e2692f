// Buffered sequential reading and writing over a platform file. The reader always knows how
// many bytes are left, so a length read from a file can be checked before anything is
// allocated for it.
#pragma once

#include "patch/checksum.h"
#include "patch/sizes.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A file read in checked chunks: each aligned chunk of CHECKED_CHUNK bytes is hashed when
// it is first read, and every later read of it must find the same bytes again. Chunks first read
// in order also give the checksum of the whole file, and of its bytes before `checkpoint`.
struct ChunkHashes {
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint8_t> known;
    bool feeding = true; // whether chunks are still added to `whole`
    RunningChecksum whole;
    std::uint64_t fed = 0; // bytes in `whole`
    std::uint64_t checkpoint = 0;
    std::uint64_t beforeCheckpoint = 0; // the checksum of the bytes before it, once fed
};

struct ByteSource {
    const platform::File* file = nullptr; // none when the bytes are all in `buffer`
    std::uint64_t size = 0;               // total bytes of the source
    std::uint64_t position = 0;
    std::vector<std::uint8_t> buffer;
    std::uint64_t bufferStart = 0; // source position of buffer[0]
    // The file could not be read, or held fewer bytes than its size said.
    bool failed = false;
    // With `chunks`, the file is only ever read in whole checked chunks; a chunk that no longer
    // holds what it held when first read fails the source and sets `changed`.
    ChunkHashes* chunks = nullptr;
    bool changed = false;
};

// A source over an open file of known size; the file stays owned by the caller and must
// outlive the source.
ByteSource sourceFromFile(const platform::File& file, std::uint64_t size);
// A source over a file read in checked chunks; `chunks` must outlive the source and is sized
// for the file on first use.
ByteSource checkedSourceFromFile(const platform::File& file, std::uint64_t size,
                                 ChunkHashes& chunks);
// A source over bytes held in memory.
ByteSource sourceFromBytes(const std::uint8_t* data, std::size_t count);

inline std::uint64_t remaining(const ByteSource& source) {
    return source.size - source.position;
}

// Reads up to `count` bytes; returns how many were delivered (fewer only at the end, or when
// the source has failed).
std::size_t readBytes(ByteSource& source, void* data, std::size_t count);
// Moves `count` bytes on (at most to the end), reading every byte on the way as readBytes would,
// without copying them anywhere.
void skipBytes(ByteSource& source, std::uint64_t count);

// Reads the source from its position to its end in pieces of up to 64 KiB and hands each to
// `take(bytes, count, offset)`, which may change the bytes; false when the source failed (a
// file shorter than its size included) or `take` returned false.
template <typename Take> bool readInPieces(ByteSource& source, Take take) {
    std::vector<std::uint8_t> piece(COPY_PIECE);
    while (remaining(source) > 0) {
        std::uint64_t offset = source.position;
        std::size_t got = readBytes(source, piece.data(), piece.size());
        if (source.failed || got == 0 || !take(piece.data(), got, offset))
            return false;
    }
    return true;
}

class RunningChecksum;

struct ByteSink {
    const platform::File* file = nullptr; // none: the sink keeps everything in `buffer`
    std::vector<std::uint8_t> buffer;
    bool failed = false;
    std::uint64_t position = 0; // bytes given to the sink so far
    // Writes go to the file at their offsets (the sink's first byte at the file's first), so
    // that writes and reads elsewhere in the file never move them; `written` bytes are out.
    bool positioned = false;
    std::uint64_t written = 0;
    // When set, sees every byte given to the sink, in order (so a checksum costs no second pass).
    RunningChecksum* checksum = nullptr;
};

// A sink over an open file owned by the caller, which must outlive the sink.
ByteSink sinkToFile(const platform::File& file);
void writeBytes(ByteSink& sink, const void* data, std::size_t count);
// Puts `count` bytes in place of those given to the sink at `at`, whether they are still in its
// buffer or already in its file (whose first byte the sink gave). The checksum does not see them.
void overwriteAt(ByteSink& sink, std::uint64_t at, const void* data, std::size_t count);
// Writes out what is buffered; false when any write of the sink has failed.
bool flushSink(ByteSink& sink);
