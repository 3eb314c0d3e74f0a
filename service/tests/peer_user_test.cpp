// The peer's user as the kernel tells it, against connections made here:
// over IPv4 and IPv6 loopback, an IPv4 client of a dual-stack listener, a
// client socket made by another user (as root), and one that is gone.
#include "harness.h"
#include "peer_user.h"
#include "presence.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/v6_only.hpp>

#include <grp.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

using namespace stripedrvd;
namespace ip = boost::asio::ip;

namespace {

constexpr uid_t kNobody = 65534;

// A listener on `address` and one connection to it from this process.
struct Pair {
    explicit Pair(const ip::address &address, const ip::address &connectTo)
        : acceptor(io, ip::tcp::endpoint(address, 0)), client(io), server(io)
    {
        client.connect(ip::tcp::endpoint(connectTo, acceptor.local_endpoint().port()));
        acceptor.accept(server);
    }
    explicit Pair(const ip::address &address) : Pair(address, address) {}
    // What the service knows of the connection: its peer and its own end.
    std::optional<uid_t> look(std::string &problem) const
    {
        return peerUser(server.remote_endpoint(), server.local_endpoint(), problem);
    }
    std::optional<uid_t> lookInTable(std::string &problem) const
    {
        return peerUserFromSocketTable(server.remote_endpoint(), server.local_endpoint(), problem);
    }

    boost::asio::io_context io;
    ip::tcp::acceptor acceptor;
    ip::tcp::socket client, server;
};

} // namespace

TEST(PeerUser, OwnConnectionsOverIpv4AndIpv6LoopbackAreOurs)
{
    for (const char *address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        Pair pair(ip::make_address(address));
        std::string problem;
        auto uid = pair.look(problem);
        ASSERT_TRUE(uid) << problem;
        EXPECT_EQ(*uid, geteuid());
        // The socket table in /proc, read where netlink cannot be had,
        // tells the same.
        uid = pair.lookInTable(problem);
        ASSERT_TRUE(uid) << problem;
        EXPECT_EQ(*uid, geteuid());
    }
}

TEST(PeerUser, Ipv4ClientOfADualStackListener)
{
    // --allow-remote with [::]: the peer shows as ::ffff:127.0.0.1.
    boost::asio::io_context io;
    ip::tcp::acceptor acceptor(io);
    acceptor.open(ip::tcp::v6());
    acceptor.set_option(ip::v6_only(false));
    acceptor.bind(ip::tcp::endpoint(ip::address_v6::any(), 0));
    acceptor.listen();
    ip::tcp::socket client(io), server(io);
    client.connect(ip::tcp::endpoint(ip::make_address("127.0.0.1"), acceptor.local_endpoint().port()));
    acceptor.accept(server);
    ASSERT_TRUE(server.remote_endpoint().address().to_v6().is_v4_mapped());
    std::string problem;
    auto uid = peerUser(server.remote_endpoint(), server.local_endpoint(), problem);
    ASSERT_TRUE(uid) << problem;
    EXPECT_EQ(*uid, geteuid());
    uid = peerUserFromSocketTable(server.remote_endpoint(), server.local_endpoint(), problem);
    ASSERT_TRUE(uid) << problem;
    EXPECT_EQ(*uid, geteuid());
}

TEST(PeerUser, AnotherUsersClientIsTheirs)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to make a client socket as another user (nobody)";
    boost::asio::io_context io;
    ip::tcp::acceptor acceptor(io, ip::tcp::endpoint(ip::make_address("127.0.0.1"), 0));
    const unsigned short port = acceptor.local_endpoint().port();
    const pid_t child = fork();
    if (child == 0) {
        // Nothing but system calls here: connect as nobody, stay until the
        // service's end closes.
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(2);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
            _exit(3);
        char byte;
        _exit(read(fd, &byte, 1) == 0 ? 0 : 4);
    }
    ASSERT_GT(child, 0);
    ip::tcp::socket server(io);
    acceptor.accept(server);
    std::string problem;
    auto uid = peerUser(server.remote_endpoint(), server.local_endpoint(), problem);
    auto fromTable = peerUserFromSocketTable(server.remote_endpoint(), server.local_endpoint(), problem);
    server.close();
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(uid) << problem;
    EXPECT_EQ(*uid, kNobody);
    EXPECT_EQ(fromTable, uid);
    EXPECT_FALSE(userAllowed(*uid, {}));
    EXPECT_TRUE(userAllowed(*uid, {kNobody}));
}

TEST(PeerUser, AConnectionThatIsGoneCannotBeToldAndSaysWhy)
{
    ip::tcp::endpoint peer, ours;
    {
        Pair pair(ip::make_address("127.0.0.1"));
        peer = pair.server.remote_endpoint();
        ours = pair.server.local_endpoint();
        // Reset (linger 0): no TIME_WAIT socket is left to be found.
        pair.client.set_option(ip::tcp::socket::linger(true, 0));
        pair.client.close();
        pair.server.set_option(ip::tcp::socket::linger(true, 0));
    }
    std::string problem;
    EXPECT_FALSE(peerUser(peer, ours, problem));
    EXPECT_EQ(problem, "the kernel knows no such socket on this machine");
    EXPECT_FALSE(peerUserFromSocketTable(peer, ours, problem));
    EXPECT_EQ(problem, "the kernel knows no such socket on this machine");
    // Two kinds of address cannot be one connection.
    EXPECT_FALSE(peerUser(ip::tcp::endpoint(ip::make_address("::1"), 1), ours, problem));
    EXPECT_NE(problem.find("different kinds"), std::string::npos) << problem;
}

