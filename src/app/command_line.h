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

enum class RunMode { Create, CreateAndPackage, Apply, ApplyEmbedded };

// Reads the arguments after the program's name into `options` (whose ownPath, patchName and
// fromEmbeddedPatch are already set) and returns the mode to run. Prints the usage text, or
// fails with codes 1 to 3, through the process's one way out.
RunMode readCommandLine(int argc, const char* const* argv, RunOptions& options);
