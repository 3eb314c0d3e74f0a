// The service under hostile or careless clients, over raw TCP where a
// well-behaved client library would not produce the bytes: HTTP requests
// that break the rules, connections that never speak, floods of refusals,
// and the idle clock against clients that wait or only ping.
#include "harness.h"

#include "stripedrv.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <regex>

using namespace svctest;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

std::string upgradeRequest(const Harness &h, const std::string &extra = "")
{
    return "GET /ws HTTP/1.1\r\nHost: " + h.hostPort() +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
           extra + "\r\n";
}

// A client's text frame: masked, as RFC 6455 wants from a client.
std::string maskedTextFrame(const std::string &payload)
{
    std::string frame = "\x81";
    frame += char(0x80 | payload.size()); // payloads under 126 bytes here
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    frame.append(key, 4);
    for (size_t i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ key[i % 4]);
    return frame;
}

// The payload of the next (unmasked, unfragmented) frame from the service;
// empty when none comes within 5 s.
std::string readFrame(tcp::socket &socket, std::string &pending)
{
    timeval limit{5, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    auto need = [&](size_t n) {
        while (pending.size() < n) {
            char chunk[4096];
            ssize_t got = ::recv(socket.native_handle(), chunk, sizeof chunk, 0);
            if (got <= 0)
                return false;
            pending.append(chunk, size_t(got));
        }
        return true;
    };
    if (!need(2))
        return "";
    size_t length = static_cast<unsigned char>(pending[1]) & 0x7F, header = 2;
    if (length == 126) {
        if (!need(4))
            return "";
        length = (size_t(static_cast<unsigned char>(pending[2])) << 8) |
                 static_cast<unsigned char>(pending[3]);
        header = 4;
    }
    if (!need(header + length))
        return "";
    std::string payload = pending.substr(header, length);
    pending.erase(0, header + length);
    return payload;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The count from the summary line "KIND (N more like this suppressed)".
size_t suppressed(const std::string &log, const std::string &kind)
{
    std::smatch match;
    size_t total = 0;
    std::string rest = log;
    const std::regex line(kind + R"( \((\d+) more like this suppressed\))");
    while (std::regex_search(rest, match, line)) {
        total += std::stoul(match[1]);
        rest = match.suffix();
    }
    return total;
}

std::unique_ptr<tcp::socket> silentConnection(net::io_context &io, unsigned short port)
{
    auto socket = std::make_unique<tcp::socket>(io);
    socket->connect({net::ip::make_address("127.0.0.1"), port});
    return socket;
}

// True when the service closes the socket within the limit.
bool closedWithin(tcp::socket &socket, std::chrono::milliseconds limit)
{
    timeval tv{long(limit.count() / 1000), long(limit.count() % 1000) * 1000};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char byte;
    for (;;) {
        ssize_t got = ::recv(socket.native_handle(), &byte, 1, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return true;
        if (got < 0)
            return false; // the limit ran out
    }
}

json readRequest(int id, int timeout)
{
    return {{"id", id}, {"op", "read"}, {"tracks", 23}, {"timeout", timeout}};
}

} // namespace

TEST(Http, DuplicateHostOrOriginHeadersAreRefused)
{
    Harness h;
    const std::string host = "Host: " + h.hostPort() + "\r\n";
    // The first one allowed, the second one foreign: neither wins.
    EXPECT_EQ(httpStatus(httpExchange(h.port(), "GET /api/health HTTP/1.1\r\n" + host +
                                                    "Host: evil.example\r\n\r\n")),
              400);
    EXPECT_EQ(httpStatus(httpExchange(h.port(), "GET /api/health HTTP/1.1\r\n" + host + host +
                                                    "\r\n")),
              400);
    const std::string own = "Origin: http://" + h.hostPort() + "\r\n";
    EXPECT_EQ(httpStatus(httpExchange(h.port(), upgradeRequest(h, own + "Origin: http://evil.example\r\n"))),
              403);
    EXPECT_EQ(httpStatus(httpExchange(h.port(), upgradeRequest(h, own + own))), 403);
    EXPECT_EQ(httpStatus(httpExchange(h.port(), upgradeRequest(h, own), 500ms)), 101);
    EXPECT_TRUE(h.logged("bad request (two Host headers)"));
    EXPECT_TRUE(h.logged("refused, Origin \"(more than one)\""));
}

TEST(Http, MalformedRequestsAnswer400BeforeTheClose)
{
    Harness h;
    const std::string host = "Host: " + h.hostPort() + "\r\n";
    for (const std::string &bad : std::vector<std::string>{
             "GARBAGE\r\n\r\n",                                       // no target, no version
             "GET /\r\n" + host + "\r\n",                             // no version
             "GET / HTTP/9.x\r\n" + host + "\r\n",                    // no such version
             "GET /api/health HTTP/1.1\n" + host + "\n",              // bare LF
             "GET /api/health HTTP/1.1\r\n" + host + "X-A: a\x01" "b\r\n\r\n", // control byte
             "GET /api/health HTTP/1.1\r\n" + host + "Bad Name: x\r\n\r\n",     // space in a name
         }) {
        std::string answer = httpExchange(h.port(), bad, 3000ms);
        EXPECT_EQ(httpStatus(answer), 400) << bad;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << bad;
    }
    std::string big = "GET / HTTP/1.1\r\n" + host + "X-Big: " + std::string(9000, 'x') + "\r\n\r\n";
    EXPECT_EQ(httpStatus(httpExchange(h.port(), big, 3000ms)), 431);
}

TEST(Http, AFrameSentRightBehindTheUpgradeReachesTheWebSocket)
{
    Harness h;
    net::io_context io;
    tcp::socket socket(io);
    socket.connect({net::ip::make_address("127.0.0.1"), h.port()});
    // One write: the request and the first message together.
    net::write(socket, net::buffer(upgradeRequest(h) +
                                   maskedTextFrame(R"({"id":7,"op":"info"})")));
    std::string pending;
    net::read_until(socket, net::dynamic_buffer(pending), "\r\n\r\n");
    ASSERT_EQ(httpStatus(pending), 101);
    pending.erase(0, pending.find("\r\n\r\n") + 4);
    // The reader's state comes first, as on every connection.
    json greeting = json::parse(readFrame(socket, pending), nullptr, false);
    EXPECT_EQ(greeting["event"], "reader");
    // A frame that was dropped never gets its answer.
    json answer = json::parse(readFrame(socket, pending), nullptr, false);
    EXPECT_EQ(answer["id"], 7);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["model"], "P26B");
}

TEST(Http, ASymbolicLinkOutOfTheDemoFolderAnswers404)
{
    FolderWithLinksOut folder;
    HarnessOptions options;
    options.staticDir = folder.path();
    Harness h(options);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/")), 200);
    for (const char *out : {"/passwd.txt", "/environ.txt"}) {
        std::string answer = httpGet(h.port(), out);
        EXPECT_EQ(httpStatus(answer), 404) << out;
        EXPECT_EQ(answer.find("root:"), std::string::npos) << out;
    }
}

TEST(Slots, SilentConnectionsLockNoOneOutAndAreClosedSoon)
{
    HarnessOptions options;
    options.httpTimeout = std::chrono::seconds(2);
    Harness h(options);
    net::io_context io;
    std::vector<std::unique_ptr<tcp::socket>> silent;
    // Each clock reading comes before what starts the service's timer, so
    // the service's 2 s cannot end sooner than 2 s after it.
    const auto start = Clock::now();
    for (int i = 0; i < 40; ++i)
        silent.push_back(silentConnection(io, h.port()));
    std::this_thread::sleep_for(100ms);
    // Pages, health probes and WebSockets still get through.
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/api/health")), 200);
    Client c(h.port());
    c.send(json{{"id", 1}, {"op", "info"}});
    ASSERT_TRUE(c.answerTo(1));
    // Each had its 2 s to send a request.
    for (auto &socket : silent)
        EXPECT_TRUE(closedWithin(*socket, 4000ms));
    EXPECT_GE(Clock::now() - start, 2000ms);
    EXPECT_TRUE(h.logged("no request within 2 s, closed"));
    // A keep-alive connection idle after its answer goes as quickly.
    const auto asked = Clock::now(); // the connection's time runs from its accept
    auto kept = silentConnection(io, h.port());
    net::write(*kept, net::buffer("GET /api/health HTTP/1.1\r\nHost: " + h.hostPort() + "\r\n\r\n"));
    EXPECT_TRUE(closedWithin(*kept, 4000ms));
    EXPECT_GE(Clock::now() - asked, 2000ms);
}

TEST(Slots, ThirtyTwoWebSocketsAtMostHealthStillAnswers)
{
    Harness h;
    std::vector<std::unique_ptr<Client>> sessions;
    for (int i = 0; i < 32; ++i)
        sessions.push_back(std::make_unique<Client>(h.port()));
    EXPECT_EQ(httpStatus(httpExchange(h.port(), upgradeRequest(h))), 503);
    EXPECT_TRUE(h.logged("32 are open already"));
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/api/health")), 200);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/")), 200);
    sessions.back()->close();
    sessions.pop_back();
    // The slot is free once the service has seen the close: a session may
    // be refused until then, never after 20 s.
    bool opened = false;
    for (const auto end = Clock::now() + 20s; !opened && Clock::now() < end;) {
        try {
            Client again(h.port());
            opened = true;
        } catch (const std::exception &) {
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_TRUE(opened);
}

TEST(Idle, AClientWaitingForItsReadIsNotIdle)
{
    HarnessOptions options;
    options.swipeOnDemand = true;
    options.idleTimeout = std::chrono::seconds(3);
    Harness h(options);
    Client c(h.port());
    c.send(readRequest(1, 10));
    ASSERT_EQ((*c.receive())["event"], "waiting");
    std::this_thread::sleep_for(5s); // past the idle time, the read still waits
    // The idle clock starts again with the answer, which comes after this.
    const auto swiped = Clock::now();
    h.swipe();
    auto answer = c.answerTo(1, 3000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["ok"], true);
    EXPECT_TRUE(c.waitClosed(6000ms));
    EXPECT_GE(Clock::now() - swiped, 3000ms);
    EXPECT_TRUE(h.logged("idle for 3 s"));
}

TEST(Idle, PingsKeepAConnectionOpen)
{
    HarnessOptions options;
    options.idleTimeout = std::chrono::seconds(2);
    Harness h(options);
    Client c(h.port());
    for (int i = 0; i < 10; ++i) { // 5 s of pings only
        c.ping();
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_EQ(h.log().find("idle for"), std::string::npos);
    c.send(json{{"id", 1}, {"op", "info"}}); // the pongs are taken in on the way
    ASSERT_TRUE(c.answerTo(1));
    EXPECT_TRUE(c.waitClosed(4000ms));
    EXPECT_TRUE(h.logged("idle for 2 s"));
}

TEST(Log, RefusalsOfEachKindAreLimitedAndCounted)
{
    Harness h;
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i)
        httpExchange(h.port(), "NOT HTTP\r\n\r\n", 2000ms);
    for (int i = 0; i < 100; ++i)
        httpGet(h.port(), "/", "evil.example");
    net::io_context io;
    for (int i = 0; i < 100; ++i)
        silentConnection(io, h.port()); // opened and closed at once
    Client c(h.port());
    for (int i = 0; i < 100; ++i)
        c.send(std::string("{oops"));
    for (int i = 0; i < 100; ++i)
        c.receive(2000ms);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count() + 1;
    // The summaries come a second after each kind's last refusal (later on
    // a busy machine): wait until every refusal is told, or 20 s.
    const auto allTold = [](const std::string &text) {
        return count(text, ": bad request") + suppressed(text, "bad request") >= 200 &&
               count(text, "refused, Host") + suppressed(text, "refused Host or Origin") >= 100 &&
               count(text, ": closed without a request") +
                       suppressed(text, "connection closed without a request") >= 100;
    };
    for (const auto end = Clock::now() + 20s; !allTold(h.log()) && Clock::now() < end;)
        std::this_thread::sleep_for(50ms);
    const std::string log = h.log();
    const size_t bad = count(log, ": bad request");
    EXPECT_LE(bad, size_t(5 * (seconds + 1)));
    EXPECT_EQ(bad + suppressed(log, "bad request"), 200u);
    const size_t host = count(log, "refused, Host");
    EXPECT_LE(host, size_t(5 * (seconds + 1)));
    EXPECT_EQ(host + suppressed(log, "refused Host or Origin"), 100u);
    // What a page blocked by its browser leaves: a notice with the peer.
    const size_t silent = count(log, ": closed without a request");
    EXPECT_GE(silent, 1u);
    EXPECT_LE(silent, size_t(5 * (seconds + 1)));
    EXPECT_EQ(silent + suppressed(log, "connection closed without a request"), 100u);
    EXPECT_NE(log.find("from 127.0.0.1:"), std::string::npos);
}
