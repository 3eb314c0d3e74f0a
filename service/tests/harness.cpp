#include "harness.h"

#include "log.h"
#include "reader_ops.h"
#include "stripedrv.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <future>
#include <mutex>

#include <unistd.h>

namespace svctest {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

std::mutex logMutex;
std::string logText;

std::string linkName()
{
    static std::atomic<int> count{0};
    return "shm/stripedrvd-test-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

readersim::ServerOptions simOptions(const HarnessOptions &options, const std::string &name)
{
    readersim::ServerOptions sim;
    if (options.viaLink)
        sim.linkPath = "/dev/" + name;
    sim.pacing = options.pacing;
    sim.byteGapMs = options.byteGapMs;
    sim.answerDelayMs = options.answerDelayMs;
    sim.quiet = true;
    sim.swipeOnKey = options.swipeOnDemand; // no key descriptor: swipe() only
    sim.swipeDelay = options.swipeDelay;
    sim.log = [](const std::string &) {};
    return sim;
}

// Runs the io_context until `done` or the limit; false on the limit.
bool runUntil(net::io_context &io, const bool &done, std::chrono::milliseconds limit)
{
    io.restart();
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done && std::chrono::steady_clock::now() < end)
        io.run_one_for(end - std::chrono::steady_clock::now());
    return done;
}

} // namespace

Harness::Harness(HarnessOptions options)
{
    {
        std::lock_guard<std::mutex> lock(logMutex);
        logText.clear();
    }
    if (options.quiet)
        stripedrvd::setLogSink([](const std::string &line) {
            std::lock_guard<std::mutex> lock(logMutex);
            logText += line + "\n";
        });
    card_ = options.card;
    protocol_ = std::make_unique<readersim::Protocol>(card_, options.behaviour);
    const std::string link = options.viaLink ? linkName() : "";
    server_ = std::make_unique<readersim::Server>(*protocol_, simOptions(options, link));
    simThread_ = std::thread([this] { server_->run(); });

    readerPort_ = server_->portName();
    readerName_ = options.viaLink ? link : readerPort_;
    stripedrvd::ReaderLine line{readerName_, options.baud};
    queue_ = std::make_unique<stripedrvd::ReaderQueue>(
        [this](const stripedrvd::Request &request) { return presence_->run(request); },
        stripedrvd::kQueueCapacity);
    // The reader by its fixed name, as `--reader pts/N` would have it.
    stripedrvd::PresenceSettings found;
    found.reader = line.port;
    found.baud = options.baud;
    presence_ = std::make_unique<stripedrvd::Presence>(io_, found, *queue_, metrics_);
    presence_->start();
    stripedrvd::Settings settings;
    settings.reader = line.port;
    settings.listen = tcp::endpoint(net::ip::make_address("127.0.0.1"), 0);
    settings.allowOrigins = options.allowOrigins;
    settings.allowUsers = options.allowUsers;
    settings.peerLookup = options.peerLookup;
    settings.staticDir = options.staticDir.empty() ? STRIPEDRVD_TEST_STATIC_DIR : options.staticDir;
    settings.idleTimeout = options.idleTimeout;
    settings.httpTimeout = options.httpTimeout;
    listener_ = std::make_unique<stripedrvd::Listener>(io_, settings, *queue_,
                                                       stripedrvd::Field{*presence_, metrics_});
    port_ = listener_->port();
    ioThread_ = std::thread([this] {
        auto guard = net::make_work_guard(io_);
        io_.run();
    });
    // The reader is told to clients once its version is known: a client
    // that connected earlier would be greeted with "no reader" first. Up
    // to 30 s: longer on a busy machine or under an emulator.
    auto end = std::chrono::steady_clock::now() + 30s;
    while (!announced() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(2ms);
}

bool Harness::announced()
{
    std::promise<bool> present;
    net::post(io_, [&] { present.set_value(presence_->event()["present"] == true); });
    return present.get_future().get();
}

Harness::~Harness()
{
    io_.stop();
    ioThread_.join();
    queue_->shutdown();
    listener_.reset();
    presence_.reset();
    unplug();
    stripedrvd::setLogSink({});
}

void Harness::unplug()
{
    if (!simThread_.joinable())
        return;
    server_->stop();
    simThread_.join();
    server_.reset(); // closes the pseudo-terminal's master: the node goes
}

std::string Harness::log() const
{
    std::lock_guard<std::mutex> lock(logMutex);
    return logText;
}

bool Harness::logged(const std::string &text, std::chrono::milliseconds limit) const
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

Client::Client(unsigned short port, const std::map<std::string, std::string> &headers)
    : ws_(io_)
{
    beast::get_lowest_layer(ws_).expires_after(5s);
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    ws_.set_option(websocket::stream_base::decorator([headers](websocket::request_type &request) {
        for (const auto &[name, value] : headers)
            request.set(name, value);
    }));
    auto host = headers.find("Host");
    ws_.handshake(host != headers.end() ? host->second : "127.0.0.1:" + std::to_string(port),
                  "/ws");
    beast::get_lowest_layer(ws_).expires_never();
    greeting_ = receive().value_or(json());
}

void Client::send(const std::string &text)
{
    beast::error_code ec;
    ws_.text(true);
    ws_.write(net::buffer(text), ec);
    if (ec)
        closed_ = true;
}

void Client::ping()
{
    beast::error_code ec;
    ws_.ping({}, ec);
    if (ec)
        closed_ = true;
}

std::optional<json> Client::receive(std::chrono::milliseconds limit)
{
    if (closed_)
        return std::nullopt;
    bool done = false;
    beast::error_code result;
    ws_.async_read(buffer_, [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!runUntil(io_, done, limit)) {
        // Give up the read: the only way is to drop the connection.
        beast::get_lowest_layer(ws_).cancel();
        runUntil(io_, done, 1000ms);
        closed_ = true;
        return std::nullopt;
    }
    if (result) {
        closed_ = true;
        return std::nullopt;
    }
    json message = json::parse(beast::buffers_to_string(buffer_.data()), nullptr, false);
    buffer_.consume(buffer_.size());
    return message;
}

std::optional<json> Client::answerTo(const json &id, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left <= 0ms)
            return std::nullopt;
        auto message = receive(left);
        if (!message)
            return std::nullopt;
        if ((*message)["id"] == id && !message->contains("event"))
            return message;
    }
}

