// Resume records in-process: a record is found again only for its own target and patch, by what
// a reboot keeps of the target's identity, and only when it is the user's own; the state folder
// is made only where it takes nothing from anyone.
#include "apply/resume_record.h"
#include "seams/fault_plan.h"
#include "support/environment.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Records go to `folder`/state (as the state folder's parent) or `folder`/tmp.
ProcessOptions recordFolders(const ScratchFolder& folder) {
    makeFolder(folder / "state");
    makeFolder(folder / "tmp");
    return ProcessOptions()
        .set("XDG_STATE_HOME", folder / "state")
        .set("LOCALAPPDATA", folder / "state")
        .set("TMPDIR", folder / "tmp")
        .set("TMP", folder / "tmp")
        .set("TEMP", folder / "tmp");
}

ResumeJob aJob() {
    ResumeJob job;
    job.target.known = true;
    job.target.volume = 0x5EED0001;
    job.target.index = 0x42;
    job.targetSize = 65536;
    job.patchLength = 1234;
    job.patchHash = 0xABCDEF0123456789u;
    return job;
}

bool found(ResumeJob job) {
    findResumeRecord(job);
    return !job.record.empty();
}

// Every path under the folder, sorted.
std::vector<std::string> everythingIn(const std::string& folder) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace

// Every part of the identity decides; the direction does not. A job on another file (an inode
// that differs only past 32 bits, another file system, a device) has a record of its own, whose
// writing never takes the place of this job's record.
TEST(ResumeRecord, IsFoundOnlyForItsOwnTargetAndPatch) {
    ScratchFolder folder;
    ScopedEnvironment environment(recordFolders(folder));
    struct Case {
        const char* what;
        std::function<void(ResumeJob&)> change;
        bool sameJob;
        bool otherFile; // its record is written beside this job's
    };
    const Case cases[] = {
        {"the same job", [](ResumeJob&) {}, true, false},
        {"the other direction", [](ResumeJob& job) { job.reverse = true; }, true, false},
        {"an inode 2^32 higher", [](ResumeJob& job) { job.target.index += 1ull << 32; }, false,
         true},
        {"another file system", [](ResumeJob& job) { job.target.volume ^= 1; }, false, true},
        {"a device of that number", [](ResumeJob& job) { job.target.device = true; }, false, true},
        {"another patch hash", [](ResumeJob& job) { job.patchHash ^= 1ull << 63; }, false, true},
        {"another size", [](ResumeJob& job) { job.targetSize += 1; }, false, false},
        {"another patch length", [](ResumeJob& job) { job.patchLength += 1; }, false, false},
    };
    ResumeJob job = aJob();
    writeResumeRecord(job);
    ASSERT_FALSE(job.record.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResumeJob other = aJob();
        c.change(other);
        EXPECT_EQ(found(other), c.sameJob);
        if (!c.otherFile)
            continue;
        writeResumeRecord(other);
        EXPECT_FALSE(other.record.empty());
        EXPECT_NE(other.record, job.record);
        EXPECT_TRUE(found(aJob()));
        EXPECT_TRUE(found(other));
        removeResumeRecord(other);
        EXPECT_TRUE(found(aJob()));
    }
    removeResumeRecord(job);
    EXPECT_FALSE(found(aJob()));
}

// A record that cannot be written whole anywhere leaves nothing behind; the run goes on without.
TEST(ResumeRecord, AFailedWriteLeavesNoRecord) {
    ScratchFolder folder;
    ScopedEnvironment environment(recordFolders(folder));
    for (faults::Call call : {faults::Call::WriteNext, faults::Call::SyncFile}) {
        faults::Plan plan = {call, 1, faults::Action::Fail, true};
        SCOPED_TRACE(faults::describe(plan));
        faults::plant(plan);
        ResumeJob job = aJob();
        writeResumeRecord(job);
        faults::plant(faults::Plan());
        EXPECT_TRUE(job.record.empty());
        // Nothing but the state folder itself.
        for (const std::string& path : everythingIn(folder.path()))
            EXPECT_EQ(std::filesystem::is_directory(path), true) << path;
        EXPECT_FALSE(found(aJob()));
    }
}

#ifndef _WIN32

const uid_t SOMEONE = 12345;
const gid_t THEIR_GROUP = 23456;

