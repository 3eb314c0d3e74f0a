#include "listener.h"

#include "http_session.h"
#include "log.h"
#include "metrics.h"

namespace stripedrvd {

namespace net = boost::asio;
using tcp = net::ip::tcp;

ConnectionSlot::ConnectionSlot(std::shared_ptr<SharedState> shared) : shared_(std::move(shared))
{
    ++shared_->connections;
    number_ = ++shared_->lastNumber;
}

ConnectionSlot::ConnectionSlot(ConnectionSlot &&other) noexcept
    : shared_(std::move(other.shared_)), number_(other.number_)
{
}

ConnectionSlot::~ConnectionSlot()
{
    if (shared_)
        --shared_->connections;
}

SharedState::SharedState(net::io_context &ioContext, Settings s, ReaderQueue &readerQueue,
                         Field field)
    : io(ioContext), settings(std::move(s)), queue(readerQueue), presence(field.presence),
      metrics(field.metrics)
{
}

Listener::Listener(net::io_context &io, Settings settings, ReaderQueue &queue, Field field)
    : shared_(std::make_shared<SharedState>(io, std::move(settings), queue, field)), acceptor_(io),
      pause_(io)
{
    const tcp::endpoint &endpoint = shared_->settings.listen;
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(net::socket_base::max_listen_connections);
    shared_->rules = makeAccessRules(port(), endpoint.address(), shared_->settings.allowOrigins);
    accept();
}

Listener::~Listener()
{
    stop();
}

unsigned short Listener::port() const
{
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void Listener::stop()
{
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
}

void Listener::accept()
{
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors, most likely: trying again at once would
            // spin on the same error.
            logError("accepting a connection failed: " + ec.message());
            pause_.expires_after(std::chrono::milliseconds(200));
            pause_.async_wait([this](boost::system::error_code waited) {
                if (!waited)
                    accept();
            });
            return;
        }
        if (shared_->connections >= shared_->settings.maxConnections) {
            logNotice("refused a connection: " + std::to_string(shared_->settings.maxConnections) +
                    " are open already");
            shared_->metrics.refused(Refusal::Limit);
            boost::system::error_code ignored;
            socket.close(ignored);
        } else {
            std::make_shared<HttpSession>(std::move(socket), ConnectionSlot(shared_))->run();
        }
        accept();
    });
}

} // namespace stripedrvd
