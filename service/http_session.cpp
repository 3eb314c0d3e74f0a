#include "http_session.h"

#include "endpoints.h"
#include "log.h"
#include "metrics.h"
#include "peer_user.h"
#include "static_files.h"
#include "ws_session.h"

#include <boost/beast/websocket.hpp>

#include <fstream>
#include <sstream>

namespace stripedrvd {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr size_t kMaxHeader = 8192;
constexpr size_t kMaxBody = 4096;

bool readFile(const std::string &path, std::string &content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    content = text.str();
    return true;
}

std::optional<std::string> headerValue(const http::request<http::string_body> &request,
                                       http::field field)
{
    auto it = request.find(field);
    if (it == request.end())
        return std::nullopt;
    return std::string(it->value());
}

} // namespace

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, ConnectionSlot slot)
    : stream_(std::move(socket)), slot_(std::move(slot)),
      deadline_(std::chrono::steady_clock::now() + slot_.shared().settings.httpTimeout)
{
    boost::system::error_code ec;
    // Answers are small and follow the "waiting" event closely: without
    // this, Nagle's rule holds the answer back until the event is
    // acknowledged, some 40 ms later.
    stream_.socket().set_option(boost::asio::ip::tcp::no_delay(true), ec);
    auto remote = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
    // Once per connection, while the client's socket is surely there.
    const auto local = stream_.socket().local_endpoint(ec);
    if (ec) {
        peerProblem_ = "its addresses are unknown (" + ec.message() + ")";
        return;
    }
    const Settings &settings = slot_.shared().settings;
    peerUid_ = settings.peerLookup ? settings.peerLookup(remote, local, peerProblem_)
                                   : peerUser(remote, local, peerProblem_);
}

void HttpSession::run()
{
    readRequest();
}

void HttpSession::readRequest()
{
    parser_.emplace();
    parser_->header_limit(kMaxHeader);
    parser_->body_limit(kMaxBody);
    // A client that sends its request slowly, or not at all, only holds its
    // own connection, and only this long: the time is counted from the
    // connection's start, so that neither a trickle of bytes nor a request
    // now and then (keep-alive) holds it longer.
    stream_.expires_at(deadline_);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
}

void HttpSession::onRead(beast::error_code ec, size_t)
{
    if (ec)
        return onReadFailed(ec);
    ++requests_;
    Request request = parser_->release();
    SharedState &shared = slot_.shared();
    // With two Host headers, two parts of a chain of proxies and caches
    // could each take a different one: no answer is right.
    if (request.count(http::field::host) > 1) {
        shared.refuse(shared.badRequests, Priority::Notice, who() + ": bad request (two Host headers)");
        return refuse(http::status::bad_request, "bad request: more than one Host\n",
                      request.version());
    }
    const std::string host = headerValue(request, http::field::host).value_or("");
    if (!hostAllowed(shared.rules, host)) {
        shared.refuse(shared.refusedAccess, Priority::Notice,
                      who() + ": refused, Host \"" + printable(host) + "\"");
        if (websocket::is_upgrade(request))
            shared.metrics.refused(Refusal::Host);
        return refuse(http::status::forbidden,
                      "forbidden: this service answers only to a loopback Host\n", request.version());
    }
    if (websocket::is_upgrade(request))
        return upgrade(std::move(request));
    send(answer(request));
}

void HttpSession::onReadFailed(beast::error_code ec)
{
    SharedState &shared = slot_.shared();
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (!parser_->got_some() && (ec == http::error::end_of_stream || ec == beast::error::timeout)) {
        // A keep-alive connection that ends, or falls silent, after its
        // requests is the ordinary course. One that never sent a request is
        // what a browser that blocks the page (Local Network Access, a
        // refused certificate) leaves behind: the operator should see it.
        if (requests_ == 0)
            shared.refuse(shared.silentConnections, Priority::Notice,
                          who() + (ec == beast::error::timeout
                                       ? ": no request within " +
                                             std::to_string(shared.settings.httpTimeout.count()) +
                                             " s, closed"
                                       : ": closed without a request"));
        if (ec == http::error::end_of_stream)
            shutDown(); // a timed-out stream has closed itself
        return;
    }
    const bool malformed = ec.category() == http::make_error_code(http::error::bad_method).category();
    if (!malformed && ec != beast::error::timeout)
        return; // the connection failed (reset): nothing to say
    shared.refuse(shared.badRequests, Priority::Notice, who() + ": bad request (" + ec.message() + ")");
    if (!malformed || ec == http::error::partial_message)
        return; // timed out or gone mid-request: nobody to answer
    if (ec == http::error::header_limit)
        return refuse(http::status::request_header_fields_too_large, "request header too large\n");
    if (ec == http::error::body_limit)
        return refuse(http::status::payload_too_large, "request body too large\n");
    refuse(http::status::bad_request, "bad request: " + ec.message() + "\n");
}

std::string HttpSession::who() const
{
    return "connection " + std::to_string(slot_.number()) + " from " + peer_;
}

