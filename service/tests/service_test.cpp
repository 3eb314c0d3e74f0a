// The service against the simulated reader, over real sockets: the
// protocol, the queue across clients, and each rule of access and limit.
#include "harness.h"

#include "stripedrv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

using namespace svctest;

namespace {

json readRequest(int id, int timeout = 5)
{
    return {{"id", id}, {"op", "read"}, {"tracks", 23}, {"timeout", timeout}};
}

// Swipes the card every 50 ms while it lives. The "waiting" event goes out
// as the transaction starts, a moment before the read command reaches the
// reader, and a swipe before that swipes nothing.
class KeepSwiping {
public:
    explicit KeepSwiping(Harness &h)
        : thread_([this, &h] {
              while (!stop_) {
                  h.swipe();
                  std::this_thread::sleep_for(50ms);
              }
          })
    {
    }
    ~KeepSwiping()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

HarnessOptions onDemand()
{
    HarnessOptions options;
    options.swipeOnDemand = true;
    return options;
}

} // namespace

TEST(Protocol, ReadSaysWaitingOnceThenAnswersWithTheTracks)
{
    Harness h;
    Client c(h.port());
    c.send(readRequest(1));
    auto waiting = c.receive();
    ASSERT_TRUE(waiting);
    EXPECT_EQ(*waiting, (json{{"id", 1}, {"event", "waiting"}}));
    auto answer = c.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["ok"], true);
    EXPECT_EQ((*answer)["track2"], h.card().track2);
    EXPECT_EQ((*answer)["track3"], h.card().track3);
    EXPECT_FALSE(answer->contains("track2_fields")); // the default card is no payment card
}

TEST(Protocol, WriteVerifiedThenReadGivesFieldsInfoGivesTheReader)
{
    Harness h;
    Client c(h.port());
    const std::string track2 = "4111111111111111=2901201123";
    c.send(json{{"id", "w"}, {"op", "write"}, {"track2", track2}, {"track3", "12=34"},
                {"verify", true}});
    auto written = c.answerTo("w");
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, (json{{"id", "w"}, {"ok", true}}));

    c.send(readRequest(2));
    auto read = c.answerTo(2);
    ASSERT_TRUE(read);
    EXPECT_EQ((*read)["track2"], track2);
    EXPECT_EQ((*read)["track2_fields"],
              (json{{"pan_masked", "411111******1111"}, {"expiry", "2901"},
                    {"service_code", "201"}, {"luhn_ok", true}}));

    c.send(json{{"id", 3}, {"op", "info"}});
    auto info = c.answerTo(3);
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (json{{"id", 3}, {"ok", true}, {"firmware", "Ver5.13.2"},
                           {"serial_number", "A7-2506AB"}, {"production_date", "2506"},
                           {"model", "P26B"}}));
    // The log names the masked account number, never a track.
    EXPECT_TRUE(h.logged("411111******1111"));
    EXPECT_EQ(h.log().find(track2), std::string::npos);
    EXPECT_EQ(h.log().find("12=34"), std::string::npos);
    EXPECT_EQ(h.log().find("4111111111111111"), std::string::npos);
}

TEST(Protocol, LibraryFailuresCarryTheCodeAndItsSentence)
{
    HarnessOptions options;
    options.behaviour.status = "rq";
    Harness h(options);
    Client c(h.port());
    c.send(readRequest(1));
    auto answer = c.answerTo(1);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["ok"], false);
    EXPECT_EQ((*answer)["code"], SD_ERR_RQ);
    EXPECT_NE((*answer)["error"].get<std::string>().find("\"rq\""), std::string::npos);
}

TEST(Protocol, MalformedUnknownAndBadFieldsAnswerMinus7AndTheConnectionStays)
{
    Harness h;
    Client c(h.port());
    for (const char *bad : {"{oops", R"({"id":1,"op":"erase"})", R"({"id":2,"op":"read","tracks":4})",
                            R"({"id":3,"op":"write","track2":"1\u001b0"})", "42"}) {
        c.send(std::string(bad));
        auto answer = c.receive();
        ASSERT_TRUE(answer) << bad;
        EXPECT_EQ((*answer)["ok"], false) << bad;
        EXPECT_EQ((*answer)["code"], SD_ERR_PARAM) << bad;
    }
    c.send(json{{"id", 9}, {"op", "info"}});
    auto info = c.answerTo(9);
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["ok"], true);
}

