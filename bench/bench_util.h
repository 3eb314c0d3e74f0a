// Small helpers shared by the benchmarks: clocks, processor time, memory,
// descriptor counts, and (from the test support) the simulated reader
// served from a thread and a temporary working directory.
#pragma once

#include "emulation.h"
#include "pty_peer.h"
#include "sim_reader.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Processor time (user + system) of the calling thread, or of the whole
// process. The CPU-time clocks count exactly; getrusage's figures are
// rounded to keep them monotonic and under-report short spans.
enum class Cpu { Thread, Process };
inline double cpuSeconds(Cpu who = Cpu::Thread)
{
    timespec ts{};
    clock_gettime(who == Cpu::Thread ? CLOCK_THREAD_CPUTIME_ID : CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Resident memory of the process in kilobytes (VmRSS).
inline long residentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

struct Stats {
    double min = 0, median = 0, mean = 0, max = 0;
};

inline Stats stats(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    s.median = v[v.size() / 2];
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / double(v.size());
    return s;
}

// The exit status CTest counts as a skip (SKIP_RETURN_CODE).
constexpr int kSkipped = 77;

// True, after saying why, when a benchmark cannot run under an emulator.
inline bool skipUnderEmulation(const char *why)
{
    if (!sdtest::underEmulation())
        return false;
    std::printf("SKIP under the emulator %s: %s\n", std::getenv("SD_EMULATOR"), why);
    return true;
}

inline bool hasFlag(int argc, char **argv, const char *flag)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], flag) == 0)
            return true;
    return false;
}

// The value after `flag`, or `fallback`.
inline long option(int argc, char **argv, const char *flag, long fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], flag) == 0)
            return std::atol(argv[i + 1]);
    return fallback;
}

// How many rounds a benchmark runs: `--count N`, `fallback` without it, or
// `shortCount` under `--short` (the quick run CTest makes).
inline long rounds(int argc, char **argv, long shortCount, long fallback,
                   const char *flag = "--count")
{
    return hasFlag(argc, argv, "--short") ? shortCount : option(argc, argv, flag, fallback);
}

} // namespace bench
