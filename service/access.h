// Who may talk to the service.
//
// Every web page a browser shows can send requests to 127.0.0.1, and a
// WebSocket has no same-origin rule of its own; DNS rebinding even makes a
// foreign page's requests carry a name that resolves to this machine. So
// every request must name the service by a loopback Host, and a WebSocket
// handshake that comes from a page must come from an origin let in by name.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <string>
#include <vector>

namespace stripedrvd {

struct AccessRules {
    std::vector<std::string> hosts;    // Host header values let in
    std::vector<std::string> origins;  // Origin header values let in
};

// The rules for a service on `port`: Host 127.0.0.1:PORT, localhost:PORT or
// [::1]:PORT (and the listen address itself when it is not a loopback one);
// Origin http://127.0.0.1:PORT, http://localhost:PORT, http://[::1]:PORT and
// those given.
AccessRules makeAccessRules(unsigned short port, const boost::asio::ip::address &listen,
                            const std::vector<std::string> &extraOrigins);

// Names are compared without regard to case.
bool hostAllowed(const AccessRules &rules, const std::string &host);
// An absent Origin (a program, not a page) is let in; "null" and any other
// value not listed are not.
bool originAllowed(const AccessRules &rules, const std::optional<std::string> &origin);

// "127.0.0.1:8765", "[::1]:8765" or "localhost:8765" as an endpoint; an
// empty optional and the reason when the text is none of these.
std::optional<boost::asio::ip::tcp::endpoint> parseListen(const std::string &text,
                                                          std::string &problem);

// An origin as it is compared: lower case, without a trailing "/".
std::string normalOrigin(const std::string &origin);

// A header value fit for a log line: printable ASCII only, at most 80
// characters (it comes from whoever connected).
std::string printable(const std::string &text);

} // namespace stripedrvd
