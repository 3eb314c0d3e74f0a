// Helpers shared by the reader-link tests.
#pragma once

#include "pty_peer.h"
#include "stripedrv.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cctype>
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

// Whether a trace time stamp ("2026-12-06 22:55:04  ") starts at `pos`.
inline bool stampAt(const std::string &s, size_t pos)
{
    static const char shape[] = "dddd-dd-dd dd:dd:dd  ";
    for (size_t i = 0; i < sizeof shape - 1; ++i, ++pos)
        if (pos >= s.size() ||
            (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(s[pos])) : s[pos] != shape[i]))
            return false;
    return true;
}

// A trace (which must begin with a stamp) with every time stamp made "|".
inline std::string bodies(const std::string &log)
{
    EXPECT_TRUE(stampAt(log, 0)) << log;
    std::string out;
    for (size_t i = 0; i < log.size();)
        out += stampAt(log, i) ? (i += 21, '|') : log[i++];
    return out;
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