void HttpSession::upgrade(Request request)
{
    SharedState &shared = slot_.shared();
    std::string target(request.target());
    if (target.substr(0, target.find('?')) != "/ws")
        return refuse(http::status::not_found, "no WebSocket here: use /ws\n", request.version());
    if (refuseUser(request.version()))
        return;
    // Two Origin headers: which page asked is unknown, so no page may.
    const auto origin = request.count(http::field::origin) > 1
                            ? std::optional<std::string>("(more than one)")
                            : headerValue(request, http::field::origin);
    if (!originAllowed(shared.rules, origin)) {
        shared.refuse(shared.refusedAccess, Priority::Notice,
                      who() + ": refused, Origin \"" + printable(*origin) + "\"");
        shared.metrics.refused(Refusal::Origin);
        return refuse(http::status::forbidden, "forbidden: origin not allowed\n", request.version());
    }
    if (shared.connections >= shared.settings.maxConnections) {
        shared.metrics.refused(Refusal::Limit);
        shared.refuse(shared.connectionLimit, Priority::Notice,
                      who() + ": refused a WebSocket: " +
                          std::to_string(shared.settings.maxConnections) + " are open already");
        return refuse(http::status::service_unavailable,
                      "too many WebSocket connections: try again later\n", request.version());
    }
    shared.note(shared.sessionEvents, Priority::Info,
                who() + ": WebSocket opened" + (origin ? ", Origin " + printable(*origin) : ""));
    slot_.becomeSession();
    stream_.expires_never();
    // What the client sent right behind its request belongs to the WebSocket.
    std::string already = beast::buffers_to_string(buffer_.data());
    std::make_shared<WsSession>(std::move(stream_), std::move(already), std::move(slot_), peer_)
        ->run(std::move(request));
}

bool HttpSession::refuseUser(unsigned version)
{
    SharedState &shared = slot_.shared();
    if (peerUid_ && userAllowed(*peerUid_, shared.settings.allowUsers))
        return false;
    const std::string rule = "only the service's own user and those named with --allow-user "
                             "may open the WebSocket";
    if (!peerUid_) {
        // Fail closed: a client nobody can name is nobody let in.
        shared.metrics.refused(Refusal::UserUnknown);
        shared.refuse(shared.refusedUser, Priority::Notice,
                      who() + ": refused a WebSocket: its user cannot be told (" + peerProblem_ +
                          ")");
        refuse(http::status::forbidden,
               "forbidden: the connection's user cannot be told (" + peerProblem_ + "), and " +
                   rule + "\n",
               version);
        return true;
    }
    const std::string uid = std::to_string(*peerUid_);
    shared.metrics.refused(Refusal::User);
    shared.refuse(shared.refusedUser, Priority::Notice,
                  who() + ": refused a WebSocket: user " + uid + " is not allowed (--allow-user)");
    refuse(http::status::forbidden,
           "forbidden: user " + uid + " may not use the reader: " + rule + "\n", version);
    return true;
}

HttpSession::Response HttpSession::answer(const Request &request)
{
    if (auto field = fieldAnswer(slot_.shared(), request))
        return std::move(*field);
    Response response{http::status::ok, request.version()};
    response.keep_alive(request.keep_alive());
    response.set(http::field::server, "stripedrvd");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    // The page may not be framed by another site (a click on "read" from a
    // foreign page would still come from our origin).
    response.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");

    auto plain = [&](http::status status, const std::string &text) {
        response.result(status);
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = text;
    };
    std::string target(request.target());
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        plain(http::status::method_not_allowed, "only GET and HEAD\n");
        response.set(http::field::allow, "GET, HEAD");
    } else if (auto builtin = builtinFile(target)) {
        // The client module, whatever folder --static names.
        response.set(http::field::content_type, contentType(target.substr(0, target.find('?'))));
        response.body() = std::string(*builtin);
    } else if (auto path = staticPath(slot_.shared().settings.staticDir, target)) {
        std::string content;
        if (readFile(*path, content)) {
            response.set(http::field::content_type, contentType(*path));
            response.body() = std::move(content);
        } else {
            plain(http::status::internal_server_error, "cannot read the file\n");
        }
    } else {
        plain(http::status::not_found, "not found\n");
    }
    response.prepare_payload();
    if (request.method() == http::verb::head)
        response.body().clear(); // Content-Length stays that of the body
    return response;
}

void HttpSession::send(Response response)
{
    auto held = std::make_shared<Response>(std::move(response));
    if (!held->has_content_length())
        held->prepare_payload();
    const bool close = held->need_eof();
    // The answer to a request that came just in time still goes out, within
    // the same time again at most.
    stream_.expires_after(slot_.shared().settings.httpTimeout);
    http::async_write(stream_, *held,
                      [self = shared_from_this(), held, close](beast::error_code ec, size_t n) {
                          self->onWrite(close, ec, n);
                      });
}

void HttpSession::refuse(http::status status, const std::string &text, unsigned version)
{
    Response refused{status, version};
    refused.set(http::field::server, "stripedrvd");
    refused.set(http::field::content_type, "text/plain; charset=utf-8");
    refused.body() = text;
    refused.keep_alive(false);
    send(std::move(refused));
}

void HttpSession::onWrite(bool close, beast::error_code ec, size_t)
{
    if (ec)
        return;
    if (close)
        return shutDown();
    readRequest();
}

void HttpSession::shutDown()
{
    beast::error_code ec;
    stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ec);
    // One second in all, however the client trickles its bytes in.
    stream_.expires_after(std::chrono::seconds(1));
    drain();
}

// Closing a socket that still holds unread bytes sends a reset, which may
// destroy the answer before the client has read it: read what is left
// until the client closes too (a second at most).
void HttpSession::drain()
{
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(1024),
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                                if (!ec)
                                    self->drain();
                            });
}

} // namespace stripedrvd
