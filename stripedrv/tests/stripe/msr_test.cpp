// GetBpStatus, ReadMsre and the MSR_ calls on an open line whose master
// plays the reader: the command bytes, the reply framing, the status table,
// the closing pair and the replies that do not fit.
#include "stripe_support.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

using namespace stripetest;
using std::chrono::seconds;
using std::chrono::steady_clock;

namespace {

class Msr : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
        std::memset(t2, 'x', sizeof t2 - 1);  // a read must set every text it returns
        std::memset(t3, 'x', sizeof t3 - 1);
    }
    void TearDown() override { CloseCOM(); }

    // What the host sent, as hex, collected until the line is quiet.
    std::string sent() { return sdtest::hex(peer.receive(150, 3000)); }

    sdtest::TempWorkDir dir;  // fresh, so the trace is off
    sdtest::PtyPeer peer;
    char t2[256] = {};
    char t3[256] = {};
};

using Status = Msr;
using Read = Msr;
using Write = Msr;

} // namespace

TEST_F(Status, EachAnswerIsJudgedByItsText)
{
    // Bytes before ESC and NUL bytes inside the text do not count. A text
    // longer than the 23-byte buffer is unknown whatever it ends in, and is
    // read to its end so that the next answer is judged on its own.
    const std::string nul(1, '\0');
    const struct {
        std::string answer;
        int result;
    } cases[] = {
        {ESC + "rp", SD_STATUS_RP},      {ESC + "Trp", SD_STATUS_TRP},
        {ESC + "Brp", SD_STATUS_BRP},    {ESC + "rq", SD_ERR_RQ},
        {ESC + "rrp", SD_ERR_STATUS},    {ESC + "Tq", SD_ERR_STATUS},
        {ESC + "Bq", SD_ERR_STATUS},     {ESC + "p", SD_ERR_STATUS},
        {"xy" + ESC + "rp", SD_STATUS_RP}, {ESC + "r" + nul + "p", SD_STATUS_RP},
        {nul + nul + ESC + "B" + nul + "rp", SD_STATUS_BRP},
        {ESC + std::string(30, 'x') + "Brp", SD_ERR_STATUS},
        {ESC + std::string(200, 'r') + "p", SD_ERR_STATUS},
        {ESC + "Trp", SD_STATUS_TRP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(sdtest::hex(c.answer));
        peer.send(c.answer);
        EXPECT_EQ(GetBpStatus(2), c.result);
        EXPECT_EQ(sent(), "1B 6A");
    }
    // The text ends at its first "p": what follows stays on the line.
    peer.send(ESC + "rpq");
    EXPECT_EQ(GetBpStatus(2), SD_STATUS_RP);
    unsigned char rest = 0;
    EXPECT_EQ(RecvByte(&rest, 1), SD_OK);
    EXPECT_EQ(rest, 'q');
}

TEST_F(Read, RepliesOfEachModeTheirEdgesAndReadMsre)
{
    const std::string nul(1, '\0'), full(198, '5');
    const struct {
        int mode;
        std::string reply;
        int result;
        std::string text2, text3;
    } cases[] = {
        {SD_TRACK_2, readReply("1234'5678") + ESC + "rp", SD_STATUS_RP, "1234=5678", ""},
        {SD_TRACKS_2_3, readReply("12'34A5678") + ESC + "Brp", SD_STATUS_BRP, "12=34", "5678"},
        {SD_TRACK_3, readReply("A5678") + ESC + "Trp", SD_STATUS_TRP, "", "5678"},
        // ESC and other bytes before "s" are noise; after it digits, "A" to
        // "D" and "s" are data, NUL bytes are dropped.
        {SD_TRACKS_2_3, "\x1bxz" + readReply("9s0" + nul + "BCDA7s") + ESC + "Brp",
         SD_STATUS_BRP, "9s0BCD", "7s"},
        // FS right after "s"; mode 3 without its leading byte, or with only
        // it; mode 23 without "A" (all track 2) or with "A" last.
        {SD_TRACKS_2_3, "s" + FS + ESC + "Brp", SD_STATUS_BRP, "", ""},
        {SD_TRACK_3, "s?" + FS + ESC + "Trp", SD_STATUS_TRP, "", ""},
        {SD_TRACK_3, readReply("A") + ESC + "Trp", SD_STATUS_TRP, "", ""},
        {SD_TRACKS_2_3, readReply("12'34") + ESC + "Brp", SD_STATUS_BRP, "12=34", ""},
        {SD_TRACKS_2_3, readReply("12A") + ESC + "Brp", SD_STATUS_BRP, "12", ""},
        // 198 characters, the trailer and FS fill the 200-byte buffer.
        {SD_TRACK_2, readReply(full) + ESC + "rp", SD_STATUS_RP, full, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(sdtest::hex(c.reply));
        peer.send(c.reply);
        EXPECT_EQ(MSR_ReadMag(c.mode, t2, t3, 2), c.result);
        EXPECT_EQ(sent(), sdtest::hex(readCommand(c.mode) + STATUS_REQUEST));
        EXPECT_EQ(t2, c.text2);
        EXPECT_EQ(t3, c.text3);
    }
    // ReadMsre keeps the reader's separator and leaves the other buffer.
    std::strcpy(t3, "untouched");
    peer.send(readReply("1'2") + ESC + "rp");
    EXPECT_EQ(ReadMsre(SD_TRACK_2, t2, t3, 2), SD_STATUS_RP);
    EXPECT_STREQ(t2, "1'2");
    EXPECT_STREQ(t3, "untouched");
}

TEST_F(Read, ErrorByteEndsTheReadWithItsCodeAndTheClosingPair)
{
    for (char e : std::string("0123456789ABCD")) {
        SCOPED_TRACE(e);
        peer.send(ESC + e);
        EXPECT_EQ(MSR_ReadMag(SD_TRACKS_2_3, t2, t3, 2), e <= '9' ? 48 + e - '0' : 20 + e - 'A');
        EXPECT_EQ(sent(), sdtest::hex(readCommand(SD_TRACKS_2_3) + CLOSING_PAIR));
        EXPECT_STREQ(t2, "");
        EXPECT_STREQ(t3, "");
    }
}

TEST_F(Read, RefusedReadsSendNothing)
{
    for (int mode : {0, 1, 4, 5, 22, 32, -23}) {
        std::strcpy(t2, "old");
        std::strcpy(t3, "old");
        EXPECT_EQ(MSR_ReadMag(mode, t2, t3, 1), SD_ERR_TRACKMODE) << mode;
        EXPECT_STREQ(t2, "");
        EXPECT_STREQ(t3, "");
    }
    EXPECT_EQ(MSR_ReadMag(SD_TRACK_2, nullptr, t3, 1), SD_ERR_PARAM);
    EXPECT_EQ(ReadMsre(SD_TRACKS_2_3, t2, nullptr, 1), SD_ERR_PARAM);
    EXPECT_EQ(sent(), "");
}

TEST_F(Read, ReplyLongerThanTheBufferIsRefused)
{
    peer.send(readReply(std::string(199, '5')) + ESC + "rp");
    EXPECT_EQ(MSR_ReadMag(SD_TRACK_2, t2, t3, 2), SD_ERR_TIMEOUT);
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "");
    EXPECT_EQ(sent(), sdtest::hex(readCommand(SD_TRACK_2) + CLOSING_PAIR));

    // A reply that never ends stops at the buffer too, not at the limit.
    auto start = steady_clock::now();
    peer.send("s" + std::string(1000, '1'));
    EXPECT_EQ(MSR_ReadMag(SD_TRACKS_2_3, t2, t3, 30), SD_ERR_TIMEOUT);
    EXPECT_LT(steady_clock::now() - start, seconds(5));
}

// Whole-second cases: each waits out at least one 5-second receive, so each
// is a test of its own and they run side by side.
struct Silence {
    const char *name;
    std::string reply, later;  // what the reader sends at once, and after 5.6 s
    int (*call)(char *t2, char *t3);
    int result;
    const char *wire;          // what the host sends, as hex
    const char *text2, *text3; // nullptr: not a read
};

void PrintTo(const Silence &c, std::ostream *os) { *os << c.name; }  // the CTest name

// A limit of 0 ends the text at the next tick of the clock's second, which
// may fall between two bytes already on the line on a slow machine (an
// emulator); two seconds cannot, and every byte wait here is 5 s anyway.
int status(char *, char *) { return GetBpStatus(2); }
int read23(char *t2, char *t3) { return MSR_ReadMag(SD_TRACKS_2_3, t2, t3, 0); }
int read2(char *t2, char *t3) { return MSR_ReadMag(SD_TRACK_2, t2, t3, 0); }
int read23Slowly(char *t2, char *t3) { return MSR_ReadMag(SD_TRACKS_2_3, t2, t3, 9); }
int write23(char *, char *) { return MSR_WriteMag(SD_TRACKS_2_3, "1", "2", 0); }

class Silent : public Msr, public ::testing::WithParamInterface<Silence> {};

TEST_P(Silent, ResultWireAndTexts)
{
    const Silence &c = GetParam();
    peer.send(c.reply);
    std::thread later([&] {
        if (!c.later.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5600));
            peer.send(c.later);
        }
    });
    auto start = steady_clock::now();
    EXPECT_EQ(c.call(t2, t3), c.result);
    EXPECT_GE(steady_clock::now() - start, seconds(4));
    later.join();
    EXPECT_EQ(sent(), c.wire);
    if (c.text2) {
        EXPECT_STREQ(t2, c.text2);
        EXPECT_STREQ(t3, c.text3);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reader, Silent,
    ::testing::Values(
        // "rs" and "rt" take effect only once the reader has fallen silent.
        Silence{"RsThenSilence", ESC + "rs", "", status, SD_ERR_PORT, "1B 6A", nullptr, nullptr},
        Silence{"RtThenSilence", ESC + "r" + std::string(1, '\0') + "t", "", status, SD_ERR_CLOSE,
                "1B 6A", nullptr, nullptr},
        Silence{"NoStatusIsUnknownNotTimeout", "", "", status, SD_ERR_STATUS, "1B 6A", nullptr,
                nullptr},
        Silence{"NoReadReply", "", "", read23, SD_ERR_TIMEOUT, "1B 42 5D 1B 30 1B 25 41", "", ""},
        Silence{"DataCutOffByTheLimit", "s1234", "", read2, SD_ERR_TIMEOUT,
                "1B 5D 1B 30 1B 25 41", "", ""},
        Silence{"PauseInsideTheDataLosesNothing", "s12'3", "4A56?" + FS + ESC + "Brp",
                read23Slowly, SD_STATUS_BRP, "1B 42 5D 1B 6A", "12=34", "56"},
        Silence{"NoWriteStatusStillClosesThePair", "", "", write23, SD_ERR_STATUS,
                "1B 74 31 41 32 1D 1B 5C 1B 6A 1B 30 1B 25 41", nullptr, nullptr}),
    [](const ::testing::TestParamInfo<Silence> &info) { return std::string(info.param.name); });

