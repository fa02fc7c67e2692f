#include "support/process.h"

#include "seams/fault_plan.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

bool sameName(const std::string& a, const std::string& b) {
#ifdef _WIN32
    // Environment names are case-insensitive on Windows.
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
#else
    return a == b;
#endif
}

// Drops every edit of `name` from the options.
void forget(ProcessOptions& options, const std::string& name) {
    auto& set = options.setEnv;
    set.erase(std::remove_if(set.begin(), set.end(),
                             [&](const auto& entry) { return sameName(entry.first, name); }),
              set.end());
    auto& unset = options.unsetEnv;
    unset.erase(std::remove_if(unset.begin(), unset.end(),
                               [&](const std::string& entry) { return sameName(entry, name); }),
                unset.end());
}

std::string nameOf(const std::string& entry) {
    // Windows keeps per-drive folders as "=C:=C:\..."; their name starts after the first '='.
    std::size_t equals = entry.find('=', entry.empty() ? 0 : 1);
    return entry.substr(0, equals);
}

// The current environment with the edits applied, as "NAME=value" entries.
std::vector<std::string> editedEnvironment(const std::vector<std::string>& current,
                                           const ProcessOptions& options) {
    std::vector<std::string> result;
    for (const std::string& entry : current) {
        std::string name = nameOf(entry);
        bool edited = false;
        for (const std::string& unset : options.unsetEnv)
            edited = edited || sameName(name, unset);
        for (const auto& set : options.setEnv)
            edited = edited || sameName(name, set.first);
        if (!edited)
            result.push_back(entry);
    }
    // The last setting of a name counts.
    for (std::size_t i = 0; i < options.setEnv.size(); ++i) {
        const std::string& name = options.setEnv[i].first;
        bool overridden = false;
        for (std::size_t later = i + 1; later < options.setEnv.size(); ++later)
            overridden = overridden || sameName(name, options.setEnv[later].first);
        if (!overridden)
            result.push_back(name + "=" + options.setEnv[i].second);
    }
    return result;
}

// Every run of the current test, printed with its exit status and both streams when the test
// fails, so that a failed expectation on a run always shows what the run said.
struct LoggedRun {
    std::string commandLine;
    ProcessResult result;
};
std::vector<LoggedRun> runsOfThisTest;

std::string excerpt(const std::string& stream) {
    const std::size_t limit = 2000;
    if (stream.size() <= limit)
        return stream;
    return stream.substr(0, limit / 2) + "\n[... " + std::to_string(stream.size() - limit) +
           " bytes left out ...]\n" + stream.substr(stream.size() - limit / 2);
}

class RunLog : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { runsOfThisTest.clear(); }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        if (test.result()->Failed()) {
            for (const LoggedRun& run : runsOfThisTest) {
                const ProcessResult& r = run.result;
                std::printf("[run] %s\n[run] exit status %d\n", run.commandLine.c_str(),
                            r.exitCode);
                if (!r.combined.empty())
                    std::printf("[run] output:\n%s\n", excerpt(r.combined).c_str());
                std::printf("[run] stdout:\n%s\n[run] stderr:\n%s\n", excerpt(r.out).c_str(),
                            excerpt(r.err).c_str());
            }
        }
        runsOfThisTest.clear();
    }
};

const bool runLogInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new RunLog);
    return true;
}();

void logRun(const std::string& program, const std::vector<std::string>& arguments,
            const ProcessResult& result) {
    std::string commandLine = program;
    for (const std::string& argument : arguments)
        commandLine += " '" + argument + "'";
    runsOfThisTest.push_back({commandLine, result});
}

} // namespace

ProcessOptions& ProcessOptions::set(const std::string& name, const std::string& value) {
    forget(*this, name);
    setEnv.emplace_back(name, value);
    return *this;
}

ProcessOptions& ProcessOptions::unset(const std::string& name) {
    forget(*this, name);
    unsetEnv.push_back(name);
    return *this;
}

ProcessOptions& ProcessOptions::withFaults(const faults::Plan& plan) {
    return set("MORVANE_TEST_FAULT", faults::describe(plan));
}

#ifdef _WIN32

namespace {

// Quotes one argument so that the MSVCRT start-up code hands it back unchanged.
void appendQuoted(std::string& commandLine, const std::string& argument) {
    if (!commandLine.empty())
        commandLine += ' ';
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        commandLine += argument;
        return;
    }
    commandLine += '"';
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless they precede a quotation mark.
        commandLine.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        commandLine += c;
    }
    commandLine.append(2 * backslashes, '\\');
    commandLine += '"';
}

