#include "blocking.h"

#include "stripedrv.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <thread>
#include <unistd.h>

namespace py = pybind11;

namespace sdpy {

namespace {

// How the pieces meet. The driver call runs on the calling thread itself,
// so that a read costs no more than a direct MS_ReadCard. While it runs on
// the main thread, every signal that Python handles is routed through
// cancelOnSignal, which cancels the driver call and then calls Python's own
// C-level handler (which only notes the signal for the main thread). The
// driver's cancel reaches only a call under way, and a signal can land in
// the microseconds before the call has begun: a watcher thread, woken by
// the handler, repeats the cancel until the call has ended.

// Python's C-level signal handler, taken from SIGINT when the module is
// loaded (the interpreter installs it there at start). Null when SIGINT was
// not Python's: then signals do not cut calls short.
void (*g_pythonHandler)(int) = nullptr;

volatile sig_atomic_t g_signalled = 0;     // a routed signal came during the call
std::atomic<bool> g_inCall{false};          // a main-thread driver call is on
std::atomic<bool> g_cancelRequested{false}; // cancel() was called during it
sem_t g_wakeWatcher;
std::once_flag g_watcherStarted;

const useconds_t kRecancelMicroseconds = 2000;

void cancelOnSignal(int signum)
{
    int savedErrno = errno;
    g_signalled = 1;
    MS_Cancel();
    sem_post(&g_wakeWatcher);
    g_pythonHandler(signum);
    errno = savedErrno;
}

void watch()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        while (sem_wait(&g_wakeWatcher) != 0) {
        }
        while (g_signalled && g_inCall.load()) {
            MS_Cancel();
            usleep(kRecancelMicroseconds);
        }
    }
}

void startWatcher()
{
    std::call_once(g_watcherStarted, [] {
        sem_init(&g_wakeWatcher, 0, 0);
        std::thread(watch).detach();
    });
}

// The signals whose handler is Python's, routed through cancelOnSignal for
// the length of one call and given back their own settings after it.
class RoutedSignals {
public:
    RoutedSignals()
    {
        for (int signum = 1; signum < NSIG; ++signum) {
            struct sigaction current;
            if (sigaction(signum, nullptr, &current) != 0 ||
                (current.sa_flags & SA_SIGINFO) || current.sa_handler != g_pythonHandler)
                continue;
            saved_[signum] = current;
            struct sigaction routed = current;
            routed.sa_handler = cancelOnSignal;
            routed_[signum] = sigaction(signum, &routed, nullptr) == 0;
        }
    }
    ~RoutedSignals()
    {
        for (int signum = 1; signum < NSIG; ++signum)
            if (routed_[signum])
                sigaction(signum, &saved_[signum], nullptr);
    }
    RoutedSignals(const RoutedSignals &) = delete;
    RoutedSignals &operator=(const RoutedSignals &) = delete;

private:
    struct sigaction saved_[NSIG] = {};
    bool routed_[NSIG] = {};
};

// Why a Watcher cut its call short.
enum class Cut { None, Deadline, Stopped };

// The deadline thread: one for the process, started with the first call,
// watching the one call under way (the Python half runs one at a time).
// At the call's deadline or stop() it cancels the call, and goes on
// cancelling every 2 ms until the call has ended (a cancel made in the
// instant before the driver call begins does not reach it). It cancels
// with g_deadlineLock held, and a call ends by taking that lock, so no
// cancel of one call can reach a later one; the call never waits for the
// thread to wake.
// Never destroyed: the thread still waits on them when the process exits.
std::mutex &g_deadlineLock = *new std::mutex;
std::condition_variable &g_deadlineWake = *new std::condition_variable;
Watcher *g_watched = nullptr; // under g_deadlineLock
// When the thread wakes next by itself (under g_deadlineLock). A call whose
// deadline falls after it need not wake the thread: one wake-up a second or
// so, not one per read, which a paced reader would feel.
std::chrono::steady_clock::time_point g_threadWakesAt = std::chrono::steady_clock::time_point::max();
std::once_flag g_deadlineThreadStarted;

} // namespace

class Watcher {
public:
    Watcher(double seconds, CallStop &stop) : stop_(stop), hasDeadline_(seconds >= 0)
    {
        if (hasDeadline_)
            deadline_ = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
        std::call_once(g_deadlineThreadStarted, [] { std::thread(watchDeadlines).detach(); });
        bool wake;
        {
            std::lock_guard<std::mutex> lock(g_deadlineLock);
            g_watched = this;
            wake = hasDeadline_ && deadline_ < g_threadWakesAt;
        }
        if (wake)
            g_deadlineWake.notify_all();
    }
    ~Watcher() { finish(); }
    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

