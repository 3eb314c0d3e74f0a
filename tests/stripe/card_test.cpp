// MS_ReadCard and MS_WriteCard: whole transactions against a scripted reader
// on the master, with the trace they leave in DataLog.log.
#include "stripe_support.h"

#include <chrono>
#include <cstring>
#include <future>

using namespace stripetest;

namespace {

const std::string WRITE_TAIL = "\x1d\x1b\\";

class Card : public ::testing::Test {
protected:
    Card()
    {
        std::memset(t2, 0, sizeof t2);
        std::memset(t3, 0, sizeof t3);
    }

    std::future<int> readCard(int mode, const char *ext = "", int nTimeout = 2)
    {
        return std::async(std::launch::async, [=] {
            return MS_ReadCard(peer.portName().c_str(), ext, 9600, nTimeout, mode, 0, t2, t3);
        });
    }
    std::future<int> writeCard(int mode, const char *text2, const char *text3, int nTimeout = 2)
    {
        return std::async(std::launch::async, [=] {
            return MS_WriteCard(peer.portName().c_str(), "", 9600, nTimeout, mode, 0, text2,
                                text3);
        });
    }
    // Plays one step of the reader: waits for `command`, then answers.
    void expectThenAnswer(const std::string &command, const std::string &answer)
    {
        EXPECT_EQ(sdtest::hex(peer.receiveCount(command.size())), sdtest::hex(command));
        peer.send(answer);
    }
    std::string trace() const { return maskStamps(dir.read(SD_TRACE_FILE)); }

    sdtest::TempWorkDir dir;
    sdtest::PtyPeer peer;
    char t2[256];
    char t3[256];
};

} // namespace

TEST_F(Card, ReadOfBothTracksIsOneTracedTransaction)
{
    dir.traceOn();
    int descriptors = sdtest::openDescriptorCount();
    auto rc = readCard(SD_TRACKS_2_3);
    expectThenAnswer("\x1b" "B]", readReply("1234'5678A9876'5432"));
    expectThenAnswer(STATUS_REQUEST, ESC + "Brp");
    ASSERT_EQ(rc.get(), SD_OK);
    EXPECT_STREQ(t2, "1234=5678");
    EXPECT_STREQ(t3, "9876=5432");
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(sdtest::openDescriptorCount(), descriptors);
    EXPECT_EQ(peer.receive(100, 500), "");  // no closing pair after a good read
    EXPECT_EQ(trace(), "<T>\nMS_ReadCard start at <T>\n"
                       "<T>send:\n<T>[0001]1B 42 5D \r\n"
                       "<T>send:\n<T>[0001]1B 6A \r\n"
                       "<T>szTrack2data:1234=5678\n"
                       "<T>szTrack3data:9876=5432\n"
                       "<T>MS_ReadCard End at <T> ,return 0\n");
}

TEST_F(Card, EverySuccessStatusFoldsIntoZero)
{
    struct Case {
        int mode;
        std::string command, reply, status;
    } cases[] = {
        {SD_TRACK_2, "\x1b]", readReply("1"), "rp"},
        {SD_TRACK_3, "\x1bT]", readReply("A3"), "Trp"},
        {SD_TRACKS_2_3, "\x1b" "B]", readReply("1A3"), "Brp"},
    };
    for (const Case &c : cases) {
        auto rc = readCard(c.mode);
        expectThenAnswer(c.command, c.reply);
        expectThenAnswer(STATUS_REQUEST, ESC + c.status);
        EXPECT_EQ(rc.get(), SD_OK) << c.status;
    }
}

TEST_F(Card, RefusedReadIsNotASuccess)
{
    auto rc = readCard(SD_TRACKS_2_3);
    expectThenAnswer("\x1b" "B]", "B");
    EXPECT_EQ(rc.get(), SD_READ_ERR_LETTER('B'));
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "");
    EXPECT_EQ(sdtest::hex(peer.receiveCount(CLOSING_PAIR.size())), sdtest::hex(CLOSING_PAIR));

    auto digit = readCard(SD_TRACK_2);
    expectThenAnswer("\x1b]", "7");
    EXPECT_EQ(digit.get(), 55);
}

TEST_F(Card, StatusFailuresPassThrough)
{
    auto rq = readCard(SD_TRACK_2);
    expectThenAnswer("\x1b]", readReply("12'3"));
    expectThenAnswer(STATUS_REQUEST, ESC + "rq");
    EXPECT_EQ(rq.get(), SD_ERR_RQ);
    EXPECT_STREQ(t2, "12=3");  // the data was read; the reader's verdict stands

    auto unknown = readCard(SD_TRACK_2);
    expectThenAnswer("\x1b]", readReply("1"));
    expectThenAnswer(STATUS_REQUEST, ESC + "Xq");
    EXPECT_EQ(unknown.get(), SD_ERR_STATUS);
}

TEST_F(Card, ExternalPortIsSelectedFirst)
{
    auto rc = readCard(SD_TRACK_2, "B");  // only its presence counts
    expectThenAnswer("\x1b%A" "\x1b]", readReply("5"));
    expectThenAnswer(STATUS_REQUEST, ESC + "rp");
    EXPECT_EQ(rc.get(), SD_OK);

    auto none = std::async(std::launch::async, [this] {
        return MS_ReadCard(peer.portName().c_str(), nullptr, 9600, 2, SD_TRACK_2, 0, t2, t3);
    });
    expectThenAnswer("\x1b]", readReply("5"));
    expectThenAnswer(STATUS_REQUEST, ESC + "rp");
    EXPECT_EQ(none.get(), SD_OK);
}

