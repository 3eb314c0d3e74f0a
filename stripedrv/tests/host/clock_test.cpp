// Limits against a wall clock that steps. This program defines the C
// library's clock calls itself, so that the library's calls land here: the
// wall clock can be stepped by an hour in the middle of a wait, while the
// monotonic clock runs on. The library's time module is built in as well
// and tested directly.
#include "../link/link_support.h"
#include "stripedrv_internal.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

using namespace sdtest;

namespace {
std::atomic<long> g_wallStep{0}; // seconds added to the wall clock
}

extern "C" int clock_gettime(clockid_t clock, struct timespec *ts)
{
    int rc = static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
    if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        ts->tv_sec += g_wallStep.load();
    return rc;
}

extern "C" time_t time(time_t *t)
{
    struct timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (t != nullptr)
        *t = now.tv_sec;
    return now.tv_sec;
}

extern "C" int gettimeofday(struct timeval *tv, void *)
{
    struct timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}

namespace {

// Steps the wall clock by `seconds` after `delayMs`, and back at the end.
class WallClockStep {
public:
    WallClockStep(long seconds, int delayMs)
        : thread_([=] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
              g_wallStep.store(seconds);
          })
    {
    }
    ~WallClockStep()
    {
        thread_.join();
        g_wallStep.store(0);
    }

private:
    std::thread thread_;
};

TEST(SteppedClock, TheStepIsSeen)
{
    const time_t before = time(nullptr);
    g_wallStep.store(-3600);
    EXPECT_LE(time(nullptr), before - 3599);
    g_wallStep.store(0);
}

TEST(SteppedClock, RecvDataEndsOnTimeWhenTheClockGoesBack)
{
    PtyPeer peer;
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    char buf[SD_RECV_MAX];
    int len = 0;
    Stopwatch watch;
    {
        WallClockStep back(-3600, 200);
        EXPECT_EQ(RecvData(buf, &len, 1), SD_ERR_TIMEOUT);
    }
    EXPECT_TRUE(watch.within(1, 2.5));
    CloseCOM();
}

TEST(SteppedClock, ReadEndsOnTimeWhenTheClockGoesBack)
{
    TempWorkDir dir;
    PtyPeer peer;
    char t2[256] = "", t3[256] = "";
    Stopwatch watch;
    {
        WallClockStep back(-3600, 300);
        // No swipe: the limit of 1 s is looked at after each 5-second
        // receive wait, so the read ends after one of them.
        EXPECT_EQ(MS_ReadCard(peer.portName().c_str(), "", 9600, 1, SD_TRACK_2, 0, t2, t3),
                  SD_ERR_TIMEOUT);
    }
    EXPECT_TRUE(watch.within(4.5, 8));
}

TEST(SteppedClock, ReadEndsOnTimeWhenTheClockJumpsAhead)
{
    TempWorkDir dir;
    PtyPeer peer;
    // The swipe comes after 2 s of a 3-second limit; a forward step of the
    // wall clock must not end the wait before it.
    std::thread swipe([&] {
        if (peer.receiveCount(2) != "\x1b]")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        peer.send("s1234?\x1c");
        if (peer.receiveCount(2) == "\x1bj")
            peer.send("\x1brp");
    });
    char t2[256] = "", t3[256] = "";
    {
        WallClockStep ahead(3600, 300);
        EXPECT_EQ(MS_ReadCard(peer.portName().c_str(), "", 9600, 3, SD_TRACK_2, 0, t2, t3),
                  SD_OK);
    }
    swipe.join();
    EXPECT_STREQ(t2, "1234");
}

// wholeSecondsPassed(from, nLimit) for a start `back` whole seconds before
// now. Read again when a second turned during the reading: the answer may
// then be either, and a busy machine must not decide the test.
bool passedSince(long back, long nLimit)
{
    for (;;) {
        const timespec now = sd::monotonicNow();
        timespec from = now;
        from.tv_sec -= back;
        const bool passed = sd::wholeSecondsPassed(from, nLimit);
        if (sd::monotonicNow().tv_sec == now.tv_sec)
            return passed;
    }
}

long long msBetween(const timespec &a, const timespec &b)
{
    return (b.tv_sec - a.tv_sec) * 1000LL + (b.tv_nsec - a.tv_nsec) / 1000000;
}

TEST(TimeModule, DeadlinesWholeSecondsAndTheTimeLeft)
{
    const timespec start = sd::monotonicNow();
    EXPECT_FALSE(passedSince(0, 0)); // same second
    EXPECT_TRUE(sd::wholeSecondsPassed(start, -1)); // a negative limit is spent
    EXPECT_TRUE(passedSince(3, 2));
    EXPECT_FALSE(passedSince(3, 3));
    timespec past = start;
    past.tv_sec -= 3;

    EXPECT_EQ(sd::millisecondsLeft(sd::deadlineIn(0)), 0);
    EXPECT_EQ(sd::millisecondsLeft(sd::deadlineIn(-5)), 0); // counts as 0
    // Two seconds less what passed between the readings, rounded up.
    const timespec before = sd::monotonicNow();
    const int left = sd::millisecondsLeft(sd::deadlineIn(2));
    const long long took = msBetween(before, sd::monotonicNow());
    EXPECT_GE(left, 2000 - took - 1);
    EXPECT_LE(left, 2000);
    EXPECT_EQ(sd::millisecondsLeft(past), 0);

    const timespec first = sd::monotonicNow();
    const timespec next = sd::nextWholeSecond();
    const timespec last = sd::monotonicNow();
    EXPECT_EQ(next.tv_nsec, 0);
    EXPECT_GE(next.tv_sec, first.tv_sec + 1);
    EXPECT_LE(next.tv_sec, last.tv_sec + 1);

    g_wallStep.store(-3600);
    EXPECT_FALSE(passedSince(0, 5)); // wall steps do not count
    EXPECT_LE(sd::calendarNow(), time(nullptr));
    g_wallStep.store(0);
}

} // namespace
