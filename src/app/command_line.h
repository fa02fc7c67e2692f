// The run's settings as read from the command line, and the choice of run mode.
#pragma once

#include <string>

struct RunOptions {
    std::string ownPath;
    std::string originalName;
    std::string patchedName;
    std::string patchName;
    std::string messageName;
    bool packageExecutable = false;
    bool reverse = false;
    bool fromEmbeddedPatch = false;
};

// EmbeddedHelp: a self-applying patch asked for help.
enum class RunMode { Create, CreateAndPackage, Apply, ApplyEmbedded, EmbeddedHelp };

// Reads the arguments after the program's name into `options` (whose ownPath and
// fromEmbeddedPatch are already set) and returns the mode to run. Prints the usage text, or
// fails with codes 1 to 3, through the process's one way out.
// A self-applying patch (fromEmbeddedPatch) honours only --reverse and the help words (--help,
// -h, -?, /? and /h, in any case), and passes every other argument over, so that a file dropped
// onto it or a script's /S still applies it; --reverse in another case, and /reverse, -reverse
// and /r in any case, fail with code 1 rather than apply the patch forward.
RunMode readCommandLine(int argc, const char* const* argv, RunOptions& options);
