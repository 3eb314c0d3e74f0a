// A TCP stream that first hands out bytes already read from it.
//
// The HTTP parser reads the socket in chunks, so a client that sends its
// first WebSocket frame right behind the upgrade request has part of that
// frame in the HTTP session's buffer. The WebSocket stream reads through
// this layer, which serves those bytes before anything new from the socket.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <string>
#include <utility>

namespace stripedrvd {

class PrefixedStream {
public:
    using executor_type = boost::beast::tcp_stream::executor_type;
    using next_layer_type = boost::beast::tcp_stream;

    PrefixedStream(boost::beast::tcp_stream stream, std::string already)
        : stream_(std::move(stream)), already_(std::move(already))
    {
    }

    executor_type get_executor() noexcept { return stream_.get_executor(); }
    next_layer_type &next_layer() noexcept { return stream_; }
    const next_layer_type &next_layer() const noexcept { return stream_; }

    template <class MutableBuffers, class ReadHandler>
    auto async_read_some(const MutableBuffers &buffers, ReadHandler &&handler)
    {
        if (already_.empty())
            return stream_.async_read_some(buffers, std::forward<ReadHandler>(handler));
        return boost::asio::async_initiate<ReadHandler, void(boost::beast::error_code, size_t)>(
            [this](auto &&done, const MutableBuffers &into) {
                size_t n = boost::asio::buffer_copy(into, boost::asio::buffer(already_));
                already_.erase(0, n);
                boost::asio::post(get_executor(),
                                  boost::beast::bind_front_handler(std::move(done),
                                                                   boost::beast::error_code{}, n));
            },
            handler, buffers);
    }

    template <class ConstBuffers, class WriteHandler>
    auto async_write_some(const ConstBuffers &buffers, WriteHandler &&handler)
    {
        return stream_.async_write_some(buffers, std::forward<WriteHandler>(handler));
    }

private:
    boost::beast::tcp_stream stream_;
    std::string already_;
};

// The WebSocket close ends the TCP connection as the stream below does.
inline void teardown(boost::beast::role_type role, PrefixedStream &stream,
                     boost::beast::error_code &ec)
{
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}

template <class TeardownHandler>
void async_teardown(boost::beast::role_type role, PrefixedStream &stream, TeardownHandler &&handler)
{
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<TeardownHandler>(handler));
}

} // namespace stripedrvd
