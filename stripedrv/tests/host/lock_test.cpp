// Two programs, one reader: a transaction holds the reader's line against
// other processes. Processes here are forks of the test, each with the
// library of its own; the reader is a pseudo-terminal (scripted or the
// simulated reader).
#include "host_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <set>
#include <sstream>
#include <thread>

using namespace sdtest;

namespace {

const std::string kReadBoth = "\x1b" "B]";

// A process that opens the line (by `device`, a full path) and holds it
// until it is killed. Ready once the open has succeeded.
class Holder {
public:
    explicit Holder(const std::string &device)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            char ok = TermOpen(device.c_str(), 9600) > 2 ? '1' : '0';
            (void)!write(ready[1], &ok, 1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char ok = 0;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, '1') << "the holder could not open " << device;
        close(ready[0]);
    }
    ~Holder() { stop(); }
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

std::string settingsOf(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    return std::string(reinterpret_cast<const char *>(&t), sizeof t);
}

TEST(ProcessLock, TwoProcessesReadingAtOnceGetExactResults)
{
    TempWorkDir dir;
    InProcessReader reader(/*pacing=*/true);
    const std::string port = reader.port();
    auto reads = [&] {
        int right = 0;
        for (int i = 0; i < 20; ++i) {
            char t2[256] = "", t3[256] = "";
            int rc = MS_ReadCard(port.c_str(), "", 115200, 5, SD_TRACKS_2_3, 0, t2, t3);
            right += rc == SD_OK && std::string(t2) == readersim::kDefaultTrack2 &&
                     std::string(t3) == readersim::kDefaultTrack3;
        }
        return right;
    };
    pid_t first = fork();
    if (first == 0)
        _exit(reads());
    const int mine = reads();
    int status = -1;
    waitpid(first, &status, 0);
    EXPECT_EQ(mine, 20);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 20) << status;
}

// A call that finds the line held: -12 after its limit, nothing sent, the
// line's settings as the holder set them, the failure traced.
void expectBusy(PtyPeer &peer, const std::string &holderPath, TempWorkDir &dir)
{
    Holder holder(holderPath);
    const std::string before = settingsOf(peer.slaveFd());
    Stopwatch watch;
    EXPECT_EQ(inChild([&] {
                  char t2[256] = "", t3[256] = "";
                  int rc = MS_ReadCard(peer.portName().c_str(), "", 9600, 1, SD_TRACK_2, 0, t2, t3);
                  return rc == SD_ERR_BUSY ? 0 : 1;
              }),
              0);
    EXPECT_TRUE(watch.within(0.9, 3));
    EXPECT_EQ(peer.receive(100, 300), "");
    EXPECT_EQ(settingsOf(peer.slaveFd()), before);
    EXPECT_NE(dir.read("DataLog.log").find(",return -12\n"), std::string::npos);

    // The calls without a limit of their own wait the protocol's 5 s.
    Stopwatch fixed;
    EXPECT_EQ(inChild([&] { return OpenCOM(peer.portName().c_str(), 9600) == SD_ERR_BUSY ? 0 : 1; }),
              0);
    EXPECT_TRUE(fixed.within(4.9, 7));
}

TEST(ProcessLock, HeldLineGivesBusyAfterTheLimit)
{
    TempWorkDir dir;
    dir.traceOn();
    PtyPeer peer;
    expectBusy(peer, peer.devicePath(), dir);
}

TEST(ProcessLock, TwoNamesOfOneDeviceAreOneLock)
{
    TempWorkDir dir;
    dir.traceOn();
    PtyPeer peer;
    const std::string link = dir.path() + "/reader";
    ASSERT_EQ(symlink(peer.devicePath().c_str(), link.c_str()), 0);
    expectBusy(peer, link, dir);
}

