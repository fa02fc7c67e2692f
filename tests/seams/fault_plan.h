// Faults planted into the program's file calls, in test builds only. The program started by
// end-to-end tests as morvane_seamed reads its plan from MORVANE_TEST_FAULT, in the form
// "<call>:<n>:<action>": call ReadAt, WriteAt or WriteNext; n counts that call from 1 over
// the whole run (start-up reads the last 4 bytes of the program itself with one ReadAt, then
// its headers, looking for a signature, with a second);
// action fail (nothing moves, the call reports an error), short (half the bytes move; a read
// then looks like the end of the file, a write reports an error) or kill (the call completes,
// then the process is killed without any clean-up).
#pragma once

#include "platform/platform.h"

#include <string>

namespace faults {

enum class Action { None, Fail, Short, Kill };

struct Plan {
    platform::seam::Call call = platform::seam::Call::ReadAt;
    unsigned number = 0; // 0: no fault
    Action action = Action::None;
};

// Plants a fault for in-process tests and restarts the counts; Plan() removes it.
void plant(const Plan& plan);

// The environment entry that plants `plan` in morvane_seamed, e.g. "WriteAt:2:kill".
std::string describe(const Plan& plan);

} // namespace faults
