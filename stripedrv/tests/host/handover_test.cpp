// The line changes hands quiet: a read cut short in the middle of the
// reader's answer, then a read by another thread or another process, which
// gets a time-out or its own card and never a byte of the first answer.
// Each case repeats the cut at random points of the answer (the fault is a
// race); the time-outs fall on whole seconds, so that case is split into
// shards that CTest runs side by side.
#include "handover.h"
#include "host_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>

using namespace sdtest;

namespace {

constexpr int kRepeats = 60;
constexpr int kTimeoutShards = 5;
constexpr int kTimeoutRepeats = 10; // per shard

// The simulated reader for these cases: swipes on demand, a short gap
// after every byte (well under the driver's quiet interval, so that the
// answer counts as flowing).
class Reader {
public:
    explicit Reader(int gapMs)
        : sim_(handoverBehaviour(),
               [gapMs](readersim::ServerOptions &o) {
                   o.swipeOnKey = true; // no key descriptor: swipe() only
                   o.byteGapMs = gapMs;
               },
               handoverCard())
    {
    }
    std::string port() const { return sim_.port(); }
    readersim::Server &server() { return sim_.server(); }
    // Bytes of a read of tracks 2 and 3: the answer up to FS.
    unsigned long readAnswerBytes() { return sim_.protocol().readReply(SD_TRACKS_2_3).size(); }
    // ... and the status answer after it (ESC "Brp").
    unsigned long exchangeBytes() { return readAnswerBytes() + 4; }

private:
    InProcessReader sim_;
};

// A read of tracks 2 and 3 in a child process, which MS_Cancel cuts short
// on SIGUSR1. Exit status 0 cut with -11 or -2 and empty texts, 1 whole
// and right, 2 anything else.
void onCancelSignal(int) { MS_Cancel(); }

pid_t readInChild(const std::string &port, int nTimeout)
{
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGUSR1, onCancelSignal);
        ReadOutcome a = readCard(port, nTimeout, SD_TRACKS_2_3);
        if (a.rc == SD_OK)
            _exit(cutOrWhole(a, handoverCard(), SD_OK) ? 1 : 2);
        _exit(cutOrWhole(a, handoverCard(), SD_ERR_CANCELLED) ||
                      cutOrWhole(a, handoverCard(), SD_ERR_TIMEOUT)
                  ? 0
                  : 2);
    }
    return pid;
}

int exitStatus(pid_t pid)
{
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + status;
}

// The second read, on a thread of its own, swiped for once it waits.
std::future<ReadOutcome> secondRead(const std::string &port)
{
    return std::async(std::launch::async, [port] { return readCard(port, 2, SD_TRACK_2); });
}

ReadOutcome finishWithSwipes(Reader &reader, std::future<ReadOutcome> &b)
{
    SwipeEachRead swiping(reader.server());
    return b.get();
}

} // namespace

TEST(Handover, ThreadReadsAfterAReadCancelledMidAnswer)
{
    TempWorkDir dir;
    Reader reader(1);
    std::mt19937 rng(2026);
    int cuts = 0, unsteady = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const unsigned long cut = randomCut(rng, reader.exchangeBytes());
        reader.server().resetLongestPause();
        auto a = std::async(std::launch::async,
                            [&] { return readCard(reader.port(), 5, SD_TRACKS_2_3); });
        ASSERT_TRUE(swipeAndWaitForBytes(reader.server(), cut)) << i;
        MS_Cancel();
        auto b = secondRead(reader.port()); // waits for the first to end
        ReadOutcome first = a.get();
        ReadOutcome second = finishWithSwipes(reader, b);
        EXPECT_TRUE(cutOrWhole(first, handoverCard(), SD_ERR_CANCELLED))
            << "try " << i << ", cut after " << cut << " bytes: " << describe(first);
        cuts += first.rc == SD_ERR_CANCELLED;
        if (!lineWasSteady(reader.server()) && ++unsteady)
            continue;
        ASSERT_TRUE(ownCardOrTimeout(second, handoverCard()))
            << "try " << i << ", cut after " << cut << " bytes: " << describe(second);
    }
    EXPECT_GT(cuts, kRepeats / 2); // most cuts fell inside the answer
    EXPECT_LE(unsteady, kRepeats / 5);
}

TEST(Handover, ProcessReadsAfterAReadCancelledMidAnswer)
{
    TempWorkDir dir;
    Reader reader(1);
    std::mt19937 rng(2027);
    int unsteady = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const unsigned long cut = randomCut(rng, reader.exchangeBytes());
        reader.server().resetLongestPause();
        pid_t a = readInChild(reader.port(), 5);
        ASSERT_TRUE(swipeAndWaitForBytes(reader.server(), cut)) << i;
        kill(a, SIGUSR1);
        auto b = secondRead(reader.port()); // waits for the other program
        EXPECT_LE(exitStatus(a), 1) << "try " << i << ", cut after " << cut << " bytes";
        ReadOutcome second = finishWithSwipes(reader, b);
        if (!lineWasSteady(reader.server()) && ++unsteady)
            continue;
        ASSERT_TRUE(ownCardOrTimeout(second, handoverCard()))
            << "try " << i << ", cut after " << cut << " bytes: " << describe(second);
    }
    EXPECT_LE(unsteady, kRepeats / 5);
}

