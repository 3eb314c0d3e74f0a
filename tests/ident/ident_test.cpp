// The reader's version and identity queries, the port-switching commands
// and InserStr, against a pseudo-terminal playing the reader.
#include "ident_support.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <termios.h>

using namespace sdtest;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The next byte the host can read, or -1 when none comes within a second.
int nextByteOnLine()
{
    unsigned char b = 0;
    return RecvByte(&b, 1) == SD_OK ? b : -1;
}

// A line opened by OpenCOM on a fresh pty; the reader's reply is written
// before the call, the bytes wait in the line's input.
class OpenLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK); }
    void TearDown() override { CloseCOM(); }
    TempWorkDir dir;
    PtyPeer peer;
};

using VersionQuery = OpenLine;
using IdentityQuery = OpenLine;

} // namespace

// ---------------------------------------------------------------------------
// GetVersionInfo

TEST_F(VersionQuery, SendsGetverAndStripsTheCr)
{
    peer.send("Ver3.10\r");
    char v[SD_VERSION_MAX];
    memset(v, 'Z', sizeof v);
    ASSERT_EQ(GetVersionInfo(v), SD_OK);
    EXPECT_STREQ(v, "Ver3.10");
    EXPECT_EQ(hex(peer.receive()), hex(kGetVer));
}

TEST_F(VersionQuery, StopsAtTheFirstCrAndTakesAnyOtherByte)
{
    peer.send(std::string("\x00\xFFV5\rXY", 7));
    char v[SD_VERSION_MAX];
    memset(v, 'Z', sizeof v);
    ASSERT_EQ(GetVersionInfo(v), SD_OK);
    EXPECT_EQ(std::string(v, 5), std::string("\x00\xFFV5\0", 5));
    EXPECT_EQ(nextByteOnLine(), 'X'); // nothing after the CR was read

    tcflush(peer.slaveFd(), TCIFLUSH);
    peer.send("\r"); // a lone CR is kept as the text
    ASSERT_EQ(GetVersionInfo(v), SD_OK);
    EXPECT_STREQ(v, "\r");
}

TEST_F(VersionQuery, NinetyNineCharactersAndCrFitAHundredBytesWithoutCrDoNot)
{
    std::string text(99, 'v');
    peer.send(text + "\r");
    char v[SD_VERSION_MAX * 2];
    memset(v, 'Z', sizeof v);
    ASSERT_EQ(GetVersionInfo(v), SD_OK);
    EXPECT_EQ(std::string(v), text);
    EXPECT_EQ(v[SD_VERSION_MAX], 'Z');

    peer.send(std::string(100, 'w') + "\r");
    memset(v, 'Z', sizeof v);
    EXPECT_EQ(GetVersionInfo(v), SD_ERR_TIMEOUT);
    EXPECT_EQ(std::string(v, sizeof v), std::string(sizeof v, 'Z'));
    EXPECT_EQ(nextByteOnLine(), '\r'); // reading stopped at the buffer's end
}

TEST_F(VersionQuery, StalledReplyGivesMinus2AfterTwoSecondsDestinationUntouched)
{
    peer.send("Ver5.");
    char v[SD_VERSION_MAX] = "stale";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetVersionInfo(v), SD_ERR_TIMEOUT);
    EXPECT_GE(secondsSince(start), 1.9);
    EXPECT_LT(secondsSince(start), 3.5);
    EXPECT_STREQ(v, "stale");
}

TEST(VersionQueryRefused, NoLineOrNoBufferSendsNothing)
{
    CloseCOM();
    char v[SD_VERSION_MAX] = "stale";
    EXPECT_EQ(GetVersionInfo(v), SD_ERR_PORT);
    EXPECT_STREQ(v, "stale");
    EXPECT_EQ(GetVersionInfo(nullptr), SD_ERR_PARAM);
    EXPECT_EQ(ProbeDeviceId(nullptr), SD_ERR_PARAM);
    EXPECT_EQ(ProbeDeviceId(v), SD_ERR_PORT);
}

