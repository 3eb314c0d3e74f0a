// A card call held to its time limit. The library waits for each byte of the
// reader's answer for a fixed time of its own, so a read with a short limit
// can run seconds past it; the layers above (the service, stripectl) cut the
// call at its deadline with MS_Cancel and report the timeout themselves.
#pragma once

#include <chrono>
#include <functional>

namespace sddeadline {

using Clock = std::chrono::steady_clock;

// How often the cut is repeated until the call has ended: a cancel made
// just before the call waits on the line does not reach it.
constexpr auto kRecancel = std::chrono::milliseconds(2);

// Runs call() (a library call on this thread). When it has not returned by
// `limit`, a watcher thread calls MS_Cancel, and again every kRecancel,
// until it has. The call's result is returned, except that SD_ERR_CANCELLED
// from a call cut at its deadline becomes SD_ERR_TIMEOUT; a cancel from
// elsewhere that ends the call before its deadline stays SD_ERR_CANCELLED.
// `cut`, when given, tells whether the deadline cut the call.
int runWithin(Clock::duration limit, const std::function<int()> &call, bool *cut = nullptr);

// The card calls' own answers that fall due at their limit (a reader held
// by another program for all of it: SD_ERR_BUSY) are let come first: the
// cut comes this long after the limit, and the call is back well within
// 0.2 s of it.
constexpr auto kGrace = std::chrono::milliseconds(100);

// The same with the limit in whole seconds, as the card calls take it, and
// kGrace.
int runWithinSeconds(int seconds, const std::function<int()> &call, bool *cut = nullptr);

} // namespace sddeadline
