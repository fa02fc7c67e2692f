// Console output: progress lines on standard output, each flushed as soon as it is ended, and
// the one error line of a failed run on standard error.
#pragma once

#include "app/exit_codes.h"

#include <cstddef>
#include <string>

// Writes text to standard output without ending the line.
void printText(const std::string& text);
// Writes text, a line feed, and flushes standard output.
void printLine(const std::string& text);
void printLine(const char* text, std::size_t length);

// Ends the run: "Error: " and the message on standard error, after everything on standard
// output has been flushed, then the process ends with `code`.
[[noreturn]] void failWith(ExitCode code, const char* message);

// Prints the usage text and ends the process with status 0.
[[noreturn]] void printUsage();

// Every run ends through here, whatever its status: in a console window of its own, which
// closes with the program, a last line asks for a key first, so that the window can be read.
// Returns `code`.
int finishRun(int code);

// The one way the process ends early. Fuzzing builds throw RunEnded instead, so that a
// harness can carry on with the next input.
[[noreturn]] void endProcess(int code);

#ifdef MORVANE_FAIL_THROWS
struct RunEnded {
    int code;
};
#endif
