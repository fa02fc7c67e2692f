#include "patch/byte_stream.h"

#include "patch/checksum.h"

#include <algorithm>
#include <cstring>

namespace {} // namespace

ByteSource sourceFromFile(const platform::File& file, std::uint64_t size) {
    ByteSource source;
    source.file = &file;
    source.size = size;
    return source;
}

ByteSource checkedSourceFromFile(const platform::File& file, std::uint64_t size,
                                 ChunkHashes& chunks) {
    ByteSource source = sourceFromFile(file, size);
    source.chunks = &chunks;
    std::size_t count = static_cast<std::size_t>((size + CHECKED_CHUNK - 1) / CHECKED_CHUNK);
    if (chunks.hashes.size() != count) {
        chunks.hashes.assign(count, 0);
        chunks.known.assign(count, 0);
    }
    return source;
}

namespace {
// Adds a chunk first read to the checksum of the whole file, when every chunk before it is in.
void feedChecksum(ChunkHashes& chunks, std::uint64_t start, const std::uint8_t* bytes,
                  std::size_t count) {
    if (!chunks.feeding || start != chunks.fed)
        return;
    if (start <= chunks.checkpoint && chunks.checkpoint <= start + count) {
        std::size_t before = static_cast<std::size_t>(chunks.checkpoint - start);
        chunks.whole.add(bytes, before);
        chunks.beforeCheckpoint = chunks.whole.value();
        chunks.whole.add(bytes + before, count - before);
    } else {
        chunks.whole.add(bytes, count);
    }
    chunks.fed += count;
}

// Fills the buffer with the whole chunk that holds the source's position.
void loadChunk(ByteSource& source) {
    std::uint64_t index = source.position / CHECKED_CHUNK;
    std::uint64_t start = index * CHECKED_CHUNK;
    std::size_t fill =
        static_cast<std::size_t>(std::min<std::uint64_t>(CHECKED_CHUNK, source.size - start));
    source.buffer.resize(fill);
    platform::ReadResult got = platform::readAt(*source.file, start, source.buffer.data(), fill);
    source.bufferStart = start;
    if (got.failed || got.count < fill) {
        source.buffer.clear();
        source.failed = true;
        return;
    }
    std::uint64_t hash = checksumOf(source.buffer.data(), fill);
    ChunkHashes& chunks = *source.chunks;
    if (chunks.known[index] && chunks.hashes[index] != hash) {
        source.buffer.clear();
        source.failed = true;
        source.changed = true;
        return;
    }
    chunks.hashes[index] = hash;
    chunks.known[index] = 1;
    feedChecksum(chunks, start, source.buffer.data(), fill);
}
} // namespace

ByteSource sourceFromBytes(const std::uint8_t* data, std::size_t count) {
    ByteSource source;
    source.size = count;
    source.buffer.assign(data, data + count);
    return source;
}

std::size_t readBytes(ByteSource& source, void* data, std::size_t count) {
    std::uint8_t* out = static_cast<std::uint8_t*>(data);
    std::size_t delivered = 0;
    while (delivered < count && source.position < source.size) {
        std::uint64_t bufferEnd = source.bufferStart + source.buffer.size();
        if (source.position >= source.bufferStart && source.position < bufferEnd) {
            std::size_t at = static_cast<std::size_t>(source.position - source.bufferStart);
            std::size_t piece = std::min(count - delivered, source.buffer.size() - at);
            std::memcpy(out + delivered, source.buffer.data() + at, piece);
            delivered += piece;
            source.position += piece;
            continue;
        }
        if (source.file == nullptr || source.failed)
            break;
        if (source.chunks != nullptr) {
            loadChunk(source);
            continue;
        }
        std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(count - delivered, remaining(source)));
        if (wanted >= READ_BUFFER) {
            // Large fields go straight to their destination.
            platform::ReadResult got =
                platform::readAt(*source.file, source.position, out + delivered, wanted);
            delivered += got.count;
            source.position += got.count;
            if (got.failed || got.count < wanted)
                source.failed = true;
            continue;
        }
        std::size_t grown =
            std::min(READ_BUFFER, std::max(FIRST_READ_BUFFER, 2 * source.buffer.size()));
        std::size_t fill =
            static_cast<std::size_t>(std::min<std::uint64_t>(grown, remaining(source)));
        source.buffer.resize(fill);
        platform::ReadResult got =
            platform::readAt(*source.file, source.position, source.buffer.data(), fill);
        source.buffer.resize(got.count);
        source.bufferStart = source.position;
        if (got.failed || got.count < fill)
            source.failed = true;
    }
    return delivered;
}

void skipBytes(ByteSource& source, std::uint64_t count) {
    std::uint64_t end = source.position + std::min(count, remaining(source));
    while (source.position < end && !source.failed) {
        std::uint64_t bufferEnd = source.bufferStart + source.buffer.size();
        if (source.position >= source.bufferStart && source.position < bufferEnd) {
            source.position = std::min(end, bufferEnd);
        } else if (source.chunks != nullptr && source.file != nullptr) {
            loadChunk(source);
        } else {
            std::uint8_t scratch[4096];
            if (readBytes(source, scratch,
                          static_cast<std::size_t>(
                              std::min<std::uint64_t>(sizeof scratch, end - source.position))) == 0)
                break;
        }
    }
}

ByteSink sinkToFile(const platform::File& file) {
    ByteSink sink;
    sink.file = &file;
    sink.buffer.reserve(WRITE_BUFFER);
    return sink;
}

namespace {
void writeOut(ByteSink& sink, const void* data, std::size_t count) {
    std::uint64_t at = sink.written;
    sink.written += count;
    if (sink.failed || count == 0)
        return;
    if (!(sink.positioned ? platform::writeAt(*sink.file, at, data, count)
                          : platform::writeNext(*sink.file, data, count)))
        sink.failed = true;
}
} // namespace

void writeBytes(ByteSink& sink, const void* data, std::size_t count) {
    sink.position += count;
    if (sink.checksum != nullptr)
        sink.checksum->add(data, count);
    if (sink.file == nullptr) {
        const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
        sink.buffer.insert(sink.buffer.end(), in, in + count);
        return;
    }
    if (sink.buffer.size() + count > WRITE_BUFFER) {
        writeOut(sink, sink.buffer.data(), sink.buffer.size());
        sink.buffer.clear();
        if (count >= WRITE_BUFFER) {
            writeOut(sink, data, count);
            return;
        }
    }
    const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
    sink.buffer.insert(sink.buffer.end(), in, in + count);
}

void overwriteAt(ByteSink& sink, std::uint64_t at, const void* data, std::size_t count) {
    const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
    std::uint64_t buffered = sink.position - sink.buffer.size();
    if (at < buffered) {
        std::size_t out = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffered - at));
        if (!sink.failed && !platform::writeAt(*sink.file, at, in, out))
            sink.failed = true;
        in += out;
        at += out;
        count -= out;
    }
    if (count > 0)
        std::memcpy(sink.buffer.data() + (at - buffered), in, count);
}

bool flushSink(ByteSink& sink) {
    if (sink.file == nullptr)
        return !sink.failed;
    writeOut(sink, sink.buffer.data(), sink.buffer.size());
    sink.buffer.clear();
    return !sink.failed;
}
