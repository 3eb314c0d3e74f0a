// Helpers shared by the reader-link tests.
#pragma once

#include "pty_peer.h"
#include "stripedrv.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>

namespace sdtest {

// Wall time since construction, in seconds.
class Stopwatch {
public:
    double seconds() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Processor time (user + system) this process has used, in seconds.
inline double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Plays the reader: sends `bytes` on the master after `delayMs`.
inline std::thread sendLater(PtyPeer &peer, std::string bytes, int delayMs)
{
    return std::thread([&peer, bytes, delayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        peer.send(bytes);
    });
}

// A pseudo-terminal opened through OpenCOM for the length of a test, in a
// fresh working directory (so traces never land in the build tree).
class OpenLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK); }
    void TearDown() override { CloseCOM(); }

    TempWorkDir dir;
    PtyPeer peer;
};

} // namespace sdtest
