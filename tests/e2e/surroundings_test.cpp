// Runs while the world around them changes: disks that come back under other numbers, device
// nodes made afresh, other runs on the patch, other users' links and folders, readers that
// stall, interruptions. Tests that need root (loop devices, files of other users) skip without.
#include "e2e/e2e_fixture.h"

#ifndef _WIN32

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using faults::Action;
using faults::Call;

// The path of a system tool, empty when it is missing.
std::string tool(const std::string& name) {
    for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        if (::access((folder + name).c_str(), X_OK) == 0)
            return folder + name;
    }
    return std::string();
}

// Runs a system tool; true when it ends with 0. `out` receives its standard output.
bool runTool(const std::string& name, const std::vector<std::string>& arguments,
             std::string* out = nullptr) {
    std::string path = tool(name);
    if (path.empty())
        return false;
    ProcessResult result = runProcess(path, arguments);
    if (out != nullptr)
        *out = result.out;
    return result.exitCode == 0;
}

// A loop device that shows an image file, detached when it goes; no name when none can be had.
struct LoopDevice {
    std::string name;
    explicit LoopDevice(const std::string& image) {
        std::string out;
        if (::geteuid() == 0 && runTool("losetup", {"--find", "--show", image}, &out))
            name = out.substr(0, out.find('\n'));
    }
    ~LoopDevice() {
        if (!name.empty())
            runTool("losetup", {"--detach", name});
    }
};

// A file system mounted from a device, unmounted when it goes.
struct Mount {
    std::string point;
    bool mounted;
    Mount(const std::string& device, const std::string& at)
        : point(at), mounted(runTool("mount", {device, at})) {}
    ~Mount() {
        if (mounted)
            runTool("umount", {point});
    }
};

// Waits up to `seconds` for the process to end and returns its raw wait status; -1 when it did
// not end (it is killed then).
int waitFor(int pid, int seconds) {
    for (int k = 0; k < seconds * 100; ++k) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

bool endedBy(int status, int signal) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == signal;
}
bool exitedWith(int status, int code) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Shell text that runs `program` with the arguments, each quoted.
std::string commandLine(const std::string& program, const std::vector<std::string>& arguments) {
    std::string text = "'" + program + "'";
    for (const std::string& argument : arguments)
        text += " '" + argument + "'";
    return text;
}

struct stat statusOf(const std::string& path) {
    struct stat info = {};
    ::lstat(path.c_str(), &info);
    return info;
}

// The names in the folder that a fresh output would have.
std::vector<std::string> freshFilesIn(const std::string& folder) {
    std::vector<std::string> fresh;
    for (const std::string& name : namesIn(folder)) {
        if (name.rfind(".morvane-", 0) == 0)
            fresh.push_back(name);
    }
    return fresh;
}

// A 64 KiB target, a patched form with 40 changed bytes and the patch between them.
class Surroundings : public MorvaneRun {
  protected:
    std::string original;
    std::string patched;
    const std::vector<std::string> apply = {"--patch", "fix.pat"};
    const std::vector<std::string> reverse = {"--patch", "fix.pat", "--reverse"};

    void SetUp() override {
        MorvaneRun::SetUp();
        makeSpacedChanges(40, original, patched);
        makeData(folder.path());
    }

    ProcessOptions in(const std::string& where) const {
        ProcessOptions with = options();
        with.workingDirectory = where;
        return with;
    }

