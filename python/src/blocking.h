// Running a blocking driver call from Python without holding the
// interpreter, and with Python's signal handlers still in charge.
#pragma once

#include <functional>

namespace sdpy {

class Watcher;

// What ends one call early from outside, besides a signal: stop() from
// another thread (Reader.close(), a cancelled asyncio task). One per call;
// the Python half makes it and keeps it where close() can reach it.
class CallStop {
public:
    // Any thread, the GIL held or not; a call not yet begun will not run.
    void stop();
    bool stopped() const;

private:
    friend class Watcher;
    bool stopped_ = false; // under the deadline thread's lock
};

// The driver's limit for a deadline of `seconds`: whole seconds, rounded
// down but at least 1, so that what the driver judges only once its own
// limit has passed (a wait for a line another program holds, the status
// answers "rt" and "rs") comes before the deadline cuts it; 0 for none left.
int driverSeconds(double seconds);

// Runs `call` (which touches no Python object) with the GIL released and
// returns its result. Called with the GIL held.
//
// On the main thread (`onMainThread`: the caller knows), a signal for which Python has a handler (Ctrl-C's
// SIGINT, a SIGALRM installed with signal.signal, ...) cuts the driver call
// short: the call is cancelled, Python's handlers run, and an exception one
// of them raised propagates (pybind11::error_already_set). A handler that
// raises nothing and did not call cancel() gets the call made again, as
// Python retries a system call interrupted by a signal.
//
// `seconds` (negative: none) is the call's deadline from now: there the
// call is cancelled and SD_ERR_TIMEOUT returned in place of the driver's
// SD_ERR_CANCELLED, so that a limit of 1.5 s holds though the driver counts
// whole seconds and waits up to 5 s for a byte. A call cut by `stop`
// returns SD_ERR_CANCELLED. The driver's cancel reaches whichever call of
// the process is under way: the caller sees to it that it is this one, and
// that runBlocking runs one call at a time (the Python half's turns).
int runBlocking(const std::function<int()> &call, bool onMainThread, double seconds,
                CallStop &stop);

// stripedrv.cancel(): MS_Cancel, remembered so that a call cut short by a
// signal whose handler cancelled it is not made again.
void cancel();

} // namespace sdpy
