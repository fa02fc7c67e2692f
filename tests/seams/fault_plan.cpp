#include "seams/fault_plan.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace faults {
namespace {

using platform::seam::Call;

const char* const CALL_NAMES[] = {"ReadAt", "WriteAt", "WriteNext"};
const char* const ACTION_NAMES[] = {"none", "fail", "short", "kill", "interrupt"};

struct State {
    Plan plan;
    unsigned counts[3] = {0, 0, 0};
    bool loaded = false;
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
        const char* text = std::getenv("MORVANE_TEST_FAULT");
        if (text != nullptr)
            current.plan = parse(text);
    }
    return current;
}

bool planned(Call call, Action action) {
    State& current = loaded();
    unsigned count = current.counts[static_cast<int>(call)];
    return current.plan.action == action && current.plan.call == call && current.plan.number != 0 &&
           (count == current.plan.number || (current.plan.onward && count > current.plan.number));
}

} // namespace

void plant(const Plan& plan) {
    State& current = state();
    current = State();
    current.loaded = true;
    current.plan = plan;
}

std::string describe(const Plan& plan) {
    return std::string(CALL_NAMES[static_cast<int>(plan.call)]) + ":" +
           std::to_string(plan.number) + (plan.onward ? "+" : "") + ":" +
           ACTION_NAMES[static_cast<int>(plan.action)];
}

} // namespace faults

namespace platform {
namespace seam {

bool before(Call call, std::size_t& count) {
    faults::State& current = faults::loaded();
    ++current.counts[static_cast<int>(call)];
    if (faults::planned(call, faults::Action::Fail)) {
        count = 0;
        return false;
    }
    if (faults::planned(call, faults::Action::Short)) {
        count /= 2;
        return call == Call::ReadAt;
    }
    return true;
}

void after(Call call) {
#ifdef _WIN32
    if (faults::planned(call, faults::Action::Kill))
        TerminateProcess(GetCurrentProcess(), 137);
#else
    if (faults::planned(call, faults::Action::Kill))
        std::raise(SIGKILL);
    if (faults::planned(call, faults::Action::Interrupt))
        std::raise(SIGINT);
#endif
}

} // namespace seam
} // namespace platform
