// Console output: progress lines on standard output, each flushed as soon as it is ended, and
// the one error line of a failed run on standard error.
#pragma once

#include "services/exit_codes.h"

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

// Called once the run has prepared its process: in a console window of its own, which closes
// with the program, the process then asks for a key before it ends, whatever its status, so
// that the window can be read. It asks on its way out, after the run's files are discarded.
void askForKeyAtExit();

// The one way the process ends early. Fuzzing builds throw RunEnded instead, so that a
// harness can carry on with the next input.
[[noreturn]] void endProcess(int code);

#ifdef MORVANE_FAIL_THROWS
struct RunEnded {
    int code;
};
#endif
