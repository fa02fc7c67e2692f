#include "seams/fault_plan.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace faults {
namespace {

const char* const CALL_NAMES[] = {"ReadAt",   "OwnReadAt", "WriteAt", "WriteNext",
                                  "SyncFile", "Replace",   "Open",    "Lock"};
const char* const ACTION_NAMES[] = {"none",   "fail", "short", "kill",   "interrupt", "terminate",
                                    "hangup", "quit", "stop",  "change", "cut",       "fifo",
                                    "unable", "unable2"};

struct State {
    Plan plan;
    unsigned counts[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    bool loaded = false;
    bool startedUp = false; // a file other than the program's own has been touched
    platform::FileIdentity own;
    Call last = Call::ReadAt; // how the call in progress was counted
};

State& state() {
    static State instance;
    return instance;
}

template <typename T, std::size_t N>
bool lookUp(const char* const (&names)[N], const std::string& text, T& value) {
    for (std::size_t i = 0; i < N; ++i) {
        if (text == names[i]) {
            value = static_cast<T>(i);
            return true;
        }
    }
    return false;
}

Plan parse(const char* text) {
    Plan plan;
    std::string entry = text;
    std::size_t first = entry.find(':');
    std::size_t second = entry.find(':', first == std::string::npos ? first : first + 1);
    if (second == std::string::npos)
        return Plan();
    Call call;
    Action action;
    if (!lookUp(CALL_NAMES, entry.substr(0, first), call) ||
        !lookUp(ACTION_NAMES, entry.substr(second + 1), action))
        return Plan();
    plan.call = call;
    plan.action = action;
    char* end = nullptr;
    plan.number = static_cast<unsigned>(std::strtoul(entry.c_str() + first + 1, &end, 10));
    plan.onward = *end == '+';
    return plan;
}

State& loaded() {
    State& current = state();
    if (!current.loaded) {
        current.loaded = true;
        current.own = platform::identityOfName(platform::ownExecutablePath());
        const char* text = std::getenv("MORVANE_TEST_FAULT");
        if (text != nullptr)
            current.plan = parse(text);
    }
    return current;
}

bool planned(Action action) {
    State& current = loaded();
    unsigned count = current.counts[static_cast<int>(current.last)];
    return current.plan.action == action && current.plan.call == current.last &&
           current.plan.number != 0 &&
           (count == current.plan.number || (current.plan.onward && count > current.plan.number));
}

#ifndef _WIN32
// Flips the last byte of the file on disk, as another program writing to it would.
void changeOnDisk(const platform::File& file) {
    std::string path = "/proc/self/fd/" + std::to_string(file.handle);
    int descriptor = ::open(path.c_str(), O_RDWR);
    struct stat info;
    if (descriptor >= 0 && ::fstat(descriptor, &info) == 0 && info.st_size > 0) {
        unsigned char byte = 0;
        if (::pread(descriptor, &byte, 1, info.st_size - 1) == 1) {
            byte = static_cast<unsigned char>(~byte);
            if (::pwrite(descriptor, &byte, 1, info.st_size - 1) != 1)
                std::abort();
        }
    }
    if (descriptor >= 0)
        ::close(descriptor);
}

// Cuts the file on disk to half its size, as another program might.
void cutOnDisk(const platform::File& file) {
    std::string path = "/proc/self/fd/" + std::to_string(file.handle);
    int descriptor = ::open(path.c_str(), O_RDWR);
    struct stat info;
    if (descriptor >= 0 && ::fstat(descriptor, &info) == 0 &&
        ::ftruncate(descriptor, info.st_size / 2) != 0)
        std::abort();
    if (descriptor >= 0)
        ::close(descriptor);
}
#endif

} // namespace

void plant(const Plan& plan) {
    State& current = state();
    current = State();
    current.loaded = true;
    current.own = platform::identityOfName(platform::ownExecutablePath());
    current.plan = plan;
}

unsigned counted(Call call) {
    return state().counts[static_cast<int>(call)];
}

std::string describe(const Plan& plan) {
    return std::string(CALL_NAMES[static_cast<int>(plan.call)]) + ":" +
           std::to_string(plan.number) + (plan.onward ? "+" : "") + ":" +
           ACTION_NAMES[static_cast<int>(plan.action)];
}

} // namespace faults

