// MS_ReadCard and MS_WriteCard: whole transactions against a scripted reader
// on the master with the trace they leave in DataLog.log, then end to end
// against the readersim program.
#include "scripted_reader.h"
#include "sim_reader.h"
#include "stripe_support.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <vector>

using namespace stripetest;

namespace {

// The readersim program on a pseudo-terminal of its own for one test; it
// paces its bytes at the line's speed unless told otherwise.
class Readersim {
public:
    explicit Readersim(const std::vector<std::string> &options)
        : program_(quiet(options)), port_(program_.firstLine())
    {
        EXPECT_EQ(port_.rfind("pts/", 0), 0u) << port_;
    }
    ~Readersim() { EXPECT_EQ(program_.finish(SIGTERM), 0); }
    const char *port() const { return port_.c_str(); }

private:
    static std::vector<std::string> quiet(std::vector<std::string> options)
    {
        options.push_back("--quiet");
        return options;
    }
    sdtest::ReadersimProgram program_;
    std::string port_;
};

class Card : public ::testing::Test {
protected:
    std::future<int> readCard(int mode, const char *ext = "")
    {
        return std::async(std::launch::async, [=] {
            return MS_ReadCard(port(), ext, 9600, 2, mode, 0, t2, t3);
        });
    }
    // Plays one step of the reader: waits for `command`, then answers.
    void expectThenAnswer(const std::string &command, const std::string &answer)
    {
        EXPECT_EQ(sdtest::hex(peer.receiveCount(command.size())), sdtest::hex(command));
        peer.send(answer);
    }
    // The trace with every time stamp (date, time and two blanks) as "<T>".
    std::string trace() const { return sdtest::maskStamps(dir.read(SD_TRACE_FILE)); }
    const char *port() const { return portName.c_str(); }

