#include "create/create_patch.h"

#include "create/change_collector.h"
#include "create/record_writer.h"
#include "patch/checksum.h"
#include "patch/patch_format.h"
#include "patch/sizes.h"
#include "platform/platform.h"
#include "services/console.h"
#include "services/input_file.h"
#include "services/output_file.h"
#include "services/temporary_file.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

// Messages keep a 32-bit length.
const std::uint64_t LARGEST_MESSAGE_SIZE = 0xFFFFFFFFu;
const char* const TOO_LARGE = "Files are too large for a patch";

// The original file, then the patched file.
struct Inputs {
    const platform::File* files[2];
    std::uint64_t size;
    platform::FileStamp stamps[2]; // as they were before any byte was read
};
const char* const READ_FAILURES[2] = {"Could not read original file",
                                      "Could not read patched file"};

// Reads both files a window at a time and hands each pair of windows to `compare`, with where
// they start. A stretch that is a hole in both files is equal and is not read: `skip` gets where
// it starts.
template <typename Compare, typename Skip>
void readBoth(const Inputs& inputs, Compare compare, Skip skip) {
    platform::FileView views[2];
    bool holes =
        platform::mayHaveHoles(*inputs.files[0]) && platform::mayHaveHoles(*inputs.files[1]);
    std::uint64_t position = 0;
    while (position < inputs.size) {
        if (holes) {
            std::uint64_t data =
                std::min(platform::nextData(*inputs.files[0], position, inputs.size),
                         platform::nextData(*inputs.files[1], position, inputs.size));
            if (data - position >= CHANGE_GAP_LIMIT) {
                skip(position);
                position = data;
                continue;
            }
        }
        std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(VIEW, inputs.size - position));
        for (int i = 0; i < 2; ++i) {
            // A read error or a file that shrank since its size was taken ends the run: a patch
            // of the first part only would pass for a whole one.
            platform::ReadResult got =
                platform::viewAt(*inputs.files[i], position, wanted, views[i]);
            if (got.failed || got.count < wanted)
                failWith(EXIT_CANNOT_OPEN, READ_FAILURES[i]);
        }
        compare(views[0].data, views[1].data, wanted, position);
        position += wanted;
    }
}

// An input written to while it was read (another program that takes no lock) would give a patch
// of neither version.
void checkUnchanged(const Inputs& inputs) {
    for (int i = 0; i < 2; ++i) {
        if (!platform::sameStamp(inputs.stamps[i], platform::stampOf(*inputs.files[i])))
            failWith(EXIT_CANNOT_OPEN, READ_FAILURES[i]);
    }
}

bool replacesAnInput(const std::string& name, const std::vector<platform::FileIdentity>& inputs) {
    platform::FileIdentity output = platform::identityOfName(name);
    return std::any_of(inputs.begin(), inputs.end(), [&](const platform::FileIdentity& input) {
        return platform::sameFile(output, input);
    });
}

// A run that creates a patch. Its records are kept in memory while they are few; a larger patch
// goes, as it is found, into a spool: a fresh file beside the output, put in place at the end,
// or for an output written in place (a device, a FIFO, a file with a second link) a temporary
// file, copied into the output at the end. Either way nothing reaches the output's name before
// "Writing patch file:", and each input is read once.
struct Creation {
    std::string patchName;
    std::string messageName;
    bool temporary = false;
    std::vector<platform::FileIdentity> inputs;
    PatchHeader header;
    PatchFormat format = PatchFormat::First;
    RunningChecksum checksum;

    ByteSink memory; // the records while they are kept
    RecordWriter writer;
    bool spilled = false; // the records outgrew memory

    bool messageRead = false;
    ExitCode messageCode = EXIT_OK;
    const char* messageFailure = nullptr;

    platform::File spool;
    ByteSink spoolSink;
    std::string freshName;                     // the spool's name
    std::string target;                        // empty when the spool is a temporary file
    std::unique_ptr<TemporaryFile> spoolGuard; // removes the spool on every way the run ends
};