// Another user's file under a record's name is neither trusted nor touched: the record goes to
// the next folder.
TEST(ResumeRecord, AnotherUsersFileUnderItsNameIsNeitherTrustedNorTouched) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    ScratchFolder folder;
    ScopedEnvironment environment(recordFolders(folder));
    ResumeJob job = aJob();
    writeResumeRecord(job);
    ASSERT_EQ(job.record.rfind(folder / "state/morvane/", 0), 0u);
    const std::string theirs = job.record;
    const std::string bytes = readFile(theirs);
    ASSERT_EQ(::chown(theirs.c_str(), SOMEONE, THEIR_GROUP), 0);
    EXPECT_FALSE(found(aJob()));
    writeResumeRecord(job);
    EXPECT_EQ(job.record.rfind(folder / "tmp/", 0), 0u) << job.record;
    EXPECT_TRUE(found(aJob()));
    removeResumeRecord(job);
    struct stat info;
    ASSERT_EQ(::stat(theirs.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, SOMEONE);
    EXPECT_EQ(readFile(theirs), bytes);
}

// Only the last folder, morvane, is ever made, and only in a folder of the user's own; a
// morvane folder that others may write, or that is not the user's, is passed over.
TEST(ResumeRecord, TheStateFolderTakesNothingFromAnyone) {
    const bool root = ::geteuid() == 0;
    ScratchFolder folder;
    struct Case {
        const char* what;
        bool xdg;                                       // XDG_STATE_HOME, else HOME
        std::function<bool(const std::string&)> before; // given the base; false: skipped
        std::string expected;                           // relative to the base; "": none
    };
    auto own = [](const std::string& base) {
        makeFolder(base);
        return true;
    };
    auto givenAway = [](const std::string& base) {
        makeFolder(base);
        return ::chown(base.c_str(), SOMEONE, THEIR_GROUP) == 0;
    };
    const Case cases[] = {
        {"XDG_STATE_HOME of the user's", true, own, "morvane"},
        {"missing XDG_STATE_HOME", true, [](const std::string&) { return true; }, ""},
        {"XDG_STATE_HOME of another user's", true,
         [&](const std::string& b) { return root && givenAway(b); }, ""},
        {"morvane that its group may write", true,
         [&](const std::string& b) {
             makeFolder(b + "/morvane");
             return ::chmod((b + "/morvane").c_str(), 0770) == 0;
         },
         ""},
        {"morvane of another user's", true,
         [&](const std::string& b) { return root && own(b) && givenAway(b + "/morvane"); }, ""},
        {"morvane already there", true,
         [&](const std::string& b) {
             makeFolder(b + "/morvane");
             return ::chmod((b + "/morvane").c_str(), 0700) == 0;
         },
         "morvane"},
        {"a home of the user's with .local/state", false,
         [&](const std::string& b) { return own(b + "/.local/state"); }, ".local/state/morvane"},
        {"a home of the user's without .local", false, own, ""},
        {"a home of another user's (root with their HOME)", false,
         [&](const std::string& b) {
             return root && givenAway(b) && givenAway(b + "/.local") &&
                    givenAway(b + "/.local/state");
         },
         ""},
        {"a home of another user's without .local", false,
         [&](const std::string& b) { return root && givenAway(b); }, ""},
    };
    for (std::size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.what);
        const std::string base = folder / ("base" + std::to_string(k));
        if (!c.before(base)) {
            std::cout << "skipped: " << c.what << " (needs root)\n";
            continue;
        }
        ProcessOptions edits;
        if (c.xdg)
            edits.set("XDG_STATE_HOME", base).set("HOME", folder / "nowhere");
        else
            edits.unset("XDG_STATE_HOME").set("HOME", base);
        const std::vector<std::string> namesBefore = everythingIn(folder.path());
        std::string state;
        {
            ScopedEnvironment environment(edits);
            state = platform::stateFolder();
        }
        EXPECT_EQ(state, c.expected.empty() ? "" : base + "/" + c.expected + "/");
        if (!c.expected.empty()) {
            struct stat info;
            ASSERT_EQ(::stat(state.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0700u);
            EXPECT_EQ(info.st_uid, ::geteuid());
            continue;
        }
        EXPECT_EQ(everythingIn(folder.path()), namesBefore);
    }
}

#endif
