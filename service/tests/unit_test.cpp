// The service's pure parts: track-2 fields, request checks, access rules,
// file names, and the queue's order and cancels with a stand-in reader.
#include "access.h"
#include "harness.h"
#include "log.h"
#include "rate_limit.h"
#include "reader_queue.h"
#include "requests.h"
#include "state_dir.h"
#include "static_files.h"
#include "stripedrv.h"
#include "track2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <vector>

using namespace stripedrvd;
using namespace std::chrono_literals;

TEST(Track2Fields, PaymentCardLayoutAndMasking)
{
    auto f = sdtrack2::parse("6222021234567890123=25121011234567");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->panMasked, "622202*********0123");
    EXPECT_EQ(f->expiry, "2512");
    EXPECT_EQ(f->serviceCode, "101");
    EXPECT_FALSE(f->luhnOk);

    // Sentinels kept by the reader; a Luhn-valid test number.
    f = sdtrack2::parse(";4111111111111111=2901201?");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->panMasked, "411111******1111");
    EXPECT_TRUE(f->luhnOk);
    EXPECT_EQ(f->serviceCode, "201");
}

TEST(Track2Fields, TextsWithoutTheLayoutGiveNoFields)
{
    for (const char *text : {
             "",                                         // nothing
             "222233021234567654321=44212038899913311",  // 21-digit number
             "12345678901=2512101",                      // 11-digit number
             "4111111111111111",                         // no separator
             "4111111111111111=2512",                    // no service code
             "4111111111111111=2513101",                 // month 13
             "4111111111111111=2500101",                 // month 00
             "41111111111x1111=2512101",                 // not a digit
             "4111111111111111=2512101=99",              // second separator
             "4111111111111111=25121010000000000000000", // over 37 characters
         })
        EXPECT_FALSE(sdtrack2::parse(text)) << text;
}

TEST(Track2Fields, LuhnAndMaskEdges)
{
    EXPECT_TRUE(sdtrack2::luhnValid("79927398713"));
    EXPECT_FALSE(sdtrack2::luhnValid("79927398710"));
    EXPECT_FALSE(sdtrack2::luhnValid(""));
    EXPECT_FALSE(sdtrack2::luhnValid("7992a398713"));
    EXPECT_EQ(sdtrack2::maskPan("1234567890"), "**********");
    EXPECT_EQ(sdtrack2::maskPan("12345678901"), "123456*8901");
}

TEST(Requests, GoodMessagesAndTheirDefaults)
{
    Parsed p = parseRequest(R"({"id":1,"op":"read"})");
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.request.tracks, 23);
    EXPECT_EQ(p.request.timeout, 20);

    p = parseRequest(R"({"id":"a","op":"write","track3":"12=34","verify":true,"timeout":5})");
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.request.id, "a");
    EXPECT_EQ(p.request.tracks, 3); // the tracks given a text
    EXPECT_TRUE(p.request.verify);
    EXPECT_EQ(p.request.timeout, 5);

    p = parseRequest(R"({"id":7,"op":"write","track2":"1=2","track3":"3=4"})");
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.request.tracks, 23);
}

TEST(Requests, BadMessagesAreRefusedWithTheirId)
{
    struct Case {
        const char *message;
        bool hasId;
    };
    for (const Case &c : std::vector<Case>{
             {"not json", false},
             {"[1,2]", false},
             {R"({"op":"read"})", false},
             {R"({"id":{},"op":"read"})", false},
             {R"({"id":1})", true},
             {R"({"id":1,"op":"format"})", true},
             {R"({"id":1,"op":"read","tracks":4})", true},
             {R"({"id":1,"op":"read","tracks":"23"})", true},
             {R"({"id":1,"op":"read","timeout":601})", true},
             {R"({"id":1,"op":"read","timeout":-1})", true},
             {R"({"id":1,"op":"read","timeout":2.5})", true},
             {R"({"id":1,"op":"write"})", true},
             {R"({"id":1,"op":"write","tracks":23,"track2":"12"})", true},
             {R"({"id":1,"op":"write","track2":"12\u001b0"})", true},  // ESC in a text
             {R"({"id":1,"op":"write","track2":"12A34"})", true},      // the track-3 mark
             {R"({"id":1,"op":"write","track2":12})", true},
             {R"({"id":1,"op":"write","track2":"12","verify":"yes"})", true},
         }) {
        Parsed p = parseRequest(c.message);
        EXPECT_FALSE(p.ok) << c.message;
        EXPECT_FALSE(p.problem.empty()) << c.message;
        EXPECT_EQ(!p.request.id.is_null(), c.hasId) << c.message;
    }
}

