#include "apply/apply_patch.h"

#include "apply/patch_reader.h"
#include "apply/resume_record.h"
#include "apply/show_message.h"
#include "apply/verify_blocks.h"
#include "apply/write_phase.h"
#include "patch/patch_format.h"
#include "platform/platform.h"
#include "services/console.h"
#include "services/input_file.h"
#include "services/temporary_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const char* const NOT_A_PATCH = "Not a valid patch file";

// Reads the patch file: header, message (shown at once), blocks. Ends the run on a damaged or
// unreadable patch, before the target is looked at.
void readPatch(PatchReader& reader, const platform::File& patchFile, PatchHeader& header) {
    HeaderStatus status = reader.readHeader(header);
    if (reader.failed())
        failWith(EXIT_CANNOT_OPEN, PATCH_READ_FAILURE);
    if (status != HeaderStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, NOT_A_PATCH);
    platform::readNameFromPatch(header.targetName);
    if (!header.message.empty())
        showPatchMessage(header.message, platform::identityOf(patchFile), header.targetName);

    ScanStatus blocksStatus = reader.scanBlocks();
    if (reader.failed())
        failWith(EXIT_CANNOT_OPEN, PATCH_READ_FAILURE);
    if (blocksStatus != ScanStatus::Valid)
        failWith(EXIT_NOT_A_PATCH, NOT_A_PATCH);
}

// A long block's pieces are checked as the whole block is: outside the file, it matches
// neither side.
bool pieceOutside(const PatchWindow& window, std::uint64_t size) {
    return window.piece && window.blockOffset + window.blockLength > size;
}

// Checks every window of the patch against the target, as verifyBlocks checks one list; with
// `mixed`, as verifyMixedBlocks does, for a file that a run left part-way (both sides then
// tell whether every byte is on one side or the other).
Verification verifyPatch(const platform::File& target, std::uint64_t size, PatchReader& reader,
                         bool mixed) {
    Verification result;
    PatchWindow window;
    reader.restart();
    while (reader.next(window)) {
        Verification part{false, false};
        if (!pieceOutside(window, size) && mixed)
            part.matchesOriginal = part.matchesPatched =
                verifyMixedBlocks(target, size, *window.blocks);
        else if (!pieceOutside(window, size))
            part = verifyBlocks(target, size, *window.blocks);
        result.matchesOriginal = result.matchesOriginal && part.matchesOriginal;
        result.matchesPatched = result.matchesPatched && part.matchesPatched;
        if (!result.matchesOriginal && !result.matchesPatched)
            return result;
    }
    if (reader.failed())
        failWith(EXIT_CANNOT_OPEN, PATCH_READ_FAILURE);
    return result;
}

} // namespace

void applyPatch(const std::string& patchName, bool reverse, TemporaryFile* temporary) {
    printLine("Reading patch file: " + patchName);
    PatchHeader header;
    ResumeJob job;
    job.reverse = reverse;
    std::uint64_t patchSize = 0;
    // Locked from the first read to the end: the rollback reads it again.
    platform::File patchFile =
        openInputOrFail(patchName, "Could not open patch file", patchSize, true);
    // The patch is read again while the blocks are verified and written; a failing run closes
    // it before it removes it when it is a temporary file (Windows deletes no open file).
    if (temporary != nullptr)
        temporary->reader = &patchFile;
    PatchReader reader(patchFile, patchSize, reverse);
    readPatch(reader, patchFile, header);
    job.patchLength = patchSize;
    job.patchHash = reader.identity();

    if (reverse) {
        // The reader hands out every block with its sides exchanged.
        printText("Reversing patch data...");
        printLine(" DONE");
    }
    printLine("Patch for file " + header.targetName + " (" + std::to_string(header.fileSize) +
              " bytes)");

    // The target stays locked against other runs from here until its record is gone. A network
    // or device name is never opened: Windows would offer the user's credentials to the host.
    platform::File target = platform::isNetworkOrDeviceName(header.targetName)
                                ? platform::File()
                                : platform::openForUpdate(header.targetName);
    std::uint64_t targetSize = 0;
    if (!platform::isOpen(target) || !platform::fileSize(target, targetSize))
        failWith(EXIT_CANNOT_OPEN, "Could not open file to patch");
    if (targetSize != header.fileSize)
        failWith(EXIT_SIZE_MISMATCH, "File does not match size recorded in patch");

    job.target = platform::lastingIdentityOf(target);
    job.targetSize = targetSize;
    // A record of an interrupted run on this file with this patch: the file may hold some
    // blocks in one state and some in the other, and this run takes it to its own side.
    if (reader.blockCount() != 0)
        findResumeRecord(job);
    bool resuming = !job.record.empty();
    Verification verification = verifyPatch(target, targetSize, reader, resuming);
    if (!verification.matchesOriginal && !verification.matchesPatched)
        failWith(EXIT_DATA_MISMATCH, "Patch does not apply to this file (data mismatch)");
    if (verification.matchesPatched && !resuming)
        failWith(EXIT_ALREADY_PATCHED, "File is already patched, specify \"--reverse\" to undo");

    printLine("Applying patch:");
    writePatchToTarget(target, reader, resuming, job);
    target = platform::File();
    if (temporary != nullptr) {
        temporary->reader = nullptr;
        patchFile = platform::File();
        removeTemporary(patchName);
    }
}
