// The holder finder on real pseudo-terminals held by child processes, and on
// a prepared /proc; the host view's group and rules-file answers on a
// prepared root.
#include "holders.h"
#include "host.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <pty.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using sdholders::findHolders;
using sdholders::Holder;
using stripectl::Host;

namespace {

// A child that opens the line (and locks it when asked), then waits to be
// killed; the pipe says when it holds it.
class HoldingChild {
public:
    HoldingChild(const std::string &device, bool lock)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            // Another program: none of the test's descriptors, the pty's
            // master side among them (its holder is the line's far end).
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != ready[1])
                    close(fd);
            int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
            if (fd < 0 || (lock && flock(fd, LOCK_EX) != 0))
                _exit(1);
            ssize_t ignored = write(ready[1], "x", 1);
            (void)ignored;
            pause();
            _exit(0);
        }
        char byte;
        close(ready[1]);
        held_ = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
    }
    ~HoldingChild()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    bool held() const { return held_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool held_ = false;
};

TEST(Holders, NamesTheProcessesThatHaveTheLineOpenOrLocked)
{
    sdtest::PtyPeer pty; // this process's own descriptors do not count
    EXPECT_TRUE(findHolders(pty.devicePath()).empty());

    HoldingChild opener(pty.devicePath(), false);
    HoldingChild locker(pty.devicePath(), true);
    ASSERT_TRUE(opener.held() && locker.held());
    std::vector<Holder> holders = findHolders(pty.devicePath());
    ASSERT_EQ(holders.size(), 2u);
    EXPECT_EQ(holders[0].pid, std::min(opener.pid(), locker.pid()));
    for (const Holder &holder : holders) {
        EXPECT_EQ(holder.locked, holder.pid == locker.pid());
        EXPECT_FALSE(holder.command.empty()); // the test program's own name
    }
    std::string text = sdholders::describeHolders(holders);
    EXPECT_NE(text.find("(pid " + std::to_string(locker.pid()) + ", locked)"), std::string::npos)
        << text;

    // Another line is not held by them; a missing node by no one.
    sdtest::PtyPeer other;
    EXPECT_TRUE(findHolders(other.devicePath()).empty());
    EXPECT_TRUE(findHolders("/dev/no-such-line").empty());
}

// A child that plays the reader's end of a new pseudo-terminal, as readersim
// does: it keeps the master side and the tty itself open, and locks the tty
// when asked.
class FarEnd {
public:
    explicit FarEnd(bool lock)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            int master = -1, slave = -1;
            char name[64] = "";
            if (openpty(&master, &slave, name, nullptr, nullptr) != 0 ||
                (lock && flock(slave, LOCK_EX) != 0))
                _exit(1);
            ssize_t ignored = write(ready[1], name, strlen(name));
            (void)ignored;
            pause();
            _exit(0);
        }
        close(ready[1]);
        char name[64] = "";
        if (read(ready[0], name, sizeof name - 1) > 0)
            device_ = name;
        close(ready[0]);
    }
    ~FarEnd()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    const std::string &device() const { return device_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string device_;
};

TEST(Holders, ThePseudoTerminalsFarEndIsNoHolderUnlessItLocks)
{
    FarEnd sim(false);
    ASSERT_FALSE(sim.device().empty());
    EXPECT_GE(sdholders::ptyIndex(sim.device()), 0);
    EXPECT_TRUE(findHolders(sim.device()).empty());

    HoldingChild opener(sim.device(), false);
    ASSERT_TRUE(opener.held());
    std::vector<Holder> holders = findHolders(sim.device());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, opener.pid());

    FarEnd locking(true);
    ASSERT_FALSE(locking.device().empty());
    holders = findHolders(locking.device());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, locking.pid());
    EXPECT_TRUE(holders[0].locked);

    EXPECT_EQ(sdholders::ptyIndex("/dev/null"), -1);
    EXPECT_EQ(sdholders::ptyIndex("/dev/no-such-line"), -1);
}

