// Module timing: the one place that reads the clock.
//
// Every limit of the reader protocol is whole seconds, measured on the
// monotonic clock so that a step of the wall clock (an NTP correction, an
// operator setting the time) neither stretches nor cuts a wait. The wall
// clock is read only for the trace's time stamp.
#include "stripedrv_internal.h"

namespace sd {

namespace {

constexpr long long kNsPerSecond = 1000000000LL;
constexpr long long kNsPerMs = 1000000LL;

long long nanoseconds(const struct timespec &t)
{
    return static_cast<long long>(t.tv_sec) * kNsPerSecond + t.tv_nsec;
}

} // namespace

struct timespec monotonicNow()
{
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

struct timespec deadlineIn(int nSeconds)
{
    struct timespec d = monotonicNow();
    if (nSeconds > 0)
        d.tv_sec += nSeconds;
    return d;
}

int millisecondsLeft(const struct timespec &deadline)
{
    long long ns = nanoseconds(deadline) - nanoseconds(monotonicNow());
    if (ns <= 0)
        return 0;
    long long ms = (ns + kNsPerMs - 1) / kNsPerMs;
    return ms > 0x7fffffffLL ? 0x7fffffff : static_cast<int>(ms);
}

bool wholeSecondsPassed(const struct timespec &start, long nLimit)
{
    return static_cast<long>(monotonicNow().tv_sec - start.tv_sec) > nLimit;
}

struct timespec msFromNow(int ms)
{
    long long ns = nanoseconds(monotonicNow()) + static_cast<long long>(ms > 0 ? ms : 0) * kNsPerMs;
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    t.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return t;
}

struct timespec withinMs(int ms, const struct timespec &deadline)
{
    struct timespec t = msFromNow(ms);
    return nanoseconds(t) >= nanoseconds(deadline) ? deadline : t;
}

int wireMs(long nBaud, long nBytes)
{
    constexpr long long kBitsPerByte = 10; // start bit, eight data bits, stop bit
    if (nBaud <= 0 || nBytes <= 0)
        return 0;
    long long bitsMs = static_cast<long long>(nBytes) * kBitsPerByte * 1000;
    return static_cast<int>((bitsMs + nBaud - 1) / nBaud);
}

struct timespec nextWholeSecond()
{
    struct timespec t = monotonicNow();
    t.tv_sec += 1;
    t.tv_nsec = 0;
    return t;
}

time_t calendarNow()
{
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

} // namespace sd