bool Client::waitClosed(std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!closed_ && std::chrono::steady_clock::now() < end)
        receive(std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()));
    return closed_ && std::chrono::steady_clock::now() < end;
}

void Client::close()
{
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().close(ec);
    closed_ = true;
}

FolderWithLinksOut::FolderWithLinksOut()
{
    char pattern[] = "/tmp/sdwww.XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("cannot make a folder below /tmp");
    path_ = pattern;
    std::ofstream(path_ + "/index.html") << "<p>page</p>";
    std::filesystem::create_symlink("/etc/passwd", path_ + "/passwd.txt");
    std::filesystem::create_symlink("/proc/self/environ", path_ + "/environ.txt");
}

FolderWithLinksOut::~FolderWithLinksOut()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string httpExchange(unsigned short port, const std::string &request,
                         std::chrono::milliseconds limit)
{
    net::io_context io;
    beast::tcp_stream stream(io);
    stream.expires_after(limit);
    stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    net::write(stream.socket(), net::buffer(request));
    std::string answer;
    bool done = false;
    net::async_read(stream, net::dynamic_buffer(answer),
                    [&](beast::error_code, size_t) { done = true; });
    runUntil(io, done, limit);
    return answer;
}

std::string httpGet(unsigned short port, const std::string &target, std::string host)
{
    if (host.empty())
        host = "127.0.0.1:" + std::to_string(port);
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: " + host +
                                  "\r\nConnection: close\r\n\r\n");
}

int httpStatus(const std::string &answer)
{
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12)
        return 0;
    return std::stoi(answer.substr(9, 3));
}

} // namespace svctest