TEST(Queue, TwoClientsAtOnceEachGetTheirOwnAnswers)
{
    Harness h;
    Client a(h.port()), b(h.port());
    for (int i = 0; i < 3; ++i) {
        a.send(readRequest(100 + i));
        b.send(readRequest(200 + i));
    }
    for (int i = 0; i < 3; ++i) {
        auto fromA = a.answerTo(100 + i, 10000ms);
        auto fromB = b.answerTo(200 + i, 10000ms);
        ASSERT_TRUE(fromA && fromB) << i;
        EXPECT_EQ((*fromA)["ok"], true);
        EXPECT_EQ((*fromB)["ok"], true);
    }
}

TEST(Queue, SixteenWaitAtMostTheNextIsBusyAtOnce)
{
    Harness h(onDemand());
    Client c(h.port());
    c.send(readRequest(0, 3)); // runs, waiting for a swipe
    ASSERT_EQ((*c.receive())["event"], "waiting");
    for (int id = 1; id <= 16; ++id)
        c.send(readRequest(id, 3));
    c.send(readRequest(17, 3));
    auto busy = c.answerTo(17, 2000ms);
    ASSERT_TRUE(busy);
    EXPECT_EQ((*busy)["code"], SD_ERR_BUSY);
    // Cancel empties this client's share of the queue.
    c.send(json{{"id", 18}, {"op", "cancel"}});
    auto cancelled = c.answerTo(18);
    ASSERT_TRUE(cancelled);
    EXPECT_GE((*cancelled)["cancelled"].get<int>(), 16);
    EXPECT_EQ(h.queue().waiting(), 0u);
}

TEST(Queue, CancelCutsAWaitingRequestOfOnlyThatClient)
{
    Harness h(onDemand());
    Client a(h.port()), b(h.port());
    a.send(readRequest(1, 3)); // holds the reader
    ASSERT_EQ((*a.receive())["event"], "waiting");
    b.send(readRequest(2, 3)); // waits behind it
    std::this_thread::sleep_for(100ms);
    b.send(json{{"id", 3}, {"op", "cancel"}});
    auto cut = b.answerTo(2, 1000ms);
    ASSERT_TRUE(cut);
    EXPECT_EQ((*cut)["code"], SD_ERR_CANCELLED);
    KeepSwiping swiping(h);
    auto served = a.answerTo(1);
    ASSERT_TRUE(served);
    EXPECT_EQ((*served)["ok"], true); // a's read was not touched
}