    // t.bin, t.new and fix.pat between them, in `where`.
    void makeData(const std::string& where) {
        writeFile(where + "/t.bin", original);
        writeFile(where + "/t.new", patched);
        ProcessResult created =
            run({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"}, in(where));
        ASSERT_EQ(created.exitCode, 0) << created.err;
    }

    // `name`.old and `name`.new of `size` bytes, every byte changed.
    void makePair(const std::string& name, std::size_t size) {
        std::string bytes(size, '\0');
        std::mt19937 random(static_cast<unsigned>(size));
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        write(name + ".old", bytes);
        for (char& byte : bytes)
            byte = static_cast<char>(~byte);
        write(name + ".new", bytes);
    }
};

// A disk image that comes back under another loop device (another device number, as after a
// reboot): the record of the interrupted run is found, and the same command finishes the job
// or --reverse undoes it.
TEST_F(Surroundings, ADiskBackUnderAnotherNumberKeepsItsRecord) {
    const std::string image = folder / "disk.img";
    writeFile(image, "");
    ASSERT_TRUE(resizeFile(image, 16 << 20));
    if (::geteuid() != 0 || !runTool("mkfs.ext4", {"-q", "-F", image}))
        GTEST_SKIP() << "needs root and mkfs.ext4";
    const std::string mounted = folder / "mnt";
    makeFolder(mounted);
    for (bool undo : {false, true}) {
        SCOPED_TRACE(undo ? "then --reverse" : "then again");
        LoopDevice first(image);
        if (first.name.empty())
            GTEST_SKIP() << "no loop device";
        dev_t before = 0;
        {
            Mount disk(first.name, mounted);
            ASSERT_TRUE(disk.mounted);
            makeData(mounted);
            before = statusOf(mounted + "/t.bin").st_dev;
            ASSERT_EQ(runSeamed(apply, {Call::WriteAt, 20, Action::Kill}, in(mounted)).exitCode,
                      137);
            ASSERT_EQ(records().size(), 1u);
        }
        // The first device still holds its number.
        LoopDevice second(image);
        ASSERT_FALSE(second.name.empty());
        Mount disk(second.name, mounted);
        ASSERT_TRUE(disk.mounted);
        ASSERT_NE(statusOf(mounted + "/t.bin").st_dev, before);
        ProcessResult next = run(undo ? reverse : apply, in(mounted));
        EXPECT_EQ(next.exitCode, 0) << next.err;
        EXPECT_TRUE(readFile(mounted + "/t.bin") == (undo ? original : patched));
        EXPECT_EQ(records(), std::vector<std::string>{});
    }
}

// A block device is named by the device, not by its node: a node made afresh (as /dev is at
// every boot) still finds the record. A block device is an input like a file, too.
TEST_F(Surroundings, ADeviceNodeMadeAfreshKeepsItsRecord) {
    const std::string image = folder / "device.img";
    writeFile(image, original);
    LoopDevice loop(image);
    if (loop.name.empty())
        GTEST_SKIP() << "needs root and a loop device";
    const dev_t device = statusOf(loop.name).st_rdev;
    const std::string node = folder / "disk";
    auto makeNode = [&] {
        const std::string next = node + ".next";
        return ::mknod(next.c_str(), S_IFBLK | 0600, device) == 0 &&
               ::rename(next.c_str(), node.c_str()) == 0;
    };
    ASSERT_TRUE(makeNode());
    ProcessResult created =
        run({"--original", "disk", "--patched", "t.new", "--patch", "disk.pat"});
    EXPECT_EQ(created.exitCode, 0) << created.err;
    EXPECT_EQ(outputLines(created.out).at(3), "Found 40 bytes in 40 blocks.");
    for (bool undo : {false, true}) {
        SCOPED_TRACE(undo ? "then --reverse" : "then again");
        writeFile(node, original);
        ASSERT_EQ(runSeamed({"--patch", "disk.pat"}, {Call::WriteAt, 20, Action::Kill}).exitCode,
                  137);
        const ino_t before = statusOf(node).st_ino;
        ASSERT_TRUE(makeNode());
        ASSERT_NE(statusOf(node).st_ino, before);
        std::vector<std::string> arguments = {"--patch", "disk.pat"};
        if (undo)
            arguments.push_back("--reverse");
        ProcessResult next = run(arguments);
        EXPECT_EQ(next.exitCode, 0) << next.err;
        EXPECT_TRUE(readFile(node) == (undo ? original : patched));
        EXPECT_EQ(records(), std::vector<std::string>{});
    }
}

// When no record can be written in any folder, the patch is applied all the same, and no empty
// record is left behind.
TEST_F(Surroundings, APatchAppliesWhenNoRecordCanBeWritten) {
    ProcessResult result = runSeamed(apply, {Call::WriteNext, 1, Action::Fail, true});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(read("t.bin") == patched);
    EXPECT_EQ(records(), std::vector<std::string>{});
    EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
}

// While a run applies a patch, a run that would write the patch in place (it has a second link)
// fails without touching it; one that replaces it by rename leaves the applying run its file.
// Either way the applying run finishes with its own patch.
TEST_F(Surroundings, ARunApplyingAPatchKeepsItWhole) {
    const std::string patch = read("fix.pat");
    makePair("ab", 4096);
    ASSERT_EQ(run({"--original", "ab.old", "--patched", "ab.new", "--patch", "ab.pat"}).exitCode,
              0);
    struct Case {
        const char* what;
        bool secondLink;
        int code;
    };
    const Case cases[] = {{"a patch written in place over it", true, 5},
                          {"a patch renamed over it", false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write("t.bin", original);
        write("fix.pat", patch);
        fs::remove(folder / "fix2.pat");
        if (c.secondLink)
            fs::create_hard_link(folder / "fix.pat", folder / "fix2.pat");
        int held = startProcess(seamedMorvanePath(), apply,
                                options().withFaults({Call::WriteAt, 2, Action::Stop}));
        int status = 0;
        ASSERT_EQ(::waitpid(held, &status, WUNTRACED), held);
        ASSERT_TRUE(WIFSTOPPED(status)) << status;
        ProcessResult created =
            run({"--original", "ab.old", "--patched", "ab.new", "--patch", "fix.pat"});
        if (c.code != 0) {
            EXPECT_FAILURE(created, c.code, "Can't write to patch file");
            EXPECT_TRUE(read("fix.pat") == patch);
            EXPECT_TRUE(read("fix2.pat") == patch);
        } else {
            EXPECT_EQ(created.exitCode, 0) << created.err;
            EXPECT_TRUE(read("fix.pat") == read("ab.pat"));
        }
        ::kill(held, SIGCONT);
        EXPECT_TRUE(exitedWith(waitFor(held, 60), 0));
        EXPECT_TRUE(read("t.bin") == patched);
        EXPECT_EQ(records(), std::vector<std::string>{});
    }
}

// In a sticky folder that everyone may write, a link is followed only when it is the user's own
// or the folder owner's, as the kernel's protection of such folders has it; elsewhere links are
// followed. A refused link writes nothing anywhere.
TEST_F(Surroundings, AnotherUsersLinkInASharedFolderIsNotFollowed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make links that belong to other users";
    const uid_t LINKER = 12345, OWNER = 23456;
    ::chmod(folder.path().c_str(), 0755);
    makeFolder(folder / "shared");
    ASSERT_EQ(::chown((folder / "shared").c_str(), OWNER, OWNER), 0);
    ASSERT_EQ(::chmod((folder / "shared").c_str(), 01777), 0);
    makeFolder(folder / "open");
    ASSERT_EQ(::chmod((folder / "open").c_str(), 0777), 0);
    const std::string victim = folder / "victim", planted = folder / "planted";
    struct Case {
        const char* what;
        std::string link;
        uid_t owner;
        std::string to;
        bool package;
        bool followed;
    };
    const Case cases[] = {
        {"another user's link to a file", "shared/a.pat", LINKER, victim, false, false},
        {"another user's link to a missing file", "shared/b.pat", LINKER, planted, false, false},
        {"another user's link, packaging", "shared/c.run", LINKER, victim, true, false},
        {"another user's link to a device", "shared/d.pat", LINKER, "/dev/null", false, false},
        {"the user's own link to another user's", "shared/e.pat", 0, folder / "shared/a.pat", false,
         false},
        {"the user's own link", "shared/f.pat", 0, victim, false, true},
        {"the folder owner's link", "shared/g.pat", OWNER, victim, false, true},
        {"the folder owner's link to a missing file", "shared/h.pat", OWNER, planted, false, true},
        {"another user's link where the folder is not sticky", "open/i.pat", LINKER, victim, false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(victim, "precious");
        fs::remove(planted);
        const std::string link = folder / c.link;
        ASSERT_EQ(::symlink(c.to.c_str(), link.c_str()), 0);
        ASSERT_EQ(::lchown(link.c_str(), c.owner, c.owner), 0);
        std::vector<std::string> arguments = {"--original", "t.bin",   "--patched",
                                              "t.new",      "--patch", link};
        if (c.package)
            arguments.push_back("--executable");
        ProcessResult result = run(arguments);
        if (c.followed) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_TRUE(readFile(c.to) == read("fix.pat"));
        } else {
            EXPECT_FAILURE(result, 5,
                           c.package ? "Cannot write to output file" : "Can't write to patch file");
            EXPECT_EQ(readFile(victim), "precious");
            EXPECT_FALSE(fileExists(planted));
        }
        EXPECT_TRUE(S_ISLNK(statusOf(link).st_mode));
        EXPECT_EQ(fs::read_symlink(link).string(), c.to);
        EXPECT_EQ(freshFilesIn(folder / "shared"), std::vector<std::string>{});
        EXPECT_EQ(freshFilesIn(folder.path()), std::vector<std::string>{});
        EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
    }
}

// A default ACL on a folder: everyone rwx, user 12345 rw-, group r-x, mask rwx, others r-x.
std::string defaultAcl() {
    std::string bytes = le32(2); // the version of the extended attribute's format
    auto entry = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
        bytes += std::string{static_cast<char>(tag), static_cast<char>(tag >> 8),
                             static_cast<char>(permissions), 0};
        bytes += le32(id);
    };
    const std::uint32_t NONE = 0xFFFFFFFFu;
    entry(0x01, 7, NONE);  // owner
    entry(0x02, 6, 12345); // a named user
    entry(0x04, 5, NONE);  // group
    entry(0x10, 7, NONE);  // mask
    entry(0x20, 5, NONE);  // others
    return bytes;
}

// The file's ACL in its extended attribute, "none" without one.
std::string accessAcl(const std::string& path) {
    char value[256];
    ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", value, sizeof value);
    return size < 0 ? "none" : std::string(value, static_cast<std::size_t>(size));
}

// A new output gets exactly what a shell redirect gives a new file in its folder: the umask, or
// the folder's default ACL, which takes no umask. An old file keeps its own mode and gets no ACL
// it lacked.
TEST_F(Surroundings, ANewOutputIsMadeAsAShellRedirectMakesAFile) {
    struct Case {
        const char* umask;
        bool acl;
    };
    const Case cases[] = {
        {"022", false}, {"0", false}, {"077", false}, {"022", true}, {"077", true}};
    int k = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("umask ") + c.umask + (c.acl ? ", default ACL" : ""));
        const std::string sub = folder / ("sub" + std::to_string(k++));
        makeFolder(sub);
        writeFile(sub + "/old.pat", "old");
        ASSERT_EQ(::chmod((sub + "/old.pat").c_str(), 0640), 0);
        if (c.acl) {
            const std::string acl = defaultAcl();
            if (::setxattr(sub.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) !=
                0) {
                std::cout << "skipped: a default ACL (the file system takes none)\n";
                continue;
            }
        }
        for (const char* output : {"new.pat", "old.pat"}) {
            ProcessResult result = runProcess(
                "/bin/sh",
                {"-c", std::string("umask ") + c.umask + "; : > ref.pat; exec " +
                           commandLine(morvanePath(), {"--original", "../t.bin", "--patched",
                                                       "../t.new", "--patch", output})},
                in(sub));
            EXPECT_EQ(result.exitCode, 0) << result.err;
        }
        const struct stat made = statusOf(sub + "/new.pat"), reference = statusOf(sub + "/ref.pat");
        EXPECT_EQ(made.st_mode, reference.st_mode);
        EXPECT_EQ(accessAcl(sub + "/new.pat"), accessAcl(sub + "/ref.pat"));
        if (c.acl) {
            EXPECT_EQ(made.st_mode & 0777, 0664u); // the named user may write, as the ACL says
        } else if (std::string(c.umask) == "0") {
            EXPECT_EQ(made.st_mode & 0777, 0666u);
        }
        EXPECT_EQ(statusOf(sub + "/old.pat").st_mode & 07777, 0640u);
        EXPECT_EQ(accessAcl(sub + "/old.pat"), "none");
        EXPECT_TRUE(readFile(sub + "/old.pat") == readFile(sub + "/new.pat"));
    }
}

