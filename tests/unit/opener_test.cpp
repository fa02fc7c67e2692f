// The system layer's opener and identities, in-process, with the test seams between the check by
// name and the open and on the lock call: a FIFO swapped in is refused on the open file, a file
// system without locks refuses nothing, and records name files by what a reboot keeps.
#include "platform/platform.h"
#include "seams/fault_plan.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using platform::File;

File openInput(const std::string& name) {
    return platform::openForReading(name);
}
File openLockedInput(const std::string& name) {
    return platform::openFile(name, platform::Access::Read, platform::Disposition::OpenExisting,
                              platform::DATA_ONLY | platform::LOCK);
}
File openTarget(const std::string& name) {
    return platform::openForUpdate(name);
}
File openOutputInPlace(const std::string& name) {
    std::string fresh, target;
    File file = platform::createFileBeside(name, fresh, target);
    EXPECT_TRUE(fresh.empty());
    return file;
}

const std::vector<std::pair<const char*, std::function<File(const std::string&)>>> OPENERS = {
    {"input", openInput},
    {"locked input", openLockedInput},
    {"target", openTarget},
};

} // namespace

// Between the check by name and the open, another program puts a FIFO under the name: the open
// file is checked again, and refused.
TEST(Opener, AFifoSwappedInAfterTheCheckIsRefused) {
    ScratchFolder folder;
    for (const auto& [what, open] : OPENERS) {
        SCOPED_TRACE(what);
        const std::string name = folder / what;
        writeFile(name, "data");
        faults::plant({faults::Call::Open, 1, faults::Action::Fifo});
        File file = open(name);
        faults::plant(faults::Plan());
        EXPECT_FALSE(platform::isOpen(file));
        struct stat info;
        ASSERT_EQ(::lstat(name.c_str(), &info), 0);
        EXPECT_TRUE(S_ISFIFO(info.st_mode)); // the seam did put it there
    }
}

// Only a lock that another open file holds refuses an open; a lock call that fails as on a file
// system without locks refuses nothing. An output written in place is locked before it is
// emptied: an applying run's shared lock on its patch keeps it whole.
TEST(Opener, OnlyALockHeldElsewhereRefuses) {
    ScratchFolder folder;
    enum Holder { NONE, SHARED, EXCLUSIVE };
    struct Case {
        const char* what;
        std::function<File(const std::string&)> open;
        Holder holder;
        bool withoutLocks; // the lock call fails as on a file system without locks
        bool opened;
    };
    const Case cases[] = {
        {"locked input, no locks", openLockedInput, EXCLUSIVE, true, true},
        {"target, no locks", openTarget, EXCLUSIVE, true, true},
        {"output in place, no locks", openOutputInPlace, SHARED, true, true},
        {"locked input, another reads", openLockedInput, SHARED, false, true},
        {"locked input, another writes", openLockedInput, EXCLUSIVE, false, false},
        {"target, another reads", openTarget, SHARED, false, false},
        {"output in place, nobody", openOutputInPlace, NONE, false, true},
        {"output in place, another reads", openOutputInPlace, SHARED, false, false},
    };
    int k = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = folder / ("file" + std::to_string(k++));
        writeFile(name, "whole");
        // A second link: an output replaces such a file in place.
        ASSERT_EQ(::link(name.c_str(), (name + "-link").c_str()), 0);
        File holder = c.holder == SHARED      ? openLockedInput(name)
                      : c.holder == EXCLUSIVE ? openTarget(name)
                                              : File();
        ASSERT_EQ(platform::isOpen(holder), c.holder != NONE);
        if (c.withoutLocks)
            faults::plant({faults::Call::Lock, 1, faults::Action::Fail, true});
        File file = c.open(name);
        faults::plant(faults::Plan());
        EXPECT_EQ(platform::isOpen(file), c.opened);
        if (!c.opened) {
            EXPECT_EQ(readFile(name), "whole");
        }
    }
}

// A file is named by its file system's own identity and its inode; a device by the device it
// names, whichever node leads to it.
TEST(LastingIdentity, NamesTheFileSystemAndInodeOrTheDevice) {
    ScratchFolder folder;
    writeFile(folder / "a", "a");
    writeFile(folder / "b", "b");
    File a = openInput(folder / "a");
    File again = openInput(folder / "a");
    File b = openInput(folder / "b");
    platform::LastingIdentity ofA = platform::lastingIdentityOf(a);
    platform::LastingIdentity ofB = platform::lastingIdentityOf(b);
    EXPECT_TRUE(ofA.known && !ofA.device);
    EXPECT_EQ(platform::lastingIdentityOf(again).volume, ofA.volume);
    EXPECT_EQ(platform::lastingIdentityOf(again).index, ofA.index);
    EXPECT_EQ(ofB.volume, ofA.volume);
    EXPECT_NE(ofB.index, ofA.index);
    struct stat info;
    ASSERT_EQ(::stat((folder / "a").c_str(), &info), 0);
    EXPECT_EQ(ofA.index, info.st_ino);

    // A file on a second file system, where the system names both: another volume.
    char shared[] = "/dev/shm/morvane-identity-XXXXXX";
    int descriptor = ::mkstemp(shared);
    struct stat other;
    struct statvfs here, there;
    if (descriptor >= 0 && ::fstat(descriptor, &other) == 0 && other.st_dev != info.st_dev &&
        ::statvfs(folder.path().c_str(), &here) == 0 && ::fstatvfs(descriptor, &there) == 0 &&
        here.f_fsid != 0 && there.f_fsid != 0) {
        File onOther = openInput(shared);
        EXPECT_NE(platform::lastingIdentityOf(onOther).volume, ofA.volume);
    } else {
        std::cout << "skipped: a file on a second file system (no /dev/shm of its own)\n";
    }
    if (descriptor >= 0) {
        ::close(descriptor);
        ::unlink(shared);
    }

    // Two nodes of one block device (a loop device) lead to the same device.
    const dev_t loop = makedev(7, 0);
    if (::mknod((folder / "node1").c_str(), S_IFBLK | 0600, loop) != 0 ||
        ::mknod((folder / "node2").c_str(), S_IFBLK | 0600, loop) != 0)
        GTEST_SKIP() << "cannot make device nodes (needs root)";
    File node1 = openInput(folder / "node1");
    File node2 = openInput(folder / "node2");
    if (!platform::isOpen(node1) || !platform::isOpen(node2))
        GTEST_SKIP() << "no loop device to open";
    platform::LastingIdentity ofNode1 = platform::lastingIdentityOf(node1);
    platform::LastingIdentity ofNode2 = platform::lastingIdentityOf(node2);
    EXPECT_TRUE(ofNode1.device && ofNode2.device);
    EXPECT_EQ(ofNode1.index, loop);
    EXPECT_EQ(ofNode2.index, loop);
    EXPECT_EQ(ofNode1.volume, ofNode2.volume);
}

#endif
