// Clients that try to hold the service's HTTP slots past their time or to
// fill its log, and names given for the reader that are no reader's line.
#include "harness.h"

#include "reader_queue.h"
#include "tty_node.h"

#include <boost/asio/connect.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

using namespace svctest;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A raw TCP connection to the service, each wait limited.
class RawConnection {
public:
    explicit RawConnection(unsigned short port) : socket_(io_)
    {
        socket_.connect({net::ip::make_address("127.0.0.1"), port});
    }
    // False once the service has closed the connection.
    bool send(const std::string &bytes)
    {
        return ::send(socket_.native_handle(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               ssize_t(bytes.size());
    }
    // Reads until `text` has come (true), the connection ends or the limit
    // runs out (false).
    bool receiveUntil(const std::string &text, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (received_.find(text) == std::string::npos)
            if (!receiveSome(end))
                return false;
        return true;
    }
    // Reads until `text` has come `n` times in all (true), the connection
    // ends or the limit runs out (false).
    bool receiveCount(const std::string &text, size_t n, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (count(received_, text) < n)
            if (!receiveSome(end))
                return false;
        return true;
    }
    // True when the service ends the connection within the limit; what it
    // sends until then is kept.
    bool closedWithin(std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (receiveSome(end)) {
        }
        return closed_;
    }
    const std::string &received() const { return received_; }

private:
    bool receiveSome(Clock::time_point end)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (closed_ || left <= 0ms)
            return false;
        timeval tv{long(left.count() / 1000), long(left.count() % 1000) * 1000};
        setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char chunk[4096];
        const ssize_t got = ::recv(socket_.native_handle(), chunk, sizeof chunk, 0);
        if (got > 0) {
            received_.append(chunk, size_t(got));
            return true;
        }
        closed_ = got == 0 || errno == ECONNRESET;
        return false;
    }

    net::io_context io_;
    tcp::socket socket_;
    std::string received_;
    bool closed_ = false;
};

// The counts of the summary lines "KIND (N more like this suppressed)".
size_t suppressed(const std::string &log, const std::string &kind)
{
    std::smatch match;
    size_t total = 0;
    std::string rest = log;
    const std::regex line(std::regex_replace(kind, std::regex(R"([()])"), R"(\$&)") +
                          R"( \((\d+) more like this suppressed\))");
    while (std::regex_search(rest, match, line)) {
        total += std::stoul(match[1]);
        rest = match.suffix();
    }
    return total;
}

// Waits until the lines holding `line` and the summaries of `kind` account
// for `expected` events (the last summary comes a second after the event).
// Fails when they do not within the limit, or when more lines were written
// than 5 a second allows over `seconds`.
void expectLimited(const Harness &h, const std::string &line, const std::string &kind,
                   size_t expected, long seconds)
{
    const auto end = Clock::now() + 4s;
    size_t written = 0, left = 0;
    for (;;) {
        const std::string log = h.log();
        written = count(log, line);
        left = suppressed(log, kind);
        if (written + left >= expected || Clock::now() > end)
            break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(written + left, expected) << line;
    EXPECT_LE(written, size_t(5 * (seconds + 2))) << line;
    EXPECT_GT(left, 0u) << line;
}

long secondsSince(Clock::time_point start)
{
    return long(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
}

} // namespace

TEST(HttpDeadline, ABadRequestsClientTricklingBytesIsClosedSoon)
{
    Harness h;
    RawConnection c(h.port());
    ASSERT_TRUE(c.send("NOT HTTP\r\n\r\n"));
    ASSERT_TRUE(c.receiveUntil("bad request", 3000ms)) << c.received();
    EXPECT_EQ(httpStatus(c.received()), 400);
    // One byte every half second: each used to start the second of the
    // answer's run-out again, for good. The service's half of the
    // connection ended with the answer; once it is closed for good, a byte
    // sent draws a reset and the next send fails.
    const auto answered = Clock::now();
    bool gone = false;
    for (int i = 0; i < 12 && !gone; ++i) {
        std::this_thread::sleep_for(500ms); // the client's pace, not a wait for the service
        gone = !c.send("x");
    }
    EXPECT_TRUE(gone);
    EXPECT_LT(Clock::now() - answered, 4s);
}

TEST(HttpDeadline, KeepAliveRequestsDoNotStretchTheConnectionsTime)
{
    HarnessOptions options;
    options.httpTimeout = std::chrono::seconds(2);
    Harness h(options);
    RawConnection c(h.port());
    const auto opened = Clock::now();
    const std::string request = "GET /api/health HTTP/1.1\r\nHost: " + h.hostPort() + "\r\n\r\n";
    // A request every half second, each answered, each used to give the
    // connection another 2 s.
    size_t answered = 0;
    while (Clock::now() - opened < 8s) {
        if (!c.send(request) || !c.receiveCount("HTTP/1.1 200", answered + 1, 2000ms))
            break;
        ++answered;
        if (c.closedWithin(500ms))
            break;
    }
    EXPECT_GE(answered, 2u);
    EXPECT_TRUE(c.closedWithin(2000ms));
    // The connection's 2 s, its last answer and the second to run out.
    EXPECT_LT(Clock::now() - opened, 5s);
}

TEST(Log, WebSocketsOpenedClosedOrFailingTheirHandshakeAreLimitedAndCounted)
{
    Harness h;
    const auto start = Clock::now();
    // An upgrade the WebSocket handshake refuses (no key): opened, closing,
    // closed.
    const std::string badUpgrade = "GET /ws HTTP/1.1\r\nHost: " + h.hostPort() +
                                   "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Version: 13\r\n\r\n";
    for (int i = 0; i < 30; ++i)
        httpExchange(h.port(), badUpgrade, 2000ms);
    EXPECT_NE(h.log().find("handshake failed"), std::string::npos) << h.log();
    for (int i = 0; i < 60; ++i) {
        Client c(h.port());
        c.close();
    }
    // All three kinds of line are one kind to the limit.
    const auto end = Clock::now() + 4s;
    size_t total = 0;
    while (Clock::now() < end) {
        const std::string now = h.log();
        total = count(now, ": WebSocket opened") + count(now, ": closing, ") +
                count(now, ": closed\n") + suppressed(now, "WebSocket opened or closed");
        if (total >= 60 * 2 + 30 * 3)
            break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(total, 60u * 2 + 30 * 3);
    const std::string now = h.log();
    EXPECT_LE(count(now, ": WebSocket opened") + count(now, ": closing, ") + count(now, ": closed\n"),
              size_t(5 * (secondsSince(start) + 2)));
}

TEST(Log, CancelsAndRequestsFindingTheQueueFullAreLimitedAndCounted)
{
    HarnessOptions options;
    options.swipeOnDemand = true; // the first read holds the reader
    Harness h(options);
    const auto start = Clock::now();
    Client c(h.port());
    for (int i = 0; i < 100; ++i)
        c.send(json{{"id", 1000 + i}, {"op", "cancel"}});
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(c.answerTo(1000 + i));
    // The first read holds the reader (its "waiting" event says so), 16
    // wait, the other 40 find the queue full.
    c.send(json{{"id", 0}, {"op", "read"}, {"tracks", 23}, {"timeout", 20}});
    ASSERT_EQ((*c.receive())["event"], "waiting");
    const int reads = 1 + stripedrvd::kQueueCapacity + 40;
    for (int i = 1; i < reads; ++i)
        c.send(json{{"id", i}, {"op", "read"}, {"tracks", 23}, {"timeout", 20}});
    size_t busy = 0;
    while (busy < 40) {
        auto answer = c.receive();
        ASSERT_TRUE(answer);
        ASSERT_EQ((*answer)["code"], -12) << *answer;
        ++busy;
    }
    const long seconds = secondsSince(start);
    expectLimited(h, ": cancel, ", "cancel", 100, seconds);
    expectLimited(h, ": refused, the queue is full", "refused, the queue is full", busy, seconds);
    c.send(json{{"id", "stop"}, {"op", "cancel"}});
    EXPECT_TRUE(c.answerTo("stop"));
}

TEST(ReaderTty, OnlyATerminalThatCanBeTheReadersLineCounts)
{
    int master = -1, slave = -1;
    char name[64];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    EXPECT_TRUE(stripedrvd::readerTty(name));
    for (const char *notReader : {"/dev/null", "/dev/zero", "/dev/full", "/dev/urandom", "/dev/tty",
                                  "/dev/console", "/dev/ptmx", "/dev", "/etc/passwd",
                                  "/dev/no-such-reader"})
        EXPECT_FALSE(stripedrvd::readerTty(notReader)) << notReader;
    close(slave);
    close(master);
    // A pseudo-terminal whose other side has gone is no reader either.
    EXPECT_FALSE(stripedrvd::readerTty(name));
}

TEST(ReaderTty, ANullReaderIsAbsentAndAnswersAtOnce)
{
    stripedrvd::Metrics metrics;
    std::unique_ptr<stripedrvd::Presence> presence;
    stripedrvd::ReaderQueue queue(
        [&presence](const stripedrvd::Request &request) { return presence->run(request); },
        stripedrvd::kQueueCapacity);
    net::io_context io;
    for (const char *name : {"null", "zero", "tty"}) {
        stripedrvd::PresenceSettings settings;
        settings.reader = name;
        presence = std::make_unique<stripedrvd::Presence>(io, settings, queue, metrics);
        presence->start();
        EXPECT_FALSE(presence->present()) << name;
        EXPECT_FALSE(presence->admit()) << name;
        EXPECT_EQ(presence->event()["present"], false) << name;
    }
    queue.shutdown();
    presence.reset();
}
