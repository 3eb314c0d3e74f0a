#include "peer_user.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace stripedrvd {

namespace ip = boost::asio::ip;

namespace {

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// An IPv4 peer of a socket listening on IPv6 ([::] with --allow-remote)
// shows as ::ffff:a.b.c.d; its own socket is an IPv4 one.
ip::address plain(const ip::address &address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return address;
}

// The address as inet_diag_sockid holds it (network order, 4 or 16 bytes).
void put(const ip::address &address, __be32 out[4])
{
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        std::memcpy(out, bytes.data(), bytes.size());
    } else {
        const auto bytes = address.to_v6().to_bytes();
        std::memcpy(out, bytes.data(), bytes.size());
    }
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string errnoText(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

const char *const kNoSuchSocket = "the kernel knows no such socket on this machine";

// An address and port as /proc/net/tcp{,6} prints them: each 32-bit word
// of the address in network order printed as a number of this machine
// ("0100007F" for 127.0.0.1 on a little-endian one), then the port.
std::string tableForm(const ip::address &address, unsigned short port)
{
    __be32 words[4] = {};
    put(address, words);
    char text[48] = {};
    int used = 0;
    for (int i = 0; i < (address.is_v4() ? 1 : 4); ++i)
        used += std::snprintf(text + used, sizeof text - used, "%08X", static_cast<unsigned>(words[i]));
    std::snprintf(text + used, sizeof text - used, ":%04X", port);
    return text;
}

// The netlink look-up could not be made (no such protocol under an emulator
// such as qemu-user, or a kernel built without it), not "no such socket".
bool netlinkUnavailable(int error)
{
    return error == EPROTONOSUPPORT || error == EAFNOSUPPORT || error == EOPNOTSUPP ||
           error == EINVAL || error == ENOSYS;
}

} // namespace

namespace {

// The NETLINK_SOCK_DIAG look-up; `unavailable` says it could not be made at
// all, so that the socket table in /proc may answer instead.
std::optional<uid_t> askNetlink(const ip::address &client, unsigned short clientPort,
                                const ip::address &server, unsigned short serverPort,
                                std::string &problem, bool &unavailable)
{
    unavailable = false;
    Descriptor fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (fd.get() < 0) {
        unavailable = netlinkUnavailable(errno);
        problem = errnoText("no netlink socket for the kernel's socket table", errno);
        return std::nullopt;
    }

    // One exact look-up (no NLM_F_DUMP): the client's own socket, whose
    // local end is the peer's address and port and whose remote end is ours.
    DiagRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = client.is_v4() ? AF_INET : AF_INET6;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    request.body.id.idiag_sport = htons(clientPort);
    request.body.id.idiag_dport = htons(serverPort);
    put(client, request.body.id.idiag_src);
    put(server, request.body.id.idiag_dst);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
        problem = errnoText("asking the kernel for the peer's socket failed", errno);
        return std::nullopt;
    }
    // The kernel answers within the send: nothing to wait for, and the
    // event loop must never block here.
    alignas(nlmsghdr) char answer[1024];
    const ssize_t got = recv(fd.get(), answer, sizeof answer, MSG_DONTWAIT);
    if (got < 0) {
        problem = errnoText("the kernel did not answer about the peer's socket", errno);
        return std::nullopt;
    }
    const auto *header = reinterpret_cast<const nlmsghdr *>(answer);
    if (!NLMSG_OK(header, static_cast<unsigned>(got)) || header->nlmsg_seq != 1) {
        problem = "the kernel's answer about the peer's socket is malformed";
        return std::nullopt;
    }
    if (header->nlmsg_type == NLMSG_ERROR) {
        const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
        const int code = header->nlmsg_len >= NLMSG_LENGTH(sizeof *error) ? -error->error : EPROTO;
        unavailable = netlinkUnavailable(code);
        problem = code == ENOENT ? kNoSuchSocket
                                 : errnoText("the kernel refused to tell the peer's socket", code);
        return std::nullopt;
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        problem = "the kernel's answer about the peer's socket is malformed";
        return std::nullopt;
    }
    const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
    // The socket found must be the one asked for.
    if (found->id.idiag_sport != request.body.id.idiag_sport ||
        found->id.idiag_dport != request.body.id.idiag_dport) {
        problem = "the kernel answered about another socket";
        return std::nullopt;
    }
    return static_cast<uid_t>(found->idiag_uid);
}

} // namespace

std::optional<uid_t> peerUserFromSocketTable(const ip::tcp::endpoint &clientEnd,
                                             const ip::tcp::endpoint &serverEnd, std::string &problem)
{
    const ip::address client = plain(clientEnd.address()), server = plain(serverEnd.address());
    if (client.is_v4() != server.is_v4()) {
        problem = "the connection's two addresses are of different kinds";
        return std::nullopt;
    }
    // /proc/self/net rather than /proc/net: the unit's ProcSubset=pid
    // leaves only the process directories.
    const char *const path = client.is_v4() ? "/proc/self/net/tcp" : "/proc/self/net/tcp6";
    std::ifstream table(path);
    if (!table) {
        problem = errnoText(path, errno);
        return std::nullopt;
    }
    // "sl local rem st queues tr:when retrnsmt uid ...": the client's own
    // socket is the one whose local end is the peer and remote end is ours.
    const std::string local = tableForm(client, clientEnd.port());
    const std::string remote = tableForm(server, serverEnd.port());
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        char slot[16], localText[64], remoteText[64], state[8], queues[32], timer[32], retransmits[16];
        unsigned long uid = 0;
        if (std::sscanf(line.c_str(), "%15s %63s %63s %7s %31s %31s %15s %lu", slot, localText,
                        remoteText, state, queues, timer, retransmits, &uid) == 8 &&
            local == localText && remote == remoteText)
            return static_cast<uid_t>(uid);
    }
    problem = kNoSuchSocket;
    return std::nullopt;
}

std::optional<uid_t> peerUser(const ip::tcp::endpoint &clientEnd, const ip::tcp::endpoint &serverEnd,
                              std::string &problem)
{
    const ip::address client = plain(clientEnd.address()), server = plain(serverEnd.address());
    if (client.is_v4() != server.is_v4()) {
        problem = "the connection's two addresses are of different kinds";
        return std::nullopt;
    }
    bool unavailable = false;
    auto uid = askNetlink(client, clientEnd.port(), server, serverEnd.port(), problem, unavailable);
    if (uid || !unavailable)
        return uid;
    // The same record of the kernel's, as `ss` reads it without netlink.
    std::string tableProblem;
    uid = peerUserFromSocketTable(clientEnd, serverEnd, tableProblem);
    if (!uid)
        problem = tableProblem == kNoSuchSocket ? tableProblem : problem + "; " + tableProblem;
    return uid;
}

bool userAllowed(uid_t uid, const std::vector<uid_t> &allowed)
{
    return uid == geteuid() || std::find(allowed.begin(), allowed.end(), uid) != allowed.end();
}

std::optional<uid_t> parseUser(const std::string &text)
{
    if (!text.empty() && text.size() <= 10 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; })) {
        const unsigned long value = std::stoul(text);
        // (uid_t)-1 stands for "no user" in the calls that take one.
        if (value >= static_cast<unsigned long>(static_cast<uid_t>(-1)))
            return std::nullopt;
        return static_cast<uid_t>(value);
    }
    passwd entry{}, *result = nullptr;
    char buffer[4096];
    if (getpwnam_r(text.c_str(), &entry, buffer, sizeof buffer, &result) != 0 || !result)
        return std::nullopt;
    return result->pw_uid;
}

} // namespace stripedrvd
