#include "ws_session.h"

#include "log.h"
#include "messages.h"
#include "metrics.h"
#include "presence.h"
#include "json.h"
#include "stripedrv.h"

#include <boost/asio/post.hpp>

namespace stripedrvd {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

WsSession::WsSession(beast::tcp_stream stream, std::string already, ConnectionSlot slot,
                     std::string peer)
    : ws_(std::move(stream), std::move(already)), slot_(std::move(slot)), shared_(slot_.shared()),
      peer_(std::move(peer)), idle_(shared_.io)
{
}

WsSession::~WsSession()
{
    // Whatever this client left waiting goes; what runs for it is cut short
    // so that the reader is free for the next one at once.
    shared_.queue.forget(slot_.number());
    shared_.note(shared_.sessionEvents, Priority::Info,
                 "connection " + std::to_string(slot_.number()) + ": closed");
}

namespace {

// An answer on its way from the reader's thread to the network's: wiped
// when it goes, delivered or not (its client may have left).
struct WipedJson {
    explicit WipedJson(json answer) : value(std::move(answer)) {}
    ~WipedJson() { sdcustody::wipeJson(value); }
    WipedJson(const WipedJson &) = delete;
    WipedJson &operator=(const WipedJson &) = delete;
    json value;
};

// Runs fn(session) on the network thread if the session still lives then.
// Called from the reader's worker thread, so it holds no more than a weak
// pointer: the client may have gone while its transaction ran.
template <class Fn>
void onSession(boost::asio::io_context &io, std::weak_ptr<WsSession> weak, Fn fn)
{
    boost::asio::post(io, [weak = std::move(weak), fn = std::move(fn)]() mutable {
        if (auto self = weak.lock())
            fn(*self);
    });
}

} // namespace

void WsSession::run(beast::http::request<beast::http::string_body> upgrade)
{
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = shared_.settings.httpTimeout;
    // The idle clock is our own (watchIdle): the stream's counts a client
    // that waits for a swipe as idle, and its pings as nothing.
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type &response) {
        response.set(beast::http::field::server, "stripedrvd");
    }));
    ws_.read_message_max(shared_.settings.maxMessage);
    // Pings, pongs and the close are frames from the client too.
    ws_.control_callback([this](websocket::frame_type, beast::string_view) { heard(); });
    ws_.async_accept(upgrade, beast::bind_front_handler(&WsSession::onAccept, shared_from_this()));
}

void WsSession::onAccept(beast::error_code ec)
{
    if (ec)
        return drop("handshake failed (" + ec.message() + ")");
    heard();
    watchIdle();
    // The reader's state first, then each change of it.
    send(shared_.presence.event());
    std::weak_ptr<WsSession> weak = weak_from_this();
    shared_.presence.watch(weak, [weak](const json &event) {
        if (auto self = weak.lock())
            self->send(event);
    });
    readMessage();
}

void WsSession::heard()
{
    lastHeard_ = std::chrono::steady_clock::now();
}

void WsSession::watchIdle()
{
    idle_.expires_at(lastHeard_ + shared_.settings.idleTimeout);
    // A weak pointer: the timer must not keep a closed session (and its
    // slot) alive for the idle time.
    idle_.async_wait([weak = weak_from_this()](beast::error_code ec) {
        if (auto self = weak.lock())
            self->onIdle(ec);
    });
}

void WsSession::onIdle(beast::error_code ec)
{
    if (ec || dropped_)
        return;
    if (unanswered_ > 0)
        heard(); // waiting for the reader is not idleness
    if (std::chrono::steady_clock::now() < lastHeard_ + shared_.settings.idleTimeout)
        return watchIdle();
    drop("idle for " + std::to_string(shared_.settings.idleTimeout.count()) + " s");
}

void WsSession::readMessage()
{
    ws_.async_read(buffer_, beast::bind_front_handler(&WsSession::onRead, shared_from_this()));
}

void WsSession::onRead(beast::error_code ec, size_t)
{
    if (ec == websocket::error::closed || ec == boost::asio::error::eof ||
        ec == boost::asio::error::connection_reset || ec == boost::asio::error::operation_aborted) {
        idle_.cancel();
        return;
    }
    if (ec == websocket::error::message_too_big)
        return drop("message over " + std::to_string(shared_.settings.maxMessage) + " bytes");
    if (ec)
        return drop(ec.message());
    heard();
    if (!ws_.got_text()) {
        send(failureAnswer(nullptr, SD_ERR_PARAM, "send JSON as a text message"));
    } else {
        std::string message = beast::buffers_to_string(buffer_.data());
        handle(message);
        sdcustody::wipe(message);
    }
    const auto read = buffer_.data();
    sdcustody::wipe(const_cast<void *>(read.data()), read.size());
    buffer_.consume(buffer_.size());
    sdcustody::scrubStack(); // the parser's and printer's frames
    readMessage();
}

