// Opening and closing the line: the states of isPortOpened and the
// descriptor, refused devices, and the controlling-terminal guard.
#include "link_support.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

using namespace sdtest;

TEST(PortState, OpenThenCloseTwice)
{
    PtyPeer peer;
    const int fds = openDescriptorCount();
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    EXPECT_EQ(isPortOpened, 1);
    EXPECT_EQ(openDescriptorCount(), fds + 1);
    EXPECT_EQ(CloseCOM(), SD_OK);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(openDescriptorCount(), fds);
    EXPECT_EQ(CloseCOM(), SD_OK);
}

TEST(PortState, RefusedDevicesLeaveNothingOpen)
{
    // A name that does not exist, a device that is not a terminal, and a
    // name too long for the path buffer: all -3, nothing kept open, and the
    // close that every transaction ends with finds nothing to do.
    PtyPeer peer;
    std::string tooLong = "pts/";
    while (tooLong.size() < 60)
        tooLong += "./";
    tooLong += peer.portName().substr(4);
    for (const std::string &name : {std::string("no-such-reader"), std::string("null"), tooLong}) {
        SCOPED_TRACE(name);
        const int fds = openDescriptorCount();
        isPortOpened = 1;
        EXPECT_EQ(OpenCOM(name.c_str(), 9600), SD_ERR_PORT);
        EXPECT_EQ(isPortOpened, 0);
        EXPECT_EQ(openDescriptorCount(), fds);
        EXPECT_EQ(CloseCOM(), SD_OK);
    }
    EXPECT_EQ(TermOpen("/dev/null", 9600), SD_ERR_PORT);
    EXPECT_EQ(TermClose(), SD_OK);

    // The longest name taken (58 characters) still opens; TermOpen leaves
    // the flag alone.
    std::string longest = "pts/";
    longest.append(58 - 4 - (peer.portName().size() - 4), '/');
    longest += peer.portName().substr(4);
    isPortOpened = 0;
    EXPECT_GT(TermOpen(("/dev/" + longest).c_str(), 9600), 0);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(TermClose(), SD_OK);
    EXPECT_EQ(OpenCOM(longest.c_str(), 9600), SD_OK);
    EXPECT_EQ(CloseCOM(), SD_OK);
    EXPECT_EQ(OpenCOM(("/" + longest).c_str(), 9600), SD_ERR_PORT);
}

TEST(PortState, SendsRefuseWithoutAnOpenLine)
{
    TempWorkDir dir;
    dir.traceOn();
    isPortOpened = 0;
    EXPECT_EQ(SendData(2, "\x1bj"), SD_ERR_PORT);
    EXPECT_EQ(SendDataEx(2, "\x1bj"), SD_ERR_PORT);
    EXPECT_EQ(Sendstr("\x1bj"), SD_ERR_PORT);
    EXPECT_EQ(SendCom("\x1bj"), 0);
    EXPECT_FALSE(dir.exists("DataLog.log")) << "a refused send is not traced";
}

// A session leader (a system service, say) that opens the reader must not
// take the tty as its controlling terminal: unplugging the reader would
// then kill it with SIGHUP.
TEST(PortState, ReaderNeverBecomesTheControllingTerminal)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();
        int master = -1, slave = -1;
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            _exit(2);
        close(slave);
        if (OpenCOM(name + 5, 9600) != SD_OK)
            _exit(3);
        if (open("/dev/tty", O_RDWR) >= 0)
            _exit(4); // the reader's tty became ours
        close(master);
        usleep(200 * 1000);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
