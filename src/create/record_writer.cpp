#include "create/record_writer.h"

#include "patch/checksum.h"
#include "services/console.h"

#include <algorithm>

namespace {

// Bytes of the windows go to the sink as they are; a long run is written straight from them.
void put(ByteSink& sink, const std::uint8_t* bytes, std::uint64_t length) {
    writeBytes(sink, bytes, static_cast<std::size_t>(length));
}

// Writes one side's bytes from `from` to `to`: those before `position` from what was kept, the
// rest from the window that starts there.
void putSide(RecordWriter& writer, int side, const std::uint8_t* window, std::uint64_t position,
             std::uint64_t from, std::uint64_t to) {
    if (from < position) {
        std::uint64_t end = std::min(to, position);
        put(*writer.sink, writer.kept[side].data() + (from - writer.keptFrom), end - from);
    }
    if (to > position) {
        std::uint64_t start = std::max(from, position);
        put(*writer.sink, window + (start - position), to - start);
    }
}

void readFromPatched(RecordWriter& writer, std::uint64_t start, std::uint64_t length) {
    ByteSink& sink = *writer.sink;
    std::vector<std::uint8_t> piece;
    for (std::uint64_t done = 0; done < length;) {
        std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(VIEW, length - done));
        bool read;
        if (sink.positioned && sink.checksum == nullptr && !sink.failed && flushSink(sink)) {
            // No checksum needs to see them: the system copies them from file to file.
            platform::CopyResult copied = platform::copyBetween(*writer.patched, start + done,
                                                                *sink.file, sink.written, count);
            sink.position += count;
            sink.written += count;
            sink.failed = !copied.written;
            read = copied.read;
        } else {
            piece.resize(count);
            platform::ReadResult got =
                platform::readAt(*writer.patched, start + done, piece.data(), count);
            read = !got.failed && got.count == count;
            writeBytes(sink, piece.data(), count);
        }
        if (!read)
            failWith(EXIT_CANNOT_OPEN, "Could not read patched file");
        done += count;
    }
}

// The block written as found has closed: its head gets its length, the checksum catches up with
// the head and the old bytes (read back from the file), and the new bytes follow.
void finishAsFound(RecordWriter& writer, std::uint64_t start, std::uint64_t length) {
    ByteSink& sink = *writer.sink;
    ByteSink head;
    writeRecordHead(head, writer.format, start, length);
    overwriteAt(sink, writer.headAt, head.buffer.data(), head.buffer.size());
    if (writer.paused != nullptr) {
        RunningChecksum& checksum = *writer.paused;
        checksum.add(head.buffer.data(), head.buffer.size());
        flushSink(sink);
        std::vector<std::uint8_t> piece(VIEW);
        std::uint64_t from = writer.headAt + head.buffer.size();
        while (!sink.failed && from < sink.position) {
            std::size_t count = static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.size(), sink.position - from));
            platform::ReadResult got = platform::readAt(*sink.file, from, piece.data(), count);
            if (got.failed || got.count < count)
                sink.failed = true;
            checksum.add(piece.data(), count);
            from += count;
        }
        sink.checksum = writer.paused;
        writer.paused = nullptr;
    }
    readFromPatched(writer, start, length);
}

void closeBlock(RecordWriter& writer, const std::uint8_t* original, const std::uint8_t* patched,
                std::uint64_t position, std::uint64_t start, std::uint64_t length) {
    ++writer.blocks;
    writer.bytes += length;
    if (writer.sink != nullptr) {
        std::uint64_t end = start + length;
        if (start >= position && length <= IN_HAND_PIECE) {
            PatchBlock block;
            block.offset = start;
            block.size = length;
            block.originalBytes = original + (start - position);
            block.patchedBytes = patched + (start - position);
            writeBlock(*writer.sink, block, writer.format);
        } else if (!writer.asFound) {
            writeRecordHead(*writer.sink, writer.format, start, length);
            putSide(writer, 0, original, position, start, end);
            putSide(writer, 1, patched, position, start, end);
        } else {
            putSide(writer, 0, original, position, writer.keptFrom, end);
            finishAsFound(writer, start, length);
        }
    }
    writer.kept[0].clear();
    writer.kept[1].clear();
    writer.asFound = false;
}

} // namespace

void writeClosedBlocks(RecordWriter& writer, const std::uint8_t* original,
                       const std::uint8_t* patched, std::size_t count, std::uint64_t position) {
    scanChanges(writer.scan, original, patched, count, position,
                [&](std::uint64_t start, std::uint64_t length) {
                    closeBlock(writer, original, patched, position, start, length);
                });
}

bool outgrowsKeeping(const RecordWriter& writer, std::size_t count, std::uint64_t position) {
    if (!writer.scan.insideBlock || writer.asFound)
        return false;
    std::uint64_t from = std::max(writer.scan.blockStart, position);
    return writer.kept[0].size() + (position + count - from) > writer.keepLimit;
}

void keepOpenBlock(RecordWriter& writer, const std::uint8_t* original, const std::uint8_t* patched,
                   std::size_t count, std::uint64_t position) {
    if (!writer.scan.insideBlock || writer.sink == nullptr)
        return;
    std::uint64_t end = position + count;
    if (writer.kept[0].empty() && !writer.asFound)
        writer.keptFrom = writer.scan.blockStart;
    if (!outgrowsKeeping(writer, count, position) && !writer.asFound) {
        std::size_t from = static_cast<std::size_t>(std::max(writer.keptFrom, position) - position);
        writer.kept[0].insert(writer.kept[0].end(), original + from, original + count);
        writer.kept[1].insert(writer.kept[1].end(), patched + from, patched + count);
        return;
    }
    if (!writer.asFound) {
        // The head goes first, its length still unknown: the checksum waits until it is.
        writer.asFound = true;
        writer.headAt = writer.sink->position;
        writer.paused = writer.sink->checksum;
        writer.sink->checksum = nullptr;
        writeRecordHead(*writer.sink, writer.format, writer.scan.blockStart, 0);
        writer.kept[1] = std::vector<std::uint8_t>();
    }
    // The old bytes up to the last changed one go out; the unchanged ones after it (fewer than
    // CHANGE_GAP_LIMIT) are kept, since the block may end before them.
    std::uint64_t changedEnd = writer.scan.changedEnd;
    putSide(writer, 0, original, position, writer.keptFrom, changedEnd);
    std::vector<std::uint8_t> tail;
    for (std::uint64_t at = changedEnd; at < end; ++at)
        tail.push_back(at < position ? writer.kept[0][at - writer.keptFrom]
                                     : original[at - position]);
    writer.kept[0].swap(tail);
    writer.keptFrom = changedEnd;
}

void skipEqual(RecordWriter& writer, std::uint64_t position) {
    finishScan(writer.scan, [&](std::uint64_t start, std::uint64_t length) {
        closeBlock(writer, nullptr, nullptr, position, start, length);
    });
}

void finishRecords(RecordWriter& writer, std::uint64_t end) {
    skipEqual(writer, end);
}
