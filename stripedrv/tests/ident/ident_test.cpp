// The reader's version and identity queries, the port-switching commands
// and InserStr, against a pseudo-terminal playing the reader.
#include "ident_support.h"

#include <algorithm>
#include <chrono>

using namespace sdtest;

namespace {

// The next byte the host can read, or -1 when none comes within a second.
int nextByteOnLine()
{
    unsigned char b = 0;
    return RecvByte(&b, 1) == SD_OK ? b : -1;
}

// One reply and what a query makes of it: the bytes stored at the start of
// the destination (behind them it must still hold the filler) and the
// first byte left on the line.
struct Reply {
    std::string reply;
    int rc;
    std::string stored;
    char next;
};

// A line opened by OpenCOM on a fresh pty; the reader's reply is written
// before the call, the bytes wait in the line's input.
class OpenLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK); }
    void TearDown() override { CloseCOM(); }

    // Runs the query on the reply; `terminated`: a success ends the text
    // with a NUL.
    void expectQuery(int (*query)(char *), const std::string &command, const Reply &r,
                     bool terminated)
    {
        SCOPED_TRACE(hex(r.reply.substr(0, 24)));
        peer.send(r.reply);
        char dest[SD_IDENTITY_MAX + 16];
        memset(dest, 'Z', sizeof dest);
        std::string want = r.stored + std::string(terminated && r.rc == SD_OK, '\0');
        EXPECT_EQ(query(dest), r.rc);
        EXPECT_EQ(std::string(dest, want.size()), want);
        EXPECT_EQ(std::string(dest + want.size(), 8), std::string(8, 'Z'));
        EXPECT_EQ(nextByteOnLine(), r.next);
        EXPECT_EQ(hex(peer.receive()), hex(command));
        tcflush(peer.slaveFd(), TCIFLUSH);
    }
    void expectStall(int (*query)(char *), const std::string &reply, double seconds,
                     const char *kept)
    {
        peer.send(reply);
        char dest[32] = {};
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(query(dest), SD_ERR_TIMEOUT);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took.count(), seconds - 0.1);
        EXPECT_LT(took.count(), seconds + 0.8);
        EXPECT_STREQ(dest, kept);
    }
    TempWorkDir dir;
    PtyPeer peer;
};

} // namespace

// GetVersionInfo and ProbeDeviceId

TEST_F(OpenLine, VersionReplyEndsAtItsFirstCrWithinAHundredBytes)
{
    const std::string v99(99, 'v');
    for (const Reply &r : {Reply{"Ver3.10\rX", SD_OK, "Ver3.10", 'X'},
                           Reply{std::string("\x00\xFFV5\rXY", 7), SD_OK, {"\x00\xFFV5", 4}, 'X'},
                           Reply{"\rX", SD_OK, "\r", 'X'}, // a lone CR is kept as the text
                           Reply{v99 + "\rX", SD_OK, v99, 'X'},
                           Reply{std::string(100, 'w') + "\r", SD_ERR_TIMEOUT, "", '\r'}})
        expectQuery(GetVersionInfo, kGetVer, r, true);
}

TEST_F(OpenLine, IdentityReplyStoresTheAnnouncedBytesWithoutTerminator)
{
    std::string longest(SD_IDENTITY_MAX, 'r');
    for (const Reply &r : {Reply{identityReply("01|A7-2506AB") + "X", SD_OK, "01|A7-2506AB", 'X'},
                           // the digits are read like atoi: " 03" is 3, "2x9" is 2
                           Reply{"\xAA 03abcde", SD_OK, "abc", 'd'},
                           Reply{"\xAA" "2x9abcde", SD_OK, "ab", 'c'},
                           Reply{"\xAA" "000abcde", SD_OK, "", 'a'},
                           Reply{"\xAA-05abcde", SD_OK, "", 'a'},
                           Reply{identityReply(longest) + "X", SD_OK, longest, 'X'},
                           // a wrong first byte: nothing more is read
                           Reply{"\x55" "012" "01|A7", SD_ERR_DATA, "", '0'}})
        expectQuery(ProbeDeviceId, kIdentity, r, false);
}

// A stalled reply waits out the reader's time limits: one test each, so
// that they run in parallel.
TEST_F(OpenLine, UnfinishedVersionReplyGivesMinus2AfterTwoSeconds)
{
    expectStall(GetVersionInfo, "Ver5.", 2, ""); // the destination stays untouched
}

TEST_F(OpenLine, SilentReaderGivesMinus2AfterTwoSeconds)
{
    expectStall(ProbeDeviceId, "", 2, "");
}

TEST_F(OpenLine, ShortIdentityRecordGivesMinus2AfterOneSecondKeepingWhatCame)
{
    expectStall(ProbeDeviceId, "\xAA" "005ab", 1, "ab");
}

// SelectExtPort, IC_OpenPort, IC_ClosePort

