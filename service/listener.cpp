#include "listener.h"

#include "http_session.h"
#include "log.h"
#include "metrics.h"

namespace stripedrvd {

namespace net = boost::asio;
using tcp = net::ip::tcp;

ConnectionSlot::ConnectionSlot(std::shared_ptr<SharedState> shared) : shared_(std::move(shared))
{
    ++shared_->httpConnections;
    number_ = ++shared_->lastNumber;
}

ConnectionSlot::ConnectionSlot(ConnectionSlot &&other) noexcept
    : shared_(std::move(other.shared_)), number_(other.number_), session_(other.session_)
{
}

ConnectionSlot::~ConnectionSlot()
{
    if (shared_)
        --(session_ ? shared_->connections : shared_->httpConnections);
}

void ConnectionSlot::becomeSession()
{
    if (session_)
        return;
    session_ = true;
    --shared_->httpConnections;
    ++shared_->connections;
}

SharedState::SharedState(net::io_context &ioContext, Settings s, ReaderQueue &readerQueue,
                         Field field)
    : io(ioContext), settings(std::move(s)), queue(readerQueue), presence(field.presence),
      metrics(field.metrics), flush_(ioContext)
{
}

void SharedState::refuse(RateLimit &kind, Priority priority, const std::string &line)
{
    // A session that goes with the stopped loop may still log: no timer then.
    if (!kind.log(priority, line) || flushArmed_ || io.stopped())
        return;
    flushArmed_ = true;
    flush_.expires_after(std::chrono::seconds(1));
    flush_.async_wait([this](boost::system::error_code ec) {
        if (ec)
            return; // the state is going
        flushArmed_ = false;
        flushRefusals();
    });
}

void SharedState::flushRefusals()
{
    for (RateLimit *kind : {&badRequests, &refusedAccess, &refusedUser, &connectionLimit,
                            &silentConnections, &sessionEvents, &cancels, &queueFull})
        kind->flush();
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
        // Each waits at most httpTimeout for its request; the bound keeps a
        // flood of them from taking every descriptor the process has.
        if (shared_->httpConnections >= shared_->settings.maxHttpConnections) {
            shared_->refuse(shared_->connectionLimit, Priority::Notice,
                            "refused a connection: " +
                                std::to_string(shared_->settings.maxHttpConnections) +
                                " HTTP connections are open already");
            boost::system::error_code ignored;
            socket.close(ignored);
        } else {
            std::make_shared<HttpSession>(std::move(socket), ConnectionSlot(shared_))->run();
        }
        accept();
    });
}

} // namespace stripedrvd
