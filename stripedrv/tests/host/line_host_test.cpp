// The line inside host programs: a descriptor past select()'s 1023, a host
// with stdin closed, child processes, a silent line's processor time, and
// the device-information call refused for want of an answer buffer.
#include "host_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <thread>
#include <string>
#include <vector>

using namespace sdtest;

namespace {

// The descriptors of this process that are open on `path`.
std::set<int> descriptorsOn(const std::string &path)
{
    std::set<int> fds;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return fds;
    while (dirent *e = readdir(d)) {
        char target[256] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target)
            fds.insert(atoi(e->d_name));
    }
    closedir(d);
    return fds;
}

TEST(HostLine, DescriptorPast1023WaitsAndTransfers)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 1200)
        GTEST_SKIP() << "the hard descriptor limit is " << lim.rlim_max;
    const rlimit saved = lim;
    lim.rlim_cur = 1200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    std::vector<int> filler;
    while (filler.empty() || filler.back() < 1100)
        filler.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));

    PtyPeer peer;
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    std::set<int> line = descriptorsOn(peer.devicePath());
    line.erase(peer.slaveFd());
    ASSERT_EQ(line.size(), 1u);
    EXPECT_GT(*line.begin(), 1023);

    EXPECT_EQ(SendDataEx(2, "ab"), SD_OK);
    EXPECT_EQ(peer.receive(), "ab");
    peer.send("x");
    unsigned char byte = 0;
    EXPECT_EQ(RecvByte(&byte, 2), SD_OK);
    EXPECT_EQ(byte, 'x');
    Stopwatch quiet;
    EXPECT_EQ(RecvByte(&byte, 1), SD_ERR_TIMEOUT);
    EXPECT_TRUE(quiet.within(0.9, 3));
    EXPECT_EQ(CloseCOM(), SD_OK);

    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

// With stdin closed, open() would give the line descriptor 0. The line must
// still be set up, restored and closed like any other.
int openWithStdinClosed(const PtyPeer &peer)
{
    close(STDIN_FILENO);
    const int before = openDescriptorCount();
    if (OpenCOM(peer.portName().c_str(), 9600) != SD_OK)
        return 1;
    if (fcntl(STDIN_FILENO, F_GETFD) != -1)
        return 2; // the line took descriptor 0
    termios raw{};
    tcgetattr(peer.slaveFd(), &raw);
    if (raw.c_lflag & ICANON)
        return 3;
    if (CloseCOM() != SD_OK)
        return 4;
    termios restored{};
    tcgetattr(peer.slaveFd(), &restored);
    if (!(restored.c_lflag & ICANON))
        return 5; // the settings were not given back
    return openDescriptorCount() == before ? 0 : 6;
}

TEST(HostLine, StdinClosedLineIsRestoredAndClosed)
{
    PtyPeer peer;
    termios cooked{};
    ASSERT_EQ(tcgetattr(peer.slaveFd(), &cooked), 0);
    ASSERT_TRUE(cooked.c_lflag & ICANON);
    EXPECT_EQ(inChild([&] { return openWithStdinClosed(peer); }), 0);
}

// A program the host starts while the line is open lists its descriptors
// ("N -> target"): none but the peer's own slave may lead to the line.
int execWithLineOpen(const PtyPeer &peer)
{
    if (OpenCOM(peer.portName().c_str(), 9600) != SD_OK)
        return 1;
    if (descriptorsOn(peer.devicePath()).size() != 2)
        return 2; // the peer's slave and the library's line
    int out[2];
    if (pipe(out) != 0)
        return 3;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl("/bin/ls", "ls", "-l", "/proc/self/fd", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string listing;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        listing.append(buf, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || listing.empty())
        return 4;
    const std::string peerSlave = " " + std::to_string(peer.slaveFd()) + " -> ";
    for (size_t pos = 0; pos < listing.size();) {
        size_t end = listing.find('\n', pos);
        const std::string line = listing.substr(pos, end - pos);
        const std::string tail = " -> " + peer.devicePath();
        bool toLine = line.size() >= tail.size() &&
                      line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
        if (toLine && line.find(peerSlave) == std::string::npos)
            return 5; // the child holds the reader's line
        pos = end == std::string::npos ? listing.size() : end + 1;
    }
    return CloseCOM() == SD_OK ? 0 : 6;
}

TEST(HostLine, StartedProgramsDoNotInheritTheLine)
{
    PtyPeer peer;
    EXPECT_EQ(inChild([&] { return execWithLineOpen(peer); }), 0);
}

TEST(HostLine, RecvDataSleepsOnASilentLine)
{
    TempWorkDir dir;
    PtyPeer peer;
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    char buf[SD_RECV_MAX];
    int len = -1;
    const double cpu0 = cpuSeconds();
    Stopwatch watch;
    EXPECT_EQ(RecvData(buf, &len, 1), SD_ERR_TIMEOUT);
    const double wall = watch.seconds();
    EXPECT_TRUE(watch.within(1, 2.5));
    EXPECT_LT((cpuSeconds() - cpu0) / wall, 0.05) << "processor share of the wait";

    // A reply that comes while it sleeps is taken at once.
    std::thread late([&] {
        usleep(300 * 1000);
        peer.send("ok\x03");
    });
    Stopwatch quick;
    EXPECT_EQ(RecvData(buf, &len, 3), SD_OK);
    late.join();
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "ok\x03");
    EXPECT_LT(quick.seconds(), 1.0);
    CloseCOM();
}

TEST(HostLine, DevCommCallWithoutAnswerBufferIsTracedAndCloses)
{
    TempWorkDir dir;
    dir.traceOn();
    PtyPeer peer;
    ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK);
    int len = 0;
    char answer[8] = "keep";
    EXPECT_EQ(DEV_CommCall("{}", nullptr, answer, &len), SD_ERR_STATUS); // capacity 0
    EXPECT_EQ(isPortOpened, 0);
    EXPECT_STREQ(answer, "keep");
    EXPECT_EQ(DEV_CommCall("{}", nullptr, nullptr, nullptr), SD_ERR_STATUS);
    EXPECT_EQ(peer.receive(100, 500), ""); // the reader was never asked
    EXPECT_EQ(bodies(dir.read("DataLog.log")),
              "|DEV_CommCall at |\n|DEV_CommCall at |,return:-1 \n"
              "|DEV_CommCall at |\n|DEV_CommCall at |,return:-1 \n");
    EXPECT_EQ(descriptorsOn(peer.devicePath()), std::set<int>{peer.slaveFd()});
}

} // namespace