TEST(Holders, ReadsAPreparedProcTree)
{
    sdtest::TempWorkDir dir;
    sdtest::PtyPeer pty;
    struct stat node;
    ASSERT_EQ(stat(pty.devicePath().c_str(), &node), 0);
    mkdir("proc", 0700);
    mkdir("proc/812", 0700);
    mkdir("proc/812/fd", 0700);
    dir.write("proc/812/comm", "cardtest\n");
    ASSERT_EQ(symlink(pty.devicePath().c_str(), "proc/812/fd/7"), 0);
    ASSERT_EQ(symlink("/dev/null", "proc/812/fd/0"), 0);
    mkdir("proc/1040", 0700);
    dir.write("proc/1040/comm", "minicom\n");
    char locks[200];
    snprintf(locks, sizeof locks,
             "1: FLOCK  ADVISORY  WRITE 1040 %02x:%02x:%llu 0 EOF\n"
             "1: -> FLOCK  ADVISORY  WRITE 1200 %02x:%02x:%llu 0 EOF\n"
             "2: POSIX  ADVISORY  WRITE 99 00:01:5 0 EOF\n",
             major(node.st_dev), minor(node.st_dev), (unsigned long long)node.st_ino,
             major(node.st_dev), minor(node.st_dev), (unsigned long long)node.st_ino);
    dir.write("proc/locks", locks);

    std::vector<Holder> holders = findHolders(pty.devicePath(), dir.path() + "/proc");
    EXPECT_EQ(sdholders::describeHolders(holders),
              "cardtest (pid 812), minicom (pid 1040, locked)");
}

TEST(Host, GroupsOfTheAccountAndOfThisLogin)
{
    sdtest::TempWorkDir dir;
    mkdir("etc", 0700);
    mkdir("proc", 0700);
    mkdir("proc/self", 0700);
    dir.write("etc/passwd", "root:x:0:0::/root:/bin/sh\noperator:x:1000:1000::/home/o:/bin/sh\n");
    dir.write("etc/group", "root:x:0:\ndialout:x:20:operator,kiosk\nplugdev:x:46:kiosk\n"
                           "operator:x:1000:\n");
    dir.write("proc/self/status", "Name:\tstripectl\nUid:\t1000\t1000\t1000\t1000\n"
                                  "Gid:\t1000\t1000\t1000\t1000\nGroups:\t46 \n");
    Host host(dir.path());
    EXPECT_FALSE(host.real());
    EXPECT_EQ(host.uid(), 1000u);
    EXPECT_EQ(host.userName(1000), "operator");
    EXPECT_EQ(host.userName(4321), "4321");
    EXPECT_EQ(host.groupName(20), "dialout");
    EXPECT_TRUE(host.accountInGroup(1000, 20));
    EXPECT_TRUE(host.accountInGroup(1000, 1000)); // primary group
    EXPECT_FALSE(host.accountInGroup(1000, 46));  // "kiosk" only
    EXPECT_FALSE(host.loginHasGroup(20));         // in the account, not in this login
    EXPECT_TRUE(host.loginHasGroup(46));
    EXPECT_TRUE(host.loginHasGroup(1000));
}

TEST(Host, RulesFilesAsUdevReadsThem)
{
    sdtest::TempWorkDir dir;
    for (const char *d : {"etc", "etc/udev", "etc/udev/rules.d", "usr", "usr/lib", "usr/lib/udev",
                          "usr/lib/udev/rules.d"})
        mkdir(d, 0700);
    dir.write("usr/lib/udev/rules.d/60-stripe-reader.rules", "# packaged\n");
    dir.write("usr/lib/udev/rules.d/85-brltty.rules", "# packaged\n");
    dir.write("usr/lib/udev/rules.d/99-other.rules", "# packaged\n");
    dir.write("etc/udev/rules.d/60-stripe-reader.rules", "# local copy\n");
    ASSERT_EQ(symlink("/dev/null", "etc/udev/rules.d/85-brltty.rules"), 0);
    Host host(dir.path());
    EXPECT_EQ(host.rulesFile("60-stripe-reader.rules"),
              dir.path() + "/etc/udev/rules.d/60-stripe-reader.rules");
    EXPECT_EQ(host.rulesFile("85-brltty.rules"), ""); // masked
    EXPECT_EQ(host.rulesFile("70-none.rules"), "");
    std::vector<std::string> files = host.rulesFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[1], dir.path() + "/usr/lib/udev/rules.d/99-other.rules");
}

} // namespace
