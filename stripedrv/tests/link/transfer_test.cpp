// Send and receive primitives: bytes, codes, reply framings and time
// limits, on a live line and on one whose reader has vanished.
#include "link_support.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <thread>

using namespace sdtest;

namespace {

// Sends the reader's bytes and waits until they have passed the
// pseudo-terminal, so that the library's next read finds them all.
void sendAndSettle(PtyPeer &peer, const std::string &bytes)
{
    peer.send(bytes);
    ASSERT_TRUE(peer.waitForHostInput(bytes.size())) << hex(bytes);
}

// The master in packet mode learns when the host drops its queued output.
void watchFlushes(PtyPeer &peer)
{
    int on = 1;
    ASSERT_EQ(ioctl(peer.masterFd(), TIOCPKT, &on), 0);
}
bool outputWasDropped(PtyPeer &peer)
{
    std::string got = peer.receive(50, 200);
    return !got.empty() && (got[0] & TIOCPKT_FLUSHWRITE) != 0;
}

using Transfer = OpenLine;

} // namespace

TEST_F(Transfer, SendsWriteTheBytesAndTraceThem)
{
    dir.traceOn();
    EXPECT_EQ(SendData(2, "\x1bj"), SD_OK);
    EXPECT_EQ(SendDataEx(3, "\x1b" "B]"), SD_OK);
    EXPECT_EQ(Sendstr("\x1b" "0"), SD_OK);
    EXPECT_EQ(SendCom("\x1b%A"), 3);
    EXPECT_EQ(SendDataEx(0, ""), SD_OK);
    EXPECT_EQ(Sendstr(""), SD_OK);
    EXPECT_EQ(peer.receive(), std::string("\x1bj\x1b" "B]\x1b" "0\x1b%A"));

    EXPECT_EQ(bodies(dir.read("DataLog.log")), // SendCom is not traced
              "|send:\n|[0001]1B 6A \r\n|send:\n|[0001]1B 42 5D \r\n|send:\n|[0001]1B 30 \r\n"
              "|send:\n|\r\n|send:\n|\r\n");
}

TEST_F(Transfer, SendDataExKeepsWritingWhileTheReaderTakesBytes)
{
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 4093); // no period a write size hides
    std::string got;
    std::thread reader([&] { got = peer.receiveCount(big.size(), 5000); });
    EXPECT_EQ(SendDataEx(static_cast<int>(big.size()), big.data()), SD_OK);
    reader.join();
    EXPECT_TRUE(got == big) << got.size() << " bytes arrived";
}

TEST_F(Transfer, SendDataExGivesUpAfterThreeSecondsOnAFullLine)
{
    watchFlushes(peer);
    std::string big(1 << 20, 'x'); // far more than the line can queue
    Stopwatch clock;
    EXPECT_EQ(SendDataEx(static_cast<int>(big.size()), big.data()), SD_ERR_WRITE);
    EXPECT_TRUE(clock.within(2.9, 3.8));
    EXPECT_TRUE(outputWasDropped(peer));
}

TEST_F(Transfer, RecvByteTakesOneByteOrTimesOutAndDropsQueuedOutput)
{
    watchFlushes(peer);
    sendAndSettle(peer, "ab");
    unsigned char b = 0;
    EXPECT_EQ(RecvByte(&b, 1), SD_OK);
    EXPECT_EQ(b, 'a');
    EXPECT_EQ(RecvByte1(&b), SD_OK);
    EXPECT_EQ(b, 'b');
    EXPECT_FALSE(outputWasDropped(peer)) << "only a timeout drops the output";
    Stopwatch clock;
    EXPECT_EQ(RecvByte(&b, 1), SD_ERR_TIMEOUT);
    EXPECT_TRUE(clock.within(0.95, 1.5));
    EXPECT_EQ(b, 'b');
    EXPECT_TRUE(outputWasDropped(peer));
}

// RecvData and RecvDataEx frame replies the same way.
using EtxReceiver = int (*)(char *, int *, int);
class EtxFraming : public OpenLine, public ::testing::WithParamInterface<EtxReceiver> {
protected:
    int receive(int nTimeout)
    {
        memset(buf, '#', sizeof buf);
        len = -1;
        return GetParam()(buf, &len, nTimeout);
    }
    std::string reply() const { return std::string(buf, len > 0 ? static_cast<size_t>(len) : 0); }

