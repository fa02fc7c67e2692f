#include "e2e/e2e_fixture.h"

namespace {

const std::vector<std::string> USAGE = {
    "Morvane v1.0 - byte patches for binary files",
    "===================================",
    "This program creates or applies a patch to a binary file.",
    "",
    "Usage:",
    "\tmorvane [--original <fn> --patched <fn>] --patch <fn> [--message <fn>] [--executable] "
    "[--reverse]",
    "",
    "Parameters:",
    "\t--original <fn>\tName of unpatched file to create patch from.",
    "\t--patched <fn>\tName of patched file to create patch from.",
    "\t--patch <fn>\tName of patch file to apply or create.",
    "\t--message <fn>\tName of file to include as message in patch.",
    "\t--executable\tPackage patch with executable.",
    "\t--reverse\tReverses (undoes) a patch during application.",
    "\t--help\tDisplay this message.",
    "",
    "If only a patch file is specified, the patch will be applied. Otherwise, the ",
    "specified unpatched and patched files will be compared and a patch file will be generated "
    "from that.",
    "",
    "When creating a patch, use relative (not absolute) paths for the original file ",
    "name.",
    "",
};

class CommandLine : public MorvaneRun {};

TEST_F(CommandLine, UsageTextIsPrintedExactly) {
    const std::vector<std::vector<std::string>> usageRuns = {
        {},
        {"--help"},
        {"--help", "--patch"},
        {"--original", "a.bin", "--help"},
        {"--reverse", "--help", "--original"},
    };
    for (const auto& arguments : usageRuns) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        ProcessResult result = run(arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
#ifdef _WIN32
        EXPECT_EQ(outputLines(result.out), USAGE);
#else
        EXPECT_EQ(result.out, textOf(USAGE));
#endif
    }
    EXPECT_EQ(USAGE.size(), 22u);
}

struct CommandLineFailure {
    std::vector<std::string> arguments;
    int code;
    const char* message;
};

TEST_F(CommandLine, RejectsIncompleteCommandLines) {
    const CommandLineFailure failures[] = {
        {{"--original"}, 1, "No name specified for original file"},
        {{"--patched"}, 1, "No name specified for patched file"},
        {{"--patch"}, 1, "No name specified for patchfile"},
        {{"--message"}, 1, "No name specified for message file"},
        {{"--original", "a", "--patched", "b", "--patch"}, 1, "No name specified for patchfile"},
        {{"--patch", "p", "--message"}, 1, "No name specified for message file"},
        {{"--original", "a", "--patched", "b"}, 2, "No patchfile specified"},
        {{"--original", "a"}, 2, "No patchfile specified"},
        {{"--patched", "b"}, 2, "No patchfile specified"},
        {{"--Patch", "fix.pat"}, 2, "No patchfile specified"},
        {{"--patch=fix.pat"}, 2, "No patchfile specified"},
        {{"-patch", "fix.pat"}, 2, "No patchfile specified"},
        {{"fix.pat"}, 2, "No patchfile specified"},
        {{"--patch", ""}, 2, "No patchfile specified"},
        {{"--executable", "--reverse"}, 2, "No patchfile specified"},
        {{"--patch", "p", "--patch", ""}, 2, "No patchfile specified"},
        {{"--original", "a", "--patch", "p"}, 3, "Must specify by original and patched file"},
        {{"--patched", "b", "--patch", "p"}, 3, "Must specify by original and patched file"},
        {{"--original", "", "--patched", "b", "--patch", "p"},
         3,
         "Must specify by original and patched file"},
    };
    for (const CommandLineFailure& failure : failures) {
        SCOPED_TRACE(::testing::PrintToString(failure.arguments));
        ProcessResult result = run(failure.arguments);
        EXPECT_FAILURE(result, failure.code, failure.message);
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(CommandLine, ValuesAreTakenWhateverTheyHold) {
    // Each row: arguments, and the patch name that the application run then reports.
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"--patch", "--help"}, "--help"},
        {{"--patch", "--original"}, "--original"},
        {{"--patch", "a.pat", "--patch", "b.pat"}, "b.pat"},
        {{"--patch", "x.pat", "--message", "none.txt", "--executable"}, "x.pat"},
        {{"--patch", "with blank\tand \"quotes\" \\\" end\\"},
         "with blank\tand \"quotes\" \\\" end\\"},
        {{"--patch", "trailing\\\\"}, "trailing\\\\"},
    };
    for (const auto& [arguments, patchName] : runs) {
        SCOPED_TRACE(patchName);
        ProcessResult result = run(arguments);
        EXPECT_FAILURE(result, 4, "Could not open patch file");
        EXPECT_OUTPUT(result.out, "Reading patch file: " + patchName);
    }
}

} // namespace