TEST(Queue, CancelCutsTheRunningReadShort)
{
    Harness h(onDemand());
    Client c(h.port());
    c.send(readRequest(1, 20));
    ASSERT_EQ((*c.receive())["event"], "waiting");
    std::this_thread::sleep_for(200ms);
    auto start = std::chrono::steady_clock::now();
    c.send(json{{"id", 2}, {"op", "cancel"}});
    auto cut = c.answerTo(1, 5000ms);
    ASSERT_TRUE(cut);
    EXPECT_EQ((*cut)["code"], SD_ERR_CANCELLED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(Queue, ADisconnectMidReadFreesTheReaderForTheNextClient)
{
    Harness h(onDemand());
    auto gone = std::make_unique<Client>(h.port());
    gone->send(readRequest(1, 20));
    ASSERT_EQ((*gone->receive())["event"], "waiting");
    Client next(h.port());
    next.send(readRequest(2, 20));
    gone.reset(); // closes the socket mid-read
    auto waiting = next.receive(5000ms);
    ASSERT_TRUE(waiting);
    EXPECT_EQ((*waiting)["event"], "waiting");
    KeepSwiping swiping(h);
    auto served = next.answerTo(2);
    ASSERT_TRUE(served);
    EXPECT_EQ((*served)["ok"], true);
}

TEST(Queue, ADisconnectedClientsWaitingRequestsAreDropped)
{
    HarnessOptions options;
    options.swipeDelay = 0.5;
    Harness h(options);
    Client stays(h.port());
    stays.send(readRequest(1));
    ASSERT_EQ((*stays.receive())["event"], "waiting");
    {
        Client gone(h.port());
        for (int id = 10; id < 16; ++id)
            gone.send(readRequest(id));
        std::this_thread::sleep_for(100ms);
    }
    stays.send(readRequest(2));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(stays.answerTo(1));
    ASSERT_TRUE(stays.answerTo(2));
    // Six reads of half a second each would have come first.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
}

TEST(Security, HostOtherThanLoopbackIsRefused)
{
    Harness h;
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/api/health")), 200);
    EXPECT_NE(httpGet(h.port(), "/api/health").find(R"({"ok":true,"present":true,"port":")"),
              std::string::npos);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/api/health", "localhost:" + std::to_string(h.port()))),
              200);
    for (const std::string &host : std::vector<std::string>{
             "evil.example:" + std::to_string(h.port()), "evil.example", "127.0.0.1:1"})
        EXPECT_EQ(httpStatus(httpGet(h.port(), "/", host)), 403) << host;
    EXPECT_EQ(httpStatus(httpExchange(h.port(), "GET / HTTP/1.0\r\n\r\n")), 403); // no Host
    // The WebSocket upgrade too: a rebound name must not reach the reader.
    EXPECT_THROW(Client(h.port(), {{"Host", "rebind.example:" + std::to_string(h.port())}}),
                 boost::system::system_error);
}

TEST(Security, OriginsOtherThanOwnOrAllowedAreRefused)
{
    HarnessOptions options;
    options.allowOrigins = {"http://kiosk.example:8080"};
    Harness h(options);
    const std::string own = "http://127.0.0.1:" + std::to_string(h.port());
    EXPECT_NO_THROW(Client(h.port(), {{"Origin", own}}));
    EXPECT_NO_THROW(Client(h.port(), {{"Origin", "http://localhost:" + std::to_string(h.port())}}));
    EXPECT_NO_THROW(Client(h.port(), {{"Origin", "http://kiosk.example:8080"}}));
    EXPECT_NO_THROW(Client(h.port(), {})); // a program, not a page
    for (const std::string &origin : std::vector<std::string>{
             "http://evil.example", "null", "http://127.0.0.1:" + std::to_string(h.port() + 1)}) {
        std::string upgrade = "GET /ws HTTP/1.1\r\nHost: " + h.hostPort() +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                              "Sec-WebSocket-Version: 13\r\nOrigin: " + origin + "\r\n\r\n";
        EXPECT_EQ(httpStatus(httpExchange(h.port(), upgrade)), 403) << origin;
    }
    EXPECT_TRUE(h.logged("refused, Origin \"http://evil.example\""));
}

TEST(Security, DemoPageFilesAndNothingElse)
{
    Harness h;
    std::string page = httpGet(h.port(), "/");
    EXPECT_EQ(httpStatus(page), 200);
    EXPECT_NE(page.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(page.find("frame-ancestors 'none'"), std::string::npos);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/app.js")), 200);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/missing.html")), 404);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/../CMakeLists.txt")), 404);
    EXPECT_EQ(httpStatus(httpExchange(h.port(), "POST /api/health HTTP/1.1\r\nHost: " +
                                                   h.hostPort() + "\r\nContent-Length: 0\r\n"
                                                   "Connection: close\r\n\r\n")),
              405);
}

// The client module is built into the service: served byte for byte from
// its source, although the page's folder does not hold it.
TEST(Security, TheClientModuleAndItsDeclarationsAreBuiltIn)
{
    Harness h;
    for (const char *name : {"stripedrv-client.js", "stripedrv-client.d.ts"}) {
        std::ifstream in(std::string(STRIPEDRVD_TEST_CLIENT_DIR) + "/" + name, std::ios::binary);
        const std::string source((std::istreambuf_iterator<char>(in)), {});
        ASSERT_FALSE(source.empty()) << name;
        const std::string answer = httpGet(h.port(), std::string("/") + name + "?v=1");
        EXPECT_EQ(httpStatus(answer), 200) << name;
        const size_t body = answer.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(answer.substr(body + 4), source) << name;
    }
    EXPECT_NE(httpGet(h.port(), "/stripedrv-client.js").find("Content-Type: text/javascript"),
              std::string::npos);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/stripedrv-client.js/x")), 404);
}