    char buf[SD_RECV_MAX + 16];
    int len = -1;
};

TEST_P(EtxFraming, ReplyEndsWithTheReadThatBringsTheEtx)
{
    const std::string full = std::string(SD_RECV_MAX - 1, 'q') + '\x03';
    const struct { std::string now, later; int code; std::string reply; const char *why; } rows[] = {
        {"ab", std::string("cd\x03", 3), SD_OK, std::string("abcd\x03", 5), "a reply in two reads"},
        {std::string("\x03yz", 3), "", SD_OK, std::string("\x03yz", 3), "bytes after the ETX are kept"},
        {full, "", SD_OK, full, "a reply filling the accumulator fits"},
        {std::string(SD_RECV_MAX + 40, 'q') + '\x03', "", SD_ERR_TIMEOUT, "", "a longer one ends at once"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.why);
        sendAndSettle(peer, row.now);
        std::thread later([&] { usleep(row.later.empty() ? 0 : 300 * 1000), peer.send(row.later); });
        Stopwatch clock;
        EXPECT_EQ(receive(3), row.code);
        later.join();
        EXPECT_LT(clock.seconds(), 1.0);
        EXPECT_TRUE(reply() == row.reply) << hex(reply());
        EXPECT_EQ(buf[row.reply.size()], '#');
    }
}

TEST_P(EtxFraming, NoEtxBeforeTheLimit)
{
    peer.send("abc");
    Stopwatch clock;
    EXPECT_EQ(receive(1), SD_ERR_TIMEOUT);
    EXPECT_TRUE(clock.within(0.95, 2.2)); // RecvData: more than 1 s by a whole-second clock
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(len, GetParam() == RecvDataEx ? 0 : -1);
}

INSTANTIATE_TEST_SUITE_P(Receivers, EtxFraming, ::testing::Values(RecvData, RecvDataEx),
                         [](const auto &info) {
                             return std::string(info.param == RecvData ? "RecvData" : "RecvDataEx");
                         });

TEST_F(Transfer, ZeroAndNegativeLimits)
{
    char buf[SD_RECV_MAX];
    int len = 7;
    sendAndSettle(peer, "abc");
    Stopwatch clock;
    EXPECT_EQ(RecvData(buf, &len, -1), SD_ERR_TIMEOUT); // gives up at once
    EXPECT_EQ(len, 7);
    EXPECT_EQ(RecvDataEx(buf, &len, 0), SD_ERR_TIMEOUT); // takes "abc", no ETX
    EXPECT_EQ(len, 0);
    EXPECT_LT(clock.seconds(), 0.5);
    sendAndSettle(peer, std::string("d\x03", 2));
    EXPECT_EQ(RecvDataEx(buf, &len, 0), SD_OK);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), std::string("d\x03", 2));
    clock = Stopwatch();
    EXPECT_EQ(RecvData(buf, &len, 0), SD_ERR_TIMEOUT); // polls until the second changes
    EXPECT_LE(clock.seconds(), 1.1);
}

TEST_F(Transfer, RecvDataEx2NeedsTheWholeCountInOneRead)
{
    char buf[SD_RECV_EX2_MAX + 1];
    std::string block(SD_RECV_EX2_MAX, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i);
    sendAndSettle(peer, block);
    ASSERT_EQ(RecvDataEx2(buf, SD_RECV_EX2_MAX, 1), SD_OK);
    EXPECT_EQ(0, memcmp(buf, block.data(), block.size()));

    // Counts it cannot take are refused before anything is read.
    sendAndSettle(peer, "wxyz");
    EXPECT_EQ(RecvDataEx2(buf, -1, 1), SD_ERR_TIMEOUT);
    EXPECT_EQ(RecvDataEx2(buf, SD_RECV_EX2_MAX + 1, 1), SD_ERR_TIMEOUT);
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(RecvDataEx2(buf, 4, 1), SD_OK);
    EXPECT_EQ(std::string(buf, 5), "wxyz#");

    // Pieces shorter than the count are dropped.
    buf[0] = '#';
    peer.send("abc");
    std::thread later([&] { usleep(300 * 1000), peer.send("def"); });
    Stopwatch clock;
    EXPECT_EQ(RecvDataEx2(buf, 6, 1), SD_ERR_TIMEOUT);
    later.join();
    EXPECT_TRUE(clock.within(0.95, 1.5));
    EXPECT_EQ(buf[0], '#');
}

