// The service in-process for tests and benchmarks: a simulated reader on a
// pseudo-terminal, the reader queue, and the network side on its own thread
// at a free loopback port; and a WebSocket client with time limits.
#pragma once

#include "protocol.h"
#include "server.h"
#include "listener.h"
#include "metrics.h"
#include "presence.h"

#include <boost/asio/io_context.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace svctest {

using json = stripedrvd::json;
using namespace std::chrono_literals;

struct HarnessOptions {
    readersim::Behaviour behaviour;
    bool swipeOnDemand = false;   // the card is swiped only by swipe()
    double swipeDelay = 0;        // otherwise this long after the command
    bool pacing = false;
    int byteGapMs = 0;            // pause after every byte the reader sends
    int answerDelayMs = 0;        // from the swipe to the read answer's first byte
    readersim::Card card;         // the card in the reader
    int baud = 9600;
    std::vector<std::string> allowOrigins;
    std::vector<uid_t> allowUsers;  // besides the service's own
    // Stands in for the kernel's answer about a connection's user.
    decltype(stripedrvd::Settings::peerLookup) peerLookup;
    std::chrono::seconds idleTimeout{600};
    std::chrono::seconds httpTimeout{5};
    bool quiet = true;            // log lines kept in log() only
    std::string staticDir;        // the demo page's folder; empty: service/www
    // The service is given a link below /dev/shm/ to the simulated
    // reader's line rather than the pseudo-terminal's own name: a freed
    // pseudo-terminal number is soon reused by another test's reader,
    // while the link goes for good on unplug().
    bool viaLink = false;
};

class Harness {
public:
    explicit Harness(HarnessOptions options = {});
    ~Harness();
    unsigned short port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    void swipe() { server_->swipe(); }
    // The simulated reader's port, for calling the library directly.
    std::string readerPort() const { return readerPort_; }
    // The name the service was given for its reader.
    std::string readerName() const { return readerName_; }
    const readersim::Card &card() const { return card_; }
    // The simulated reader itself (bytes sent, a read waiting for its card).
    readersim::Server &reader() { return *server_; }
    // Everything logged so far, one line after the other.
    std::string log() const;
    // True once a line holding `text` has been logged, within the limit.
    bool logged(const std::string &text, std::chrono::milliseconds limit = 2000ms) const;
    stripedrvd::ReaderQueue &queue() { return *queue_; }
    // Unplugs the simulated reader: its pseudo-terminal goes away, without
    // any udev event, as a pseudo-terminal does. swipe() may not be called
    // after it.
    void unplug();
    // Whether clients have been told of a reader (asked on the service's
    // own thread).
    bool announced();

private:
    readersim::Card card_;
    std::unique_ptr<readersim::Protocol> protocol_;
    std::unique_ptr<readersim::Server> server_;
    std::thread simThread_;
    std::string readerPort_;
    std::string readerName_;
    stripedrvd::Metrics metrics_;
    std::unique_ptr<stripedrvd::Presence> presence_;
    std::unique_ptr<stripedrvd::ReaderQueue> queue_;
    boost::asio::io_context io_;
    std::unique_ptr<stripedrvd::Listener> listener_;
    std::thread ioThread_;
    unsigned short port_ = 0;
};

// A WebSocket client, each call limited in time.
class Client {
public:
    // Connects and shakes hands at /ws; headers to set (Host, Origin) may
    // be given. Throws boost::system::system_error when refused. The
    // service's first message, the reader's state, is taken at once and
    // kept as greeting().
    explicit Client(unsigned short port, const std::map<std::string, std::string> &headers = {});
    void send(const std::string &text);
    void send(const json &message) { send(message.dump()); }
    // A ping frame (the pong is taken in by the next receive()).
    void ping();
    // The next message, or nothing when the limit runs out or the
    // connection ends (closed() then tells).
    std::optional<json> receive(std::chrono::milliseconds limit = 5000ms);
    // The answer (not event) with this id; events of it are skipped.
    std::optional<json> answerTo(const json &id, std::chrono::milliseconds limit = 5000ms);
    bool closed() const { return closed_; }
    const json &greeting() const { return greeting_; }
    // Waits until the service closes the connection.
    bool waitClosed(std::chrono::milliseconds limit);
    void close();

private:
    boost::asio::io_context io_;
    boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
    boost::beast::flat_buffer buffer_;
    bool closed_ = false;
    json greeting_;
};

// A demo folder below /tmp, removed with the object: index.html and links
// that lead out of it, passwd.txt (/etc/passwd) and environ.txt
// (/proc/self/environ).
class FolderWithLinksOut {
public:
    FolderWithLinksOut();
    ~FolderWithLinksOut();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// One raw HTTP exchange: the request as given, the whole answer back.
std::string httpExchange(unsigned short port, const std::string &request,
                         std::chrono::milliseconds limit = 5000ms);
// "GET target" with this Host (the service's own when empty).
std::string httpGet(unsigned short port, const std::string &target, std::string host = "");
// The status code of an HTTP answer, 0 when there is none.
int httpStatus(const std::string &answer);

} // namespace svctest