TEST_F(Card, BadTrackModeOpensAndClosesAndSendsNothing)
{
    std::strcpy(t2, "old");
    int descriptors = sdtest::openDescriptorCount();
    EXPECT_EQ(MS_ReadCard(peer.portName().c_str(), "", 9600, 1, 1, 0, t2, t3), SD_ERR_TRACKMODE);
    EXPECT_STREQ(t2, "");
    EXPECT_EQ(MS_WriteCard(peer.portName().c_str(), "", 9600, 1, 24, 0, "1", "2"),
              SD_ERR_TRACKMODE);
    EXPECT_EQ(peer.receive(100, 500), "");
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(sdtest::openDescriptorCount(), descriptors);
}

TEST_F(Card, PortThatDoesNotExistIsTracedWithTheCallersTexts)
{
    dir.traceOn();
    std::strcpy(t2, "as given");
    EXPECT_EQ(MS_ReadCard("no-such-tty", "", 9600, 1, SD_TRACKS_2_3, 0, t2, t3), SD_ERR_PORT);
    EXPECT_STREQ(t2, "as given");
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(MS_WriteCard("no-such-tty", "1", 9600, 1, SD_TRACKS_2_3, 0, "1", "2"),
              SD_ERR_PORT);
    EXPECT_EQ(trace(), "<T>\nMS_ReadCard start at <T>\n"
                       "<T>szTrack2data:as given\n"
                       "<T>szTrack3data:\n"
                       "<T>MS_ReadCard End at <T> ,return -3\n"
                       "<T>\nMS_WriteCard start at <T>\n"
                       "<T>MS_WriteCard End at <T>,return -3\n");
}

TEST_F(Card, NullArgumentsAreRefusedNotFollowed)
{
    dir.traceOn();
    EXPECT_EQ(MS_ReadCard(nullptr, "", 9600, 1, SD_TRACK_2, 0, t2, t3), SD_ERR_PORT);
    EXPECT_EQ(MS_ReadCard(peer.portName().c_str(), "", 9600, 1, SD_TRACK_2, 0, nullptr, t3),
              SD_ERR_PARAM);
    EXPECT_EQ(MS_WriteCard(peer.portName().c_str(), "", 9600, 1, SD_TRACK_2, 0, nullptr, "3"),
              SD_ERR_PARAM);
    EXPECT_EQ(MS_WriteCard(peer.portName().c_str(), "", 9600, 1, SD_TRACK_2, 0,
                           std::string(195, '1').c_str(), ""),
              SD_ERR_PARAM);
    EXPECT_EQ(peer.receive(100, 500), "");
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_NE(trace().find("<T>szTrack2data:\n<T>szTrack3data:\n<T>MS_ReadCard End at <T> ,return -7\n"),
              std::string::npos)
        << trace();
}

TEST_F(Card, WriteIsOneTracedTransaction)
{
    dir.traceOn();
    auto rc = writeCard(SD_TRACKS_2_3, "123", "456");
    expectThenAnswer(ESC + "t123A456" + WRITE_TAIL + STATUS_REQUEST, ESC + "rq");
    EXPECT_EQ(rc.get(), SD_ERR_RQ);
    EXPECT_EQ(sdtest::hex(peer.receiveCount(CLOSING_PAIR.size())), sdtest::hex(CLOSING_PAIR));
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(trace(), "<T>\nMS_WriteCard start at <T>\n"
                       "<T>send:\n<T>[0001]1B 74 31 32 33 41 34 35 36 1D 1B 5C \r\n"
                       "<T>send:\n<T>[0001]1B 6A \r\n"
                       "<T>send:\n<T>[0001]1B 30 \r\n"
                       "<T>send:\n<T>[0001]1B 25 41 \r\n"
                       "<T>MS_WriteCard End at <T>,return -5\n");

    auto ok = writeCard(SD_TRACK_2, "12=34", nullptr);
    expectThenAnswer(ESC + "t12=34" + WRITE_TAIL + STATUS_REQUEST, ESC + "rp");
    EXPECT_EQ(ok.get(), SD_OK);
}

TEST_F(Card, TwoReadsInARowStartAfresh)
{
    for (int i = 0; i < 2; ++i) {
        auto rc = readCard(SD_TRACK_2);
        expectThenAnswer("\x1b]", readReply(i == 0 ? "111" : "2"));
        expectThenAnswer(STATUS_REQUEST, ESC + "rp");
        EXPECT_EQ(rc.get(), SD_OK);
        EXPECT_STREQ(t2, i == 0 ? "111" : "2");
    }
}

// Waits out the limit: about one RecvByte1.
TEST_F(Card, NoCardSwipedTimesOut)
{
    auto start = std::chrono::steady_clock::now();
    auto rc = readCard(SD_TRACKS_2_3, "", 1);
    EXPECT_EQ(rc.get(), SD_ERR_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(4));
    EXPECT_LT(took, std::chrono::seconds(9));
    EXPECT_EQ(sdtest::hex(peer.receive(100, 500)), sdtest::hex("\x1b" "B]" + CLOSING_PAIR));
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "");
    EXPECT_EQ(isPortOpened, 0);
}