// UTF-8 as UTF-16, an encoded surrogate (WTF-8) included, which MultiByteToWideChar refuses.
std::wstring fromWtf8(const std::string& text) {
    std::wstring result;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        std::uint32_t code = more == 0 ? lead : lead & (0x3F >> more);
        for (int k = 1; k <= more && i + k < text.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += static_cast<std::size_t>(more) + 1;
        if (code >= 0x10000) {
            result += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            result += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            result += static_cast<wchar_t>(code);
        }
    }
    return result;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    char* block = GetEnvironmentStringsA();
    if (block == nullptr)
        return entries;
    for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1)
        entries.emplace_back(entry);
    FreeEnvironmentStringsA(block);
    return entries;
}

std::string environmentBlock(const ProcessOptions& options) {
    std::vector<std::string> entries = editedEnvironment(currentEnvironment(), options);
    // CreateProcess expects the block sorted by name, without regard to case.
    std::sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        return _stricmp(nameOf(a).c_str(), nameOf(b).c_str()) < 0;
    });
    std::string block;
    for (const std::string& entry : entries) {
        block += entry;
        block += '\0';
    }
    block += '\0';
    return block;
}

struct PipeReader {
    HANDLE pipe;
    std::string* text;
};

DWORD WINAPI readAll(void* parameter) {
    PipeReader* reader = static_cast<PipeReader*>(parameter);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader->pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
        reader->text->append(buffer, got);
    return 0;
}

void makePipe(HANDLE& readEnd, HANDLE& writeEnd) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
}

ProcessResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                       const ProcessOptions& options) {
    std::string commandLine;
    appendQuoted(commandLine, program);
    for (const std::string& argument : arguments)
        appendQuoted(commandLine, argument);
    std::string environment = environmentBlock(options);

    HANDLE outRead, outWrite, errRead = nullptr, errWrite = nullptr;
    makePipe(outRead, outWrite);
    if (!options.mergeStreams)
        makePipe(errRead, errWrite);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outWrite;
    startup.hStdError = options.mergeStreams ? outWrite : errWrite;
    STARTUPINFOW wideStartup = {};
    wideStartup.cb = sizeof wideStartup;
    wideStartup.dwFlags = startup.dwFlags;
    wideStartup.hStdInput = startup.hStdInput;
    wideStartup.hStdOutput = startup.hStdOutput;
    wideStartup.hStdError = startup.hStdError;
    std::wstring wideProgram = fromWtf8(program), wideCommandLine = fromWtf8(commandLine);
    const char* directory =
        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    std::wstring wideDirectory = directory == nullptr ? L"" : fromWtf8(directory);
    PROCESS_INFORMATION process = {};
    BOOL started = FALSE;
    DWORD error = 0;
    for (int attempt = 1; !started; ++attempt) {
        if (options.wideArguments)
            started = CreateProcessW(wideProgram.c_str(), &wideCommandLine[0], nullptr, nullptr,
                                     TRUE, 0, &environment[0],
                                     directory == nullptr ? nullptr : wideDirectory.c_str(),
                                     &wideStartup, &process);
        else
            started = CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                     &environment[0], directory, &startup, &process);
        error = started ? 0 : GetLastError();
        // Wine reports ERROR_INTERNAL_ERROR when the new process died inside Wine's own start-up,
        // before the first instruction of the program (the program had no chance to run, print
        // or set an exit status); about once in several thousand starts on a loaded machine,
        // for any program. Only that is tried again, and the retry is printed.
        if (started || error != ERROR_INTERNAL_ERROR || !runningUnderWine() || attempt == 3)
            break;
        std::printf("[run] Wine could not start %s (error %lu); starting it again\n",
                    program.c_str(), static_cast<unsigned long>(error));
        Sleep(100);
    }
    CloseHandle(outWrite);
    if (errWrite != nullptr)
        CloseHandle(errWrite);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (!started) {
        CloseHandle(outRead);
        if (errRead != nullptr)
            CloseHandle(errRead);
        throw std::runtime_error("cannot start " + program + ": CreateProcess failed with error " +
                                 std::to_string(error) + "; command line: " + commandLine);
    }

    ProcessResult result;
    PipeReader outReader = {outRead, options.mergeStreams ? &result.combined : &result.out};
    PipeReader errReader = {errRead, &result.err};
    HANDLE errThread = nullptr;
    if (errRead != nullptr)
        errThread = CreateThread(nullptr, 0, readAll, &errReader, 0, nullptr);
    readAll(&outReader);
    if (errThread != nullptr) {
        WaitForSingleObject(errThread, INFINITE);
        CloseHandle(errThread);
    }
    CloseHandle(outRead);
    if (errRead != nullptr)
        CloseHandle(errRead);

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

} // namespace

