// ReadMsre and MSR_ReadMag: the read command, the reply framing, the track
// split, the error bytes and the closing pair.
#include "stripe_support.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace stripetest;

namespace {

class Read : public OpenLine {
protected:
    Read()
    {
        std::memset(t2, 'x', sizeof t2);
        std::memset(t3, 'x', sizeof t3);
        t2[sizeof t2 - 1] = t3[sizeof t3 - 1] = '\0';
    }
    // Queues the reader's bytes and reads in `mode` through MSR_ReadMag.
    int read(int mode, const std::string &reply, int nTimeout = 2)
    {
        peer.send(reply);
        return MSR_ReadMag(mode, t2, t3, nTimeout);
    }
    char t2[256];
    char t3[256];
};

} // namespace

TEST_F(Read, EachModeSendsItsCommandAndSplitsItsReply)
{
    EXPECT_EQ(read(SD_TRACK_2, readReply("1234'5678") + ESC + "rp"), SD_STATUS_RP);
    EXPECT_EQ(sdtest::hex(sent()), sdtest::hex("\x1b]" + STATUS_REQUEST));
    EXPECT_STREQ(t2, "1234=5678");
    EXPECT_STREQ(t3, "");

    EXPECT_EQ(read(SD_TRACKS_2_3, readReply("12'34A5678") + ESC + "Brp"), SD_STATUS_BRP);
    EXPECT_EQ(sdtest::hex(sent()), sdtest::hex("\x1b" "B]" + STATUS_REQUEST));
    EXPECT_STREQ(t2, "12=34");
    EXPECT_STREQ(t3, "5678");

    EXPECT_EQ(read(SD_TRACK_3, readReply("A5678") + ESC + "Trp"), SD_STATUS_TRP);
    EXPECT_EQ(sdtest::hex(sent()), sdtest::hex("\x1bT]" + STATUS_REQUEST));
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "5678");
}

TEST_F(Read, ReadMsreLeavesTheReadersSeparatorAndTheOtherBuffer)
{
    std::strcpy(t3, "untouched");
    peer.send(readReply("1'2") + ESC + "rp");
    EXPECT_EQ(ReadMsre(SD_TRACK_2, t2, t3, 2), SD_STATUS_RP);
    EXPECT_STREQ(t2, "1'2");
    EXPECT_STREQ(t3, "untouched");
}

TEST_F(Read, NoiseBeforeStartIsSkippedAndDataBytesAreData)
{
    // ESC and other bytes before "s" are noise; after it digits, "A" to "D"
    // and "s" are track characters, and NUL bytes are dropped.
    std::string reply = "\x1bxz" + readReply(std::string("9s0\0B", 5) + "CDA7s") + ESC + "Brp";
    EXPECT_EQ(read(SD_TRACKS_2_3, reply), SD_STATUS_BRP);
    EXPECT_STREQ(t2, "9s0BCD");
    EXPECT_STREQ(t3, "7s");
}

TEST_F(Read, ErrorByteEndsTheReadWithItsCodeAndTheClosingPair)
{
    const std::string errors = "0123456789ABCD";
    for (char e : errors) {
        int expected = e <= '9' ? 48 + (e - '0') : 20 + (e - 'A');
        EXPECT_EQ(read(SD_TRACKS_2_3, std::string("\x1b") + e), expected) << e;
        EXPECT_EQ(sdtest::hex(sent()), sdtest::hex("\x1b" "B]" + CLOSING_PAIR)) << e;
        EXPECT_STREQ(t2, "") << e;
        EXPECT_STREQ(t3, "") << e;
    }
    EXPECT_EQ(SD_READ_ERR_DIGIT('7'), 55);
    EXPECT_EQ(SD_READ_ERR_LETTER('C'), 22);
}

TEST_F(Read, BadTrackModeSendsNothingAndEmptiesTheTexts)
{
    for (int mode : {0, 1, 4, 5, 22, 32, -23}) {
        std::strcpy(t2, "old");
        std::strcpy(t3, "old");
        EXPECT_EQ(MSR_ReadMag(mode, t2, t3, 1), SD_ERR_TRACKMODE) << mode;
        EXPECT_STREQ(t2, "");
        EXPECT_STREQ(t3, "");
    }
    EXPECT_EQ(sent(), "");
}

