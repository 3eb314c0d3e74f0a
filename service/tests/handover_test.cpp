// Two kiosk front-ends on one reader service: client A's read is cut in the
// middle of the reader's answer (A cancels, closes its page, its limit runs
// out, or another program holding the reader is killed), and client B's
// read that follows gets its own card or a time-out, never a byte of the
// answer meant for A. Each case repeats the cut at random points of the
// answer; the time-outs fall on whole seconds, so that case is split into
// shards that CTest runs side by side.
#include "handover.h"
#include "harness.h"
#include "read_outcome.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace svctest;
using sdtest::ReadOutcome;

namespace {

constexpr int kRepeats = 50;
constexpr int kTimeoutShards = 5;
constexpr int kTimeoutRepeats = 10; // per shard

HarnessOptions pacedOnDemand(int gapMs)
{
    HarnessOptions options;
    options.swipeOnDemand = true;
    options.byteGapMs = gapMs;
    options.card = sdtest::handoverCard();
    options.behaviour = sdtest::handoverBehaviour();
    options.baud = 115200;
    return options;
}

json readRequest(int id, int tracks, int timeout)
{
    return {{"id", id}, {"op", "read"}, {"tracks", tracks}, {"timeout", timeout}};
}

unsigned long readAnswerBytes(const Harness &h)
{
    return readersim::Protocol(h.card(), sdtest::handoverBehaviour())
        .readReply(SD_TRACKS_2_3)
        .size();
}

// True once the client's read runs (its "waiting" event), so that another
// client's request queues behind it.
bool startedFirst(Client &client)
{
    auto event = client.receive(2000ms);
    return event && (*event).value("event", "") == "waiting";
}


// Client B asks for a read of track 2; it waits in the queue behind A.
// Once A's read is over, B's is swiped for.
ReadOutcome secondClientRead(Harness &h, Client &b, int id)
{
    sdtest::SwipeEachRead swiping(h.reader());
    return outcomeOf(b.answerTo(id, 5000ms));
}

// A's answer: cut with `code`, or whole when the cut came after its end.
void expectCutOrWhole(const std::optional<json> &answer, const Harness &h, int code)
{
    ASSERT_TRUE(answer);
    if ((*answer).value("ok", false)) {
        EXPECT_EQ((*answer)["track2"], h.card().track2);
        EXPECT_EQ((*answer)["track3"], h.card().track3);
    } else {
        EXPECT_EQ((*answer)["code"], code) << answer->dump();
    }
}

} // namespace

// Even tries: A sends "cancel". Odd tries: A closes its connection (the page
// is closed), which cancels its read too.
TEST(Handover, ClientReadsAfterAnotherCancelledMidAnswer)
{
    Harness h(pacedOnDemand(1));
    std::mt19937 rng(4026);
    const unsigned long exchange = readAnswerBytes(h) + 4; // and ESC "Brp"
    Client b(h.port());
    int unsteady = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const bool closes = i % 2 == 1;
        const unsigned long cut = sdtest::randomCut(rng, exchange);
        h.reader().resetLongestPause();
        auto a = std::make_unique<Client>(h.port());
        a->send(readRequest(1, SD_TRACKS_2_3, 5));
        ASSERT_TRUE(startedFirst(*a)) << i;
        b.send(readRequest(100 + i, SD_TRACK_2, 2)); // queued behind A
        ASSERT_TRUE(sdtest::swipeAndWaitForBytes(h.reader(), cut)) << i;
        if (closes) {
            a.reset();
        } else {
            a->send(json{{"id", 2}, {"op", "cancel"}});
            expectCutOrWhole(a->answerTo(1), h, SD_ERR_CANCELLED);
        }
        ReadOutcome second = secondClientRead(h, b, 100 + i);
        if (!sdtest::lineWasSteady(h.reader()) && ++unsteady)
            continue;
        ASSERT_TRUE(sdtest::ownCardOrTimeout(second, h.card()))
            << "try " << i << ", " << (closes ? "closed" : "cancelled") << " after " << cut
            << " bytes: " << sdtest::describe(second);
    }
    EXPECT_LE(unsteady, kRepeats / 5);
}

