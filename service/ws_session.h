// One WebSocket client: its messages in, its answers out, and its requests
// handed to the reader queue. Answers come back from the queue's worker
// thread through post(); a session that has gone by then is not touched.
#pragma once

#include "listener.h"
#include "prefixed_stream.h"
#include "wipe.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>
#include <memory>
#include <string>

namespace stripedrvd {

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    // `already`: bytes the client sent behind its upgrade request.
    WsSession(boost::beast::tcp_stream stream, std::string already, ConnectionSlot slot,
              std::string peer);
    ~WsSession();
    void run(boost::beast::http::request<boost::beast::http::string_body> upgrade);
    // Sends one JSON object; a client that leaves too many unread is closed.
    void send(const json &message);

private:
    void onAccept(boost::beast::error_code ec);
    void readMessage();
    void onRead(boost::beast::error_code ec, size_t bytes);
    void handle(const std::string &message);
    void enqueue(const Request &request);
    void cancel(const Request &request);
    void writeNext();
    void onWrite(boost::beast::error_code ec, size_t bytes);
    void drop(const std::string &why);
    // The idle clock: any frame from the client restarts it; it does not
    // run while the client has a request running or waiting.
    void heard();
    void watchIdle();
    void onIdle(boost::beast::error_code ec);
    void answered(const json &answer);

    boost::beast::websocket::stream<PrefixedStream> ws_;
    // Both wipe what they held as they free it: requests and answers carry
    // track data.
    boost::beast::basic_flat_buffer<sdcustody::WipingAllocator<char>> buffer_;
    std::deque<sdcustody::WipedString> outgoing_;
    ConnectionSlot slot_;
    SharedState &shared_;
    std::string peer_;
    bool dropped_ = false;
    boost::asio::steady_timer idle_;
    std::chrono::steady_clock::time_point lastHeard_;
    size_t unanswered_ = 0;  // requests running or waiting for the reader
};

} // namespace stripedrvd
