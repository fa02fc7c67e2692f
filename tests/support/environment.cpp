#include "support/environment.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::optional<std::string> valueOf(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// Sets or (without a value) removes the variable, for the runtime and for the system calls.
void change(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    std::string entry = name + "=" + value.value_or("");
    _putenv(entry.c_str());
    SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
#else
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
#endif
}

} // namespace

ScopedEnvironment::ScopedEnvironment(const ProcessOptions& edits) {
    for (const std::string& name : edits.unsetEnv) {
        saved_.emplace_back(name, valueOf(name));
        change(name, std::nullopt);
    }
    for (const auto& [name, value] : edits.setEnv) {
        saved_.emplace_back(name, valueOf(name));
        change(name, value);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
        change(it->first, it->second);
}
