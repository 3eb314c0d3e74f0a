// GetBpStatus: the status request and how each answer is judged.
#include "stripe_support.h"

#include <chrono>

using namespace stripetest;

namespace {

using StatusAnswers = OpenLine;

// Queues the answer, asks, and checks that exactly ESC "j" went out.
int askWith(sdtest::PtyPeer &peer, const std::string &answer, long nTimeout = 2)
{
    peer.send(answer);
    int rc = GetBpStatus(nTimeout);
    EXPECT_EQ(sdtest::hex(peer.receive(100, 1000)), sdtest::hex(STATUS_REQUEST));
    return rc;
}

} // namespace

TEST_F(StatusAnswers, EveryTextThatEndsInPOrQ)
{
    struct Case {
        const char *text;
        int result;
    } cases[] = {
        {"rp", SD_STATUS_RP}, {"Trp", SD_STATUS_TRP}, {"Brp", SD_STATUS_BRP},
        {"rq", SD_ERR_RQ},    {"rrp", SD_ERR_STATUS}, {"Tq", SD_ERR_STATUS},
        {"Bq", SD_ERR_STATUS}, {"p", SD_ERR_STATUS},
    };
    for (const Case &c : cases)
        EXPECT_EQ(askWith(peer, ESC + c.text), c.result) << c.text;
}

TEST_F(StatusAnswers, BytesBeforeEscAndNulInsideAreIgnored)
{
    EXPECT_EQ(askWith(peer, "xy" + ESC + "rp"), SD_STATUS_RP);
    EXPECT_EQ(askWith(peer, ESC + std::string("r\0p", 3)), SD_STATUS_RP);
    EXPECT_EQ(askWith(peer, std::string("\0\0", 2) + ESC + "B" + std::string("\0", 1) + "rp"),
              SD_STATUS_BRP);
}

TEST_F(StatusAnswers, TextEndsAtItsFirstPOrQ)
{
    // What follows the "p" is left on the line for whoever reads next.
    EXPECT_EQ(askWith(peer, ESC + "rpq"), SD_STATUS_RP);
    unsigned char rest = 0;
    EXPECT_EQ(RecvByte(&rest, 1), SD_OK);
    EXPECT_EQ(rest, 'q');
}

TEST_F(StatusAnswers, OverlongTextIsUnknownAndOverrunsNothing)
{
    // 23 bytes fit the status buffer; a "Brp" behind 30 bytes of noise does
    // not turn into a success.
    EXPECT_EQ(askWith(peer, ESC + std::string(30, 'x') + "Brp"), SD_ERR_STATUS);
    EXPECT_EQ(askWith(peer, ESC + std::string(200, 'r') + "p"), SD_ERR_STATUS);
    // The answer was read to its end: the next one is judged on its own.
    EXPECT_EQ(askWith(peer, ESC + "Trp"), SD_STATUS_TRP);
}

// The cases below wait out RecvByte1's 5 seconds; each runs on its own.
TEST_F(StatusAnswers, RsAndRtTakeEffectOnceTheReaderFallsSilent)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(askWith(peer, ESC + "rs", 0), SD_ERR_PORT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(StatusAnswers, RtFollowedBySilence)
{
    EXPECT_EQ(askWith(peer, ESC + "r" + std::string("\0", 1) + "t", 0), SD_ERR_CLOSE);
}

TEST_F(StatusAnswers, NoAnswerAtAllIsUnknownNotTimeout)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(askWith(peer, "", 0), SD_ERR_STATUS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}
