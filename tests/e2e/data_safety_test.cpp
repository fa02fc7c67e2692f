#include "e2e/e2e_fixture.h"

#include "seams/fault_plan.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>

#ifndef _WIN32
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
        makeSpacedChanges(BLOCKS, original, patched);
        write("t.bin", original);
        write("t.new", patched);
        ProcessResult created =
            run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"});
        ASSERT_EQ(created.exitCode, 0) << created.err;
    }

    // `base` with `count` regions of `width` bytes changed, one every 1500 bytes from `first`.
    static std::string changed(std::string base, std::size_t first, std::size_t width) {
        for (std::size_t i = 0; i < BLOCKS; ++i) {
            for (std::size_t k = 0; k < width; ++k)
                base[first + i * 1500 + k] = static_cast<char>(~base[first + i * 1500 + k]);
        }
        return base;
    }

    // Makes the patch `name` from t.bin (as it is now) to `bytes`.
    void makePatch(const std::string& name, const std::string& bytes,
                   const std::vector<std::string>& more = {}) {
        write("other.new", bytes);
        std::vector<std::string> arguments = {"--original", "t.bin",   "--patched",
                                              "other.new",  "--patch", name};
        arguments.insert(arguments.end(), more.begin(), more.end());
        ProcessResult created = run(arguments);
        ASSERT_EQ(created.exitCode, 0) << created.err;
    }

    // t.bin as the original, then the run with `patch` killed as its block `k` is written.
    void interrupt(const std::string& patch, unsigned k) {
        write("t.bin", original);
        ProcessResult killed =
            runSeamed({"--patch", patch}, {Call::WriteAt, k, faults::Action::Kill});
        ASSERT_EQ(killed.exitCode, 137);
    }
};

// A record is removed only when the file is wholly on one side; while it stays, the same command
// finishes the job and --reverse undoes it.
TEST_F(DataSafety, TheRecordStaysUntilTheFileIsWhollyOnOneSide) {
    struct Case {
        const char* what;
        unsigned killedAt;  // 0: a fresh run
        faults::Plan fault; // of the run after the kill
    };
    const Case cases[] = {
        {"a resumed run meets a write error", 30, {Call::WriteAt, 5, faults::Action::Fail}},
        {"a resumed run's write stops half-way", 30, {Call::WriteAt, 9, faults::Action::Short}},
        {"the rollback fails too", 0, {Call::WriteAt, 3, faults::Action::Fail, true}},
    };
    for (const Case& c : cases) {
        for (bool undo : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (undo ? ", then --reverse" : ", then again"));
            if (c.killedAt > 0)
                interrupt("fix.pat", c.killedAt);
            else
                write("t.bin", original);
            ProcessResult failed = runSeamed(apply, c.fault);
            EXPECT_FAILURE(failed, 5, "Could not write to file to patch");
            EXPECT_EQ(records().size(), 1u);
            ProcessResult next = run(undo ? reverse : apply);
            EXPECT_EQ(next.exitCode, 0) << next.err;
            EXPECT_TRUE(read("t.bin") == (undo ? original : patched));
            EXPECT_EQ(records(), std::vector<std::string>{});
        }
    }
}

// Blocks of several bytes: the block whose write failed part-way is written back too, and a
// block that was never written needs nothing, so the record goes.
TEST_F(DataSafety, ARollbackRestoresEveryByteWritten) {
    makePatch("wide.pat", changed(original, 3, 8));
    for (faults::Action action : {faults::Action::Fail, faults::Action::Short}) {
        for (unsigned k : {1u, 7u, BLOCKS}) {
            SCOPED_TRACE(faults::describe({Call::WriteAt, k, action}));
            write("t.bin", original);
            EXPECT_FAILURE(runSeamed({"--patch", "wide.pat"}, {Call::WriteAt, k, action}), 5,
                           "Could not write to file to patch");
            EXPECT_TRUE(read("t.bin") == original);
            EXPECT_EQ(records(), std::vector<std::string>{});
        }
    }
}

