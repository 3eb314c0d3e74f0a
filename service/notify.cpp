#include "notify.h"

#include "log.h"

#include <systemd/sd-daemon.h>

namespace stripedrvd {

Notifier::Notifier(boost::asio::io_context &io) : timer_(io) {}

void Notifier::ready(const std::string &status)
{
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        period_ = std::chrono::microseconds(usec / 2);
        logInfo("systemd's watchdog: a keep-alive every " +
                std::to_string(period_.count() / 1000) + " ms");
        keepAlive();
    }
}

void Notifier::stopping()
{
    sd_notify(0, "STOPPING=1");
    timer_.cancel();
}

void Notifier::keepAlive()
{
    sd_notify(0, "WATCHDOG=1");
    timer_.expires_after(period_);
    timer_.async_wait([this](boost::system::error_code ec) {
        if (!ec)
            keepAlive();
    });
}

} // namespace stripedrvd