TEST(Security, AMessageOver4KiBClosesThatConnectionOnly)
{
    Harness h;
    Client big(h.port()), other(h.port());
    big.send(json{{"id", 1}, {"op", "info"}, {"pad", std::string(5000, 'x')}});
    EXPECT_TRUE(big.waitClosed(3000ms));
    other.send(json{{"id", 2}, {"op", "info"}, {"pad", std::string(3000, 'x')}});
    auto answer = other.answerTo(2);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["ok"], true);
}

TEST(Security, SlowClientsBlockNoOne)
{
    HarnessOptions options;
    options.httpTimeout = std::chrono::seconds(60);
    Harness h(options);
    // Half a request line, never finished: each holds its connection only.
    boost::asio::io_context io;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> stalled;
    for (int i = 0; i < 40; ++i) {
        stalled.push_back(std::make_unique<boost::asio::ip::tcp::socket>(io));
        stalled.back()->connect({boost::asio::ip::make_address("127.0.0.1"), h.port()});
        boost::asio::write(*stalled.back(), boost::asio::buffer(std::string("GET / HT")));
    }
    std::this_thread::sleep_for(200ms);
    Client last(h.port());
    last.send(readRequest(1));
    auto answer = last.answerTo(1);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["ok"], true);
    EXPECT_EQ(httpStatus(httpGet(h.port(), "/api/health")), 200);
}

TEST(Security, AnIdleConnectionIsClosed)
{
    HarnessOptions options;
    options.idleTimeout = std::chrono::seconds(1);
    Harness h(options);
    // Read before the connection exists: the service's idle time starts
    // later still, so the close cannot come sooner than a second after this.
    const auto start = std::chrono::steady_clock::now();
    Client idle(h.port());
    EXPECT_TRUE(idle.waitClosed(5000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_TRUE(h.logged("idle for 1 s"));
}

TEST(Queue, CancelByIdCutsThatRequestAloneTheNextRunsOn)
{
    Harness h(onDemand());
    Client c(h.port());
    // The answers of ids, in whatever order they come.
    auto answers = [&c](std::vector<int> ids) {
        std::map<int, json> got;
        while (got.size() < ids.size()) {
            auto message = c.receive(5000ms);
            if (!message)
                break;
            if (!message->contains("event") && (*message)["id"].is_number())
                got[(*message)["id"].get<int>()] = *message;
        }
        return got;
    };
    c.send(readRequest(1, 20));
    ASSERT_EQ((*c.receive())["event"], "waiting");
    c.send(readRequest(2, 20)); // waits behind it
    c.send(json{{"id", 3}, {"op", "info"}});
    c.send(json{{"id", 4}, {"op", "cancel"}, {"request", 2}});
    auto got = answers({2, 4});
    ASSERT_EQ(got.count(2) + got.count(4), 2u);
    EXPECT_EQ(got[4]["cancelled"], 1);
    EXPECT_EQ(got[2]["code"], SD_ERR_CANCELLED);
    c.send(json{{"id", 5}, {"op", "cancel"}, {"request", 1}});
    got = answers({1, 3, 5});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[5]["cancelled"], 1);
    EXPECT_EQ(got[1]["code"], SD_ERR_CANCELLED);
    EXPECT_EQ(got[3]["ok"], true) << got[3].dump(); // ran on after the cut
    EXPECT_TRUE(h.logged("cancel of request 2, 1 request(s) cut")) << h.log();
    // A text id is the page's own text (here a track): it stays out of the log.
    const std::string text = "4111111111111111=25121010000000000000";
    c.send(json{{"id", 6}, {"op", "cancel"}, {"request", text}});
    auto none = c.answerTo(6);
    ASSERT_TRUE(none);
    EXPECT_EQ((*none)["cancelled"], 0);
    EXPECT_TRUE(h.logged("cancel of one request, 0 request(s) cut")) << h.log();
    EXPECT_EQ(h.log().find("4111111111111111"), std::string::npos) << h.log();
}

TEST(Protocol, AReadEndsAtItsTimeoutWithCodeMinus2)
{
    // The library waits for each byte for a fixed time of its own; the
    // service cuts the read at its deadline.
    Harness h(onDemand());
    Client c(h.port());
    auto start = std::chrono::steady_clock::now();
    c.send(readRequest(1, 1));
    auto answer = c.answerTo(1, 10000ms);
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["code"], SD_ERR_TIMEOUT) << answer->dump();
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 2s);
}