// Reads the message once, before the header that holds it is written; a failure is reported
// only after the comparison, as when the message is read then.
void readMessage(Creation& c) {
    if (c.messageRead || c.messageName.empty())
        return;
    c.messageRead = true;
    auto failing = [&](ExitCode code, const char* failure) {
        c.messageCode = code;
        c.messageFailure = failure;
    };
    std::uint64_t size = 0;
    platform::File file = platform::openForReading(c.messageName);
    if (!platform::isOpen(file) || !platform::fileSize(file, size))
        return failing(EXIT_CANNOT_OPEN, "Could not open message file");
    c.inputs.push_back(platform::identityOf(file));
    if (size > LARGEST_MESSAGE_SIZE)
        return failing(EXIT_SIZE_MISMATCH, TOO_LARGE);
    platform::FileStamp before = platform::stampOf(file);
    c.header.message.assign(static_cast<std::size_t>(size), '\0');
    platform::ReadResult got =
        platform::readAt(file, 0, &c.header.message[0], c.header.message.size());
    if (got.failed || got.count < c.header.message.size() ||
        !platform::sameStamp(before, platform::stampOf(file)))
        failing(EXIT_CANNOT_OPEN, "Could not read message file");
}

// The fresh file beside the output that will replace it, or else a temporary file.
bool openSpool(Creation& c) {
    // Made under a hold, which never waits, so that no interruption leaves it behind.
    platform::InterruptionHold hold;
    hold.take();
    c.spoolGuard.reset(new TemporaryFile());
    if (c.temporary || !platform::isSpecialFile(c.patchName))
        c.spool = platform::createFileBeside(c.patchName, c.freshName, c.target, false);
    if (platform::isOpen(c.spool) && !c.freshName.empty()) {
        adoptTemporary(*c.spoolGuard, c.freshName);
    } else {
        c.target.clear();
        if (!createTemporary(*c.spoolGuard))
            return false;
        c.freshName = c.spoolGuard->name;
        c.spool = std::move(c.spoolGuard->file);
    }
    c.spoolGuard->reader = &c.spool;
    c.spoolSink = sinkToFile(c.spool);
    c.spoolSink.positioned = true;
    return platform::isOpen(c.spool);
}

// The records have outgrown memory: they go on in the spool, behind the header, which needs the
// message now.
void spill(Creation& c) {
    c.spilled = true;
    readMessage(c);
    c.writer.sink = nullptr;
    if (c.messageFailure == nullptr && openSpool(c)) {
        if (c.format == PatchFormat::Second)
            c.spoolSink.checksum = &c.checksum;
        writePatchHeader(c.spoolSink, c.header, c.format);
        writeBytes(c.spoolSink, c.memory.buffer.data(), c.memory.buffer.size());
        c.writer.sink = &c.spoolSink;
    }
    c.memory.buffer = std::vector<std::uint8_t>();
}

void compareFiles(Creation& c, const Inputs& inputs) {
    c.memory.buffer.reserve(CREATE_WINDOW + 2 * VIEW);
    c.writer.format = c.format;
    c.writer.sink = &c.memory;
    c.writer.patched = inputs.files[1];
    readBoth(
        inputs,
        [&](const std::uint8_t* original, const std::uint8_t* patched, std::size_t count,
            std::uint64_t position) {
            writeClosedBlocks(c.writer, original, patched, count, position);
            if (!c.spilled && (c.memory.buffer.size() > CREATE_WINDOW ||
                               outgrowsKeeping(c.writer, count, position)))
                spill(c);
            keepOpenBlock(c.writer, original, patched, count, position);
        },
        [&](std::uint64_t position) { skipEqual(c.writer, position); });
    finishRecords(c.writer, inputs.size);
}

// Puts the spool in place as the output.
void commitSpool(Creation& c) {
    platform::InterruptionHold hold;
    hold.take();
    if (!c.temporary && replacesAnInput(c.patchName, c.inputs))
        failWith(EXIT_CANNOT_WRITE, PATCH_WRITE_FAILURE);
    bool oldGone = false;
    bool done = flushSink(c.spoolSink) && platform::syncFile(c.spool) &&
                platform::closeFile(c.spool) &&
                platform::replaceFile(c.freshName, c.target, &oldGone);
    // Renamed, or the old file already gone (Windows) and the whole patch under the fresh name
    // all there is: nothing of that name may be removed.
    if (done || oldGone) {
        platform::forgetFreshFile();
        c.spoolGuard->name.clear();
    }
    if (!done)
        failWith(EXIT_CANNOT_WRITE, PATCH_WRITE_FAILURE);
    c.spoolGuard.reset();
}