TEST_F(Read, NullBufferIsRefusedBeforeAnythingIsSent)
{
    EXPECT_EQ(MSR_ReadMag(SD_TRACK_2, nullptr, t3, 1), SD_ERR_PARAM);
    EXPECT_STREQ(t3, "");
    EXPECT_EQ(ReadMsre(SD_TRACKS_2_3, t2, nullptr, 1), SD_ERR_PARAM);
    EXPECT_EQ(sent(), "");
}

TEST_F(Read, ShortRepliesGiveEmptyTexts)
{
    // FS right after "s": no trailing byte, no data.
    EXPECT_EQ(read(SD_TRACKS_2_3, "s" + FS + ESC + "Brp"), SD_STATUS_BRP);
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "");
    // Mode 3 with the trailing byte alone: no leading "A" to drop.
    EXPECT_EQ(read(SD_TRACK_3, "s?" + FS + ESC + "Trp"), SD_STATUS_TRP);
    EXPECT_STREQ(t3, "");
    // Mode 3 with only its leading byte.
    EXPECT_EQ(read(SD_TRACK_3, readReply("A") + ESC + "Trp"), SD_STATUS_TRP);
    EXPECT_STREQ(t3, "");
    // Mode 23 without "A": all of it is track 2.
    EXPECT_EQ(read(SD_TRACKS_2_3, readReply("12'34") + ESC + "Brp"), SD_STATUS_BRP);
    EXPECT_STREQ(t2, "12=34");
    EXPECT_STREQ(t3, "");
    // Mode 23 with "A" last: track 3 is empty.
    EXPECT_EQ(read(SD_TRACKS_2_3, readReply("12A") + ESC + "Brp"), SD_STATUS_BRP);
    EXPECT_STREQ(t2, "12");
    EXPECT_STREQ(t3, "");
}

TEST_F(Read, ReplyFillingTheBufferExactlyIsRead)
{
    // 198 characters, the trailing byte and FS: 200 bytes after "s".
    std::string data(198, '5');
    EXPECT_EQ(read(SD_TRACK_2, readReply(data) + ESC + "rp"), SD_STATUS_RP);
    EXPECT_EQ(std::string(t2), data);
}

TEST_F(Read, ReplyLongerThanTheBufferIsRefused)
{
    std::string data(199, '5');
    EXPECT_EQ(read(SD_TRACK_2, readReply(data) + ESC + "rp"), SD_ERR_TIMEOUT);
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "");
    std::string out = sent();
    EXPECT_EQ(sdtest::hex(out), sdtest::hex("\x1b]" + CLOSING_PAIR));

    // A reply that never ends stops at the buffer too, not at the limit.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(SD_TRACKS_2_3, "s" + std::string(1000, '1'), 30), SD_ERR_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Whole-second cases: each waits out RecvByte1 at least once.
TEST_F(Read, NoReplyTimesOutWithTheClosingPair)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(SD_TRACKS_2_3, "", 0), SD_ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(sdtest::hex(sent()), sdtest::hex("\x1b" "B]" + CLOSING_PAIR));
    EXPECT_STREQ(t2, "");
    EXPECT_STREQ(t3, "");
}

TEST_F(Read, PauseOfMoreThanFiveSecondsInsideTheDataLosesNothing)
{
    std::thread reader([this] {
        peer.send("s12'3");
        std::this_thread::sleep_for(std::chrono::milliseconds(5600));
        peer.send("4A56?" + FS + ESC + "Brp");
    });
    int rc = MSR_ReadMag(SD_TRACKS_2_3, t2, t3, 9);
    reader.join();
    EXPECT_EQ(rc, SD_STATUS_BRP);
    EXPECT_STREQ(t2, "12=34");
    EXPECT_STREQ(t3, "56");
    EXPECT_EQ(sdtest::hex(sent()), sdtest::hex("\x1b" "B]" + STATUS_REQUEST));
}

TEST_F(Read, DataCutOffByTheLimitTimesOut)
{
    // Card data starts but FS never comes: -2 once the limit has passed.
    EXPECT_EQ(read(SD_TRACK_2, "s1234", 0), SD_ERR_TIMEOUT);
    EXPECT_EQ(sdtest::hex(sent()), sdtest::hex("\x1b]" + CLOSING_PAIR));
    EXPECT_STREQ(t2, "");
}
