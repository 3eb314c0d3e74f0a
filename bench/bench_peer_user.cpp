// bench_peer_user: what asking the kernel for a connection's user costs.
//
// 1. The look-up itself (peerUser: a NETLINK_SOCK_DIAG request for one TCP
//    socket), once on each of 200 fresh loopback connections, as the
//    service makes it at every accept, and then 10,000 times round the
//    same connections; IPv4 and IPv6. Goal: under 0.1 ms a connection.
// 2. As root: reads through the service (in-process, 115200 baud, paced
//    simulated reader) on their own, and while another user (nobody) keeps
//    making WebSocket upgrades that are refused, 200 at a time.
//
//   bench_peer_user            as above, 40 reads each way
//   bench_peer_user --short    fewer of each (CTest: it works, nothing judged)
#include "bench_util.h"
#include "harness.h"
#include "peer_user.h"

#include <boost/asio/io_context.hpp>

#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace ip = boost::asio::ip;

namespace {

constexpr uid_t kNobody = 65534;

bool timeLookups(const char *address, int connections, long repeats)
{
    boost::asio::io_context io;
    ip::tcp::acceptor acceptor(io, ip::tcp::endpoint(ip::make_address(address), 0));
    std::vector<std::unique_ptr<ip::tcp::socket>> clients, servers;
    std::vector<double> first, again;
    bool ok = true;
    for (int i = 0; i < connections; ++i) {
        clients.push_back(std::make_unique<ip::tcp::socket>(io));
        servers.push_back(std::make_unique<ip::tcp::socket>(io));
        clients.back()->connect(acceptor.local_endpoint());
        acceptor.accept(*servers.back());
        const auto peer = servers.back()->remote_endpoint(), ours = servers.back()->local_endpoint();
        std::string problem;
        const double t0 = bench::now();
        auto uid = stripedrvd::peerUser(peer, ours, problem);
        first.push_back(bench::now() - t0);
        ok = ok && uid && *uid == geteuid();
    }
    for (long i = 0; i < repeats; ++i) {
        const auto &server = *servers[size_t(i) % servers.size()];
        std::string problem;
        const double t0 = bench::now();
        auto uid = stripedrvd::peerUser(server.remote_endpoint(), server.local_endpoint(), problem);
        again.push_back(bench::now() - t0);
        ok = ok && uid && *uid == geteuid();
    }
    bench::Stats f = bench::stats(first), a = bench::stats(again);
    std::printf("look-up over %-9s: first on each of %d connections median %.1f us (min %.1f, "
                "mean %.1f, max %.1f) | %ld more: median %.1f us (mean %.1f, max %.1f)%s\n",
                address, connections, f.median * 1e6, f.min * 1e6, f.mean * 1e6, f.max * 1e6,
                repeats, a.median * 1e6, a.mean * 1e6, a.max * 1e6, ok ? "" : "  WRONG UID");
    return ok;
}

// Nothing but system calls: this runs in a child forked from a process
// with threads. One upgrade; true when it was answered 403.
bool refusedUpgrade(unsigned short port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    char request[256];
    const int n = snprintf(request, sizeof request,
                           "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%u\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
                           unsigned(port));
    bool refused = false;
    if (write(fd, request, size_t(n)) == n) {
        char answer[13] = {};
        size_t got = 0;
        while (got < 12) {
            ssize_t r = read(fd, answer + got, 12 - got);
            if (r <= 0)
                break;
            got += size_t(r);
        }
        refused = got == 12 && std::memcmp(answer, "HTTP/1.1 403", 12) == 0;
    }
    close(fd);
    return refused;
}

// As nobody: batches of 200 refused upgrades until `stop` reads end of
// file; the count of those refused and of the others goes to `report`.
[[noreturn]] void flood(unsigned short port, int stop, int report)
{
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
        _exit(2);
    long counts[2] = {0, 0};
    for (;;) {
        for (int i = 0; i < 200; ++i)
            ++counts[refusedUpgrade(port) ? 0 : 1];
        pollfd p{stop, POLLIN, 0};
        if (poll(&p, 1, 0) > 0)
            break;
    }
    ssize_t ignored = write(report, counts, sizeof counts);
    (void)ignored;
    _exit(0);
}

std::vector<double> timedReads(svctest::Client &client, long count, long &id, bool &ok)
{
    std::vector<double> took;
    for (long i = 0; i < count; ++i, ++id) {
        const double t0 = bench::now();
        client.send(svctest::json{{"id", id}, {"op", "read"}, {"timeout", 5}});
        auto answer = client.answerTo(id);
        took.push_back(bench::now() - t0);
        ok = ok && answer && (*answer)["ok"] == true;
    }
    return took;
}

bool readsUnderRefusals(long reads)
{
    if (geteuid() != 0) {
        std::printf("reads under refused connects: skipped, needs root (the refused client "
                    "runs as nobody)\n");
        return true;
    }
    svctest::HarnessOptions options;
    options.pacing = true;
    options.baud = 115200;
    svctest::Harness h(options);
    svctest::Client client(h.port());
    bool ok = true;
    long id = 0;
    timedReads(client, 2, id, ok); // warm-up
    bench::Stats quiet = bench::stats(timedReads(client, reads, id, ok));

    int stop[2], report[2];
    if (pipe(stop) != 0 || pipe(report) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        close(stop[1]);
        close(report[0]);
        flood(h.port(), stop[0], report[1]);
    }
    close(stop[0]);
    close(report[1]);
    bench::Stats busy = bench::stats(timedReads(client, reads, id, ok));
    close(stop[1]);
    long counts[2] = {0, 0};
    const bool reported = read(report[0], counts, sizeof counts) == sizeof counts;
    close(report[0]);
    waitpid(child, nullptr, 0);
    std::printf("read at 115200 baud, %ld each: alone median %.2f ms (min %.2f, max %.2f) | "
                "while nobody's upgrades are refused median %.2f ms (min %.2f, max %.2f), "
                "%+.2f ms | %ld upgrades refused meanwhile, %ld not refused%s\n",
                reads, quiet.median * 1e3, quiet.min * 1e3, quiet.max * 1e3, busy.median * 1e3,
                busy.min * 1e3, busy.max * 1e3, (busy.median - quiet.median) * 1e3, counts[0],
                counts[1], ok ? "" : "  A READ FAILED");
    return ok && reported && counts[1] == 0 && counts[0] > 0;
}

} // namespace

int main(int argc, char **argv)
{
    const bool quick = bench::hasFlag(argc, argv, "--short");
    bool ok = timeLookups("127.0.0.1", quick ? 20 : 200, quick ? 200 : 10000);
    ok = timeLookups("::1", quick ? 20 : 200, quick ? 200 : 10000) && ok;
    if (bench::skipUnderEmulation("reads timed under translation mean nothing")) {
        std::printf("%s\n", ok ? "OK" : "FAIL");
        return ok ? 0 : 1;
    }
    ok = readsUnderRefusals(quick ? 5 : 40) && ok;
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