// Another program holds the reader in the middle of an answer and is
// killed while B's read waits for the line.
TEST(Handover, ClientReadsAfterAHolderKilledMidAnswer)
{
    Harness h(pacedOnDemand(1));
    std::mt19937 rng(4027);
    const unsigned long answer = readAnswerBytes(h);
    Client b(h.port());
    int unsteady = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const unsigned long cut = sdtest::randomCut(rng, answer - 1);
        h.reader().resetLongestPause();
        // Forked while the service's worker is idle: no call of the
        // library is under way in this process.
        pid_t holder = fork();
        if (holder == 0) {
            sdtest::readCard(h.readerPort(), 5, SD_TRACKS_2_3);
            _exit(0);
        }
        ASSERT_TRUE(sdtest::waitUntil([&] { return h.reader().readWaiting(); })) << i;
        b.send(readRequest(100 + i, SD_TRACK_2, 3));
        auto waiting = b.receive(2000ms);
        ASSERT_TRUE(waiting && (*waiting)["event"] == "waiting") << i;
        std::this_thread::sleep_for(15ms); // B's read now waits for the line
        ASSERT_TRUE(sdtest::swipeAndWaitForBytes(h.reader(), cut)) << i;
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        ReadOutcome second = secondClientRead(h, b, 100 + i);
        if (!sdtest::lineWasSteady(h.reader()) && ++unsteady)
            continue;
        ASSERT_TRUE(sdtest::ownCardOrTimeout(second, h.card()))
            << "try " << i << ", killed after " << cut << " bytes: " << sdtest::describe(second);
    }
    EXPECT_LE(unsteady, kRepeats / 5);
}

// A's read has the limit 0: it times out on the next whole second of the
// monotonic clock, which the swipe places at a random point of its answer.
class HandoverTimeout : public ::testing::TestWithParam<int> {};

TEST_P(HandoverTimeout, ClientReadsAfterAnotherTimedOutMidAnswer)
{
    Harness h(pacedOnDemand(4));
    std::mt19937 rng(5000 + GetParam());
    const int answerMs = static_cast<int>(readAnswerBytes(h)) * 4;
    Client a(h.port()), b(h.port());
    int cuts = 0, unsteady = 0;
    for (int i = 0; i < kTimeoutRepeats; ++i) {
        const int beforeMs = std::uniform_int_distribution<int>(8, answerMs - 8)(rng);
        h.reader().resetLongestPause();
        const sdtest::Mono::time_point cutAt = sdtest::shortlyBeforeASecond();
        a.send(readRequest(i, SD_TRACKS_2_3, 0));
        ASSERT_TRUE(startedFirst(a)) << i;
        b.send(readRequest(100 + i, SD_TRACK_2, 2)); // queued behind A
        ASSERT_TRUE(sdtest::swipeBeforeTheSecond(h.reader(), cutAt, beforeMs)) << i;
        auto first = a.answerTo(i, 3000ms);
        expectCutOrWhole(first, h, SD_ERR_TIMEOUT);
        cuts += first && !(*first).value("ok", false);
        ReadOutcome second = secondClientRead(h, b, 100 + i);
        if (!sdtest::lineWasSteady(h.reader()) && ++unsteady)
            continue;
        ASSERT_TRUE(sdtest::ownCardOrTimeout(second, h.card()))
            << "try " << i << ", timed out " << beforeMs << " ms into the answer: "
            << sdtest::describe(second);
    }
    EXPECT_GT(cuts, kTimeoutRepeats / 2); // most time-outs fell inside the answer
    EXPECT_LE(unsteady, kTimeoutRepeats / 5);
}

INSTANTIATE_TEST_SUITE_P(Shard, HandoverTimeout, ::testing::Range(0, kTimeoutShards));