void WsSession::handle(const std::string &message)
{
    Parsed parsed = parseRequest(message);
    if (!parsed.ok) {
        shared_.refuse(shared_.badRequests, Priority::Notice,
                       "connection " + std::to_string(slot_.number()) + ": bad request: " +
                           parsed.problem);
        return send(failureAnswer(parsed.request.id, SD_ERR_PARAM, parsed.problem));
    }
    if (parsed.request.op == Op::Cancel)
        return cancel(parsed.request);
    enqueue(parsed.request);
}

void WsSession::enqueue(const Request &request)
{
    const std::string who = "connection " + std::to_string(slot_.number()) + ": " +
                            opName(request.op);
    Metrics &metrics = shared_.metrics;
    if (!shared_.presence.admit()) {
        // No time limit to wait out: the reader is not there.
        metrics.transaction(request.op, SD_ERR_PORT, {});
        return send(failureAnswer(request.id, SD_ERR_PORT, sdmsg::absentReaderMessage()));
    }
    ReaderQueue::Job job;
    job.session = slot_.number();
    job.request = request;
    boost::asio::io_context &io = shared_.io;
    std::weak_ptr<WsSession> weak = weak_from_this();
    auto started = std::make_shared<std::chrono::steady_clock::time_point>();
    job.onStart = [&io, weak, request, started] {
        *started = std::chrono::steady_clock::now();
        if (request.op == Op::Read || request.op == Op::Write)
            onSession(io, weak, [id = request.id](WsSession &self) { self.send(waitingEvent(id)); });
    };
    job.onDone = [&io, weak, request, who, started, &metrics](const Outcome &outcome) {
        if (*started != std::chrono::steady_clock::time_point{}) // not dropped while waiting
            metrics.transaction(request.op, outcome.code,
                                std::chrono::steady_clock::now() - *started);
        std::string line = who + (outcome.code == SD_OK ? ": ok" : ": code " +
                                                                       std::to_string(outcome.code));
        if (outcome.pan)
            line += ", account " + outcome.panMasked;
        logInfo(line);
        auto answer = std::make_shared<WipedJson>(answerFor(request, outcome));
        onSession(io, weak, [answer](WsSession &self) {
            self.answered(answer->value);
            sdcustody::scrubStack();
        });
    };
    if (shared_.queue.submit(std::move(job))) {
        ++unanswered_;
    } else {
        shared_.note(shared_.queueFull, Priority::Notice, who + ": refused, the queue is full");
        send(failureAnswer(request.id, SD_ERR_BUSY,
                           "the reader is busy: " + std::to_string(shared_.queue.waiting()) +
                               " requests are waiting already"));
    }
}

void WsSession::answered(const json &answer)
{
    if (unanswered_ > 0 && --unanswered_ == 0)
        heard(); // idle from its last answer on
    send(answer);
}

void WsSession::cancel(const Request &request)
{
    // With "request", that request alone; without, all of this connection's.
    size_t cut = shared_.queue.cancel(slot_.number(), request.target);
    // A whole-number id is named; a text id is the page's own text and stays
    // out of the journal like everything else a page sends.
    std::string which;
    if (request.target.is_number_integer())
        which = " of request " + request.target.dump();
    else if (!request.target.is_null())
        which = " of one request";
    shared_.note(shared_.cancels, Priority::Info,
                 "connection " + std::to_string(slot_.number()) + ": cancel" + which + ", " +
                     std::to_string(cut) + " request(s) cut");
    send({{"id", request.id}, {"ok", true}, {"cancelled", cut}});
}

void WsSession::send(const json &message)
{
    if (dropped_)
        return;
    if (outgoing_.size() >= shared_.settings.maxOutgoing)
        return drop("falls behind reading its answers");
    // Printed into room reserved once, so that no outgrown copy is left.
    outgoing_.push_back(sdcustody::dumpJson<json, sdcustody::WipedString>(message));
    if (outgoing_.size() == 1)
        writeNext();
}

void WsSession::writeNext()
{
    ws_.text(true);
    ws_.async_write(boost::asio::buffer(outgoing_.front()),
                    beast::bind_front_handler(&WsSession::onWrite, shared_from_this()));
}

void WsSession::onWrite(beast::error_code ec, size_t)
{
    if (ec)
        return;
    outgoing_.pop_front();
    if (!outgoing_.empty())
        writeNext();
}

void WsSession::drop(const std::string &why)
{
    if (dropped_)
        return;
    dropped_ = true;
    idle_.cancel();
    shared_.note(shared_.sessionEvents, Priority::Info,
                 "connection " + std::to_string(slot_.number()) + ": closing, " + why);
    shared_.queue.forget(slot_.number());
    // Closing the socket ends every read and write under way; the session
    // goes once their handlers have run.
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both,
                                                   ignored);
    beast::get_lowest_layer(ws_).close();
}

} // namespace stripedrvd