TEST(ProcessLock, KilledHolderLeavesNothingBehind)
{
    TempWorkDir dir;
    PtyPeer peer;
    // A process in the middle of a read, waiting for the swipe.
    pid_t reader = fork();
    if (reader == 0) {
        char t2[256] = "", t3[256] = "";
        _exit(MS_ReadCard(peer.portName().c_str(), "", 9600, 20, SD_TRACKS_2_3, 0, t2, t3));
    }
    ASSERT_EQ(peer.receiveCount(kReadBoth.size()), kReadBoth);
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);

    std::thread answer([&] {
        if (peer.receiveCount(kReadBoth.size()) == kReadBoth)
            peer.send("s1234A5678?\x1c");
        if (peer.receiveCount(2) == "\x1bj")
            peer.send("\x1b" "Brp");
    });
    char t2[256] = "", t3[256] = "";
    Stopwatch watch;
    EXPECT_EQ(MS_ReadCard(peer.portName().c_str(), "", 9600, 5, SD_TRACKS_2_3, 0, t2, t3), SD_OK);
    answer.join();
    EXPECT_LT(watch.seconds(), 1.0);
    EXPECT_STREQ(t2, "1234");
    EXPECT_STREQ(t3, "5678");
}

TEST(ProcessLock, WaitForAHeldLineIsCancelled)
{
    TempWorkDir dir;
    dir.traceOn();
    PtyPeer peer;
    Holder holder(peer.devicePath());
    auto read = std::async(std::launch::async, [&] {
        char t2[256] = "", t3[256] = "";
        return MS_ReadCard(peer.portName().c_str(), "", 9600, 20, SD_TRACK_2, 0, t2, t3);
    });
    // The read's start line is traced once the call is under way, just
    // before it opens the line: a cancel from then on reaches it.
    ASSERT_TRUE(dir.waitForText("DataLog.log", "MS_ReadCard start at"));
    Stopwatch watch;
    MS_Cancel();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(read.get(), SD_ERR_CANCELLED);
    EXPECT_LT(watch.seconds(), 0.5);
    EXPECT_EQ(peer.receive(100, 300), "");

    // Once the holder is gone the line is there at once.
    holder.stop();
    EXPECT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    EXPECT_EQ(CloseCOM(), SD_OK);
}

// Every line of a trace that two processes write at once is one of the
// lines a writer wrote: its own stamp, its own bytes, nothing of the other.
TEST(ProcessLock, TwoProcessesTraceWholeLines)
{
    TempWorkDir dir;
    dir.traceOn();
    const int kEntries = 300;
    auto writer = [&](char mark) {
        const std::string block(45, mark); // a dump of three lines
        for (int i = 0; i < kEntries; ++i) {
            WriteLog("line of %c %s\n", mark, std::string(60, mark).c_str());
            WriteLog_Byte(block.data(), static_cast<int>(block.size()));
        }
        return 0;
    };
    pid_t other = fork();
    if (other == 0)
        _exit(writer('B'));
    writer('A');
    waitpid(other, nullptr, 0);

    std::istringstream log(dir.read("DataLog.log"));
    std::set<std::string> shapes;
    for (char mark : {'A', 'B'}) {
        const std::string hex = mark == 'A' ? "41 " : "42 ";
        std::string twenty;
        for (int i = 0; i < 20; ++i)
            twenty += hex;
        std::string five;
        for (int i = 0; i < 5; ++i)
            five += hex;
        shapes.insert(std::string("|line of ") + mark + " " + std::string(60, mark));
        shapes.insert("|[0001]" + twenty + "\r");
        shapes.insert("[0021]" + twenty + "\r");
        shapes.insert("[0041]" + five + "\r");
    }
    std::string line;
    int lines = 0;
    while (std::getline(log, line)) {
        ++lines;
        std::string masked = stampAt(line, 0) ? "|" + line.substr(21) : line;
        ASSERT_TRUE(shapes.count(masked)) << "line " << lines << ": " << line;
    }
    EXPECT_EQ(lines, 2 * kEntries * 4);
}

} // namespace
