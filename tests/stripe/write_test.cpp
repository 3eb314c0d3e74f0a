// MSR_WriteMag and MSR_Reset: the command bytes, the status, the closing
// pair, and the texts that do not fit.
#include "stripe_support.h"

using namespace stripetest;

namespace {

using Write = OpenLine;

const std::string WRITE_TAIL = "\x1d\x1b\\";

} // namespace

TEST_F(Write, BothTracksThenStatusThenClosingPair)
{
    peer.send(ESC + "Brp");
    EXPECT_EQ(MSR_WriteMag(SD_TRACKS_2_3, "123", "456", 2), SD_STATUS_BRP);
    EXPECT_EQ(sdtest::hex(sent()),
              "1B 74 31 32 33 41 34 35 36 1D 1B 5C 1B 6A 1B 30 1B 25 41");
}

TEST_F(Write, SingleTrackCommandsSendTheirTextUnchanged)
{
    peer.send(ESC + "rp");
    EXPECT_EQ(MSR_WriteMag(SD_TRACK_2, "12=34", "ignored", 2), SD_STATUS_RP);
    EXPECT_EQ(sdtest::hex(sent()),
              sdtest::hex(ESC + "t12=34" + WRITE_TAIL + STATUS_REQUEST + CLOSING_PAIR));

    peer.send(ESC + "Trp");
    EXPECT_EQ(MSR_WriteMag(SD_TRACK_3, nullptr, "9'9", 2), SD_STATUS_TRP);
    EXPECT_EQ(sdtest::hex(sent()),
              sdtest::hex(ESC + "tA9'9" + WRITE_TAIL + STATUS_REQUEST + CLOSING_PAIR));
}

TEST_F(Write, StatusAnswerIsTheResult)
{
    peer.send("\x01" + ESC + "rq");
    EXPECT_EQ(MSR_WriteMag(SD_TRACK_2, "1", "", 2), SD_ERR_RQ);
    EXPECT_EQ(sdtest::hex(sent()),
              sdtest::hex(ESC + "t1" + WRITE_TAIL + STATUS_REQUEST + CLOSING_PAIR));
}

TEST_F(Write, BadTrackModeSendsNothing)
{
    EXPECT_EQ(MSR_WriteMag(5, "1", "2", 1), SD_ERR_TRACKMODE);
    EXPECT_EQ(MSR_WriteMag(0, nullptr, nullptr, 1), SD_ERR_TRACKMODE);
    EXPECT_EQ(sent(), "");
}

TEST_F(Write, NullTextOfTheModeIsRefused)
{
    EXPECT_EQ(MSR_WriteMag(SD_TRACK_2, nullptr, "2", 1), SD_ERR_PARAM);
    EXPECT_EQ(MSR_WriteMag(SD_TRACK_3, "1", nullptr, 1), SD_ERR_PARAM);
    EXPECT_EQ(MSR_WriteMag(SD_TRACKS_2_3, "1", nullptr, 1), SD_ERR_PARAM);
    EXPECT_EQ(MSR_WriteMag(SD_TRACKS_2_3, nullptr, "2", 1), SD_ERR_PARAM);
    EXPECT_EQ(sent(), "");
}

TEST_F(Write, TextsUpToTheCommandsSizeGoOutLongerOnesAreRefused)
{
    struct Case {
        int mode;
        size_t len2, len3;
        bool fits;
    } cases[] = {
        {SD_TRACK_2, 194, 0, true},       {SD_TRACK_2, 195, 0, false},
        {SD_TRACK_3, 0, 193, true},       {SD_TRACK_3, 0, 194, false},
        {SD_TRACKS_2_3, 100, 93, true},   {SD_TRACKS_2_3, 100, 94, false},
        {SD_TRACKS_2_3, 0, 193, true},    {SD_TRACKS_2_3, 194, 0, false},
        {SD_TRACK_2, 1000, 5000, false},
    };
    for (const Case &c : cases) {
        std::string t2(c.len2, '2'), t3(c.len3, '3');
        if (c.fits)
            peer.send(ESC + "rp");
        int rc = MSR_WriteMag(c.mode, t2.c_str(), t3.c_str(), 2);
        std::string out = sent();
        if (c.fits) {
            EXPECT_EQ(rc, SD_STATUS_RP) << c.mode << " " << c.len2 << " " << c.len3;
            std::string body = c.mode == SD_TRACK_2   ? t2
                               : c.mode == SD_TRACK_3 ? "A" + t3
                                                      : t2 + "A" + t3;
            EXPECT_EQ(out, ESC + "t" + body + WRITE_TAIL + STATUS_REQUEST + CLOSING_PAIR);
        } else {
            EXPECT_EQ(rc, SD_ERR_PARAM) << c.mode << " " << c.len2 << " " << c.len3;
            EXPECT_EQ(out, "") << c.mode << " " << c.len2 << " " << c.len3;
        }
    }
}

TEST_F(Write, NoStatusAnswerStillSendsTheClosingPair)
{
    // Waits out one RecvByte1.
    EXPECT_EQ(MSR_WriteMag(SD_TRACKS_2_3, "1", "2", 0), SD_ERR_STATUS);
    EXPECT_EQ(sdtest::hex(sent()),
              sdtest::hex(ESC + "t1A2" + WRITE_TAIL + STATUS_REQUEST + CLOSING_PAIR));
}

TEST_F(Write, ResetOnAnOpenLine)
{
    EXPECT_EQ(MSR_Reset(), SD_OK);
    EXPECT_EQ(sdtest::hex(sent()), "1B 30");
}

TEST(Reset, WithoutAnOpenLineSendsNothing)
{
    sdtest::TempWorkDir dir;
    sdtest::PtyPeer peer;
    ASSERT_EQ(isPortOpened, 0);
    EXPECT_EQ(MSR_Reset(), SD_ERR_STATUS);
    EXPECT_EQ(peer.receive(100, 500), "");
    // Once the line has been open and closed again, the same.
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    ASSERT_EQ(CloseCOM(), SD_OK);
    EXPECT_EQ(MSR_Reset(), SD_ERR_STATUS);
    EXPECT_EQ(peer.receive(100, 500), "");
}