    // The call has ended: no cancel for it from now on.
    void finish()
    {
        std::lock_guard<std::mutex> lock(g_deadlineLock);
        if (g_watched == this)
            g_watched = nullptr;
    }
    Cut cut() const { return cut_.load(); }

private:
    static void watchDeadlines()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr); // signals are the main thread's
        std::unique_lock<std::mutex> lock(g_deadlineLock);
        for (;;) {
            Watcher *call = g_watched;
            if (call && call->due()) {
                MS_Cancel();
                sleepUntil(lock, std::chrono::steady_clock::now() +
                                     std::chrono::microseconds(kRecancelMicroseconds));
            } else if (call && call->hasDeadline_) {
                sleepUntil(lock, call->deadline_);
            } else {
                sleepUntil(lock, std::chrono::steady_clock::time_point::max());
            }
        }
    }
    static void sleepUntil(std::unique_lock<std::mutex> &lock,
                           std::chrono::steady_clock::time_point until)
    {
        g_threadWakesAt = until;
        if (until == std::chrono::steady_clock::time_point::max())
            g_deadlineWake.wait(lock);
        else
            g_deadlineWake.wait_until(lock, until);
    }
    // Under g_deadlineLock.
    bool due()
    {
        if (cut_.load() == Cut::None) {
            if (stop_.stopped_)
                cut_ = Cut::Stopped;
            else if (hasDeadline_ && std::chrono::steady_clock::now() >= deadline_)
                cut_ = Cut::Deadline;
        }
        return cut_.load() != Cut::None;
    }

    CallStop &stop_;
    const bool hasDeadline_;
    std::chrono::steady_clock::time_point deadline_;
    std::atomic<Cut> cut_{Cut::None};
};

namespace {

int callWithoutGil(const std::function<int()> &call)
{
    py::gil_scoped_release unlocked;
    return call();
}

// One try on the main thread: SD_ERR_CANCELLED without calling when a
// signal or the watcher came before the call could begin.
int tryOnMainThread(const std::function<int()> &call, const Watcher &watcher)
{
    RoutedSignals routed;
    g_inCall = true;
    int result = g_signalled || watcher.cut() != Cut::None ? SD_ERR_CANCELLED
                                                            : callWithoutGil(call);
    g_inCall = false;
    return result;
}

int runWatched(const std::function<int()> &call, bool onMainThread, const Watcher &watcher)
{
    if (!g_pythonHandler || !onMainThread)
        return watcher.cut() != Cut::None ? SD_ERR_CANCELLED : callWithoutGil(call);
    startWatcher();
    for (;;) {
        // Signals that came before: their handlers first.
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        g_signalled = 0;
        g_cancelRequested = false;
        int result = tryOnMainThread(call, watcher);
        if (!g_signalled)
            return result;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (result != SD_ERR_CANCELLED || g_cancelRequested || watcher.cut() != Cut::None)
            return result;
    }
}

} // namespace

void CallStop::stop()
{
    {
        std::lock_guard<std::mutex> lock(g_deadlineLock);
        stopped_ = true;
    }
    g_deadlineWake.notify_all();
}

bool CallStop::stopped() const
{
    std::lock_guard<std::mutex> lock(g_deadlineLock);
    return stopped_;
}

int driverSeconds(double seconds)
{
    const double kLongest = 86400; // far beyond any limit a caller may give
    if (seconds <= 0)
        return 0;
    return std::max(1, static_cast<int>(std::floor(std::fmin(seconds, kLongest))));
}

int runBlocking(const std::function<int()> &call, bool onMainThread, double seconds,
                CallStop &stop)
{
    Watcher watcher(seconds, stop);
    int result = runWatched(call, onMainThread, watcher);
    watcher.finish();
    if (result == SD_ERR_CANCELLED && watcher.cut() == Cut::Deadline)
        return SD_ERR_TIMEOUT;
    return result;
}

void cancel()
{
    g_cancelRequested = true;
    MS_Cancel();
}

// Taken when the module is loaded, on the main thread.
struct PythonHandler {
    PythonHandler()
    {
        struct sigaction current;
        if (sigaction(SIGINT, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)
            g_pythonHandler = current.sa_handler;
    }
} g_takePythonHandler;

} // namespace sdpy