// A reader that stops reading holds no interruption: the run ends by the signal at once, and
// leaves no temporary file.
TEST_F(Surroundings, AStalledReaderHoldsNoInterruption) {
    makePair("big", 256 * 1024); // a patch of 512 KiB, far more than a pipe holds
    const std::string fifo = folder / "out.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> create = {"--original", "big.old", "--patched",
                                             "big.new",    "--patch", "out.fifo"};
    std::vector<std::string> package = create;
    package.push_back("--executable");
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (const auto& arguments : {create, package}) {
            SCOPED_TRACE(std::to_string(signal) + " " + arguments.back());
            int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            int pid = startProcess(morvanePath(), arguments, options());
            // Once the pipe is full the run waits for its reader: what it holds stops growing.
            int queued = 0;
            for (int k = 0, still = 0; k < 3000 && still < 30; ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                int before = queued;
                ::ioctl(reader, FIONREAD, &queued);
                still = queued > 0 && queued == before ? still + 1 : 0;
            }
            EXPECT_GT(queued, 32 * 1024);
            ::kill(pid, signal);
            EXPECT_TRUE(endedBy(waitFor(pid, 5), signal));
            ::close(reader);
            EXPECT_EQ(namesIn(temporaryFolder()), std::vector<std::string>{});
        }
    }
}

