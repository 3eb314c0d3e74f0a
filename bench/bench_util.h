// Small helpers shared by the benchmarks: clocks, processor time, memory,
// descriptor counts, and the simulated reader served from a thread.
#pragma once

#include "pty_peer.h"
#include "server.h"

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

// The simulated reader on a pseudo-terminal, served from a thread.
class SimReader {
public:
    explicit SimReader(bool pacing, readersim::Behaviour behaviour = {})
        : protocol_(readersim::Card{}, behaviour)
    {
        readersim::ServerOptions options;
        options.pacing = pacing;
        options.quiet = true;
        options.log = [](const std::string &) {};
        server_ = std::make_unique<readersim::Server>(protocol_, options);
        thread_ = std::thread([this] { server_->run(); });
    }
    ~SimReader()
    {
        server_->stop();
        thread_.join();
    }
    SimReader(const SimReader &) = delete;
    SimReader &operator=(const SimReader &) = delete;

    std::string port() const { return server_->portName(); }
    readersim::Protocol &protocol() { return protocol_; }

private:
    readersim::Protocol protocol_;
    std::unique_ptr<readersim::Server> server_;
    std::thread thread_;
};

// A fresh, empty working directory (no CONFIG.ini: the trace is off),
// removed again at the end.
class WorkDir {
public:
    WorkDir()
    {
        char tmpl[] = "/tmp/sdbench-XXXXXX";
        if (!mkdtemp(tmpl) || !getcwd(previous_, sizeof previous_) || chdir(tmpl) != 0) {
            std::perror("work dir");
            std::exit(2);
        }
        path_ = tmpl;
    }
    ~WorkDir()
    {
        if (chdir(previous_) != 0)
            std::perror("chdir");
        std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0)
            std::perror("rm");
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    char previous_[4096] = {};
};

} // namespace bench
