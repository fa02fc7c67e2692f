#include "app/run.h"

#include "app/command_line.h"
#include "apply/apply_patch.h"
#include "create/create_patch.h"
#include "package/embedded_patch.h"
#include "package/packaged_executable.h"
#include "platform/platform.h"
#include "services/console.h"
#include "services/temporary_file.h"

namespace {

void refuseInexactName(const std::string& name, ExitCode code, const char* failure) {
    if (!platform::isExactName(name))
        failWith(code, failure);
}

// A name typed on the command line that cannot reach the system as it was typed (Windows: one
// that held an unpaired surrogate) would lead to another file: it is refused with the error of
// the open that would use it, in the order of those opens, before anything is read or written.
void refuseInexactNames(const RunOptions& options, RunMode mode) {
    if (mode == RunMode::ApplyEmbedded)
        return;
    if (mode == RunMode::Apply)
        return refuseInexactName(options.patchName, EXIT_CANNOT_OPEN, "Could not open patch file");
    refuseInexactName(options.originalName, EXIT_CANNOT_OPEN, "Could not open original file");
    refuseInexactName(options.patchedName, EXIT_CANNOT_OPEN, "Could not open patched file");
    refuseInexactName(options.messageName, EXIT_CANNOT_OPEN, "Could not open message file");
    refuseInexactName(options.patchName, EXIT_CANNOT_WRITE,
                      mode == RunMode::Create ? PATCH_WRITE_FAILURE
                                              : "Cannot write to output file");
}

} // namespace

int runMorvane(int argc, const char* const* argv) {
    if (argc < 1)
        return EXIT_EMPTY_ARGV;
    // Nothing can be reported without standard streams.
    if (!platform::prepareProcess())
        return EXIT_CANNOT_OPEN;
    askForKeyAtExit();
    RunOptions options;
    options.ownPath = platform::ownExecutablePath();
    OwnImage own;
    examineOwnImage(options.ownPath, own);
    // A damaged self-applying patch (cut off, its trailer changed) must not pass for the plain
    // program, whose usage text and status 0 a script would take for success.
    if (own.patch == OwnPatch::Damaged)
        failWith(EXIT_NOT_A_PATCH, "Not a valid patch file");
    options.fromEmbeddedPatch = own.patch == OwnPatch::Found;

    RunMode mode = readCommandLine(argc, argv, options);
    refuseInexactNames(options, mode);
    switch (mode) {
    case RunMode::Create:
        createPatch(options.originalName, options.patchedName, options.patchName,
                    options.messageName);
        break;
    case RunMode::CreateAndPackage: {
        // The patch goes to a temporary file of its own, removed as soon as the package holds
        // it, and whenever the run ends before that. It is written by name.
        TemporaryFile patch;
        if (!createTemporary(patch))
            failWith(EXIT_CANNOT_WRITE, PATCH_WRITE_FAILURE);
        patch.file = platform::File();
        std::vector<platform::FileIdentity> inputs = createPatch(
            options.originalName, options.patchedName, patch.name, options.messageName, true);
        buildPackagedExecutable(options.ownPath, patch.name, options.patchName, inputs);
        break;
    }
    case RunMode::Apply:
        applyPatch(options.patchName, options.reverse);
        break;
    case RunMode::EmbeddedHelp:
        printEmbeddedHelp(own);
    case RunMode::ApplyEmbedded: {
        // A copy that holds a patch it cannot use must not pass for the plain program.
        TemporaryFile extracted;
        if (!extractEmbeddedPatch(own, extracted))
            failWith(EXIT_CANNOT_WRITE, "Cannot extract embedded patch to temporary file");
        own = OwnImage();
        applyPatch(extracted.name, options.reverse, &extracted);
        break;
    }
    }
    return EXIT_OK;
}