// ---------------------------------------------------------------------------
// ProbeDeviceId

TEST_F(IdentityQuery, StoresTheAnnouncedBytesWithoutTerminator)
{
    peer.send(identityReply("01|A7-2506AB"));
    char rec[32];
    memset(rec, 'Z', sizeof rec);
    ASSERT_EQ(ProbeDeviceId(rec), SD_OK);
    EXPECT_EQ(std::string(rec, 13), "01|A7-2506ABZ");
    EXPECT_EQ(hex(peer.receive()), hex(kIdentity));
}

TEST_F(IdentityQuery, LengthDigitsAreReadLikeAtoi)
{
    // " 03" is 3, "2x9" is 2; "000" and "-05" store nothing.
    struct Case {
        const char *digits, *stored;
        char next;
    };
    for (const Case &c : {Case{" 03", "abc", 'd'}, Case{"2x9", "ab", 'c'},
                          Case{"000", "", 'a'}, Case{"-05", "", 'a'}}) {
        peer.send(std::string("\xAA") + c.digits + "abcde");
        char rec[16] = {};
        EXPECT_EQ(ProbeDeviceId(rec), SD_OK) << c.digits;
        EXPECT_STREQ(rec, c.stored) << c.digits;
        EXPECT_EQ(nextByteOnLine(), c.next) << c.digits;
        tcflush(peer.slaveFd(), TCIFLUSH);
    }
}

TEST_F(IdentityQuery, WrongFirstByteGivesMinus8AfterOneByte)
{
    peer.send("\x55" "012" "01|A7-2506AB");
    char rec[16] = "untouched";
    EXPECT_EQ(ProbeDeviceId(rec), SD_ERR_DATA);
    EXPECT_STREQ(rec, "untouched");
    EXPECT_EQ(nextByteOnLine(), '0');
}

TEST_F(IdentityQuery, LongestRecordFitsItsBuffer)
{
    std::string record(SD_IDENTITY_MAX, 'r');
    record[1] = '|';
    peer.send(identityReply(record));
    char rec[SD_IDENTITY_MAX + 1] = {};
    ASSERT_EQ(ProbeDeviceId(rec), SD_OK);
    EXPECT_EQ(std::string(rec), record);
}

TEST_F(IdentityQuery, ShortRecordGivesMinus2KeepingWhatCame)
{
    peer.send("\xAA" "005" "ab");
    char rec[16] = {};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ProbeDeviceId(rec), SD_ERR_TIMEOUT);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_LT(secondsSince(start), 2.5);
    EXPECT_STREQ(rec, "ab");
}

TEST_F(IdentityQuery, SilentReaderGivesMinus2AfterTwoSeconds)
{
    char rec[16] = {};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ProbeDeviceId(rec), SD_ERR_TIMEOUT);
    EXPECT_GE(secondsSince(start), 1.9);
    EXPECT_LT(secondsSince(start), 3.5);
}

// ---------------------------------------------------------------------------
// SelectExtPort, IC_OpenPort, IC_ClosePort

TEST_F(OpenLine, SelectExtPortSendsEscPercentAndTheLetterTraced)
{
    dir.traceOn();
    EXPECT_EQ(SelectExtPort('B'), SD_OK);
    EXPECT_EQ(hex(peer.receive()), "1B 25 42");
    EXPECT_EQ(maskStamps(dir.read("DataLog.log")), "<T>send:\n<T>[0001]1B 25 42 \r\n");
    CloseCOM();
    EXPECT_EQ(SelectExtPort('A'), SD_ERR_PORT);
}

