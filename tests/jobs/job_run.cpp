#include "jobs/job_run.h"

#include "app/run.h"
#include "services/console.h"
#include "support/environment.h"

#include <filesystem>

namespace {

// Enters the folder for as long as it lives.
class InFolder {
  public:
    explicit InFolder(const std::string& folder) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(previous_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    std::filesystem::path previous_;
};

} // namespace

JobResult JobRun::runJob(const std::vector<std::string>& arguments,
                         const faults::Plan& plan) const {
    ScopedEnvironment environment(options());
    InFolder inFolder(folder.path());
    std::vector<const char*> argv = {"morvane"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    JobResult result;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    faults::plant(plan);
    aroundRun(true);
    try {
        result.code = runMorvane(static_cast<int>(argv.size() - 1), argv.data());
    } catch (const RunEnded& end) {
        result.code = end.code;
    }
    aroundRun(false);
    for (faults::Call call : {faults::Call::ReadAt, faults::Call::WriteAt, faults::Call::SyncFile})
        result.calls[static_cast<int>(call)] = faults::counted(call);
    faults::plant(faults::Plan());
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}
