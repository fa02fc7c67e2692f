#include "e2e/e2e_fixture.h"

#include "seams/fault_plan.h"

#include <algorithm>
#include <filesystem>
#include <random>

#ifndef _WIN32
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using faults::Call;

// A 64 KiB target and a patched form with 40 changed regions, and the patch between them.
class DataSafety : public MorvaneRun {
  protected:
    std::string original;
    std::string patched;
    const std::vector<std::string> apply = {"--patch", "fix.pat"};
    const std::vector<std::string> reverse = {"--patch", "fix.pat", "--reverse"};
    static const unsigned BLOCKS = 40;

    void SetUp() override {
        MorvaneRun::SetUp();
        std::mt19937 random(9);
        original.resize(64 * 1024);
        for (char& byte : original)
            byte = static_cast<char>(random());
        patched = original;
        for (unsigned i = 0; i < BLOCKS; ++i)
            patched[i * 1500 + 7] = static_cast<char>(~patched[i * 1500 + 7]);
        write("t.bin", original);
        write("t.new", patched);
        ProcessResult created =
            run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"});
        ASSERT_EQ(created.exitCode, 0) << created.err;
    }

    ProcessResult runSeamed(const std::vector<std::string>& arguments, const faults::Plan& plan) {
        ProcessOptions with = options();
        with.setEnv.push_back({"MORVANE_TEST_FAULT", faults::describe(plan)});
        return runProcess(seamedMorvanePath(), arguments, with);
    }
};

TEST_F(DataSafety, AKilledRunIsFinishedOrUndoneByTheNextRun) {
    for (unsigned k : {1u, 2u, BLOCKS / 2, BLOCKS}) {
        for (bool undo : {false, true}) {
            SCOPED_TRACE(std::to_string(k) + (undo ? " then --reverse" : " then again"));
            write("t.bin", original);
            ProcessResult killed = runSeamed(apply, {Call::WriteAt, k, faults::Action::Kill});
            EXPECT_EQ(killed.exitCode, 137);
            EXPECT_NE(read("t.bin"), original);
            if (k < BLOCKS) {
                EXPECT_NE(read("t.bin"), patched);
            }
            EXPECT_EQ(records().size(), 1u);

            ProcessResult next = run(undo ? reverse : apply);
            EXPECT_EQ(next.exitCode, 0) << next.err;
            EXPECT_EQ(outputLines(next.out).size(), BLOCKS + (undo ? 4u : 3u));
            EXPECT_TRUE(read("t.bin") == (undo ? original : patched));
            EXPECT_EQ(records(), std::vector<std::string>{});
        }
    }
}

TEST_F(DataSafety, WithoutARecordAMixedFileStaysAMismatch) {
    write("t.bin", original);
    runSeamed(apply, {Call::WriteAt, 3, faults::Action::Kill});
    for (const std::string& name : records())
        fs::remove(fs::path(recordFolder()) / name);
    const std::string mixed = read("t.bin");
    EXPECT_FAILURE(run(apply), 10, "Patch does not apply to this file (data mismatch)");
    EXPECT_FAILURE(run(reverse), 10, "Patch does not apply to this file (data mismatch)");
    EXPECT_TRUE(read("t.bin") == mixed);
}

TEST_F(DataSafety, AFailedWriteIsRolledBack) {
    for (faults::Action action : {faults::Action::Fail, faults::Action::Short}) {
        for (unsigned k : {1u, 7u, BLOCKS}) {
            SCOPED_TRACE(faults::describe({Call::WriteAt, k, action}));
            write("t.bin", original);
            ProcessResult result = runSeamed(apply, {Call::WriteAt, k, action});
            EXPECT_FAILURE(result, 5, "Could not write to file to patch");
            EXPECT_EQ(outputLines(result.out).size(), k + 2);
            EXPECT_TRUE(read("t.bin") == original);
            EXPECT_EQ(records(), std::vector<std::string>{});
        }
    }
}