// A record belongs to one target and one patch: another patch never takes it, never removes it.
TEST_F(DataSafety, ARecordBelongsToOnePatch) {
    // A patch whose blocks lie between those of fix.pat.
    makePatch("between.pat", changed(original, 700, 1));
    // Two patches of the same length that differ only after their first MiB: a message of
    // 1 MiB and 70,000 bytes, then fix.pat's blocks, the last new byte changed in the second.
    write("m.txt", std::string((1 << 20) + 70000, 'm'));
    makePatch("long.pat", patched, {"--message", "m.txt"});
    std::string twin = read("long.pat");
    twin.back() = static_cast<char>(twin.back() ^ 0x55);
    write("twin.pat", twin);
    ASSERT_EQ(read("long.pat").size(), twin.size());

    interrupt("fix.pat", 20);
    EXPECT_EQ(run({"--patch", "between.pat"}).exitCode, 0);
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(run(apply).exitCode, 0);
    EXPECT_EQ(run({"--patch", "between.pat", "--reverse"}).exitCode, 0);
    EXPECT_TRUE(read("t.bin") == patched);
    EXPECT_EQ(records(), std::vector<std::string>{});

    interrupt("long.pat", 20);
    const std::string mixed = read("t.bin");
    EXPECT_FAILURE(run({"--patch", "twin.pat"}), 10,
                   "Patch does not apply to this file (data mismatch)");
    EXPECT_TRUE(read("t.bin") == mixed);
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(run({"--patch", "long.pat", "--reverse"}).exitCode, 0);
    EXPECT_TRUE(read("t.bin") == original);
    EXPECT_EQ(records(), std::vector<std::string>{});
}

// The record matches the file itself, however the path to it is spelled.
TEST_F(DataSafety, TheSpellingOfThePathNeverDecides) {
    interrupt("fix.pat", 20);
    ProcessOptions elsewhere = options();
#ifdef _WIN32
    std::string upper = folder.path();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_NE(upper, folder.path());
    elsewhere.workingDirectory = upper;
#else
    fs::create_directory_symlink(folder.path(), folder / "alias");
    elsewhere.workingDirectory = folder / "alias";
#endif
    ProcessResult next = run(apply, elsewhere);
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_TRUE(read("t.bin") == patched);
    EXPECT_EQ(records(), std::vector<std::string>{});
}

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
    std::vector<Case> cases = {
        {create, {Call::WriteNext, 1, faults::Action::Fail}, "Can't write to patch file"},
        {create, {Call::WriteNext, 1, faults::Action::Short}, "Can't write to patch file"},
        // The temporary patch is written first (one write), then the packaged program.
        {package, {Call::WriteNext, 2, faults::Action::Fail}, "Cannot write to output file"},
        {package, {Call::WriteNext, 2, faults::Action::Short}, "Cannot write to output file"},
        // The flush of the fresh file, then the rename that puts it in place.
        {create, {Call::SyncFile, 1, faults::Action::Fail}, "Can't write to patch file"},
        {create, {Call::Replace, 1, faults::Action::Fail}, "Can't write to patch file"},
        {package, {Call::SyncFile, 1, faults::Action::Fail}, "Cannot write to output file"},
        {package, {Call::Replace, 1, faults::Action::Fail}, "Cannot write to output file"},
    };
#ifndef _WIN32
    // Through a symbolic link to the old file, which stays whole and stays linked.
    fs::create_symlink("out.pat", folder / "link.pat");
    std::vector<std::string> throughLink = create;
    throughLink[5] = "link.pat";
    cases.push_back(
        {throughLink, {Call::WriteNext, 1, faults::Action::Fail}, "Can't write to patch file"});
    cases.push_back(
        {throughLink, {Call::Replace, 1, faults::Action::Fail}, "Can't write to patch file"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(faults::describe(c.plan) + " " + c.arguments[5]);
        write("out.pat", old);
        const std::vector<std::string> before = namesIn(folder.path());
        ProcessResult result = runSeamed(c.arguments, c.plan);
        EXPECT_FAILURE(result, 5, c.message);
        EXPECT_EQ(read("out.pat"), old);
        EXPECT_EQ(namesIn(folder.path()), before);
    }
}