TEST(Requests, ReadAnswerHasTheTracksAskedForAndTheFields)
{
    json a = readAnswer(3, 23, "6222021234567890123=2512101", "99");
    EXPECT_EQ(a.dump(), R"({"id":3,"ok":true,"track2":"6222021234567890123=2512101",)"
                        R"("track2_fields":{"pan_masked":"622202*********0123","expiry":"2512",)"
                        R"("service_code":"101","luhn_ok":false},"track3":"99"})");
    // A track not asked for is there, as null; one asked for keeps its text.
    a = readAnswer(4, 3, "ignored", "99");
    EXPECT_EQ(a.dump(), R"({"id":4,"ok":true,"track2":null,"track3":"99"})");
    a = readAnswer(6, 2, "", "ignored");
    EXPECT_EQ(a.dump(), R"({"id":6,"ok":true,"track2":"","track3":null})");
    EXPECT_EQ(failureAnswer(5, -2, "x").dump(), R"({"id":5,"ok":false,"code":-2,"error":"x"})");
}

TEST(Access, HostsAndOriginsOfALoopbackService)
{
    auto rules = makeAccessRules(8765, boost::asio::ip::make_address("127.0.0.1"),
                                 {"http://Kiosk.example:8080/"});
    for (const char *host : {"127.0.0.1:8765", "localhost:8765", "LOCALHOST:8765", "[::1]:8765"})
        EXPECT_TRUE(hostAllowed(rules, host)) << host;
    for (const char *host : {"", "127.0.0.1", "localhost:8766", "evil.example:8765",
                             "127.0.0.1.evil.example:8765", "localhost:8765 "})
        EXPECT_FALSE(hostAllowed(rules, host)) << host;

    EXPECT_TRUE(originAllowed(rules, std::nullopt));
    for (const char *origin : {"http://127.0.0.1:8765", "http://localhost:8765",
                               "http://kiosk.example:8080"})
        EXPECT_TRUE(originAllowed(rules, std::string(origin))) << origin;
    for (const char *origin : {"null", "", "https://localhost:8765", "http://localhost:8766",
                               "http://evil.example", "http://kiosk.example:8080.evil"})
        EXPECT_FALSE(originAllowed(rules, std::string(origin))) << origin;
}

TEST(Access, ListenAddresses)
{
    std::string problem;
    auto e = parseListen("localhost:0", problem);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->address().is_loopback());
    e = parseListen("[::1]:8765", problem);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->address().is_v6() && e->address().is_loopback());
    e = parseListen("0.0.0.0:8765", problem);
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->address().is_loopback());
    for (const char *bad : {"8765", "127.0.0.1:", "127.0.0.1:99999", "kiosk:8765", ":8765",
                            "127.0.0.1:87a5"})
        EXPECT_FALSE(parseListen(bad, problem)) << bad;
}

TEST(StaticFiles, OnlyRegularFilesBelowTheFolder)
{
    const std::string dir = STRIPEDRVD_TEST_STATIC_DIR;
    EXPECT_EQ(staticPath(dir, "/"), dir + "/index.html");
    EXPECT_EQ(staticPath(dir, "/app.js?v=2"), dir + "/app.js");
    for (const char *bad : {"", "app.js", "/../CMakeLists.txt", "/%2e%2e/x", "/nothing.html",
                            "/..\\x", "http://host/app.js"})
        EXPECT_FALSE(staticPath(dir, bad)) << bad;
    EXPECT_EQ(contentType("/a/app.js"), "text/javascript; charset=utf-8");
    EXPECT_EQ(contentType("/a/noext"), "application/octet-stream");
}