// A patch written into a FIFO whose reader takes its time arrives whole.
TEST_F(Surroundings, APatchIntoASlowReadersFifoArrivesWhole) {
    makePair("big", 256 * 1024);
    ASSERT_EQ(run({"--original", "big.old", "--patched", "big.new", "--patch", "big.pat"}).exitCode,
              0);
    const std::string fifo = folder / "slow.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    int pid = startProcess(
        morvanePath(), {"--original", "big.old", "--patched", "big.new", "--patch", "slow.fifo"},
        options());
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd ready = {reader, POLLIN, 0};
        ::poll(&ready, 1, 100);
        char buffer[4096];
        ssize_t count = ::read(reader, buffer, sizeof buffer);
        if (count > 0) {
            got.append(buffer, static_cast<std::size_t>(count));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else if (count == 0 && (ready.revents & POLLHUP) != 0) {
            break; // the writer is gone
        }
    }
    ::close(reader);
    EXPECT_TRUE(exitedWith(waitFor(pid, 10), 0));
    EXPECT_EQ(got.size(), read("big.pat").size());
    EXPECT_TRUE(got == read("big.pat"));
}

// An interrupted run ends by its signal (read from the raw wait status: a death by a signal is
// not an exit with 128 + n): after the target's writes and after the rename, which it waits
// for, and at once while a fresh file is written or flushed, which it removes. With hang-ups
// ignored (nohup), a hang-up ends nothing.
TEST_F(Surroundings, AnInterruptedRunEndsByItsSignal) {
    makePair("large", 4 << 20); // a patch of 8 MiB: found in one pass, written in a second
    const std::vector<std::string> createLarge = {"--original", "large.old", "--patched",
                                                  "large.new",  "--patch",   "out.pat"};
    const std::vector<std::string> create = {"--original", "t.bin",   "--patched",
                                             "t.new",      "--patch", "out.pat"};
    enum Outcome { PATCHED, NO_OUTPUT, WHOLE_OUTPUT };
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        faults::Plan plan;
        bool nohup;
        int signal; // 0: exits with 0
        Outcome outcome;
    };
    const Case cases[] = {
        {"the target's writes",
         apply,
         {Call::WriteAt, 2, Action::Terminate},
         false,
         SIGTERM,
         PATCHED},
        {"the target's writes", apply, {Call::WriteAt, 2, Action::Quit}, false, SIGQUIT, PATCHED},
        {"a large patch written while the files are compared",
         createLarge,
         {Call::WriteAt, 2, Action::Terminate},
         false,
         SIGTERM,
         NO_OUTPUT},
        {"a large patch written while the files are compared",
         createLarge,
         {Call::WriteAt, 5, Action::Interrupt},
         false,
         SIGINT,
         NO_OUTPUT},
        {"the flush of the fresh file",
         create,
         {Call::SyncFile, 1, Action::Hangup},
         false,
         SIGHUP,
         NO_OUTPUT},
        {"the rename", create, {Call::Replace, 1, Action::Terminate}, false, SIGTERM, WHOLE_OUTPUT},
        {"nohup, the target's writes", apply, {Call::WriteAt, 2, Action::Hangup}, true, 0, PATCHED},
        {"nohup, a patch written",
         create,
         {Call::WriteNext, 1, Action::Hangup},
         true,
         0,
         WHOLE_OUTPUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + faults::describe(c.plan));
        write("t.bin", original);
        fs::remove(folder / "out.pat");
        ProcessOptions with = options().withFaults(c.plan);
        int pid = c.nohup ? startProcess("/bin/sh",
                                         {"-c", "trap '' HUP; exec " +
                                                    commandLine(seamedMorvanePath(), c.arguments)},
                                         with)
                          : startProcess(seamedMorvanePath(), c.arguments, with);
        int status = waitFor(pid, 120);
        if (c.signal != 0) {
            EXPECT_TRUE(endedBy(status, c.signal)) << status;
        } else {
            EXPECT_TRUE(exitedWith(status, 0)) << status;
        }
        if (c.outcome == PATCHED) {
            EXPECT_TRUE(read("t.bin") == patched);
        } else if (c.outcome == NO_OUTPUT) {
            EXPECT_FALSE(fileExists(folder / "out.pat"));
        } else {
            EXPECT_TRUE(read("out.pat") == read("fix.pat"));
        }
        EXPECT_EQ(freshFilesIn(folder.path()), std::vector<std::string>{});
        EXPECT_EQ(records(), std::vector<std::string>{});
    }
}

