// One TCP connection while it speaks HTTP: the demo page's files, the
// health answer and the WebSocket upgrade at /ws, each request checked
// against the rules of access first.
#pragma once

#include "listener.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <memory>
#include <optional>

namespace stripedrvd {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(boost::asio::ip::tcp::socket socket, ConnectionSlot slot);
    void run();

private:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void readRequest();
    void onRead(boost::beast::error_code ec, size_t bytes);
    void onReadFailed(boost::beast::error_code ec);
    void upgrade(Request request);
    // Refuses the upgrade (true) unless the connection's user is let in.
    bool refuseUser(unsigned version);
    Response answer(const Request &request);
    // An answer that ends the connection (a refusal, a bad request).
    void refuse(boost::beast::http::status status, const std::string &text, unsigned version = 11);
    void send(Response response);
    void onWrite(bool close, boost::beast::error_code ec, size_t bytes);
    void shutDown();
    void drain();
    std::string who() const;

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    ConnectionSlot slot_;
    std::string peer_;
    // Who owns the client's socket, as the kernel said at the accept; or,
    // when it could not tell, why.
    std::optional<uid_t> peerUid_;
    std::string peerProblem_;
    size_t requests_ = 0;  // read on this connection so far
    // The end of the time to send requests in, counted from the start.
    std::chrono::steady_clock::time_point deadline_;
};

} // namespace stripedrvd