TEST_F(Write, CommandBytesStatusAndTheTextsThatDoNotFit)
{
    // The command holds 200 bytes: 194 characters in mode 2, 193 in mode 3
    // and both together in mode 23. What does not fit is refused unsent.
    auto w = [](const std::string &body) {
        return sdtest::hex(ESC + "t" + body + WRITE_TAIL + STATUS_REQUEST + CLOSING_PAIR);
    };
    const std::string a100(100, '2'), a194(194, '2'), a195(195, '2'), a1000(1000, '2');
    const std::string b93(93, '3'), b94(94, '3'), b193(193, '3'), b194(194, '3');
    const struct {
        int mode;
        const char *text2, *text3;
        std::string answer;
        int result;
        std::string wire;  // as hex
    } cases[] = {
        {SD_TRACKS_2_3, "123", "456", ESC + "Brp", SD_STATUS_BRP,
         "1B 74 31 32 33 41 34 35 36 1D 1B 5C 1B 6A 1B 30 1B 25 41"},
        {SD_TRACK_2, "12=34", "ignored", ESC + "rp", SD_STATUS_RP, w("12=34")},
        {SD_TRACK_3, nullptr, "9'9", ESC + "Trp", SD_STATUS_TRP, w("A9'9")},
        {SD_TRACK_2, "1", "", "\x01" + ESC + "rq", SD_ERR_RQ, w("1")},
        {SD_TRACK_2, a194.c_str(), "", ESC + "rp", SD_STATUS_RP, w(a194)},
        {SD_TRACK_3, "", b193.c_str(), ESC + "rp", SD_STATUS_RP, w("A" + b193)},
        {SD_TRACKS_2_3, a100.c_str(), b93.c_str(), ESC + "rp", SD_STATUS_RP,
         w(a100 + "A" + b93)},
        {SD_TRACKS_2_3, "", b193.c_str(), ESC + "rp", SD_STATUS_RP, w("A" + b193)},
        {SD_TRACK_2, a195.c_str(), "", "", SD_ERR_PARAM, ""},
        {SD_TRACK_3, "", b194.c_str(), "", SD_ERR_PARAM, ""},
        {SD_TRACKS_2_3, a100.c_str(), b94.c_str(), "", SD_ERR_PARAM, ""},
        {SD_TRACKS_2_3, a194.c_str(), "", "", SD_ERR_PARAM, ""},
        {SD_TRACK_2, a1000.c_str(), a1000.c_str(), "", SD_ERR_PARAM, ""},
        {SD_TRACK_2, nullptr, "2", "", SD_ERR_PARAM, ""},
        {SD_TRACK_3, "1", nullptr, "", SD_ERR_PARAM, ""},
        {SD_TRACKS_2_3, "1", nullptr, "", SD_ERR_PARAM, ""},
        {SD_TRACKS_2_3, nullptr, "2", "", SD_ERR_PARAM, ""},
        {5, "1", "2", "", SD_ERR_TRACKMODE, ""},
        {0, nullptr, nullptr, "", SD_ERR_TRACKMODE, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.mode << " " << (c.text2 ? std::strlen(c.text2) : 0)
                                        << " " << (c.text3 ? std::strlen(c.text3) : 0));
        peer.send(c.answer);
        EXPECT_EQ(MSR_WriteMag(c.mode, c.text2, c.text3, 2), c.result);
        EXPECT_EQ(sent(), c.wire);
    }
}

TEST_F(Write, ResetOnlyOnAnOpenLine)
{
    EXPECT_EQ(MSR_Reset(), SD_OK);
    EXPECT_EQ(sent(), "1B 30");
    ASSERT_EQ(CloseCOM(), SD_OK);
    EXPECT_EQ(MSR_Reset(), SD_ERR_STATUS);
    EXPECT_EQ(sent(), "");
}
