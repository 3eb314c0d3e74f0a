#include "http_session.h"

#include "endpoints.h"
#include "log.h"
#include "metrics.h"
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
    : stream_(std::move(socket)), slot_(std::move(slot))
{
    boost::system::error_code ec;
    // Answers are small and follow the "waiting" event closely: without
    // this, Nagle's rule holds the answer back until the event is
    // acknowledged, some 40 ms later.
    stream_.socket().set_option(boost::asio::ip::tcp::no_delay(true), ec);
    auto remote = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
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
    // own connection, and only this long.
    stream_.expires_after(slot_.shared().settings.httpTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
}

void HttpSession::onRead(beast::error_code ec, size_t)
{
    if (ec == http::error::end_of_stream)
        return shutDown();
    if (ec) {
        if (ec != beast::error::timeout && ec != boost::asio::error::operation_aborted)
            logNotice("connection " + std::to_string(slot_.number()) + ": bad request (" +
                    ec.message() + ")");
        return;
    }
    Request request = parser_->release();
    SharedState &shared = slot_.shared();
    const std::string host = headerValue(request, http::field::host).value_or("");
    if (!hostAllowed(shared.rules, host)) {
        logNotice("connection " + std::to_string(slot_.number()) + " from " + peer_ +
                ": refused, Host \"" + printable(host) + "\"");
        if (websocket::is_upgrade(request))
            shared.metrics.refused(Refusal::Host);
        Response refused{http::status::forbidden, request.version()};
        refused.set(http::field::content_type, "text/plain; charset=utf-8");
        refused.body() = "forbidden: this service answers only to a loopback Host\n";
        refused.keep_alive(false);
        return send(std::move(refused));
    }
    if (websocket::is_upgrade(request))
        return upgrade(std::move(request));
    send(answer(request));
}

void HttpSession::upgrade(Request request)
{
    const std::string number = std::to_string(slot_.number());
    std::string target(request.target());
    if (target.substr(0, target.find('?')) != "/ws") {
        Response missing{http::status::not_found, request.version()};
        missing.body() = "no WebSocket here: use /ws\n";
        missing.keep_alive(false);
        return send(std::move(missing));
    }
    const auto origin = headerValue(request, http::field::origin);
    if (!originAllowed(slot_.shared().rules, origin)) {
        logNotice("connection " + number + " from " + peer_ + ": refused, Origin \"" +
                printable(*origin) + "\"");
        slot_.shared().metrics.refused(Refusal::Origin);
        Response refused{http::status::forbidden, request.version()};
        refused.set(http::field::content_type, "text/plain; charset=utf-8");
        refused.body() = "forbidden: origin not allowed\n";
        refused.keep_alive(false);
        return send(std::move(refused));
    }
    logInfo("connection " + number + " from " + peer_ + ": WebSocket opened" +
            (origin ? ", Origin " + printable(*origin) : ""));
    stream_.expires_never();
    std::make_shared<WsSession>(std::move(stream_), std::move(slot_), peer_)
        ->run(std::move(request));
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
    http::async_write(stream_, *held,
                      [self = shared_from_this(), held, close](beast::error_code ec, size_t n) {
                          self->onWrite(close, ec, n);
                      });
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
}

} // namespace stripedrvd