TEST(StaticFiles, LinksLeadingOutOfTheFolderAreNotFollowed)
{
    namespace fs = std::filesystem;
    svctest::FolderWithLinksOut folder;
    const std::string dir = folder.path();
    fs::create_directory(dir + "/sub");
    fs::create_symlink(dir + "/index.html", dir + "/sub/home.html"); // stays inside
    fs::create_directory_symlink("/etc", dir + "/etc");
    EXPECT_EQ(staticPath(dir, "/sub/home.html"), dir + "/sub/home.html");
    for (const char *out : {"/passwd.txt", "/environ.txt", "/etc/passwd"})
        EXPECT_FALSE(staticPath(dir, out)) << out;
    // The folder itself may be reached through a link.
    fs::create_directory_symlink(dir, dir + ".link");
    EXPECT_EQ(staticPath(dir + ".link", "/"), dir + ".link/index.html");
    EXPECT_FALSE(staticPath(dir + ".link", "/passwd.txt"));
    fs::remove(dir + ".link");
}

TEST(RateLimit, FiveLinesASecondThenOneCount)
{
    std::vector<std::string> lines;
    setLogSink([&lines](const std::string &line) { lines.push_back(line); });
    RateLimit limit("bad request");
    const auto start = RateLimit::Clock::now();
    int counted = 0;
    for (int i = 0; i < 1000; ++i)
        counted += limit.log(Priority::Notice, "bad " + std::to_string(i), start + i * 1ms);
    EXPECT_EQ(counted, 995);
    EXPECT_EQ(lines, (std::vector<std::string>{"bad 0", "bad 1", "bad 2", "bad 3", "bad 4"}));
    EXPECT_TRUE(limit.flush());
    EXPECT_EQ(lines.back(), "bad request (995 more like this suppressed)");
    EXPECT_FALSE(limit.flush()); // nothing new
    // A new second writes again.
    EXPECT_FALSE(limit.log(Priority::Notice, "bad 1000", start + 1000ms));
    EXPECT_EQ(lines.back(), "bad 1000");
    setLogSink({});
}

TEST(StateDir, FromSystemdThenXdgThenHome)
{
    auto keep = [](const char *name) -> std::optional<std::string> {
        if (const char *value = std::getenv(name))
            return value;
        return std::nullopt;
    };
    const auto state = keep("STATE_DIRECTORY"), xdg = keep("XDG_STATE_HOME"), home = keep("HOME");
    setenv("STATE_DIRECTORY", "/run/s1:/run/s2", 1);
    setenv("XDG_STATE_HOME", "/x/state", 1);
    setenv("HOME", "/home/kiosk", 1);
    EXPECT_EQ(stateDirectory(), "/run/s1");
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(stateDirectory(), "/x/state/stripedrvd");
    setenv("XDG_STATE_HOME", "relative", 1); // not absolute: ignored
    EXPECT_EQ(stateDirectory(), "/home/kiosk/.local/state/stripedrvd");
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    EXPECT_EQ(stateDirectory(), "");
    for (auto [name, value] : {std::pair{"STATE_DIRECTORY", state}, {"XDG_STATE_HOME", xdg},
                               {"HOME", home}})
        if (value)
            setenv(name, value->c_str(), 1);
}

namespace {

Request requestWithId(int id)
{
    Request r;
    r.id = id;
    r.op = Op::Read;
    return r;
}

} // namespace

TEST(Queue, OneAtATimeInOrderAndBoundedAcrossSessions)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0}, most{0};
    ReaderQueue queue(
        [&](const Request &r) {
            int now = ++running;
            most = std::max(most.load(), now);
            released.wait();
            --running;
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(r.id.get<int>());
            return Outcome{};
        },
        kQueueCapacity);
    std::atomic<int> done{0};
    auto job = [&](ReaderQueue::SessionId session, int id) {
        ReaderQueue::Job j;
        j.session = session;
        j.request = requestWithId(id);
        j.onDone = [&](const Outcome &) { ++done; };
        return j;
    };
    ASSERT_TRUE(queue.submit(job(1, 0)));
    while (running == 0)
        std::this_thread::sleep_for(1ms);
    for (int id = 1; id <= int(kQueueCapacity); ++id)
        ASSERT_TRUE(queue.submit(job(id % 3, id)));
    EXPECT_FALSE(queue.submit(job(9, 99))); // 16 waiting: the 17th is refused
    release.set_value();
    while (done < int(kQueueCapacity) + 1)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(most, 1);
    std::vector<int> expected;
    for (int id = 0; id <= int(kQueueCapacity); ++id)
        expected.push_back(id);
    EXPECT_EQ(order, expected);
}