// The viewer is started while the patch is open and locked: it inherits none of the run's files.
TEST_F(Surroundings, TheViewerInheritsNoneOfTheRunsFiles) {
    write("m.txt", "read me");
    ASSERT_EQ(run({"--original", "t.bin", "--patched", "t.new", "--patch", "msg.pat", "--message",
                   "m.txt"})
                  .exitCode,
              0);
    makeFolder(folder / "bin");
    const std::string listing = folder / "descriptors";
    // A stand-in viewer that lists the files its shell inherited.
    write("bin/xdg-open", "#!/bin/sh\nls -l /proc/$$/fd > '" + listing + ".part'; mv '" + listing +
                              ".part' '" + listing + "'\n");
    ASSERT_EQ(::chmod((folder / "bin/xdg-open").c_str(), 0755), 0);
    ProcessOptions with = options();
    const char* path = std::getenv("PATH");
    with.set("DISPLAY", ":0").set("PATH", folder / "bin" + ":" + (path != nullptr ? path : ""));
    ProcessResult result = run({"--patch", "msg.pat"}, with);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (int k = 0; k < 500 && !fileExists(listing); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fileExists(listing));
    const std::string descriptors = readFile(listing);
    EXPECT_EQ(descriptors.find("msg.pat"), std::string::npos) << descriptors;
    EXPECT_EQ(descriptors.find("t.bin"), std::string::npos) << descriptors;
    EXPECT_NE(descriptors.find("xdg-open"), std::string::npos) << descriptors; // its own script
}

} // namespace

#endif