#else

namespace {

void makePipe(int ends[2]) {
    if (::pipe(ends) != 0)
        throw std::runtime_error("pipe failed");
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
}

// The child's environment and argument vectors. Everything the child needs is made before fork:
// it only calls async-signal-safe functions.
struct ExecVectors {
    std::vector<std::string> environment;
    std::vector<std::string> arguments;
    std::vector<char*> envp;
    std::vector<char*> argv;
};

void prepareExec(const std::string& program, const std::vector<std::string>& arguments,
                 const ProcessOptions& options, ExecVectors& exec) {
    std::vector<std::string> current;
    for (char** entry = environ; *entry != nullptr; ++entry)
        current.emplace_back(*entry);
    exec.environment = editedEnvironment(current, options);
    for (std::string& entry : exec.environment)
        exec.envp.push_back(&entry[0]);
    exec.envp.push_back(nullptr);
    exec.arguments = {program};
    exec.arguments.insert(exec.arguments.end(), arguments.begin(), arguments.end());
    for (std::string& argument : exec.arguments)
        exec.argv.push_back(&argument[0]);
    exec.argv.push_back(nullptr);
}

ProcessResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                       const ProcessOptions& options) {
    ExecVectors exec;
    prepareExec(program, arguments, options, exec);

    int out[2];
    int err[2] = {-1, -1};
    makePipe(out);
    if (!options.mergeStreams)
        makePipe(err);

    pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot start " + program +
                                 ": fork failed: " + std::strerror(errno));
    if (child == 0) {
        int input = ::open("/dev/null", O_RDONLY);
        if (input >= 0)
            ::dup2(input, 0);
        ::dup2(out[1], 1);
        ::dup2(options.mergeStreams ? out[1] : err[1], 2);
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0)
            ::_exit(126);
        ::execve(program.c_str(), exec.argv.data(), exec.envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (err[1] >= 0)
        ::close(err[1]);

    ProcessResult result;
    struct pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* targets[2] = {options.mergeStreams ? &result.combined : &result.out, &result.err};
    int open = options.mergeStreams ? 1 : 2;
    while (open > 0) {
        if (::poll(streams, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t got = ::read(streams[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got > 0) {
                targets[i]->append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            ::close(streams[i].fd);
            streams[i].fd = -1; // poll ignores negative descriptors
            --open;
        }
    }

    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exitCode = 128 + WTERMSIG(status); // as shells report it
    return result;
}

} // namespace

int startProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const ProcessOptions& options) {
    ExecVectors exec;
    prepareExec(program, arguments, options, exec);
    int ends[2] = {-1, -1};
    if (options.closedOutputPipe && ::pipe(ends) != 0)
        throw std::runtime_error("cannot start " + program + ": no pipe");
    if (ends[0] >= 0)
        ::close(ends[0]);
    pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot start " + program + ": fork failed");
    if (child == 0) {
        int null = ::open("/dev/null", O_RDWR);
        for (int stream = 0; stream <= 2; ++stream)
            ::dup2(stream == 1 && ends[1] >= 0 ? ends[1] : null, stream);
        if (ends[1] >= 0)
            ::signal(SIGPIPE, SIG_DFL);
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0)
            ::_exit(126);
        ::execve(program.c_str(), exec.argv.data(), exec.envp.data());
        ::_exit(127);
    }
    if (ends[1] >= 0)
        ::close(ends[1]);
    return child;
}

#endif

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
    ProcessResult result = runChild(program, arguments, options);
    logRun(program, arguments, result);
    return result;
}

bool runningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

std::string morvanePath() {
    // The environment may name another build, for instance when the tests run under Wine.
    const char* chosen = std::getenv("MORVANE_EXECUTABLE");
    if (chosen != nullptr && *chosen != '\0')
        return chosen;
#ifdef MORVANE_EXECUTABLE
    return MORVANE_EXECUTABLE;
#else
    return "morvane";
#endif
}

std::string seamedMorvanePath() {
    return MORVANE_SEAMED_EXECUTABLE;
}

ProcessResult runSeamed(const std::vector<std::string>& arguments, const faults::Plan& plan,
                        const ProcessOptions& options) {
    return runProcess(seamedMorvanePath(), arguments, ProcessOptions(options).withFaults(plan));
}

std::vector<std::string> outputLines(const std::string& output) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        std::size_t next = end == std::string::npos ? output.size() : end + 1;
        if (end == std::string::npos)
            end = output.size();
        if (end > start && output[end - 1] == '\r' && end < output.size())
            --end;
        lines.push_back(output.substr(start, end - start));
        start = next;
    }
    return lines;
}
