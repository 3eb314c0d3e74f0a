// Which local user is at the other end of a TCP connection, from the kernel.
//
// Origin and Host keep web pages of other sites out; they cannot tell one
// local user from another: any program on the machine may send any Origin,
// or none. The kernel knows who made the client's socket. The service asks
// it once per accepted connection with a NETLINK_SOCK_DIAG request for the
// one TCP socket whose addresses and ports are the connection's (the
// look-up `ss -e` makes); it needs no privileges. Where netlink cannot be
// had (qemu-user, which arm64 builds are tested under, knows no sock_diag),
// it reads the same record from the socket table in /proc, as `ss` does.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace stripedrvd {

// The uid that owns the client's socket of the connection between `client`
// (the peer's address and port) and `server` (ours), or nothing and the
// reason in `problem` when the kernel cannot tell (the socket is not on this
// machine, or gone already; no netlink socket).
std::optional<uid_t> peerUser(const boost::asio::ip::tcp::endpoint &client,
                              const boost::asio::ip::tcp::endpoint &server, std::string &problem);

// Whether `uid`'s clients may open the WebSocket: the service's own user
// always, and those given with --allow-user.
bool userAllowed(uid_t uid, const std::vector<uid_t> &allowed);

// The same answer from /proc/self/net/tcp or tcp6 alone.
std::optional<uid_t> peerUserFromSocketTable(const boost::asio::ip::tcp::endpoint &client,
                                             const boost::asio::ip::tcp::endpoint &server,
                                             std::string &problem);

// "kiosk" or "1001" as a uid; nothing when no such user is known.
std::optional<uid_t> parseUser(const std::string &text);

} // namespace stripedrvd
