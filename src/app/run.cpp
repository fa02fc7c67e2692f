#include "app/run.h"

#include "app/command_line.h"
#include "app/console.h"
#include "apply/apply_patch.h"
#include "create/create_patch.h"
#include "package/embedded_patch.h"
#include "package/packaged_executable.h"
#include "platform/platform.h"

int runMorvane(int argc, const char* const* argv) {
    if (argc < 1)
        return EXIT_EMPTY_ARGV;
    platform::prepareProcess();
    RunOptions options;
    options.ownPath = platform::ownExecutablePath();
    options.patchName = extractEmbeddedPatch(options.ownPath);
    options.fromEmbeddedPatch = !options.patchName.empty();

    switch (readCommandLine(argc, argv, options)) {
    case RunMode::Create:
        createPatch(options.originalName, options.patchedName, options.patchName,
                    options.messageName);
        break;
    case RunMode::CreateAndPackage: {
        std::string temporaryName = platform::createTemporaryFile();
        if (temporaryName.empty())
            failWith(EXIT_CANNOT_WRITE, "Can't write to patch file");
        std::vector<platform::FileIdentity> inputs = createPatch(
            options.originalName, options.patchedName, temporaryName, options.messageName);
        buildPackagedExecutable(options.ownPath, temporaryName, options.patchName, inputs);
        platform::removeFile(temporaryName);
        break;
    }
    case RunMode::Apply:
        applyPatch(options.patchName, options.reverse);
        break;
    case RunMode::ApplyEmbedded:
        applyPatch(options.patchName, options.reverse);
        platform::removeFile(options.patchName);
        break;
    }
    return finishRun(EXIT_OK);
}
