#include "rate_limit.h"

namespace stripedrvd {

RateLimit::RateLimit(std::string kind, size_t perSecond)
    : kind_(std::move(kind)), perSecond_(perSecond)
{
}

bool RateLimit::log(Priority priority, const std::string &line, Clock::time_point now)
{
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        written_ = 0;
    }
    if (written_ < perSecond_) {
        ++written_;
        logLine(priority, line);
        return false;
    }
    ++suppressed_;
    priority_ = priority;
    return true;
}

bool RateLimit::flush()
{
    if (suppressed_ == 0)
        return false;
    logLine(priority_, kind_ + " (" + std::to_string(suppressed_) + " more like this suppressed)");
    suppressed_ = 0;
    return true;
}

} // namespace stripedrvd