TEST(Queue, CancelAnswersTheSessionsWaitingOnesForgetDropsThem)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> started{false};
    std::mutex mutex;
    std::vector<std::pair<int, int>> results; // id, code
    ReaderQueue queue(
        [&](const Request &) {
            started = true;
            released.wait();
            return Outcome{};
        },
        kQueueCapacity);
    auto submit = [&](ReaderQueue::SessionId session, int id) {
        ReaderQueue::Job j;
        j.session = session;
        j.request = requestWithId(id);
        j.onDone = [&, id](const Outcome &o) {
            std::lock_guard<std::mutex> lock(mutex);
            results.push_back({id, o.code});
        };
        ASSERT_TRUE(queue.submit(std::move(j)));
    };
    submit(1, 1); // runs
    while (!started)
        std::this_thread::sleep_for(1ms);
    submit(2, 2);
    submit(3, 3);
    submit(2, 4);
    submit(3, 5);
    EXPECT_EQ(queue.cancel(2), 2u); // both waiting ones of session 2
    queue.forget(3);                // session 3 has gone: no answers
    EXPECT_EQ(queue.waiting(), 0u);
    release.set_value();
    while (true) {
        std::this_thread::sleep_for(5ms);
        std::lock_guard<std::mutex> lock(mutex);
        if (results.size() >= 3)
            break;
    }
    std::this_thread::sleep_for(50ms);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(results, (std::vector<std::pair<int, int>>{
                           {2, SD_ERR_CANCELLED}, {4, SD_ERR_CANCELLED}, {1, SD_OK}}));
}

TEST(Queue, CancelByIdCutsThatRequestAloneWaitingOrRunning)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> started{false};
    std::mutex mutex;
    std::vector<std::pair<int, int>> results; // id, code
    ReaderQueue queue(
        [&](const Request &) {
            started = true;
            released.wait();
            return Outcome{};
        },
        kQueueCapacity);
    auto submit = [&](ReaderQueue::SessionId session, int id) {
        ReaderQueue::Job j;
        j.session = session;
        j.request = requestWithId(id);
        j.onDone = [&, id](const Outcome &o) {
            std::lock_guard<std::mutex> lock(mutex);
            results.push_back({id, o.code});
        };
        ASSERT_TRUE(queue.submit(std::move(j)));
    };
    submit(1, 1); // runs
    while (!started)
        std::this_thread::sleep_for(1ms);
    submit(1, 2);
    submit(1, 3);
    submit(2, 3); // the same id on another connection is another request
    EXPECT_EQ(queue.cancel(1, 3), 1u);
    EXPECT_EQ(queue.cancel(1, 99), 0u); // no such request: nothing cut
    EXPECT_EQ(queue.cancel(2, 1), 0u);  // not this connection's
    EXPECT_EQ(queue.waiting(), 2u);
    EXPECT_EQ(queue.cancel(1, 1), 1u);  // the running one
    EXPECT_EQ(queue.cancel(1, 1), 0u);  // ... once
    release.set_value();
    while (true) {
        std::this_thread::sleep_for(5ms);
        std::lock_guard<std::mutex> lock(mutex);
        if (results.size() >= 4)
            break;
    }
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(results, (std::vector<std::pair<int, int>>{
                           {3, SD_ERR_CANCELLED}, {1, SD_OK}, {2, SD_OK}, {3, SD_OK}}));
}

TEST(Requests, CancelNamesOneRequestOrNone)
{
    Parsed p = parseRequest(R"({"id":5,"op":"cancel","request":2})");
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.request.target, json(2));
    p = parseRequest(R"({"id":6,"op":"cancel","request":"r-1"})");
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.request.target, json("r-1"));
    p = parseRequest(R"({"id":7,"op":"cancel"})");
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_TRUE(p.request.target.is_null());
    p = parseRequest(R"({"id":8,"op":"cancel","request":[1]})");
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.request.id, json(8));
}
