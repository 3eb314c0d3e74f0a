// A log that a flood cannot fill: each kind of event (a bad request, a
// refused Origin, ...) writes at most a few lines a second; the rest are
// counted, and the count is written once the second is over.
#pragma once

#include "log.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace stripedrvd {

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    // `kind` names the event in the summary line ("bad request").
    explicit RateLimit(std::string kind, size_t perSecond = 5);

    // Writes the line when fewer than perSecond lines of this kind went out
    // in the current second, else counts it. True when it was counted: a
    // summary is then due (flush()).
    bool log(Priority priority, const std::string &line, Clock::time_point now = Clock::now());
    // Writes "KIND (N more like this suppressed)" for what was counted since
    // the last summary; false when nothing was.
    bool flush();
    size_t suppressed() const { return suppressed_; }

private:
    const std::string kind_;
    const size_t perSecond_;
    Clock::time_point windowStart_{};
    size_t written_ = 0;        // lines written in the current second
    size_t suppressed_ = 0;     // counted since the last summary
    Priority priority_ = Priority::Notice;
};

} // namespace stripedrvd
