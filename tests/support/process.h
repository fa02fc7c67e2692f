// Starting the real morvane program from tests, on Linux and on Windows (under Wine).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace faults {
struct Plan;
}

struct ProcessResult {
    int exitCode = 0;     // the signed exit status (-1 stays -1 where the system keeps it)
    std::string out;      // standard output, as bytes
    std::string err;      // standard error, as bytes
    std::string combined; // only with mergeStreams: both streams through one pipe, in order
};

struct ProcessOptions {
    std::string workingDirectory;                            // empty: the test's own
    std::vector<std::pair<std::string, std::string>> setEnv; // added or replaced; the last counts
    std::vector<std::string> unsetEnv;                       // removed, unless named in setEnv
    bool mergeStreams = false; // standard output and standard error share one pipe
    // startProcess only: standard output is a pipe whose reading end is already closed, with
    // the default action for SIGPIPE, which ends a process.
    bool closedOutputPipe = false;
    // Windows: the program and its arguments are UTF-8 (WTF-8 for an unpaired surrogate) and
    // reach it in UTF-16, through CreateProcessW; otherwise through CreateProcessA, in the ANSI
    // code page. No effect on other systems.
    bool wideArguments = false;

    // The one way to change a variable for a run: each call replaces whatever an earlier call
    // (or an earlier entry in setEnv or unsetEnv) said about the same name.
    ProcessOptions& set(const std::string& name, const std::string& value);
    ProcessOptions& unset(const std::string& name);
    // Plants `plan` in the program built with the fault seams (see seams/fault_plan.h).
    ProcessOptions& withFaults(const faults::Plan& plan);
};

// Runs `program` with `arguments` (after the program name), each passed exactly as given.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = ProcessOptions());

#ifndef _WIN32
// Starts `program` as runProcess does, with standard input, output and error on the null
// device, and does not wait for it: returns its process id, for tests that signal the process
// or read its raw wait status (runProcess reports a death by a signal as 128 + n).
int startProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const ProcessOptions& options = ProcessOptions());
#endif

// True in a Windows build that runs under Wine.
bool runningUnderWine();

// Path of the morvane program under test.
std::string morvanePath();
// Path of the copy of the program built with the fault seams (see seams/fault_plan.h).
std::string seamedMorvanePath();
// Runs that copy with `plan` planted: the one way tests start it.
ProcessResult runSeamed(const std::vector<std::string>& arguments, const faults::Plan& plan,
                        const ProcessOptions& options = ProcessOptions());

// Splits output into lines, accepting LF and CR LF line ends (Windows console text mode).
std::vector<std::string> outputLines(const std::string& output);
