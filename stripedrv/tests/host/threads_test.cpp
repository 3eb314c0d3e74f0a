// Threads and cancelling: two threads reading one reader get exact results
// each, and MS_Cancel cuts a waiting call short from another thread or a
// signal handler, with the closing pair on the wire and nothing left over
// for the next call.
#include "host_support.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

using namespace sdtest;

namespace {

const std::string kReadBoth = "\x1b" "B]";
const std::string kClosingPair = "\x1b" "0" "\x1b%A";

TEST(HostThreads, TwoThreadsReadingOneReaderGetExactResults)
{
    TempWorkDir dir;
    InProcessReader reader(/*pacing=*/false);
    auto readMany = [&] {
        int right = 0;
        for (int i = 0; i < 25; ++i) {
            char t2[256] = "", t3[256] = "";
            int rc = MS_ReadCard(reader.port().c_str(), "", 9600, 5, SD_TRACKS_2_3, 0, t2, t3);
            right += rc == SD_OK && std::string(t2) == readersim::kDefaultTrack2 &&
                     std::string(t3) == readersim::kDefaultTrack3;
        }
        return right;
    };
    auto first = std::async(std::launch::async, readMany);
    auto second = std::async(std::launch::async, readMany);
    EXPECT_EQ(first.get(), 25);
    EXPECT_EQ(second.get(), 25);
}

// A read of both tracks that waits for a swipe which never comes.
struct WaitingRead {
    char t2[256] = "left";
    char t3[256] = "over";
    int run(const PtyPeer &peer, int nTimeout = 20)
    {
        return MS_ReadCard(peer.portName().c_str(), "", 9600, nTimeout, SD_TRACKS_2_3, 0, t2, t3);
    }
};

TEST(HostCancel, FromAnotherThreadEndsTheReadWithTheClosingPair)
{
    TempWorkDir dir;
    dir.traceOn();
    PtyPeer peer;
    WaitingRead read;
    auto result = std::async(std::launch::async, [&] { return read.run(peer); });
    ASSERT_EQ(peer.receiveCount(kReadBoth.size()), kReadBoth);
    usleep(100 * 1000); // well inside the wait for "s"
    Stopwatch watch;
    EXPECT_EQ(MS_Cancel(), SD_OK);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(result.get(), SD_ERR_CANCELLED);
    EXPECT_LT(watch.seconds(), 0.5);
    EXPECT_EQ(peer.receive(), kClosingPair);
    EXPECT_STREQ(read.t2, "");
    EXPECT_STREQ(read.t3, "");
    EXPECT_EQ(isPortOpened, 0);
    const std::string log = bodies(dir.read("DataLog.log"));
    EXPECT_NE(log.find("|szTrack2data:\n|szTrack3data:\n|MS_ReadCard End at | ,return -11\n"),
              std::string::npos)
        << log;
}

TEST(HostCancel, CutsTheStatusWaitAfterTheCardData)
{
    TempWorkDir dir;
    PtyPeer peer;
    WaitingRead read;
    auto result = std::async(std::launch::async, [&] { return read.run(peer); });
    ASSERT_EQ(peer.receiveCount(kReadBoth.size()), kReadBoth);
    peer.send("s1234A5678?\x1c");
    ASSERT_EQ(peer.receiveCount(2), "\x1bj");
    usleep(100 * 1000);
    MS_Cancel();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(result.get(), SD_ERR_CANCELLED);
    EXPECT_EQ(peer.receive(), kClosingPair);
    EXPECT_STREQ(read.t2, ""); // the reader never confirmed the data
    EXPECT_STREQ(read.t3, "");
}

void cancelOnAlarm(int) { MS_Cancel(); }

TEST(HostCancel, FromASignalHandlerOnTheWaitingThread)
{
    TempWorkDir dir;
    PtyPeer peer;
    struct sigaction sa{}, old{};
    sa.sa_handler = cancelOnAlarm;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    itimerval at{};
    at.it_value.tv_usec = 300 * 1000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &at, nullptr), 0);
    WaitingRead read;
    Stopwatch watch;
    EXPECT_EQ(read.run(peer), SD_ERR_CANCELLED);
    EXPECT_TRUE(watch.within(0.25, 1.0));
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(peer.receive(), kReadBoth + kClosingPair);
}

TEST(HostCancel, NeverReachesALaterCall)
{
    TempWorkDir dir;
    PtyPeer peer;
    EXPECT_EQ(MS_Cancel(), SD_OK); // nothing under way: nothing happens

    // A read cancelled, then one answered: the second is not affected.
    WaitingRead cancelled;
    auto first = std::async(std::launch::async, [&] { return cancelled.run(peer); });
    ASSERT_EQ(peer.receiveCount(kReadBoth.size()), kReadBoth);
    MS_Cancel();
    MS_Cancel(); // twice: still only that call
    EXPECT_EQ(first.get(), SD_ERR_CANCELLED);
    EXPECT_EQ(peer.receive(), kClosingPair);

    std::thread reader([&] {
        if (peer.receiveCount(kReadBoth.size()) == kReadBoth)
            peer.send("s1234'5678A9876?\x1c");
        if (peer.receiveCount(2) == "\x1bj")
            peer.send("\x1b" "Brp");
    });
    WaitingRead answered;
    EXPECT_EQ(answered.run(peer, 5), SD_OK);
    reader.join();
    EXPECT_STREQ(answered.t2, "1234=5678");
    EXPECT_STREQ(answered.t3, "9876");

    // And a primitive's wait after it runs its full limit.
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    unsigned char byte = 0;
    Stopwatch watch;
    EXPECT_EQ(RecvByte(&byte, 1), SD_ERR_TIMEOUT);
    EXPECT_TRUE(watch.within(0.9, 3));
    CloseCOM();
}

TEST(HostCancel, CutsAPrimitiveWaitOfTheHost)
{
    TempWorkDir dir;
    PtyPeer peer;
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    // A cancel before the call begins is dropped (it never hits a later
    // call), so the canceller repeats it until the wait has ended.
    std::atomic<bool> ended{false};
    std::thread canceller([&] {
        while (!ended) {
            MS_Cancel();
            usleep(20 * 1000);
        }
    });
    char buf[SD_RECV_MAX];
    int len = 0;
    Stopwatch watch;
    EXPECT_EQ(RecvData(buf, &len, 10), SD_ERR_CANCELLED);
    ended = true;
    canceller.join();
    EXPECT_LT(watch.seconds(), 1.0);
    // The line stays open and usable for the host's next call.
    peer.send("z");
    unsigned char byte = 0;
    EXPECT_EQ(RecvByte(&byte, 2), SD_OK);
    EXPECT_EQ(byte, 'z');
    CloseCOM();
}

} // namespace