TEST(PortSwitch, Ver3FirmwareGetsI4AndStaysAtTheCallersSpeed)
{
    PtyPeer peer;
    ScriptedReader reader(peer, {{kGetVer, "Ver3.1\r"}, {"\x1b%I4", ""}});
    ASSERT_EQ(IC_OpenPort(peer.portName().c_str(), nullptr, 19200, 0), SD_OK);
    EXPECT_EQ(hex(reader.finish()), hex(kGetVer + "\x1b%I4")); // no ESC "%A"
    EXPECT_EQ(isPortOpened, 1);
    termios t{};
    ASSERT_EQ(tcgetattr(peer.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(IC_ClosePort(nullptr, nullptr, 0, 0), SD_OK);
}

TEST(PortSwitch, OtherFirmwareGetsI1AndTheLineMovesTo115200)
{
    PtyPeer peer;
    int before = openDescriptorCount();
    // Any selector text, whatever its letter, selects port A.
    ScriptedReader reader(peer, {{"\x1b%A", ""}, {kGetVer, "Ver5.13\r"}, {"\x1b%I1", ""}});
    ASSERT_EQ(IC_OpenPort(peer.portName().c_str(), "B", 9600, 0), SD_OK);
    EXPECT_EQ(hex(reader.finish()), hex("\x1b%A" + kGetVer + "\x1b%I1"));
    EXPECT_EQ(isPortOpened, 1);
    EXPECT_EQ(openDescriptorCount(), before + 1); // the first descriptor was closed
    termios t{};
    ASSERT_EQ(tcgetattr(peer.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(g_term.c_cflag & CBAUD, static_cast<unsigned>(B115200));

    EXPECT_EQ(IC_ClosePort(nullptr, nullptr, 0, 0), SD_OK);
    EXPECT_EQ(hex(peer.receive()), "1B 25 42");
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(PortSwitch, SilentReaderClosesTheLineAgain)
{
    PtyPeer peer;
    int before = openDescriptorCount();
    EXPECT_EQ(IC_OpenPort(peer.portName().c_str(), "", 9600, 0), SD_ERR_TIMEOUT);
    EXPECT_EQ(hex(peer.receive()), hex(kGetVer)); // empty selector: no ESC "%A"
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(PortSwitch, MissingDeviceAndClosedLine)
{
    EXPECT_EQ(IC_OpenPort("ttyNoSuchReader", "A", 9600, 0), SD_ERR_PORT);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(IC_ClosePort("ttyNoSuchReader", "A", 9600, 0), SD_OK);
}

// ---------------------------------------------------------------------------
// InserStr

TEST(InserStr, ReplacesOneCharacterByTheInsert)
{
    struct Case {
        const char *text, *insert;
        int pos;
        const char *result;
    };
    for (const Case &c : {Case{"12345", "ab", 2, "12ab45"}, Case{"ABCDE", "xy", 0, "xyBCDE"},
                          Case{"ABCDE", "xy", 4, "ABCDxy"}, Case{"ABC", "", 1, "AC"},
                          Case{"A", "long", 0, "long"}}) {
        char buf[128] = {};
        strcpy(buf, c.text);
        InserStr(buf, c.insert, c.pos);
        EXPECT_STREQ(buf, c.result) << c.text << " " << c.insert << " " << c.pos;
    }
}

TEST(InserStr, OutsideItsBoundsTheTextStaysAsItIs)
{
    for (int pos : {-1, 5, 6, 1000}) {
        char buf[16] = "ABCDE";
        InserStr(buf, "xy", pos);
        EXPECT_STREQ(buf, "ABCDE") << pos;
    }
    char empty[4] = "";
    InserStr(empty, "xy", 0);
    EXPECT_STREQ(empty, "");
    InserStr(nullptr, "xy", 0);
    char buf[8] = "AB";
    InserStr(buf, nullptr, 0);
    EXPECT_STREQ(buf, "AB");
}

TEST(InserStr, ResultOf99CharactersFitsAndOneMoreDoesNot)
{
    std::string text(50, 't'), insert(50, 'i');
    char buf[256];
    memset(buf, 'Z', sizeof buf);
    strcpy(buf, text.c_str());
    InserStr(buf, insert.c_str(), 0);
    EXPECT_EQ(std::string(buf), insert + std::string(49, 't'));
    EXPECT_EQ(buf[100], 'Z');

    strcpy(buf, text.c_str());
    InserStr(buf, (insert + "i").c_str(), 0);
    EXPECT_EQ(std::string(buf), text);
}
