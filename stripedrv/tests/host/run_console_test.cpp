// scripts/run-console -- --swipe-on-key on a terminal of its own: Enter
// typed on that terminal swipes the demo card for a read under way.
#include "emulation.h"
#include "pty_peer.h"
#include "stripedrv.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <future>
#include <string>

namespace {

const char kDemoTrack2[] = "6222021234567840123=25121010000012345";

// The script's terminal output until `done` says so or `ms` pass.
template <typename Done>
std::string readUntil(int fd, int ms, Done done)
{
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done(out) && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        char buf[512];
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// The port name the script prints: the first "pts/N" in its output.
std::string portIn(const std::string &out)
{
    size_t at = out.find("pts/");
    if (at == std::string::npos)
        return "";
    size_t end = at + 4;
    while (end < out.size() && isdigit(static_cast<unsigned char>(out[end])))
        ++end;
    return end < out.size() && end > at + 4 ? out.substr(at, end - at) : "";
}

TEST(RunConsole, EnterOnTheTerminalSwipes)
{
    if (sdtest::underEmulation())
        GTEST_SKIP() << "the run script starts this build's programs itself, which the kernel "
                        "cannot run without binfmt_misc";
    sdtest::TempWorkDir dir;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("SD_BUILD_DIR", SD_BUILD_DIR, 1);
        setenv("SD_RUN_DIR", (dir.path() + "/run").c_str(), 1);
        setenv("SD_NO_BUILD", "1", 1);
        setenv("DISPLAY", ":sd-none", 1); // the console runs offscreen
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(SD_SOURCE_DIR "/scripts/run-console", "run-console", "--", "--swipe-on-key",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    const std::string out = readUntil(master, 20000, [](const std::string &s) {
        return s.find("Then press") != std::string::npos;
    });
    const std::string port = portIn(out);
    ASSERT_FALSE(port.empty()) << out;

    char t2[256] = "", t3[256] = "";
    auto read = std::async(std::launch::async, [&] {
        return MS_ReadCard(port.c_str(), "", 9600, 10, SD_TRACKS_2_3, 0, t2, t3);
    });
    // No swipe before Enter.
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
    ASSERT_EQ(write(master, "\r", 1), 1);
    ASSERT_EQ(read.wait_for(std::chrono::seconds(8)), std::future_status::ready);
    EXPECT_EQ(read.get(), SD_OK);
    EXPECT_STREQ(t2, kDemoTrack2);

    kill(-pid, SIGTERM); // the script, the simulator and the console
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
}

} // namespace
