// Telling systemd how the service is doing (Type=notify): READY=1 once it
// listens, and, when the unit sets WatchdogSec=, a keep-alive from the
// event loop at half that period, so that a loop that stalls stops them
// and systemd restarts the service. Without systemd (no NOTIFY_SOCKET)
// nothing is sent.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <string>

namespace stripedrvd {

class Notifier {
public:
    explicit Notifier(boost::asio::io_context &io);
    // READY=1 with a status line; starts the keep-alives when asked for.
    void ready(const std::string &status);
    // STOPPING=1; ends the keep-alives.
    void stopping();

private:
    void keepAlive();

    boost::asio::steady_timer timer_;
    std::chrono::microseconds period_{0};
};

} // namespace stripedrvd