// Writes the patch to the output opened now: the records kept in memory, or the spool's bytes.
void writeOutput(Creation& c) {
    OutputFile output;
    openOutputOrFail(c.patchName, c.inputs, output, PATCH_WRITE_FAILURE, c.temporary);
    ByteSink& sink = output.sink;
    if (!c.spilled) {
        if (c.format == PatchFormat::Second)
            sink.checksum = &c.checksum;
        writePatchHeader(sink, c.header, c.format);
        writeBytes(sink, c.memory.buffer.data(), c.memory.buffer.size());
        writePatchEnd(sink, c.format);
    } else {
        if (!flushSink(c.spoolSink))
            failWith(EXIT_CANNOT_WRITE, PATCH_WRITE_FAILURE);
        ByteSource source = sourceFromFile(c.spool, c.spoolSink.position);
        if (!readInPieces(source, [&](std::uint8_t* bytes, std::size_t count, std::uint64_t) {
                writeBytes(sink, bytes, count);
                return true;
            }))
            failWith(EXIT_CANNOT_WRITE, PATCH_WRITE_FAILURE);
    }
    commitOutputOrFail(output, PATCH_WRITE_FAILURE);
}

std::string countedWord(std::uint64_t count, const char* word) {
    return std::to_string(count) + " " + word + (count > 1 ? "s" : "");
}

} // namespace

std::vector<platform::FileIdentity> createPatch(const std::string& originalName,
                                                const std::string& patchedName,
                                                const std::string& patchName,
                                                const std::string& messageName, bool temporary) {
    printLine("Original file: " + originalName);
    printLine("Patched file: " + patchedName);

    std::uint64_t originalSize = 0;
    std::uint64_t patchedSize = 0;
    // Neither file may be written by another run while they are compared.
    platform::File original =
        openInputOrFail(originalName, "Could not open original file", originalSize, true);
    platform::File patched =
        openInputOrFail(patchedName, "Could not open patched file", patchedSize, true);
    Creation c;
    c.patchName = patchName;
    c.messageName = messageName;
    c.temporary = temporary;
    c.inputs = {platform::identityOf(original), platform::identityOf(patched)};
    Inputs both = {{&original, &patched},
                   originalSize,
                   {platform::stampOf(original), platform::stampOf(patched)}};
    if (originalSize != patchedSize)
        failWith(EXIT_SIZE_MISMATCH, "Files have different sizes");
    if (originalSize > LARGEST_FILE_SIZE)
        failWith(EXIT_SIZE_MISMATCH, TOO_LARGE);
    c.format = formatForSize(originalSize);
    c.header.targetName = originalName;
    c.header.fileSize = originalSize;

    printText("Comparing files...");
    compareFiles(c, both);
    checkUnchanged(both);
    printLine(" DONE");

    if (c.writer.blocks == 0)
        failWith(EXIT_NOTHING_TO_PATCH, "Nothing to patch, both files are identical");
    printLine("Found " + countedWord(c.writer.bytes, "byte") + " in " +
              countedWord(c.writer.blocks, "block") + ".");
    readMessage(c);
    if (c.messageFailure != nullptr)
        failWith(c.messageCode, c.messageFailure);

    printLine("Writing patch file: " + patchName);
    if (c.spilled) {
        // No spool could be made.
        if (c.writer.sink == nullptr)
            failWith(EXIT_CANNOT_WRITE, PATCH_WRITE_FAILURE);
        writePatchEnd(c.spoolSink, c.format);
    }
    if (c.spilled && !c.target.empty())
        commitSpool(c);
    else
        writeOutput(c);
    printLine("Completed!");
    return c.inputs;
}