namespace platform {
namespace seam {

bool before(Call call, const File& file, std::size_t& count) {
    faults::State& current = faults::loaded();
    bool own = call == Call::ReadAt && sameFile(identityOf(file), current.own);
    if (own && !current.startedUp) {
        current.last = faults::Call::OwnReadAt; // its count is still 0: nothing is planned
        return true;
    }
    current.startedUp = current.startedUp || !own;
    switch (call) {
    case Call::ReadAt:
        current.last = own ? faults::Call::OwnReadAt : faults::Call::ReadAt;
        break;
    case Call::WriteAt:
        current.last = faults::Call::WriteAt;
        break;
    case Call::WriteNext:
        current.last = faults::Call::WriteNext;
        break;
    default:
        return before(call);
    }
    ++current.counts[static_cast<int>(current.last)];
    if (faults::planned(faults::Action::Fail)) {
        count = 0;
        return false;
    }
#ifndef _WIN32
    if (faults::planned(faults::Action::Change))
        faults::changeOnDisk(file);
    if (faults::planned(faults::Action::Cut))
        faults::cutOnDisk(file);
#endif
    if (faults::planned(faults::Action::Short)) {
        count /= 2;
        return call == Call::ReadAt;
    }
    return true;
}

bool before(Call call) {
    faults::State& current = faults::loaded();
    current.startedUp = true;
    current.last = call == Call::SyncFile ? faults::Call::SyncFile
                   : call == Call::Lock   ? faults::Call::Lock
                                          : faults::Call::Replace;
    ++current.counts[static_cast<int>(current.last)];
    for (faults::Action action : {faults::Action::Fail, faults::Action::Short,
                                  faults::Action::Unable, faults::Action::Unable2}) {
        if (faults::planned(action))
            return false;
    }
    return true;
}

bool beforeReplace(const std::string& to, unsigned long& error) {
    faults::State& current = faults::loaded();
    current.startedUp = true;
    current.last = faults::Call::Replace;
    ++current.counts[static_cast<int>(current.last)];
    // The answers ReplaceFileW gives: ERROR_ACCESS_DENIED, ERROR_UNABLE_TO_MOVE_REPLACEMENT and
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2.
    const struct {
        faults::Action action;
        unsigned long error;
        bool removesOld;
    } ANSWERS[] = {{faults::Action::Fail, 5, false},
                   {faults::Action::Short, 5, false},
                   {faults::Action::Unable, 1176, true},
                   {faults::Action::Unable2, 1177, true}};
    for (const auto& answer : ANSWERS) {
        if (!faults::planned(answer.action))
            continue;
        if (answer.removesOld)
            removeFile(to);
        error = answer.error;
        return false;
    }
    return true;
}

void beforeOpen(const std::string& name) {
    faults::State& current = faults::loaded();
    current.last = faults::Call::Open;
    ++current.counts[static_cast<int>(current.last)];
#ifndef _WIN32
    if (faults::planned(faults::Action::Fifo) &&
        (::unlink(name.c_str()) != 0 || ::mkfifo(name.c_str(), 0600) != 0))
        std::abort();
#else
    (void)name;
#endif
}

void after(Call) {
#ifdef _WIN32
    if (faults::planned(faults::Action::Kill))
        TerminateProcess(GetCurrentProcess(), 137);
    if (faults::planned(faults::Action::Interrupt))
        deliverInterruption();
#else
    if (faults::planned(faults::Action::Kill))
        std::raise(SIGKILL);
    const struct {
        faults::Action action;
        int signal;
    } SIGNALS[] = {{faults::Action::Interrupt, SIGINT},
                   {faults::Action::Terminate, SIGTERM},
                   {faults::Action::Hangup, SIGHUP},
                   {faults::Action::Quit, SIGQUIT},
                   {faults::Action::Stop, SIGSTOP}};
    for (const auto& entry : SIGNALS) {
        if (faults::planned(entry.action))
            std::raise(entry.signal);
    }
#endif
}

bool consoleOfItsOwn(bool& alone) {
    const char* text = std::getenv("MORVANE_TEST_CONSOLE");
    if (text == nullptr)
        return false;
    alone = std::string(text).substr(0, std::string(text).find(':')) == "own";
    return true;
}

bool parentImage(std::string& image) {
    const char* text = std::getenv("MORVANE_TEST_CONSOLE");
    const char* colon = text == nullptr ? nullptr : std::strchr(text, ':');
    if (colon == nullptr)
        return false;
    image = colon + 1;
    return true;
}

} // namespace seam
} // namespace platform
