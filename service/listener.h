// stripedrvd's network side: the listener and what every connection
// shares (the rules of access, the reader queue, the connection count).
//
// Everything here runs on one Asio thread; the reader's transactions run on
// the queue's worker thread and come back through post().
#pragma once

#include "access.h"
#include "rate_limit.h"
#include "reader_queue.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace stripedrvd {

struct Settings {
    std::string reader;                          // tty below /dev/, for /api/health
    boost::asio::ip::tcp::endpoint listen;       // port 0: any free port
    std::vector<std::string> allowOrigins;
    std::vector<uid_t> allowUsers;               // besides the service's own user
    // How a connection's user is found (peerUser); a test may stand in.
    std::function<std::optional<uid_t>(const boost::asio::ip::tcp::endpoint &client,
                                        const boost::asio::ip::tcp::endpoint &server,
                                        std::string &problem)>
        peerLookup;
    std::string staticDir;                       // the demo page's files
    std::chrono::seconds idleTimeout{600};       // WebSocket without a frame
    std::chrono::seconds httpTimeout{5};         // reading one HTTP request
    size_t maxConnections = 32;                  // WebSocket sessions
    size_t maxHttpConnections = 256;             // connections still speaking HTTP
    size_t maxMessage = 4096;                    // bytes of one WebSocket message
    size_t maxOutgoing = 64;                     // answers waiting for a slow client
};

class SharedState;
class Presence;
class Metrics;

// The service's view of its reader in the field: whether it is attached
// (and where), and the figures a fleet's monitoring scrapes.
struct Field {
    Presence &presence;
    Metrics &metrics;
};

// Counts one open connection while it lives: among the HTTP connections
// first, among the WebSocket sessions after an upgrade; moves from the HTTP
// session to the WebSocket session.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::shared_ptr<SharedState> shared);
    ~ConnectionSlot();
    ConnectionSlot(ConnectionSlot &&other) noexcept;
    ConnectionSlot &operator=(ConnectionSlot &&) = delete;
    SharedState &shared() const { return *shared_; }
    std::uint64_t number() const { return number_; }
    // Counted as a WebSocket session from now on.
    void becomeSession();

private:
    std::shared_ptr<SharedState> shared_;
    std::uint64_t number_ = 0;
    bool session_ = false;
};

class SharedState {
public:
    SharedState(boost::asio::io_context &io, Settings settings, ReaderQueue &queue, Field field);

    boost::asio::io_context &io;
    const Settings settings;
    ReaderQueue &queue;
    Presence &presence;
    Metrics &metrics;
    AccessRules rules;               // set once the port is known
    size_t connections = 0;          // WebSocket sessions
    size_t httpConnections = 0;      // connections not (yet) upgraded
    std::uint64_t lastNumber = 0;

    // Refusals, each kind limited in the log (see refuse()).
    RateLimit badRequests{"bad request"};
    RateLimit refusedAccess{"refused Host or Origin"};
    RateLimit refusedUser{"refused user"};
    RateLimit connectionLimit{"refused connection"};
    RateLimit silentConnections{"connection closed without a request"};
    // Logs the line within the kind's limit; what is left out is counted
    // and summed up a second later.
    void refuse(RateLimit &kind, Priority priority, const std::string &line);

    // The other lines a client can cause, limited the same way: its
    // WebSocket opened, closed or failing its handshake, its cancels, its
    // requests that find the queue full.
    RateLimit sessionEvents{"WebSocket opened or closed"};
    RateLimit cancels{"cancel"};
    RateLimit queueFull{"refused, the queue is full"};
    void note(RateLimit &kind, Priority priority, const std::string &line)
    {
        refuse(kind, priority, line);
    }

private:
    void flushRefusals();
    boost::asio::steady_timer flush_;
    bool flushArmed_ = false;
};

class Listener {
public:
    // Binds and listens at once; throws boost::system::system_error when
    // the address cannot be had.
    Listener(boost::asio::io_context &io, Settings settings, ReaderQueue &queue, Field field);
    ~Listener();
    // The port really listened on (the one given, or the one picked for 0).
    unsigned short port() const;
    // Stops accepting; the open connections go on until they end.
    void stop();

private:
    void accept();

    std::shared_ptr<SharedState> shared_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer pause_;  // after a failed accept (out of descriptors)
};

} // namespace stripedrvd