    sdtest::TempWorkDir dir;
    sdtest::PtyPeer peer;
    std::string portName = peer.portName();
    char t2[256] = {};
    char t3[256] = {};
};

using EndToEnd = Card;  // against the program: the fixture's buffers and directory

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

TEST_F(Card, ReadResultsOneAfterAnother)
{
    // Only the success statuses fold into 0; any other verdict of the reader
    // passes through, and a read it refused is not a success. Each read
    // starts afresh.
    const struct {
        int mode;
        const char *ext;      // any text selects the external port first
        std::string command, reply, status;  // no status: the read was refused
        int result;
        const char *text2, *text3;
    } cases[] = {
        {SD_TRACK_2, "", "\x1b]", readReply("111"), "rp", SD_OK, "111", ""},
        {SD_TRACK_3, "", "\x1bT]", readReply("A3"), "Trp", SD_OK, "", "3"},
        {SD_TRACKS_2_3, "", "\x1b" "B]", readReply("1A3"), "Brp", SD_OK, "1", "3"},
        {SD_TRACK_2, "", "\x1b]", readReply("12'3"), "rq", SD_ERR_RQ, "12=3", ""},
        {SD_TRACK_2, "", "\x1b]", readReply("1"), "Xq", SD_ERR_STATUS, "1", ""},
        {SD_TRACK_2, "B", "\x1b%A\x1b]", readReply("5"), "rp", SD_OK, "5", ""},
        {SD_TRACK_2, nullptr, "\x1b]", readReply("2"), "rp", SD_OK, "2", ""},
        {SD_TRACKS_2_3, "", "\x1b" "B]", "B", "", SD_READ_ERR_LETTER('B'), "", ""},
        {SD_TRACK_2, "", "\x1b]", "7", "", 55, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(sdtest::hex(c.command + c.reply));
        auto rc = readCard(c.mode, c.ext);
        expectThenAnswer(c.command, c.reply);
        if (c.status.empty())
            EXPECT_EQ(sdtest::hex(peer.receiveCount(CLOSING_PAIR.size())), sdtest::hex(CLOSING_PAIR));
        else
            expectThenAnswer(STATUS_REQUEST, ESC + c.status);
        EXPECT_EQ(rc.get(), c.result);
        EXPECT_STREQ(t2, c.text2);
        EXPECT_STREQ(t3, c.text3);
    }
}

TEST_F(Card, WriteIsOneTracedTransaction)
{
    dir.traceOn();
    auto rc = std::async(std::launch::async, [this] {
        return MS_WriteCard(port(), "", 9600, 2, SD_TRACKS_2_3, 0, "123", "456");
    });
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
}

TEST_F(Card, RefusedCallsSendNothingAndLeaveNoLineOpen)
{
    dir.traceOn();
    int descriptors = sdtest::openDescriptorCount();
    std::strcpy(t2, "old");
    EXPECT_EQ(MS_ReadCard(port(), "", 9600, 1, 1, 0, t2, t3), SD_ERR_TRACKMODE);
    EXPECT_STREQ(t2, "");
    EXPECT_EQ(MS_WriteCard(port(), "", 9600, 1, 24, 0, "1", "2"), SD_ERR_TRACKMODE);
    EXPECT_EQ(MS_ReadCard(nullptr, "", 9600, 1, SD_TRACK_2, 0, t2, t3), SD_ERR_PORT);
    EXPECT_EQ(MS_ReadCard(port(), "", 9600, 1, SD_TRACK_2, 0, nullptr, t3), SD_ERR_PARAM);
    EXPECT_EQ(MS_WriteCard(port(), "", 9600, 1, SD_TRACK_2, 0, nullptr, "3"), SD_ERR_PARAM);
    EXPECT_EQ(MS_WriteCard(port(), "", 9600, 1, SD_TRACK_2, 0, std::string(195, '1').c_str(), ""),
              SD_ERR_PARAM);
    EXPECT_EQ(peer.receive(100, 500), "");
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(sdtest::openDescriptorCount(), descriptors);
    EXPECT_NE(trace().find("<T>szTrack2data:\n<T>szTrack3data:\n<T>MS_ReadCard End at <T> ,return -7\n"),
              std::string::npos)
        << trace();
}

TEST_F(Card, PortThatDoesNotExistIsTracedWithTheCallersTexts)
{
    dir.traceOn();
    std::strcpy(t2, "as given");
    EXPECT_EQ(MS_ReadCard("no-such-tty", "", 9600, 1, SD_TRACKS_2_3, 0, t2, t3), SD_ERR_PORT);
    EXPECT_STREQ(t2, "as given");
    EXPECT_EQ(MS_WriteCard("no-such-tty", "1", 9600, 1, SD_TRACKS_2_3, 0, "1", "2"), SD_ERR_PORT);
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_EQ(trace(), "<T>\nMS_ReadCard start at <T>\n"
                       "<T>szTrack2data:as given\n"
                       "<T>szTrack3data:\n"
                       "<T>MS_ReadCard End at <T> ,return -3\n"
                       "<T>\nMS_WriteCard start at <T>\n"
                       "<T>MS_WriteCard End at <T>,return -3\n");
}

TEST_F(EndToEnd, WriteThenReadBackThroughThePacedReader)
{
    Readersim reader({"--track2", "55=66", "--track3", "77=88"});
    ASSERT_EQ(MS_ReadCard(reader.port(), "", 9600, 2, SD_TRACKS_2_3, 0, t2, t3), SD_OK);
    EXPECT_STREQ(t2, "55=66");
    EXPECT_STREQ(t3, "77=88");
    ASSERT_EQ(MS_WriteCard(reader.port(), "", 9600, 2, SD_TRACKS_2_3, 0, "1234=5678", "9876=5432"),
              SD_OK);
    ASSERT_EQ(MS_WriteCard(reader.port(), "1", 9600, 2, SD_TRACK_3, 0, nullptr, "777=1"), SD_OK);
    ASSERT_EQ(MS_ReadCard(reader.port(), "", 9600, 2, SD_TRACKS_2_3, 0, t2, t3), SD_OK);
    EXPECT_STREQ(t2, "1234=5678");
    EXPECT_STREQ(t3, "777=1");
    ASSERT_EQ(MS_ReadCard(reader.port(), "", 19200, 2, SD_TRACK_2, 0, t2, t3), SD_OK);
    EXPECT_STREQ(t2, "1234=5678");
    EXPECT_STREQ(t3, "");
}

TEST_F(EndToEnd, MisbehavingReaderGivesTheDocumentedCodes)
{
    {
        Readersim reader({"--error-byte", "D"});
        EXPECT_EQ(MS_ReadCard(reader.port(), "", 9600, 2, SD_TRACKS_2_3, 0, t2, t3), 23);
        EXPECT_STREQ(t2, "");
    }
    Readersim reader({"--status", "rq", "--stray", "\\x00\\x07", "--byte-gap", "2"});
    EXPECT_EQ(MS_WriteCard(reader.port(), "", 9600, 2, SD_TRACK_2, 0, "1", nullptr), SD_ERR_RQ);
    EXPECT_EQ(MS_ReadCard(reader.port(), "", 9600, 2, SD_TRACK_2, 0, t2, t3), SD_ERR_RQ);
    EXPECT_STREQ(t2, "1");
}

TEST_F(EndToEnd, SilentReaderTimesOutWithinTheLimit)
{
    // Waits out the limit: about one 5-second receive.
    Readersim reader({"--silent"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MS_ReadCard(reader.port(), "", 9600, 1, SD_TRACKS_2_3, 0, t2, t3), SD_ERR_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(4));
    EXPECT_LT(took, std::chrono::seconds(9));
    EXPECT_STREQ(t2, "");
    EXPECT_EQ(isPortOpened, 0);
}