// A holder killed in the middle of the answer. Half the time the second
// read already waits for the line (it takes it the moment the kernel lets
// go of the dead holder's lock); the other half it opens the line a moment
// after the death, with the rest of the answer still coming.
TEST(Handover, ProcessReadsAfterAHolderKilledMidAnswer)
{
    TempWorkDir dir;
    Reader reader(1);
    std::mt19937 rng(2028);
    const unsigned long answer = reader.readAnswerBytes();
    int unsteady = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const bool waiting = i % 2 == 0;
        const unsigned long cut = randomCut(rng, answer - 3); // more is still to come
        reader.server().resetLongestPause();
        pid_t a = readInChild(reader.port(), 5);
        ASSERT_TRUE(waitUntil([&] { return reader.server().readWaiting(); })) << i;
        std::future<ReadOutcome> b;
        if (waiting) {
            b = secondRead(reader.port());
            std::this_thread::sleep_for(std::chrono::milliseconds(15)); // in its wait
        }
        ASSERT_TRUE(swipeAndWaitForBytes(reader.server(), cut)) << i;
        const unsigned long atDeath = reader.server().bytesSent();
        kill(a, SIGKILL);
        exitStatus(a);
        if (!waiting) {
            // Bytes of the rest have come: the read that opens now finds
            // them waiting.
            // (The kill may land after the end of the read's answer: the
            // status answer then follows, or nothing more comes at all.)
            // The terminal hands written bytes to the line a moment later
            // (longer on a loaded machine): the open this case is about is
            // one that finds them there.
            waitUntil([&] { return reader.server().bytesSent() >= atDeath + 2; }, 100);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            b = secondRead(reader.port());
        }
        ReadOutcome second = finishWithSwipes(reader, b);
        if (!lineWasSteady(reader.server()) && ++unsteady)
            continue;
        ASSERT_TRUE(ownCardOrTimeout(second, handoverCard()))
            << "try " << i << ", killed after " << cut << " bytes, "
            << (waiting ? "second read waiting" : "second read after the death") << ": "
            << describe(second);
    }
    EXPECT_LE(unsteady, kRepeats / 5);
}

// A read with the limit 0 times out on the next whole second of the
// monotonic clock; the swipe is placed so that the second falls at a random
// point of the answer.
class HandoverTimeout : public ::testing::TestWithParam<int> {
protected:
    template <typename StartFirst, typename EndFirst>
    void run(StartFirst startFirst, EndFirst endFirst)
    {
        TempWorkDir dir;
        Reader reader(4);
        std::mt19937 rng(3000 + GetParam());
        const int answerMs = static_cast<int>(reader.readAnswerBytes()) * 4;
        int cuts = 0, unsteady = 0;
        for (int i = 0; i < kTimeoutRepeats; ++i) {
            const int beforeMs = std::uniform_int_distribution<int>(8, answerMs - 8)(rng);
            reader.server().resetLongestPause();
            const Mono::time_point cutAt = shortlyBeforeASecond();
            auto first = startFirst(reader.port());
            ASSERT_TRUE(swipeBeforeTheSecond(reader.server(), cutAt, beforeMs)) << i;
            auto b = secondRead(reader.port()); // waits for the first to end
            cuts += endFirst(first);
            ReadOutcome out = finishWithSwipes(reader, b);
            if (!lineWasSteady(reader.server()) && ++unsteady)
                continue;
            ASSERT_TRUE(ownCardOrTimeout(out, handoverCard()))
                << "try " << i << ", timed out " << beforeMs << " ms into the answer: "
                << describe(out);
        }
        EXPECT_GT(cuts, kTimeoutRepeats / 2); // most time-outs fell inside the answer
        EXPECT_LE(unsteady, kTimeoutRepeats / 5);
    }
};

TEST_P(HandoverTimeout, ThreadReadsAfterAReadTimedOutMidAnswer)
{
    run(
        [](const std::string &port) {
            return std::async(std::launch::async,
                              [port] { return readCard(port, 0, SD_TRACKS_2_3); });
        },
        [](std::future<ReadOutcome> &a) {
            ReadOutcome first = a.get();
            EXPECT_TRUE(cutOrWhole(first, handoverCard(), SD_ERR_TIMEOUT)) << describe(first);
            return first.rc == SD_ERR_TIMEOUT;
        });
}

TEST_P(HandoverTimeout, ProcessReadsAfterAReadTimedOutMidAnswer)
{
    run([](const std::string &port) { return readInChild(port, 0); },
        [](pid_t a) {
            int status = exitStatus(a);
            EXPECT_LE(status, 1);
            return status == 0;
        });
}

INSTANTIATE_TEST_SUITE_P(Shard, HandoverTimeout, ::testing::Range(0, kTimeoutShards));
