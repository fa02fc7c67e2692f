// The command-line parser over arbitrary argument vectors. The input's first byte chooses
// whether the run carries an embedded patch (bit 0); the rest is split on NUL bytes into the
// arguments after the program's name. The parser must end in one of the run modes, in the
// usage text (status 0) or in a failure of code 1 to 3, and its choice and settings must equal
// those of a parser written here from the option rules. A self-applying patch takes --reverse,
// takes --help, -h, -?, /? and /h in any case for its help, fails with code 1 on --reverse in
// another case and on /reverse, -reverse and /r in any case (the first of these that comes
// decides), and passes everything else over.
#include "fuzz_support.h"

#include "app/command_line.h"
#include "services/console.h"

#include <string>
#include <vector>

namespace {

struct Outcome {
    bool ended = false; // usage text or failure: `code` holds the status
    int code = 0;
    RunMode mode = RunMode::Apply;
    RunOptions options;
};

RunOptions startOptions(bool embedded) {
    RunOptions options;
    options.ownPath = "/usr/local/bin/morvane";
    options.fromEmbeddedPatch = embedded;
    return options;
}

Outcome ended(int code) {
    Outcome outcome;
    outcome.ended = true;
    outcome.code = code;
    return outcome;
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

Outcome reference(const std::vector<std::string>& arguments, bool embedded) {
    Outcome outcome;
    RunOptions& options = outcome.options;
    options = startOptions(embedded);
    if (embedded) {
        outcome.mode = RunMode::ApplyEmbedded;
        for (const std::string& argument : arguments) {
            std::string lower = lowerCase(argument);
            if (argument == "--reverse") {
                options.reverse = true;
            } else if (lower == "--help" || lower == "-h" || lower == "-?" || lower == "/?" ||
                       lower == "/h") {
                outcome.mode = RunMode::EmbeddedHelp;
                return outcome;
            } else if (lower == "--reverse" || lower == "/reverse" || lower == "-reverse" ||
                       lower == "/r") {
                return ended(1);
            }
        }
        return outcome;
    }
    if (arguments.empty())
        return ended(0);
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        const std::string& argument = arguments[k];
        if (argument == "--help")
            return ended(0);
        std::string* field = nullptr;
        if (argument == "--original")
            field = &options.originalName;
        else if (argument == "--patched")
            field = &options.patchedName;
        else if (argument == "--patch")
            field = &options.patchName;
        else if (argument == "--message")
            field = &options.messageName;
        if (field != nullptr) {
            if (k + 1 == arguments.size())
                return ended(1);
            *field = arguments[++k];
        } else if (argument == "--executable") {
            options.packageExecutable = true;
        } else if (argument == "--reverse") {
            options.reverse = true;
        }
    }
    if (options.patchName.empty())
        return ended(2);
    bool hasOriginal = !options.originalName.empty();
    bool hasPatched = !options.patchedName.empty();
    if (hasOriginal != hasPatched)
        return ended(3);
    if (hasOriginal)
        outcome.mode = options.packageExecutable ? RunMode::CreateAndPackage : RunMode::Create;
    else
        outcome.mode = RunMode::Apply;
    return outcome;
}

bool sameOptions(const RunOptions& a, const RunOptions& b) {
    return a.ownPath == b.ownPath && a.originalName == b.originalName &&
           a.patchedName == b.patchedName && a.patchName == b.patchName &&
           a.messageName == b.messageName && a.packageExecutable == b.packageExecutable &&
           a.reverse == b.reverse && a.fromEmbeddedPatch == b.fromEmbeddedPatch;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterScratchFolder("command_line");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    bool embedded = (data[0] & 1) != 0;
    std::vector<std::string> arguments;
    if (size > 1) {
        std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
        std::size_t start = 0;
        for (;;) {
            std::size_t end = rest.find('\0', start);
            arguments.push_back(rest.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    std::vector<const char*> argv;
    argv.push_back("morvane");
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size() - 1);

    Outcome got;
    got.options = startOptions(embedded);
    try {
        got.mode = readCommandLine(argc, argv.data(), got.options);
    } catch (const RunEnded& end) {
        got.ended = true;
        got.code = end.code;
    }

    if (got.ended && (got.code < 0 || got.code > 3))
        fuzz::fail("the command line ended with code " + std::to_string(got.code));
    Outcome want = reference(arguments, embedded);
    if (got.ended != want.ended)
        fuzz::fail(want.ended ? "a run mode was chosen where the command line should end with " +
                                    std::to_string(want.code)
                              : "the command line ended with " + std::to_string(got.code) +
                                    " where a run mode should be chosen");
    if (got.ended) {
        if (got.code != want.code)
            fuzz::fail("the command line ended with " + std::to_string(got.code) + " instead of " +
                       std::to_string(want.code));
        return 0;
    }
    if (got.mode != want.mode)
        fuzz::fail("the wrong run mode was chosen");
    if (!sameOptions(got.options, want.options))
        fuzz::fail("the run's settings differ from the option rules");
    return 0;
}