TEST_F(OpenLine, SelectExtPortIsTracedAndAClosedLineRefusesEveryCommand)
{
    dir.traceOn();
    EXPECT_EQ(SelectExtPort('B'), SD_OK);
    EXPECT_EQ(hex(peer.receive()), "1B 25 42");
    EXPECT_EQ(maskStamps(dir.read("DataLog.log")), "<T>send:\n<T>[0001]1B 25 42 \r\n");
    CloseCOM();
    char v[SD_VERSION_MAX] = "stale";
    EXPECT_EQ(SelectExtPort('A'), SD_ERR_PORT);
    EXPECT_EQ(GetVersionInfo(v), SD_ERR_PORT);
    EXPECT_EQ(ProbeDeviceId(v), SD_ERR_PORT);
    EXPECT_STREQ(v, "stale");
    EXPECT_EQ(GetVersionInfo(nullptr), SD_ERR_PARAM);
    EXPECT_EQ(ProbeDeviceId(nullptr), SD_ERR_PARAM);
}

TEST(PortSwitch, FirmwareDecidesTheCommandAndTheSpeed)
{
    struct Case {
        const char *selector, *version, *command;
        int baud;
        speed_t speed;
    };
    // Ver3 firmware stays at the caller's speed; any other moves to 115200.
    // Any selector text, whatever its letter, selects port A.
    for (const Case &k : {Case{nullptr, "Ver3.1\r", "\x1b%I4", 19200, B19200},
                          Case{"B", "Ver5.13\r", "\x1b%I1", 9600, B115200}}) {
        SCOPED_TRACE(k.version);
        PtyPeer peer;
        int before = openDescriptorCount();
        std::string select = k.selector ? "\x1b%A" : "";
        ScriptedReader reader(peer, {{select, ""}, {kGetVer, k.version}, {k.command, ""}});
        ASSERT_EQ(IC_OpenPort(peer.portName().c_str(), k.selector, k.baud, 0), SD_OK);
        EXPECT_EQ(hex(reader.finish()), hex(select + kGetVer + k.command));
        EXPECT_EQ(isPortOpened, 1);
        EXPECT_EQ(openDescriptorCount(), before + 1); // a first descriptor was closed
        termios t{};
        ASSERT_EQ(tcgetattr(peer.slaveFd(), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), k.speed);

        EXPECT_EQ(IC_ClosePort(nullptr, nullptr, 0, 0), SD_OK);
        EXPECT_EQ(hex(peer.receive()), "1B 25 42");
        EXPECT_EQ(isPortOpened, 0);
        EXPECT_EQ(openDescriptorCount(), before);
    }
}

TEST(PortSwitch, SilentReaderOrMissingDeviceLeavesTheLineClosed)
{
    PtyPeer peer;
    int before = openDescriptorCount();
    EXPECT_EQ(IC_OpenPort(peer.portName().c_str(), "", 9600, 0), SD_ERR_TIMEOUT);
    EXPECT_EQ(hex(peer.receive()), hex(kGetVer)); // empty selector: no ESC "%A"
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(IC_OpenPort("ttyNoSuchReader", "A", 9600, 0), SD_ERR_PORT);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(IC_ClosePort("ttyNoSuchReader", "A", 9600, 0), SD_OK);
}

// InserStr

TEST(InserStr, ReplacesOneCharacterWithinItsBounds)
{
    struct Case {
        std::string text, insert;
        int pos;
        std::string result;
    };
    const std::string t50(50, 't'), i50(50, 'i');
    for (const Case &c : {Case{"12345", "ab", 2, "12ab45"}, Case{"ABCDE", "xy", 0, "xyBCDE"},
                          Case{"ABCDE", "xy", 4, "ABCDxy"}, Case{"ABC", "", 1, "AC"},
                          Case{"A", "long", 0, "long"},
                          Case{t50, i50, 0, i50 + std::string(49, 't')}, // 99 characters fit
                          // outside the text, or over 99 characters: unchanged
                          Case{t50, i50 + "i", 0, t50}, Case{"ABCDE", "xy", -1, "ABCDE"},
                          Case{"ABCDE", "xy", 5, "ABCDE"}, Case{"ABCDE", "xy", 1000, "ABCDE"},
                          Case{"", "xy", 0, ""}}) {
        SCOPED_TRACE(c.text + " " + c.insert + " " + std::to_string(c.pos));
        char buf[256];
        memset(buf, 'Z', sizeof buf);
        strcpy(buf, c.text.c_str());
        InserStr(buf, c.insert.c_str(), c.pos);
        EXPECT_EQ(std::string(buf), c.result);
        EXPECT_EQ(buf[std::max(c.text.size(), c.result.size()) + 1], 'Z');
    }
    InserStr(nullptr, "xy", 0);
    char buf[8] = "AB";
    InserStr(buf, nullptr, 0);
    EXPECT_STREQ(buf, "AB");
}
