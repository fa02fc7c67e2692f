#include "app/command_line.h"

#include "services/console.h"

#include <cstring>

namespace {

struct ValueOption {
    const char* name;
    std::string RunOptions::*field;
    const char* missingMessage;
};

const ValueOption VALUE_OPTIONS[] = {
    {"--original", &RunOptions::originalName, "No name specified for original file"},
    {"--patched", &RunOptions::patchedName, "No name specified for patched file"},
    {"--patch", &RunOptions::patchName, "No name specified for patchfile"},
    {"--message", &RunOptions::messageName, "No name specified for message file"},
};

bool is(const char* argument, const char* option) {
    return std::strcmp(argument, option) == 0;
}

// A packaged executable honours only --reverse; everything else is passed over.
void scanForEmbeddedPatch(int argc, const char* const* argv, RunOptions& options) {
    for (int k = 1; k < argc; ++k) {
        if (is(argv[k], "--reverse"))
            options.reverse = true;
    }
}

void scanOptions(int argc, const char* const* argv, RunOptions& options) {
    for (int k = 1; k < argc; ++k) {
        const char* argument = argv[k];
        if (is(argument, "--help"))
            printUsage();
        bool matched = false;
        for (const ValueOption& option : VALUE_OPTIONS) {
            if (!is(argument, option.name))
                continue;
            if (k + 1 == argc)
                failWith(EXIT_MISSING_NAME, option.missingMessage);
            options.*option.field = argv[++k];
            matched = true;
            break;
        }
        if (matched)
            continue;
        if (is(argument, "--executable"))
            options.packageExecutable = true;
        else if (is(argument, "--reverse"))
            options.reverse = true;
    }
}

} // namespace

RunMode readCommandLine(int argc, const char* const* argv, RunOptions& options) {
    if (argc == 1 && !options.fromEmbeddedPatch)
        printUsage();
    if (options.fromEmbeddedPatch)
        scanForEmbeddedPatch(argc, argv, options);
    else
        scanOptions(argc, argv, options);

    if (options.patchName.empty())
        failWith(EXIT_NO_PATCH_NAME, "No patchfile specified");
    bool hasOriginal = !options.originalName.empty();
    bool hasPatched = !options.patchedName.empty();
    if (hasOriginal != hasPatched)
        failWith(EXIT_INCOMPLETE_PAIR, "Must specify by original and patched file");
    if (hasOriginal)
        return options.packageExecutable ? RunMode::CreateAndPackage : RunMode::Create;
    return options.fromEmbeddedPatch ? RunMode::ApplyEmbedded : RunMode::Apply;
}