// A reader gone mid-wait: the slave reads as end of file and writes fail while
// select keeps reporting it ready. Every primitive still ends at its limit
// with its timeout code, sleeping, not spinning (callers loop around them).
namespace {

char g_buf[SD_RECV_EX2_MAX];
int g_len;
unsigned char g_byte;

struct HungCase {
    const char *name;
    int (*call)();
    int expected;
    double atLeast, atMost; // seconds
    // Gone before the call: RecvData polls a live line, a send ends at once.
    bool goneBefore;
} hungCases[] = {
    {"RecvByte", [] { return RecvByte(&g_byte, 1); }, SD_ERR_TIMEOUT, 0.95, 1.4, false},
    {"RecvByte1", [] { return RecvByte1(&g_byte); }, SD_ERR_TIMEOUT, 4.95, 5.4, false}, // 5 s
    {"RecvDataEx", [] { return RecvDataEx(g_buf, &g_len, 1); }, SD_ERR_TIMEOUT, 0.95, 1.4, false},
    {"RecvDataEx2", [] { return RecvDataEx2(g_buf, 8, 1); }, SD_ERR_TIMEOUT, 0.95, 1.4, false},
    // Whole-second wall clock: more than 1 s, at most 2.
    {"RecvData", [] { return RecvData(g_buf, &g_len, 1); }, SD_ERR_TIMEOUT, 1.0, 2.2, true},
    {"SendDataEx", [] { return SendDataEx(4, "\x1b%I4"); }, SD_ERR_WRITE, 2.95, 3.4, true},
};

void PrintTo(const HungCase &c, std::ostream *os) { *os << c.name; }

class HungUpLine : public OpenLine, public ::testing::WithParamInterface<HungCase> {};

} // namespace

TEST_P(HungUpLine, EndsAtItsLimitWithoutSpinning)
{
    const HungCase &c = GetParam();
    if (strncmp(c.name, "RecvByte", 8) != 0)
        peer.send("pa"); // part of a reply, then the reader vanishes
    std::thread vanish([&] {
        if (!c.goneBefore)
            usleep(200 * 1000);
        peer.hangUp();
    });
    if (c.goneBefore)
        vanish.join();
    const double cpu = cpuSeconds();
    Stopwatch clock;
    EXPECT_EQ(c.call(), c.expected);
    EXPECT_TRUE(clock.within(c.atLeast, c.atMost));
    if (vanish.joinable())
        vanish.join();
    SD_SKIP_PROCESSOR_TIME_UNDER_EMULATION();
    EXPECT_LT(cpuSeconds() - cpu, 0.2) << "the wait burned the processor";
}

INSTANTIATE_TEST_SUITE_P(Primitives, HungUpLine, ::testing::ValuesIn(hungCases),
                         [](const auto &info) { return std::string(info.param.name); });

// select() itself failing (the descriptor went away under the library) is
// slept out the same way.
TEST(HungUp, FailingSelectIsSleptOut)
{
    PtyPeer peer;
    const int fd = TermOpen(peer.devicePath().c_str(), 9600);
    ASSERT_GT(fd, 0);
    close(fd);
    const double cpu = cpuSeconds();
    Stopwatch clock;
    unsigned char b = 0;
    EXPECT_EQ(RecvByte(&b, 1), SD_ERR_TIMEOUT);
    EXPECT_TRUE(clock.within(0.95, 1.4));
    const double spent = cpuSeconds() - cpu;
    // Put a terminal back under the recorded number, so that it closes.
    ASSERT_EQ(dup2(peer.slaveFd(), fd), fd);
    EXPECT_EQ(TermClose(), SD_OK);
    SD_SKIP_PROCESSOR_TIME_UNDER_EMULATION();
    EXPECT_LT(spent, 0.2);
}
