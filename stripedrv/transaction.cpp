// One transaction at a time, and the host's way to cut one short.
//
// The port lives in process-wide globals, so two threads talking to the
// reader at once would read each other's bytes. Every exported call that
// uses the line or the trace holds one recursive lock for its length; the
// card calls take it again in the primitives they use. Calls stay
// synchronous: a second thread simply waits for the call under way.
//
// MS_Cancel may be called from any thread and from a signal handler, so it
// takes no lock: it marks the outermost call under way (by its number, so
// that a late cancel can never hit a later call) and makes an eventfd
// readable, which every wait on the line polls beside it. The eventfd is
// made by the first wait of a call and closed when the call ends, so that
// the library keeps no descriptor between calls; the close waits for a
// MS_Cancel of another thread that may be about to write to it.
#include "stripedrv_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace sd {

namespace {

pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
int g_depth = 0;               // nesting of the calls under way; under g_lock
unsigned long g_lastCall = 0;  // number of the latest outermost call; under g_lock

// Read by MS_Cancel without the lock.
std::atomic<unsigned long> g_current{0};   // the outermost call under way, 0 none
std::atomic<unsigned long> g_cancelled{0}; // the call MS_Cancel cut short
std::atomic<int> g_wakeFd{-1};
std::atomic<int> g_cancelsRunning{0}; // MS_Cancel calls between their two steps
static_assert(std::atomic<unsigned long>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free,
              "MS_Cancel must be safe in a signal handler");

// At the end of the outermost call. Once the descriptor is withdrawn no
// MS_Cancel can pick it up any more; one that picked it up before is given
// the few instructions it needs to finish its write.
void closeWakeFd()
{
    int fd = g_wakeFd.exchange(-1);
    if (fd < 0)
        return;
    while (g_cancelsRunning.load() != 0)
        sched_yield();
    close(fd);
}

} // namespace

CallScope::CallScope()
{
    pthread_mutex_lock(&g_lock);
    if (g_depth++ > 0)
        return;
    if (++g_lastCall == 0)
        ++g_lastCall;
    g_current.store(g_lastCall);
}

CallScope::~CallScope()
{
    if (--g_depth == 0) {
        g_current.store(0);
        closeWakeFd();
    }
    pthread_mutex_unlock(&g_lock);
}

bool cancelRequested()
{
    unsigned long call = g_current.load();
    return call != 0 && g_cancelled.load() == call;
}

int cancelWakeFd()
{
    int fd = g_wakeFd.load();
    if (fd < 0) {
        fd = keepAboveStdio(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        g_wakeFd.store(fd);
    }
    return fd;
}

void drainCancelWake()
{
    int fd = g_wakeFd.load();
    uint64_t count = 0;
    if (fd >= 0)
        (void)!read(fd, &count, sizeof count); // empty already is fine
}

namespace {
int g_lineWaitSeconds = kLineWaitSeconds; // under g_lock
}

LineWaitLimit::LineWaitLimit(int nSeconds) : saved_(g_lineWaitSeconds)
{
    g_lineWaitSeconds = nSeconds > 0 ? nSeconds : 0;
}

LineWaitLimit::~LineWaitLimit()
{
    g_lineWaitSeconds = saved_;
}

int lineWaitSeconds()
{
    return g_lineWaitSeconds;
}

int keepAboveStdio(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return high;
}

} // namespace sd

int MS_Cancel(void)
{
    const int savedErrno = errno; // a signal handler must leave errno as it was
    sd::g_cancelsRunning.fetch_add(1);
    unsigned long call = sd::g_current.load();
    if (call != 0) {
        sd::g_cancelled.store(call);
        int fd = sd::g_wakeFd.load();
        uint64_t one = 1;
        if (fd >= 0)
            (void)!write(fd, &one, sizeof one); // a full counter still wakes
    }
    sd::g_cancelsRunning.fetch_sub(1);
    errno = savedErrno;
    return SD_OK;
}