// A fresh run flushes its record, the record's folder (not on Windows), then the target.
#ifdef _WIN32
const unsigned TARGET_FLUSH = 2;
#else
const unsigned TARGET_FLUSH = 3;
#endif

// A target whose writes cannot be flushed is rolled back; its record goes once the rollback is
// flushed, and otherwise stays for the next run.
TEST_F(DataSafety, AFailedFlushOfTheTargetIsRolledBack) {
    for (bool onward : {false, true}) {
        SCOPED_TRACE(onward ? "the rollback's flush fails too" : "the flush fails");
        write("t.bin", original);
        ProcessResult result =
            runSeamed(apply, {Call::SyncFile, TARGET_FLUSH, faults::Action::Fail, onward});
        EXPECT_FAILURE(result, 5, "Could not write to file to patch");
        EXPECT_EQ(outputLines(result.out).size(), BLOCKS + 3);
        EXPECT_TRUE(read("t.bin") == original);
        EXPECT_EQ(records().size(), onward ? 1u : 0u);
        ProcessResult next = run(apply);
        EXPECT_EQ(next.exitCode, 0) << next.err;
        EXPECT_TRUE(read("t.bin") == patched);
        EXPECT_EQ(records(), std::vector<std::string>{});
    }
}

// The writes are flushed before the record goes or the fresh file takes the old one's name: a
// run killed just after the flush leaves its record, and the next run finishes the job, or
// leaves the old file.
TEST_F(DataSafety, WritesAreFlushedBeforeTheRecordGoesOrTheNameIsReplaced) {
    const std::string old = "an older patch, kept whole";
    const std::vector<std::string> create = {"--original", "t.bin",   "--patched",
                                             "t.new",      "--patch", "out.pat"};
    std::vector<std::string> package = create;
    package.push_back("--executable");
    for (const auto& c : {std::make_pair(apply, TARGET_FLUSH), std::make_pair(create, 1u),
                          std::make_pair(package, 1u)}) {
        SCOPED_TRACE(c.first.back());
        write("t.bin", original);
        write("out.pat", old);
        EXPECT_EQ(runSeamed(c.first, {Call::SyncFile, c.second, faults::Action::Kill}).exitCode,
                  137);
        EXPECT_TRUE(read("out.pat") == old);
        if (c.first == apply) {
            EXPECT_EQ(records().size(), 1u);
            ProcessResult next = run(apply);
            EXPECT_EQ(next.exitCode, 0) << next.err;
            EXPECT_TRUE(read("t.bin") == patched);
            EXPECT_EQ(records(), std::vector<std::string>{});
        } else {
            EXPECT_TRUE(read("t.bin") == original);
        }
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

TEST_F(DataSafety, AClosedOutputPipeDoesNotStopTheWrites) {
    ASSERT_EQ(
        run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.run", "--executable"})
            .exitCode,
        0);
    for (const std::string& program : {morvanePath(), folder / "fix.run"}) {
        SCOPED_TRACE(program);
        write("t.bin", original);
        ProcessOptions into = options();
        into.closedOutputPipe = true;
        int status = 0;
        ::waitpid(startProcess(program,
                               program == morvanePath() ? apply : std::vector<std::string>{}, into),
                  &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(read("t.bin") == patched);
    }
}

// An interruption waits for the end of the target's writes; one that comes while a patch or a
// packaged program is written to its fresh file ends the run at once and removes that file.
TEST_F(DataSafety, AnInterruptionWaitsOnlyForTheTargetsWrites) {
    const std::vector<std::string> create = {"--original", "t.bin",   "--patched",
                                             "t.new",      "--patch", "out.pat"};
    const std::vector<std::string> package = {"--original", "t.bin",   "--patched",   "t.new",
                                              "--patch",    "out.run", "--executable"};
    const struct {
        faults::Action action;
        int signal;
    } signals[] = {{faults::Action::Interrupt, SIGINT},
                   {faults::Action::Terminate, SIGTERM},
                   {faults::Action::Hangup, SIGHUP},
                   {faults::Action::Quit, SIGQUIT}};
    for (const auto& s : signals) {
        SCOPED_TRACE(s.signal);
        write("t.bin", original);
        ProcessResult result = runSeamed(apply, {Call::WriteAt, 2, s.action});
        EXPECT_EQ(result.exitCode, 128 + s.signal); // ended by the signal, after the writes
        EXPECT_EQ(outputLines(result.out).size(), BLOCKS + 3);
        EXPECT_TRUE(read("t.bin") == patched);
        EXPECT_EQ(records(), std::vector<std::string>{});

        // While a patch and a packaged program are written: the old patch stays, no packaged
        // program appears, and nothing is left over.
        write("t.bin", original);
        write("out.pat", "an older patch");
        const std::vector<std::string> before = namesIn(folder.path());
        EXPECT_EQ(runSeamed(create, {Call::WriteNext, 1, s.action}).exitCode, 128 + s.signal);
        EXPECT_EQ(read("out.pat"), "an older patch");
        EXPECT_EQ(runSeamed(package, {Call::WriteNext, 2, s.action}).exitCode, 128 + s.signal);
        EXPECT_EQ(namesIn(folder.path()), before);
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

// An output keeps what the old file had, as writing in place kept it: mode, owner and group,
// extended attributes, other links; a link is followed, dangling or not; an old file the user
// may not write is kept and the run fails; a folder that takes no fresh file is written in
// place. A new file gets the mode a new file of that name would get.
TEST_F(DataSafety, AReplacedOutputKeepsWhatTheOldFileHad) {
    const uid_t NOBODY = 65534;
    const bool root = ::geteuid() == 0;
    // As root, the runs that need a user who may not write something run as another user.
    const bool asAnother = root && fs::exists("/usr/bin/setpriv");
    ::chmod(folder.path().c_str(), 0755);
    makeFolder(folder / "open");
    ::chmod((folder / "open").c_str(), 0777);
    makeFolder(folder / "shut");
    struct Case {
        const char* what;
        std::string output;                              // the name given to --patch
        std::string file;                                // the file that ends up with the patch
        std::function<bool(const std::string&)> prepare; // false: skipped
        int code;
        bool other; // run as the other user
    };
    auto oldFile = [this](const std::string& path, mode_t mode) {
        writeFile(path, "old");
        return ::chmod(path.c_str(), mode) == 0;
    };
    const std::vector<Case> cases = {
        {"mode 0600", "open/a.pat", "open/a.pat",
         [&](const std::string& path) { return oldFile(path, 0600); }, 0, false},
        {"mode 0751", "open/b.pat", "open/b.pat",
         [&](const std::string& path) { return oldFile(path, 0751); }, 0, false},
        {"a new file", "open/new.pat", "open/new.pat", [](const std::string&) { return true; }, 0,
         false},
        {"extended attribute", "open/x.pat", "open/x.pat",
         [&](const std::string& path) {
             return oldFile(path, 0644) &&
                    ::setxattr(path.c_str(), "user.morvane", "kept", 4, 0) == 0;
         },
         0, false},
        {"second link", "open/l.pat", "open/l2.pat",
         [&](const std::string& path) {
             return oldFile(path, 0644) &&
                    ::link(path.c_str(), (folder / "open/l2.pat").c_str()) == 0;
         },
         0, false},
        {"dangling link", "open/dangling.pat", "open/named.pat",
         [](const std::string& path) { return ::symlink("named.pat", path.c_str()) == 0; }, 0,
         false},
        {"another user's file", "open/theirs.pat", "open/theirs.pat",
         [&](const std::string& path) {
             return root && oldFile(path, 0640) && ::chown(path.c_str(), NOBODY, NOBODY) == 0;
         },
         0, false},
        {"read-only file", "open/ro.pat", "open/ro.pat",
         [&](const std::string& path) {
             return (asAnother || !root) && oldFile(path, 0444) &&
                    (!root || ::chown(path.c_str(), NOBODY, NOBODY) == 0);
         },
         5, asAnother},
        {"folder that takes no fresh file", "shut/w.pat", "shut/w.pat",
         [&](const std::string& path) {
             return (asAnother || !root) && oldFile(path, 0666) &&
                    ::chmod((folder / "shut").c_str(), 0755) == 0 &&
                    (root || ::chmod((folder / "shut").c_str(), 0555) == 0);
         },
         0, asAnother},
        {"link to an input", "open/input.pat", "t.bin",
         [this](const std::string& path) {
             return ::symlink((folder / "t.bin").c_str(), path.c_str()) == 0;
         },
         5, false},
        {"set-user-ID, set-group-ID and sticky bits", "open/s.pat", "open/s.pat",
         [&](const std::string& path) { return root && oldFile(path, 07755); }, 0, false},
        {"an owner and a group that differ", "open/g.pat", "open/g.pat",
         [&](const std::string& path) {
             return root && oldFile(path, 0640) && ::chown(path.c_str(), 12345, 23456) == 0;
         },
         0, false},
        {"a longer old file with a second link", "open/long.pat", "open/long.pat",
         [&](const std::string& path) {
             writeFile(path, std::string(100000, 'o'));
             return ::link(path.c_str(), (folder / "open/long2.pat").c_str()) == 0;
         },
         0, false},
        // The fresh file cannot be given to its owner: the old file is written in place.
        {"another user's file, for a user who cannot give files away", "open/given.pat",
         "open/given.pat",
         [&](const std::string& path) {
             return asAnother && oldFile(path, 0666) && ::chown(path.c_str(), 12345, 12345) == 0;
         },
         0, true},
        {"a folder part through an absolute link", "via/rel.pat", "open/named2.pat",
         [this](const std::string&) {
             return ::symlink((folder / "open").c_str(), (folder / "via").c_str()) == 0 &&
                    ::symlink("named2.pat", (folder / "open/rel.pat").c_str()) == 0;
         },
         0, false},
    };
    const std::string patch = read("fix.pat");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = folder / c.output;
        if (!c.prepare(path)) {
            std::cout << "skipped: " << c.what << " (needs "
                      << (root ? "setpriv or user xattrs" : "root") << ")\n";
            continue;
        }
        struct stat before;
        bool existed = ::stat((folder / c.file).c_str(), &before) == 0;
        const std::string old = existed ? read(c.file) : "";
        std::vector<std::string> arguments = {"--original", "t.bin",   "--patched",
                                              "t.new",      "--patch", path};
        ProcessResult result;
        if (c.other) {
            std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                            morvanePath()};
            all.insert(all.end(), arguments.begin(), arguments.end());
            result = runProcess("/usr/bin/setpriv", all, options());
        } else {
            result = run(arguments);
        }
        if (c.code != 0) {
            EXPECT_FAILURE(result, c.code, "Can't write to patch file");
            EXPECT_TRUE(read(c.file) == old);
            continue;
        }
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(read(c.file), patch);
        struct stat after;
        ASSERT_EQ(::stat((folder / c.file).c_str(), &after), 0);
        if (existed) {
            EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_gid, before.st_gid);
        } else {
            mode_t mask = ::umask(0);
            ::umask(mask);
            EXPECT_EQ(after.st_mode & 0777, 0666 & ~mask);
        }
        char value[8] = {};
        if (std::string(c.what) == "extended attribute") {
            EXPECT_EQ(::getxattr(path.c_str(), "user.morvane", value, sizeof value), 4);
            EXPECT_EQ(std::string(value), "kept");
        }
        if (std::string(c.what) == "second link") {
            EXPECT_EQ(read(c.output), patch);
        }
        if (std::string(c.what) == "dangling link") {
            struct stat link;
            ASSERT_EQ(::lstat(path.c_str(), &link), 0);
            EXPECT_TRUE(S_ISLNK(link.st_mode));
        }
    }
    EXPECT_TRUE(read("t.bin") == original);
    // No fresh file is left anywhere.
    for (const char* sub : {"open", "shut"}) {
        for (const std::string& name : namesIn(folder / sub))
            EXPECT_EQ(name.find(".morvane-"), std::string::npos) << name;
    }
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
    // The block past the limit was never written: nothing of it to restore, and the record goes.
    EXPECT_EQ(records(), std::vector<std::string>{});
}

// While one run writes the target, no other run writes it or makes a patch from it; two runs
// that only read may share their files.
TEST_F(DataSafety, ARunWritingTheTargetShutsOutOtherRuns) {
    const std::vector<std::string> createA = {"--original", "t.bin",   "--patched",
                                              "t.new",      "--patch", "a.pat"};
    const std::vector<std::string> createB = {"--original", "t.new",   "--patched",
                                              "t.bin",      "--patch", "b.pat"};
    const faults::Plan writing = {Call::WriteAt, 2, faults::Action::Stop};
    const faults::Plan reading = {Call::ReadAt, 1, faults::Action::Stop};
    struct Case {
        std::vector<std::string> first;
        faults::Plan held;
        std::vector<std::string> second;
        int code;
        const char* error;
    };
    const Case cases[] = {
        {apply, writing, reverse, 4, "Could not open file to patch"},
        {apply, writing, apply, 4, "Could not open file to patch"},
        {apply, writing, createA, 4, "Could not open original file"},
        {apply, writing, createB, 4, "Could not open patched file"},
        {createA, reading, apply, 4, "Could not open file to patch"},
        {createA, reading, createB, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first[0] + " held, then " + c.second.back());
        write("t.bin", original);
        pid_t first = startProcess(seamedMorvanePath(), c.first, options().withFaults(c.held));
        int status = 0;
        ASSERT_EQ(::waitpid(first, &status, WUNTRACED), first);
        ASSERT_TRUE(WIFSTOPPED(status)) << status;
        const std::string during = read("t.bin");
        ProcessResult second = run(c.second);
        if (c.error != nullptr) {
            EXPECT_FAILURE(second, c.code, c.error);
        } else {
            EXPECT_EQ(second.exitCode, 0) << second.err;
        }
        EXPECT_TRUE(read("t.bin") == during);
        ::kill(first, SIGCONT);
        ASSERT_EQ(::waitpid(first, &status, 0), first);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(read("t.bin") == (c.first == apply ? patched : original));
        EXPECT_EQ(records(), std::vector<std::string>{});
    }
}

// A closed standard stream is never the target: descriptors 0, 1 and 2 lead to the null device.
TEST_F(DataSafety, ClosedStandardStreamsNeverReceiveTheTarget) {
    struct Case {
        const char* redirections;
        bool patchedBefore;
        int code;
    };
    const Case cases[] = {
        {">&-", false, 0},     {"2>&-", true, 9},          {">&- 2>&-", true, 9},
        {"<&- >&-", false, 0}, {"<&- >&- 2>&-", false, 0}, {"<&-", true, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.redirections);
        write("t.bin", c.patchedBefore ? patched : original);
        ProcessResult result = runProcess(
            "/bin/sh", {"-c", "exec " + commandLine(morvanePath(), apply) + " " + c.redirections},
            options());
        EXPECT_EQ(result.exitCode, c.code);
        EXPECT_TRUE(read("t.bin") == patched);
    }
}

// PATCH.TXT in a temporary folder that holds the patch or the target is neither written nor
// shown: the message is printed.
TEST_F(DataSafety, PatchTxtIsNeverTheRunsOwnFile) {
    write("m.txt", "read me first");
    makePatch("msg.pat", patched, {"--message", "m.txt"});
    const std::string patch = read("msg.pat");
    write("PATCH.TXT", patch);
    ProcessOptions here = options();
    here.set("TMPDIR", folder.path());
    ProcessResult asPatch = run({"--patch", "PATCH.TXT"}, here);
    EXPECT_EQ(asPatch.exitCode, 0) << asPatch.err;
    EXPECT_EQ(outputLines(asPatch.out).at(1), "read me first");
    EXPECT_TRUE(read("PATCH.TXT") == patch);
    EXPECT_TRUE(read("t.bin") == patched);

    write("PATCH.TXT", original);
    ASSERT_EQ(run({"--original", "PATCH.TXT", "--patched", "t.new", "--patch", "target.pat",
                   "--message", "m.txt"})
                  .exitCode,
              0);
    ProcessResult asTarget = run({"--patch", "target.pat"}, here);
    EXPECT_EQ(asTarget.exitCode, 0) << asTarget.err;
    EXPECT_EQ(outputLines(asTarget.out).at(1), "read me first");
    EXPECT_TRUE(read("PATCH.TXT") == patched);
}

// Records live where a reboot keeps them, in a folder of the user's own; else in the temporary
// folder; else nowhere, and the patch is still applied.
TEST_F(DataSafety, RecordsLiveWhereARebootKeepsThem) {
    write("a-file", "");
    // Only the last folder is ever made.
    makeFolder(folder / "xdg/state");
    makeFolder(folder / "home/.local/state");
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> set;
        std::vector<std::string> unset;
        std::string recordFolder; // empty: no record
    };
    const Case cases[] = {
        {"XDG_STATE_HOME, created",
         {{"XDG_STATE_HOME", folder / "xdg/state"}},
         {},
         folder / "xdg/state/morvane"},
        {"HOME",
         {{"HOME", folder / "home"}},
         {"XDG_STATE_HOME"},
         folder / "home/.local/state/morvane"},
        {"relative XDG_STATE_HOME",
         {{"XDG_STATE_HOME", "state"}, {"HOME", folder / "home"}},
         {},
         folder / "home/.local/state/morvane"},
        {"no home", {}, {"XDG_STATE_HOME", "HOME"}, temporaryFolder()},
        {"state folder a file",
         {{"XDG_STATE_HOME", folder / "a-file"}},
         {"HOME"},
         temporaryFolder()},
        {"no folder at all",
         {{"XDG_STATE_HOME", folder / "a-file"}, {"TMPDIR", folder / "missing"}},
         {"HOME"},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProcessOptions with = options();
        for (const auto& variable : c.set)
            with.set(variable.first, variable.second);
        for (const std::string& name : c.unset)
            with.unset(name);
        write("t.bin", original);
        EXPECT_EQ(runSeamed(apply, {Call::WriteAt, 2, faults::Action::Kill}, with).exitCode, 137);
        if (!c.recordFolder.empty()) {
            ASSERT_EQ(namesIn(c.recordFolder).size(), 1u);
            struct stat info;
            ASSERT_EQ(::stat(c.recordFolder.c_str(), &info), 0);
            if (c.recordFolder != temporaryFolder()) {
                EXPECT_EQ(info.st_mode & 0777, 0700u);
            }
            EXPECT_EQ(run(apply, with).exitCode, 0);
            EXPECT_TRUE(read("t.bin") == patched);
            EXPECT_EQ(namesIn(c.recordFolder), std::vector<std::string>{});
        } else {
            EXPECT_EQ(run(apply, with).exitCode, 10);
            write("t.bin", original);
            EXPECT_EQ(run(apply, with).exitCode, 0);
            EXPECT_TRUE(read("t.bin") == patched);
        }
        EXPECT_EQ(records(), std::vector<std::string>{});
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

// Only a record that is the user's own regular file with one link is trusted: a link to a copy
// of the real record, a second link to it, a FIFO under its name.
TEST_F(DataSafety, ARecordThatIsNotTheUsersPrivateFileIsNotTrusted) {
    const std::vector<std::function<void(const std::string&, const std::string&)>> plants = {
        [](const std::string& record, const std::string& copy) {
            fs::rename(record, copy);
            fs::create_symlink(copy, record);
        },
        [](const std::string& record, const std::string& copy) {
            fs::create_hard_link(record, copy);
        },
        [](const std::string& record, const std::string&) {
            fs::remove(record);
            ::mkfifo(record.c_str(), 0600);
        },
    };
    for (std::size_t k = 0; k < plants.size(); ++k) {
        SCOPED_TRACE(k);
        interrupt("fix.pat", 20);
        ASSERT_EQ(records().size(), 1u);
        const std::string record = (fs::path(recordFolder()) / records()[0]).string();
        const std::string copy = folder / "copy";
        plants[k](record, copy);
        const std::string mixed = read("t.bin");
        EXPECT_FAILURE(run(apply), 10, "Patch does not apply to this file (data mismatch)");
        EXPECT_TRUE(read("t.bin") == mixed);
        fs::remove(record);
        fs::remove(copy);
    }
}

// A temporary file is the user's alone while it lives.
TEST_F(DataSafety, TemporaryFilesAreTheUsersAlone) {
    ProcessResult killed = runSeamed(
        {"--original", "t.bin", "--patched", "t.new", "--patch", "out.run", "--executable"},
        {Call::WriteNext, 1, faults::Action::Kill});
    EXPECT_EQ(killed.exitCode, 137);
    const std::vector<std::string> left = namesIn(temporaryFolder());
    ASSERT_EQ(left.size(), 1u);
    struct stat info;
    ASSERT_EQ(::stat((fs::path(temporaryFolder()) / left[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Failing packaging runs leave nothing: identical files (7), an output that is an input (5).
    fs::remove(fs::path(temporaryFolder()) / left[0]);
    EXPECT_EQ(run({"--original", "t.bin", "--patched", "t.bin", "--patch", "o.run", "--executable"})
                  .exitCode,
              7);
    EXPECT_EQ(run({"--original", "t.bin", "--patched", "t.new", "--patch", "t.bin", "--executable"})
                  .exitCode,
              5);
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
}

// An interruption outside a write phase (while the files are compared, while a self-applying
// patch copies out its patch or reads it) ends the run at once and leaves no temporary file: a
// temporary file is on the list of files to remove from the moment it exists.
TEST_F(DataSafety, AnInterruptionLeavesNoTemporaryFile) {
    const std::vector<std::string> package = {"--original", "t.bin",   "--patched",   "t.new",
                                              "--patch",    "fix.run", "--executable"};
    ASSERT_EQ(runSeamed(package, faults::Plan()).exitCode, 0);
    const std::vector<std::string> packaging = {"--original", "t.bin",   "--patched",   "t.new",
                                                "--patch",    "out.run", "--executable"};
    const std::string selfApplying = folder / "fix.run";
    struct Row {
        std::string program;
        std::vector<std::string> arguments;
        faults::Plan plan;
        int signal;
    };
    const Row rows[] = {
        {seamedMorvanePath(), packaging, {Call::ReadAt, 1, faults::Action::Interrupt}, SIGINT},
        {selfApplying, {}, {Call::ReadAt, 1, faults::Action::Interrupt}, SIGINT},
        {selfApplying, {}, {Call::WriteNext, 1, faults::Action::Interrupt}, SIGINT},
        {selfApplying, {}, {Call::WriteNext, 1, faults::Action::Terminate}, SIGTERM},
        {selfApplying, {"--reverse"}, {Call::WriteNext, 1, faults::Action::Hangup}, SIGHUP},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.program + " " + faults::describe(row.plan));
        ProcessResult result =
            runProcess(row.program, row.arguments, options().withFaults(row.plan));
        EXPECT_EQ(result.exitCode, 128 + row.signal);
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
        EXPECT_FALSE(fileExists(folder / "out.run"));
        EXPECT_TRUE(read("t.bin") == original);
    }
}

// A FIFO that no one reads, named as the output, fails at once.
TEST_F(DataSafety, AFifoOutputWithoutAReaderFailsAtOnce) {
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    EXPECT_FAILURE(run({"--original", "t.bin", "--patched", "t.new", "--patch", "fifo"}), 5,
                   "Can't write to patch file");
    EXPECT_FAILURE(
        run({"--original", "t.bin", "--patched", "t.new", "--patch", "fifo", "--executable"}), 5,
        "Cannot write to output file");
}

#endif

} // namespace
