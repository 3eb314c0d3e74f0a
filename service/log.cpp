#include "log.h"

#include <cstdio>
#include <mutex>

namespace stripedrvd {

namespace {

std::mutex logMutex;
std::function<void(const std::string &)> logSink;

} // namespace

void logLine(Priority priority, const std::string &line)
{
    std::lock_guard<std::mutex> lock(logMutex);
    if (logSink) {
        logSink(line);
        return;
    }
    std::fprintf(stderr, "<%d>stripedrvd: %s\n", static_cast<int>(priority), line.c_str());
    std::fflush(stderr);
}

void setLogSink(std::function<void(const std::string &)> sink)
{
    std::lock_guard<std::mutex> lock(logMutex);
    logSink = std::move(sink);
}

} // namespace stripedrvd
