// Environment changes for in-process tests of code that reads the environment.
#pragma once

#include "support/process.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Applies the environment edits of `edits` (made with ProcessOptions::set and unset, as for a
// run) to the test process itself, and undoes them when it goes.
class ScopedEnvironment {
  public:
    explicit ScopedEnvironment(const ProcessOptions& edits);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_; // earlier values
};
