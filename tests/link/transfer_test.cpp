// Send and receive primitives on a live line: bytes, codes, framings and
// time limits.
#include "link_support.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <regex>

using namespace sdtest;

namespace {

const char kStamp[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  )";

// Gives the reader's bytes time to pass the pseudo-terminal, so that they
// are all waiting when the library reads.
void settle()
{
    usleep(100 * 1000);
}

// The master in packet mode learns when the host side drops its queued
// output; data packets are then prefixed by a zero byte.
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
    EXPECT_EQ(peer.receive(), std::string("\x1bj\x1b" "B]\x1b" "0\x1b%A"));

    const std::string s = kStamp;
    const std::regex want(s + "send:\n" + s + R"(\[0001\]1B 6A \r\n)" + //
                          s + "send:\n" + s + R"(\[0001\]1B 42 5D \r\n)" +
                          s + "send:\n" + s + R"(\[0001\]1B 30 \r\n)"); // SendCom: no trace
    EXPECT_TRUE(std::regex_match(dir.read("DataLog.log"), want)) << dir.read("DataLog.log");
}

TEST_F(Transfer, EmptySendsTraceAndSendNothing)
{
    dir.traceOn();
    EXPECT_EQ(SendDataEx(0, ""), SD_OK);
    EXPECT_EQ(Sendstr(""), SD_OK);
    EXPECT_EQ(peer.receive(100, 300), "");
    const std::string s = kStamp;
    EXPECT_TRUE(std::regex_match(dir.read("DataLog.log"),
                                 std::regex(s + "send:\n" + s + "\r\n" + s + "send:\n" + s + "\r\n")));
}

TEST_F(Transfer, SendDataExKeepsWritingWhileTheReaderTakesBytes)
{
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
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
    EXPECT_GE(clock.seconds(), 2.9);
    EXPECT_LT(clock.seconds(), 3.8);
    EXPECT_TRUE(outputWasDropped(peer));
}

TEST_F(Transfer, RecvByteTakesOneByte)
{
    watchFlushes(peer);
    peer.send("ab");
    settle();
    unsigned char b = 0;
    EXPECT_EQ(RecvByte(&b, 1), SD_OK);
    EXPECT_EQ(b, 'a');
    EXPECT_EQ(RecvByte1(&b), SD_OK);
    EXPECT_EQ(b, 'b');
    EXPECT_FALSE(outputWasDropped(peer));
}

TEST_F(Transfer, RecvByteTimesOutAndDropsQueuedOutput)
{
    watchFlushes(peer);
    unsigned char b = 0x5A;
    Stopwatch clock;
    EXPECT_EQ(RecvByte(&b, 1), SD_ERR_TIMEOUT);
    EXPECT_GE(clock.seconds(), 0.95);
    EXPECT_LT(clock.seconds(), 1.5);
    EXPECT_EQ(b, 0x5A);
    EXPECT_TRUE(outputWasDropped(peer));
}

TEST_F(Transfer, RecvByte1WaitsFiveSeconds)
{
    unsigned char b = 0;
    Stopwatch clock;
    EXPECT_EQ(RecvByte1(&b), SD_ERR_TIMEOUT);
    EXPECT_GE(clock.seconds(), 4.95);
    EXPECT_LT(clock.seconds(), 5.6);
}

// RecvData and RecvDataEx frame replies the same way.
using EtxReceiver = int (*)(char *, int *, int);
class EtxFraming : public sdtest::OpenLine, public ::testing::WithParamInterface<EtxReceiver> {
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

TEST_P(EtxFraming, ReplyInTwoReadsComesWhole)
{
    peer.send("ab");
    std::thread later = sendLater(peer, std::string("cd\x03", 3), 300);
    EXPECT_EQ(receive(3), SD_OK);
    later.join();
    EXPECT_EQ(reply(), std::string("abcd\x03", 5));
}

TEST_P(EtxFraming, BytesAfterTheEtxInTheSameReadAreKept)
{
    peer.send(std::string("\x03yz", 3));
    settle();
    EXPECT_EQ(receive(2), SD_OK);
    EXPECT_EQ(reply(), std::string("\x03yz", 3));
    EXPECT_EQ(buf[3], '#');
}

TEST_P(EtxFraming, ReplyFillingTheAccumulatorExactlyFits)
{
    std::string full(SD_RECV_MAX - 1, 'q');
    full += '\x03';
    std::thread writer([&] { peer.send(full); });
    EXPECT_EQ(receive(3), SD_OK);
    writer.join();
    EXPECT_EQ(len, SD_RECV_MAX);
    EXPECT_TRUE(reply() == full);
}

TEST_P(EtxFraming, ReplyLongerThanTheAccumulatorEndsAtOnce)
{
    std::string tooLong(SD_RECV_MAX + 40, 'q');
    tooLong += '\x03';
    std::thread writer([&] { peer.send(tooLong); });
    Stopwatch clock;
    EXPECT_EQ(receive(3), SD_ERR_TIMEOUT);
    writer.join();
    EXPECT_LT(clock.seconds(), 1.0);
    EXPECT_EQ(buf[0], '#');
}

TEST_P(EtxFraming, NoEtxBeforeTheLimit)
{
    peer.send("abc");
    Stopwatch clock;
    EXPECT_EQ(receive(1), SD_ERR_TIMEOUT);
    EXPECT_GE(clock.seconds(), 0.95);
    EXPECT_LT(clock.seconds(), 2.2); // RecvData: more than 1 s by a whole-second clock
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
    unsigned char b = 0;
    peer.send("abc");
    settle();
    Stopwatch clock;
    EXPECT_EQ(RecvData(buf, &len, -1), SD_ERR_TIMEOUT); // gives up before reading
    EXPECT_EQ(len, 7);
    EXPECT_EQ(RecvByte(&b, 1), SD_OK);
    EXPECT_EQ(b, 'a');
    EXPECT_EQ(RecvDataEx(buf, &len, 0), SD_ERR_TIMEOUT); // takes "bc", no ETX
    EXPECT_EQ(len, 0);
    EXPECT_LT(clock.seconds(), 0.5);
    peer.send(std::string("d\x03", 2));
    settle();
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
    peer.send(block);
    settle();
    ASSERT_EQ(RecvDataEx2(buf, SD_RECV_EX2_MAX, 1), SD_OK);
    EXPECT_EQ(0, memcmp(buf, block.data(), block.size()));

    // Counts it cannot take are refused before anything is read.
    peer.send("wxyz");
    settle();
    EXPECT_EQ(RecvDataEx2(buf, -1, 1), SD_ERR_TIMEOUT);
    EXPECT_EQ(RecvDataEx2(buf, SD_RECV_EX2_MAX + 1, 1), SD_ERR_TIMEOUT);
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(RecvDataEx2(buf, 4, 1), SD_OK);
    EXPECT_EQ(std::string(buf, 5), "wxyz#");
}

TEST_F(Transfer, RecvDataEx2DropsShortPieces)
{
    char buf[16];
    memset(buf, '#', sizeof buf);
    peer.send("abc");
    std::thread later = sendLater(peer, "def", 300);
    Stopwatch clock;
    EXPECT_EQ(RecvDataEx2(buf, 6, 1), SD_ERR_TIMEOUT);
    later.join();
    EXPECT_GE(clock.seconds(), 0.95);
    EXPECT_LT(clock.seconds(), 1.5);
    EXPECT_EQ(buf[0], '#');
}