TEST(PeerUser, UsersByNameOrNumberAndTheServicesOwnAlwaysAllowed)
{
    EXPECT_EQ(parseUser("root"), uid_t(0));
    EXPECT_EQ(parseUser("0"), uid_t(0));
    EXPECT_EQ(parseUser("4711"), uid_t(4711)); // a uid without a name (DynamicUser=)
    EXPECT_FALSE(parseUser("no-such-user-here"));
    EXPECT_FALSE(parseUser(""));
    EXPECT_FALSE(parseUser("4294967295")); // (uid_t)-1: "no user"
    EXPECT_FALSE(parseUser("99999999999"));
    EXPECT_FALSE(parseUser("-1"));
    EXPECT_TRUE(userAllowed(geteuid(), {}));
    EXPECT_FALSE(userAllowed(geteuid() + 1, {}));
    EXPECT_TRUE(userAllowed(geteuid() + 1, {geteuid() + 1}));
}

namespace {

std::string upgradeRequest(unsigned short port)
{
    return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
}

// The service in-process, the kernel's answer about every connection's
// user stood in for: `uid`, or a failure.
svctest::HarnessOptions peerIs(std::optional<uid_t> uid, std::vector<uid_t> allowed = {})
{
    svctest::HarnessOptions options;
    options.allowUsers = std::move(allowed);
    options.peerLookup = [uid](const ip::tcp::endpoint &, const ip::tcp::endpoint &,
                               std::string &problem) {
        if (!uid)
            problem = "no netlink socket for the kernel's socket table: Permission denied";
        return uid;
    };
    return options;
}

bool counted(unsigned short port, const std::string &reason, int count)
{
    const std::string metrics = svctest::httpGet(port, "/metrics");
    return metrics.find("stripedrvd_handshakes_refused_total{reason=\"" + reason + "\"} " +
                        std::to_string(count) + "\n") != std::string::npos;
}

} // namespace

TEST(PeerUserService, AnotherUserIsRefusedWith403TheRuleALogLineAndACount)
{
    svctest::Harness h(peerIs(kNobody));
    const std::string answer = svctest::httpExchange(h.port(), upgradeRequest(h.port()));
    EXPECT_EQ(svctest::httpStatus(answer), 403);
    EXPECT_NE(answer.find("forbidden: user 65534 may not use the reader: only the service's own "
                          "user and those named with --allow-user may open the WebSocket"),
              std::string::npos)
        << answer;
    EXPECT_TRUE(h.logged("refused a WebSocket: user 65534 is not allowed (--allow-user)"))
        << h.log();
    // Health and metrics hold no card data: every local user may ask.
    EXPECT_EQ(svctest::httpStatus(svctest::httpGet(h.port(), "/api/health")), 200);
    EXPECT_TRUE(counted(h.port(), "user", 1));
    EXPECT_TRUE(counted(h.port(), "user_unknown", 0));
    EXPECT_THROW(svctest::Client{h.port()}, boost::system::system_error);
}

TEST(PeerUserService, AllowedUserIsLetIn)
{
    svctest::Harness h(peerIs(kNobody, {kNobody}));
    svctest::Client c(h.port());
    EXPECT_EQ(c.greeting()["event"], "reader");
    EXPECT_TRUE(counted(h.port(), "user", 0));
}

TEST(PeerUserService, AUserThatCannotBeToldIsRefusedSayingWhy)
{
    svctest::Harness h(peerIs(std::nullopt));
    const std::string answer = svctest::httpExchange(h.port(), upgradeRequest(h.port()));
    EXPECT_EQ(svctest::httpStatus(answer), 403);
    EXPECT_NE(answer.find("forbidden: the connection's user cannot be told (no netlink socket"),
              std::string::npos)
        << answer;
    EXPECT_TRUE(h.logged("refused a WebSocket: its user cannot be told (no netlink socket"))
        << h.log();
    EXPECT_TRUE(counted(h.port(), "user_unknown", 1));
    EXPECT_EQ(svctest::httpStatus(svctest::httpGet(h.port(), "/metrics")), 200);
}

// A page that reconnects every minute must not leave a watcher behind each
// time: the list holds the clients there are, not all there were.
TEST(PresenceWatchers, ClientsThatLeaveAreNotKept)
{
    boost::asio::io_context io;
    Metrics metrics;
    ReaderQueue queue([](const Request &) { return Outcome{}; }, 4);
    Presence presence(io, PresenceSettings{}, queue, metrics);
    auto stays = std::make_shared<int>(0);
    presence.watch(stays, [](const json &) {});
    for (int i = 0; i < 1000; ++i) {
        auto client = std::make_shared<int>(i);
        presence.watch(client, [](const json &) {});
    }
    EXPECT_EQ(presence.watchers(), 1u);
    EXPECT_LE(presence.watchEntries(), 2u);
    queue.shutdown();
}
