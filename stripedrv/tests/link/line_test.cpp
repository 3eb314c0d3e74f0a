// Opening and closing the line: settings applied and restored, the port
// states, refused devices, and the guards against an unplugged reader.
#include "link_support.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

using namespace sdtest;

namespace {

struct termio deviceSettings(const PtyPeer &peer)
{
    struct termio t {};
    EXPECT_EQ(ioctl(peer.slaveFd(), TCGETA, &t), 0);
    return t;
}
bool same(const struct termio &a, const struct termio &b) { return memcmp(&a, &b, sizeof a) == 0; }

// Settings a raw open must change or keep: in- and output processing, parity,
// two stop bits, hang-up on close, echoing canonical input, marked slots.
struct termio busySettings(const PtyPeer &peer)
{
    struct termio t = deviceSettings(peer);
    t.c_iflag = ICRNL | IXON | ISTRIP | INPCK | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = B2400 | CS7 | PARENB | CSTOPB | HUPCL | CREAD;
    t.c_lflag = ISIG | ICANON | ECHO | IEXTEN | ECHOE | ECHOK | ECHOCTL;
    for (int i = 0; i < NCC; ++i)
        t.c_cc[i] = static_cast<unsigned char>(0x40 + i);
    EXPECT_EQ(ioctl(peer.slaveFd(), TCSETA, &t), 0);
    return deviceSettings(peer);
}

const unsigned kRawCflag = 0x800 | 0x80 | 0x30; // CLOCAL CREAD CS8

} // namespace

TEST(LineSettings, RawModeChangesOnlyTheListedFieldsAndCloseRestores)
{
    PtyPeer peer;
    const struct termio before = busySettings(peer);
    const int fds = openDescriptorCount();
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    EXPECT_EQ(isPortOpened, 1);
    EXPECT_EQ(openDescriptorCount(), fds + 1);
    EXPECT_TRUE(same(g_oterm, before)) << "g_oterm must be the record as read";

    struct termio want = before;
    want.c_iflag = 0;
    want.c_oflag = 0;
    want.c_cflag = kRawCflag | 0000015; // B9600
    want.c_lflag = IEXTEN | ECHOE | ECHOK | ECHOCTL;
    want.c_cc[4] = 0;
    want.c_cc[5] = 1;
    EXPECT_TRUE(same(g_term, want));
    EXPECT_TRUE(same(deviceSettings(peer), want)) << "g_term is what the line runs with";

    EXPECT_EQ(CloseCOM(), SD_OK);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(openDescriptorCount(), fds);
    EXPECT_TRUE(same(deviceSettings(peer), before));
    EXPECT_EQ(CloseCOM(), SD_OK) << "a second close finds nothing to do";

    // Opening twice without a close saves the first open's raw settings as
    // the ones to restore, and forgets (but keeps open) the first descriptor.
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    EXPECT_TRUE(same(g_oterm, want));
    ASSERT_EQ(CloseCOM(), SD_OK);
    EXPECT_TRUE(same(deviceSettings(peer), want));
    EXPECT_EQ(openDescriptorCount(), fds + 1);
}

TEST(LineSettings, SpeedTable)
{
    // Octal speed codes of the Linux terminal interface; rates the reader
    // does not know run at 9600.
    const struct { long rate; unsigned code; } table[] = {
        {1200, 0000011},  {2400, 0000013}, {4800, 0000014}, {9600, 0000015},
        {19200, 0000016}, {38400, 0000017}, {115200, 0010002},
        {600, 0000015},   {57600, 0000015}, {-1, 0000015}};
    for (const auto &row : table) {
        SCOPED_TRACE(row.rate);
        PtyPeer peer;
        ASSERT_EQ(OpenCOM(peer.portName().c_str(), row.rate), SD_OK);
        EXPECT_EQ(deviceSettings(peer).c_cflag, kRawCflag | row.code);
        EXPECT_EQ(CloseCOM(), SD_OK);
    }
}

TEST(PortState, RefusedDevicesAndClosedLinesLeaveNothingOpen)
{
    // No such device, not a terminal, a name one over the path buffer: -3,
    // nothing kept open, and the closing CloseCOM finds nothing to do.
    PtyPeer peer;
    const std::string number = peer.portName().substr(4);
    const std::string longest = "pts/" + std::string(58 - 4 - number.size(), '/') + number;
    for (const std::string &name : {std::string("no-such-reader"), std::string("null"), "/" + longest}) {
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

    // The longest name (58 characters) opens; TermOpen leaves the flag alone.
    EXPECT_GT(TermOpen(("/dev/" + longest).c_str(), 9600), 0);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(TermClose(), SD_OK);
    EXPECT_EQ(OpenCOM(longest.c_str(), 9600), SD_OK);
    EXPECT_EQ(CloseCOM(), SD_OK);

    // Without an open line the sends refuse, untraced.
    TempWorkDir dir;
    dir.traceOn();
    EXPECT_EQ(SendData(2, "\x1bj"), SD_ERR_PORT);
    EXPECT_EQ(SendDataEx(2, "\x1bj"), SD_ERR_PORT);
    EXPECT_EQ(Sendstr("\x1bj"), SD_ERR_PORT);
    EXPECT_EQ(SendCom("\x1bj"), 0);
    EXPECT_FALSE(dir.exists("DataLog.log"));
}

// A session leader (a system service) must not take the reader's tty as its
// controlling terminal, or unplugging the reader kills it with SIGHUP.
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

// A vanished reader's line cannot be restored, but its descriptor is still
// given back, or every transaction against the unplugged adapter leaks one.
TEST(PortState, CloseReleasesTheDescriptorOfAVanishedLine)
{
    PtyPeer peer;
    const int before = openDescriptorCount();
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    peer.closeSlave();
    peer.hangUp();
    EXPECT_EQ(CloseCOM(), SD_ERR_PORT);
    EXPECT_EQ(openDescriptorCount(), before - 2); // the peer's two are gone too
    EXPECT_EQ(CloseCOM(), SD_OK);                 // nothing left to close
}
