// Whole runs of the program inside the test process, on the build whose failWith throws, in the
// scratch folder of MorvaneRun with its private temporary and state folders, with a fault plan
// planted in the file calls. For faults that need no real process (no kill, no signal).
#pragma once

#include "e2e/e2e_fixture.h"
#include "seams/fault_plan.h"

#include <string>
#include <vector>

struct JobResult {
    int code = 0;
    std::string out;
    std::string err;
    unsigned calls[8] = {}; // how many calls of each faults::Call the run made
    unsigned count(faults::Call call) const { return calls[static_cast<int>(call)]; }
};

class JobRun : public MorvaneRun {
  protected:
    // Runs `morvane` with `arguments`, `plan` planted (counted from this run's start).
    JobResult runJob(const std::vector<std::string>& arguments,
                     const faults::Plan& plan = faults::Plan()) const;
    // Called just before the program starts (true) and just after it ends (false).
    virtual void aroundRun(bool /*starting*/) const {}
};

// The run failed with `code` and exactly the error line "Error: " and `message`.
#define EXPECT_JOB_FAILURE(result, code_, message)                                                 \
    do {                                                                                           \
        const JobResult& failed_ = (result);                                                       \
        EXPECT_EQ(failed_.code, code_);                                                            \
        EXPECT_EQ(outputLines(failed_.err),                                                        \
                  std::vector<std::string>{"Error: " + std::string(message)});                     \
    } while (0)
