#include "deadline.h"

#include "stripedrv.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace sddeadline {

namespace {

struct Watch {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool cut = false;
};

void watch(Watch &w, Clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(w.mutex);
    if (w.ended.wait_until(lock, deadline, [&w] { return w.done; }))
        return;
    w.cut = true;
    // MS_Cancel is called with the lock held: the caller cannot mark the
    // call ended and start its next one meanwhile, so the cut reaches only
    // the call it is meant for.
    while (!w.done) {
        MS_Cancel();
        w.ended.wait_for(lock, kRecancel, [&w] { return w.done; });
    }
}

} // namespace

int runWithin(Clock::duration limit, const std::function<int()> &call, bool *cut)
{
    Watch w;
    std::thread watcher(watch, std::ref(w), Clock::now() + limit);
    int code = call();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.done = true;
    }
    w.ended.notify_all();
    watcher.join();
    if (cut)
        *cut = w.cut;
    if (w.cut && code == SD_ERR_CANCELLED)
        return SD_ERR_TIMEOUT;
    return code;
}

int runWithinSeconds(int seconds, const std::function<int()> &call, bool *cut)
{
    // A limit of 0 or less: the library's own rule applies (it waits as its
    // timing says), so there is nothing to hold the call to.
    if (seconds <= 0) {
        if (cut)
            *cut = false;
        return call();
    }
    return runWithin(std::chrono::seconds(seconds) + kGrace, call, cut);
}

} // namespace sddeadline
