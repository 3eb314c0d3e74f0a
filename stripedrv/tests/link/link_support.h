// Helpers shared by the reader-link tests.
#pragma once

#include "emulation.h"
#include "pty_peer.h"
#include "scripted_reader.h"
#include "stripedrv.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <string>

namespace sdtest {

// Wall time since construction; within() checks the length of a wait.
struct Stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double seconds() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ::testing::AssertionResult within(double atLeast, double atMost) const
    {
        const double s = seconds();
        if (s >= atLeast && s <= atMost)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "took " << s << " s, not " << atLeast << ".." << atMost;
    }
};

// Processor time (user + system) this process has used, in seconds.
inline double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A trace (which must begin with a stamp) with every time stamp made "|".
inline std::string bodies(const std::string &log)
{
    EXPECT_TRUE(stampAt(log, 0)) << log;
    return maskStamps(log, "|");
}

// A pseudo-terminal opened through OpenCOM, in a fresh working directory.
class OpenLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenCOM(peer.portName().c_str(), 9600), SD_OK); }
    void TearDown() override { CloseCOM(); }

    TempWorkDir dir;
    PtyPeer peer;
};

} // namespace sdtest
