#include "apply/patch_reader.h"
#include "apply/write_phase.h"
#include "jobs/job_run.h"

#include <random>

namespace {

using faults::Action;
using faults::Call;

// A 4.5 MiB target whose patch spans three windows: blocks of 60,000 changed bytes, 100 unchanged
// bytes apart, so that neighbours are written together.
class WritePhaseFaults : public JobRun {
  protected:
    std::string original;
    std::string patched;

    void SetUp() override {
        JobRun::SetUp();
        std::mt19937 random(27);
        original.resize(9 << 19);
        for (char& byte : original)
            byte = static_cast<char>(random());
        patched = original;
        for (std::size_t at = 0; at + 60000 <= patched.size(); at += 60100) {
            for (std::size_t i = at; i < at + 60000; ++i)
                patched[i] = static_cast<char>(patched[i] ^ (1 + random() % 255));
        }
        write("t.bin", original);
        write("t.new", patched);
        ASSERT_EQ(runJob({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"}).code,
                  0);
        ASSERT_GT(sizeOfFile(folder / "fix.pat"), 2 * PATCH_WINDOW); // three windows
    }

    // A run that fails leaves the target as it found it and no record, or a record with which
    // the same command finishes the job; one that succeeds leaves `after` and no record.
    void expectSound(const JobResult& result, const std::vector<std::string>& command,
                     const std::string& before, const std::string& after) {
        std::string now = read("t.bin");
        if (result.code == 0) {
            EXPECT_TRUE(now == after);
            EXPECT_TRUE(records().empty());
            return;
        }
        EXPECT_EQ(outputLines(result.err).size(), 1u);
        EXPECT_TRUE(result.code == 4 || result.code == 5 || result.code == 10) << result.code;
        if (records().empty()) {
            EXPECT_TRUE(now == before);
            return;
        }
        JobResult again = runJob(command);
        EXPECT_EQ(again.code, 0) << again.err;
        EXPECT_TRUE(read("t.bin") == after);
        EXPECT_TRUE(records().empty());
    }
};

// Every read, write and flush of the write phase, failing or coming up short in turn, in both
// directions: no run ends with a damaged target, and none loses the means to finish its job.
TEST_F(WritePhaseFaults, NoFailedCallLeavesADamagedTargetOrLosesTheJob) {
    bool failedInWritePhase[2] = {false, false};
    for (bool reverse : {false, true}) {
        std::vector<std::string> command = {"--patch", "fix.pat"};
        if (reverse)
            command.push_back("--reverse");
        const std::string& before = reverse ? patched : original;
        const std::string& after = reverse ? original : patched;
        // The calls of a whole run, and of one that stops before writing (already patched).
        write("t.bin", before);
        JobResult whole = runJob(command);
        ASSERT_EQ(whole.code, 0);
        JobResult verifying = runJob(command);
        ASSERT_EQ(verifying.code, 9);
        const struct {
            Call call;
            Action action;
            bool onward;
            unsigned first, last;
        } ROWS[] = {
            {Call::ReadAt, Action::Fail, true, verifying.count(Call::ReadAt),
             whole.count(Call::ReadAt)},
            {Call::ReadAt, Action::Short, false, verifying.count(Call::ReadAt),
             whole.count(Call::ReadAt)},
            {Call::WriteAt, Action::Fail, false, 1, whole.count(Call::WriteAt)},
            {Call::WriteAt, Action::Short, false, 1, whole.count(Call::WriteAt)},
            {Call::SyncFile, Action::Fail, false, 1, whole.count(Call::SyncFile)},
            {Call::SyncFile, Action::Fail, true, 1, whole.count(Call::SyncFile)},
        };
        for (const auto& row : ROWS) {
            for (unsigned n = row.first; n <= row.last; ++n) {
                faults::Plan plan{row.call, n, row.action, row.onward};
                SCOPED_TRACE(faults::describe(plan) + (reverse ? " --reverse" : ""));
                write("t.bin", before);
                JobResult result = runJob(command, plan);
                failedInWritePhase[reverse] =
                    failedInWritePhase[reverse] || (result.code != 0 && read("t.bin") != before);
                expectSound(result, command, before, after);
                if (HasFailure())
                    return;
            }
        }
    }
    // The rows reached the write phase and its rollback in both directions.
    EXPECT_TRUE(failedInWritePhase[0] && failedInWritePhase[1]);
}

class WritePhaseVerdicts : public JobRun {};

// Which side a file is on is decided over every window and up to its last byte.
TEST_F(WritePhaseVerdicts, AcrossWindowsAndAtTheFilesEnd) {
    std::mt19937 random(28);
    std::string original(7 << 20, '\0');
    for (char& byte : original)
        byte = static_cast<char>(random());
    std::string patched = original;
    // Short blocks over the first 3 MiB, then one long block that ends at the last byte.
    for (std::size_t at = 0; at < (3u << 20); at += 16)
        patched[at] = static_cast<char>(~patched[at]);
    for (std::size_t at = 4u << 20; at < patched.size(); ++at)
        patched[at] = static_cast<char>(patched[at] ^ 0x5A);
    write("t.bin", original);
    write("t.new", patched);
    ASSERT_EQ(runJob({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"}).code, 0);
    ASSERT_GT(sizeOfFile(folder / "fix.pat"), PATCH_WINDOW);

    // Old in the first window, new in the last, and no record: neither side.
    std::string mixed = original.substr(0, 4u << 20) + patched.substr(4u << 20);
    write("t.bin", mixed);
    EXPECT_JOB_FAILURE(runJob({"--patch", "fix.pat"}), 10,
                       "Patch does not apply to this file (data mismatch)");
    EXPECT_TRUE(read("t.bin") == mixed);

    write("t.bin", original);
    JobResult applied = runJob({"--patch", "fix.pat"});
    EXPECT_EQ(applied.code, 0) << applied.err;
    EXPECT_EQ(outputLines(applied.out).back(), "@ 00400000 : 300000 bytes");
    EXPECT_TRUE(read("t.bin") == patched);
    EXPECT_JOB_FAILURE(runJob({"--patch", "fix.pat"}), 9,
                       "File is already patched, specify \"--reverse\" to undo");
    EXPECT_EQ(runJob({"--patch", "fix.pat", "--reverse"}).code, 0);
    EXPECT_TRUE(read("t.bin") == original);
}

// A phase that breaks one of its rules is caught: each row breaks one.
TEST(WritePhaseRules, ABrokenRuleIsCaught) {
    ResumeJob job;
    job.record = "r";
    // A phase part-way through its writes, as it should be.
    auto writing = [&](WritePhase& phase) {
        phase.job = &job;
        phase.step = PhaseStep::Recorded;
        phase.recordTried = true;
        phase.recordMade = true;
        phase.hold.take();
    };
    {
        WritePhase sound;
        writing(sound);
        sound.unflushed = true;
        EXPECT_TRUE(phaseIsSound(sound));
    }
    {
        WritePhase phase;
        writing(phase);
        phase.recordTried = false; // a write before the record
        phase.unflushed = true;
        EXPECT_FALSE(phaseIsSound(phase));
    }
    {
        WritePhase phase;
        writing(phase);
        phase.hold.release(); // interruptions not held while writing
        EXPECT_FALSE(phaseIsSound(phase));
    }
    {
        WritePhase phase;
        writing(phase);
        phase.step = PhaseStep::Written; // said written, not flushed
        phase.unflushed = true;
        EXPECT_FALSE(phaseIsSound(phase));
    }
    job.record.clear(); // the record is gone...
    {
        WritePhase phase;
        writing(phase);
        phase.unflushed = true; // ...with bytes not flushed
        EXPECT_FALSE(phaseIsSound(phase));
    }
    {
        WritePhase phase;
        writing(phase);
        phase.step = PhaseStep::Ended;
        phase.failing = true; // ...after a failure not undone
        EXPECT_FALSE(phaseIsSound(phase));
        phase.restored = true;
        EXPECT_TRUE(phaseIsSound(phase));
    }
}

} // namespace