TEST_F(DataSafety, AFailedOutputLeavesTheOldFileAndNoStrayFile) {
    const std::string old = "an older patch, kept whole";
    const std::vector<std::string> create = {"--original", "t.bin",   "--patched",
                                             "t.new",      "--patch", "out.pat"};
    std::vector<std::string> package = create;
    package.push_back("--executable");
    struct Case {
        std::vector<std::string> arguments;
        faults::Plan plan;
        const char* message;
    };
    const Case cases[] = {
        {create, {Call::WriteNext, 1, faults::Action::Fail}, "Can't write to patch file"},
        {create, {Call::WriteNext, 1, faults::Action::Short}, "Can't write to patch file"},
        // The temporary patch is written first (one write), then the packaged program.
        {package, {Call::WriteNext, 2, faults::Action::Fail}, "Cannot write to output file"},
        {package, {Call::WriteNext, 2, faults::Action::Short}, "Cannot write to output file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(faults::describe(c.plan));
        write("out.pat", old);
        const std::vector<std::string> before = namesIn(folder.path());
        ProcessResult result = runSeamed(c.arguments, c.plan);
        EXPECT_FAILURE(result, 5, c.message);
        EXPECT_EQ(read("out.pat"), old);
        EXPECT_EQ(namesIn(folder.path()), before);
    }
}

TEST_F(DataSafety, AnOutputNeverReplacesAnInput) {
    write("m.txt", "read me");
    const std::string message = read("m.txt");
    struct Case {
        std::string output;
        bool package;
        const char* error;
    };
    const Case cases[] = {
        {"t.bin", false, "Can't write to patch file"},
        {"t.new", false, "Can't write to patch file"},
        {"m.txt", false, "Can't write to patch file"},
        {"./sub/../t.bin", false, "Can't write to patch file"},
        {"t.bin", true, "Cannot write to output file"},
        {"t.new", true, "Cannot write to output file"},
        {"m.txt", true, "Cannot write to output file"},
    };
    makeFolder(folder / "sub");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + (c.package ? " packaged" : ""));
        std::vector<std::string> arguments = {"--original", "t.bin",  "--patched", "t.new",
                                              "--patch",    c.output, "--message", "m.txt"};
        if (c.package)
            arguments.push_back("--executable");
        ProcessResult result = run(arguments);
        EXPECT_FAILURE(result, 5, c.error);
        EXPECT_TRUE(read("t.bin") == original);
        EXPECT_TRUE(read("t.new") == patched);
        EXPECT_EQ(read("m.txt"), message);
    }
}

#ifndef _WIN32

// Shell command text that runs `program` with the arguments, each quoted.
std::string commandLine(const std::string& program, const std::vector<std::string>& arguments) {
    std::string text = "'" + program + "'";
    for (const std::string& argument : arguments)
        text += " '" + argument + "'";
    return text;
}

// Runs the program in the scratch folder with standard output a pipe whose reading end is
// already closed, and with the default action for SIGPIPE, which ends a process; returns its
// wait status.
int runIntoClosedPipe(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& folder) {
    int ends[2];
    if (::pipe(ends) != 0)
        return -1;
    ::close(ends[0]);
    pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(ends[1], 1);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(126);
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(ends[1]);
    int status = -1;
    ::waitpid(child, &status, 0);
    return status;
}

TEST_F(DataSafety, AClosedOutputPipeDoesNotStopTheWrites) {
    ASSERT_EQ(
        run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.run", "--executable"})
            .exitCode,
        0);
    for (const std::string& program : {morvanePath(), folder / "fix.run"}) {
        SCOPED_TRACE(program);
        write("t.bin", original);
        int status = runIntoClosedPipe(
            program, program == morvanePath() ? apply : std::vector<std::string>{}, folder.path());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(read("t.bin") == patched);
    }
}

TEST_F(DataSafety, AnInterruptionWaitsForTheEndOfTheWrites) {
    write("t.bin", original);
    ProcessResult result = runSeamed(apply, {Call::WriteAt, 2, faults::Action::Interrupt});
    EXPECT_EQ(result.exitCode, 128 + 2); // ended by SIGINT, after the writes
    EXPECT_EQ(outputLines(result.out).size(), BLOCKS + 3);
    EXPECT_TRUE(read("t.bin") == patched);
    EXPECT_EQ(records(), std::vector<std::string>{});
}

// The fresh file that replaces an output gets the mode a new file of that name would get, and
// through a symbolic link the file it leads to is replaced, not the link.
TEST_F(DataSafety, AReplacedPatchFileIsLikeANewOneAndLinksStay) {
    write("real.pat", "old");
    ::chmod((folder / "real.pat").c_str(), 0600);
    ASSERT_EQ(::symlink("real.pat", (folder / "link.pat").c_str()), 0);
    mode_t previous = ::umask(027);
    ProcessResult result =
        run({"--original", "t.bin", "--patched", "t.new", "--patch", "link.pat"});
    ::umask(previous);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    struct stat info;
    ASSERT_EQ(::lstat((folder / "link.pat").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(::stat((folder / "real.pat").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(read("real.pat"), read("fix.pat"));
}

TEST_F(DataSafety, AFileSizeLimitIsAWriteErrorNotAKill) {
    std::string big = original + std::string(8192, 'z');
    write("t.bin", big);
    write("fix.pat", patchBytes("t.bin", static_cast<std::uint32_t>(big.size()), "",
                                {{100, big.substr(100, 2), "XY"}, {70000, "zz", "QQ"}}));
    // The limit (1 KiB blocks) lies between the two blocks: the second write fails.
    ProcessResult result = runProcess(
        "/bin/sh", {"-c", "ulimit -f 66; exec " + commandLine(morvanePath(), apply)}, options());
    EXPECT_FAILURE(result, 5, "Could not write to file to patch");
    EXPECT_TRUE(read("t.bin") == big);
}

#endif

} // namespace
