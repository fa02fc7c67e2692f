#include "services/console.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace {
// A line begun with printText and not yet ended.
bool lineOpen = false;
} // namespace

void printText(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    lineOpen = !text.empty() || lineOpen;
}

void printLine(const std::string& text) {
    printLine(text.data(), text.size());
}

void printLine(const char* text, std::size_t length) {
    // A line with a name outside ASCII goes to a Windows console in characters, so that the
    // console shows them whatever its code page; anywhere else it goes as UTF-8 bytes.
    if (!platform::writeToConsole(text, length))
        std::fwrite(text, 1, length, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    lineOpen = false;
}

void failWith(ExitCode code, const char* message) {
    // An error line never breaks into a half-written progress line.
    if (lineOpen)
        printLine("");
    std::fflush(stdout);
    std::fputs("Error: ", stderr);
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    endProcess(code);
}

void printUsage() {
    static const char* const LINES[] = {
        "Morvane v1.0 - byte patches for binary files",
        "===================================",
        "This program creates or applies a patch to a binary file.",
        "",
        "Usage:",
        "\tmorvane [--original <fn> --patched <fn>] --patch <fn> [--message <fn>] "
        "[--executable] [--reverse]",
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
        "specified unpatched and patched files will be compared and a patch file will be "
        "generated from that.",
        "",
        "When creating a patch, use relative (not absolute) paths for the original file ",
        "name.",
        "",
    };
    for (const char* line : LINES)
        printLine(line);
    endProcess(EXIT_OK);
}

namespace {
void askForKey() {
    if (lineOpen)
        printLine("");
    printLine("Press any key to close this window...");
    platform::waitForKey();
}
} // namespace

void askForKeyAtExit() {
    if (platform::consoleClosesWithProcess())
        std::atexit(askForKey);
}

void endProcess(int code) {
#ifdef MORVANE_FAIL_THROWS
    throw RunEnded{code};
#else
    std::exit(code);
#endif
}
