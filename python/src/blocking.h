// Running a blocking driver call from Python without holding the
// interpreter, and with Python's signal handlers still in charge.
#pragma once

#include <functional>

namespace sdpy {

// Runs `call` (which touches no Python object) with the GIL released and
// returns its result. Called with the GIL held.
//
// On the main thread (`onMainThread`: the caller knows), a signal for which Python has a handler (Ctrl-C's
// SIGINT, a SIGALRM installed with signal.signal, ...) cuts the driver call
// short: the call is cancelled, Python's handlers run, and an exception one
// of them raised propagates (pybind11::error_already_set). A handler that
// raises nothing and did not call cancel() gets the call made again, as
// Python retries a system call interrupted by a signal.
int runBlocking(const std::function<int()> &call, bool onMainThread);

// stripedrv.cancel(): MS_Cancel, remembered so that a call cut short by a
// signal whose handler cancelled it is not made again.
void cancel();

} // namespace sdpy
