#include "app/command_line.h"

#include "services/console.h"

#include <cctype>
#include <cstring>
#include <initializer_list>

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

// Equal letter for letter, case aside (ASCII).
bool isInAnyCase(const char* argument, const char* word) {
    for (; *argument != '\0' && *word != '\0'; ++argument, ++word) {
        if (std::tolower(static_cast<unsigned char>(*argument)) != *word)
            return false;
    }
    return *argument == *word;
}

bool isAnyOf(const char* argument, std::initializer_list<const char*> words) {
    for (const char* word : words) {
        if (isInAnyCase(argument, word))
            return true;
    }
    return false;
}

RunMode scanForEmbeddedPatch(int argc, const char* const* argv, RunOptions& options) {
    for (int k = 1; k < argc; ++k) {
        const char* argument = argv[k];
        if (is(argument, "--reverse"))
            options.reverse = true;
        else if (isAnyOf(argument, {"--help", "-h", "-?", "/?", "/h"}))
            return RunMode::EmbeddedHelp;
        else if (isAnyOf(argument, {"--reverse", "/reverse", "-reverse", "/r"}))
            failWith(EXIT_MISSING_NAME, "Unknown option, specify \"--reverse\" to undo the patch");
    }
    return RunMode::ApplyEmbedded;
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
    if (options.fromEmbeddedPatch)
        return scanForEmbeddedPatch(argc, argv, options);
    if (argc == 1)
        printUsage();
    scanOptions(argc, argv, options);

    if (options.patchName.empty())
        failWith(EXIT_NO_PATCH_NAME, "No patchfile specified");
    bool hasOriginal = !options.originalName.empty();
    bool hasPatched = !options.patchedName.empty();
    if (hasOriginal != hasPatched)
        failWith(EXIT_INCOMPLETE_PAIR, "Must specify by original and patched file");
    if (hasOriginal)
        return options.packageExecutable ? RunMode::CreateAndPackage : RunMode::Create;
    return RunMode::Apply;
}
