// The server on a real pseudo-terminal: the test plays the host on the slave,
// the way the driver does (open, raw mode, speed, commands, close).
#include "server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace readersim;
using Ms = std::chrono::milliseconds;

namespace {

const std::string ESC = "\x1b";
const std::string FS = "\x1c";

long long nowMs()
{
    return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The host's end of the line.
class Host {
public:
    explicit Host(const std::string &path, speed_t speed = B9600)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        tcsetattr(fd_, TCSAFLUSH, &t);
    }
    ~Host() { close(); }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool ok() const { return fd_ >= 0; }
    void send(const std::string &bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes came, or `maxMs` passed.
    std::string receive(size_t count, int maxMs = 2000)
    {
        std::string got;
        long long end = nowMs() + maxMs;
        while (got.size() < count && nowMs() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(end - nowMs())) <= 0)
                continue;
            char buf[256];
            ssize_t n = read(fd_, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0) {
                hungUp_ = true;
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    bool hungUp() const { return hungUp_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

// A server running on its own thread for the length of a test.
class Running {
public:
    explicit Running(ServerOptions options = {}, Card card = {}, Behaviour behaviour = {})
        : protocol(card, behaviour)
    {
        options.quiet = true;
        if (!options.log)
            options.log = [](const std::string &) {};
        server = std::make_unique<Server>(protocol, options);
        thread = std::thread([this] { server->run(); });
    }
    ~Running()
    {
        server->stop();
        thread.join();
    }
    Protocol protocol;
    std::unique_ptr<Server> server;
    std::thread thread;
};

Card card(const std::string &t2, const std::string &t3)
{
    Card c;
    c.track2 = t2;
    c.track3 = t3;
    return c;
}

ServerOptions unpaced()
{
    ServerOptions o;
    o.pacing = false;
    return o;
}

} // namespace

TEST(ServerTransactions, ReadStatusAndWriteBackOverManyOpens)
{
    Running r(unpaced(), card("12=34", "56"));
    {
        Host host(r.server->slavePath());
        ASSERT_TRUE(host.ok());
        host.send(ESC + "B]");
        EXPECT_EQ(host.receive(11), "s12'34A56?" + FS);
        host.send(ESC + "j");
        EXPECT_EQ(host.receive(4), ESC + "Brp");
    }
    // The host closes the line between transactions and comes back.
    {
        Host host(r.server->slavePath());
        host.send(ESC + "t" + "9=9A8" + "\x1d\x1b\\" + ESC + "j");
        EXPECT_EQ(host.receive(4), ESC + "Brp");
        host.send(ESC + "0" + ESC + "%A");
    }
    {
        Host host(r.server->slavePath());
        host.send(ESC + "]");
        EXPECT_EQ(host.receive(6), "s9'9?" + FS);
    }
}

TEST(ServerTransactions, HostThatDiesMidCommandDoesNotStopTheReader)
{
    Running r(unpaced());
    {
        Host host(r.server->slavePath());
        host.send(ESC + "t" + "123");  // the host goes away in the middle
    }
    std::this_thread::sleep_for(Ms(1200));  // the partial command is settled
    Host host(r.server->slavePath());
    host.send(ESC + "j");
    EXPECT_EQ(host.receive(3), ESC + "rp");
}

TEST(ServerLink, LinkPointsAtTheSlaveAndGoesAway)
{
    char dir[] = "/tmp/readersim-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/reader";
    {
        ServerOptions o = unpaced();
        o.linkPath = link;
        Running r(o);
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), r.server->slavePath());
        EXPECT_EQ(r.server->portName().rfind("pts/", 0), 0u);
        Host host(link);
        host.send(ESC + "j");
        EXPECT_EQ(host.receive(3), ESC + "rp");
    }
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    rmdir(dir);
}

TEST(ServerLink, RefusesToReplaceAFileThatIsNoLink)
{
    char dir[] = "/tmp/readersim-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/file";
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    Protocol p;
    ServerOptions o;
    o.linkPath = path;
    EXPECT_THROW(Server(p, o), std::runtime_error);
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    unlink(path.c_str());
    rmdir(dir);
}

TEST(ServerPacing, BytesFollowTheLineSpeedTheHostSet)
{
    // 42 bytes at 1200 baud take 350 ms on a real line.
    Running r(ServerOptions{}, card(std::string(39, '1'), "2"));
    Host host(r.server->slavePath(), B1200);
    EXPECT_EQ(r.server->lineSpeed(), 1200);
    long long start = nowMs();
    host.send(ESC + "]");
    std::string reply = host.receive(42, 3000);
    long long took = nowMs() - start;
    EXPECT_EQ(reply.size(), 42u);
    EXPECT_GE(took, 300);
}

TEST(ServerPacing, ByteGapSpacesTheBytes)
{
    ServerOptions o = unpaced();
    o.byteGapMs = 50;
    Running r(o, card("1234", ""));
    Host host(r.server->slavePath());
    host.send(ESC + "]");
    long long start = nowMs();
    EXPECT_EQ(host.receive(7), "s1234?" + FS);
    EXPECT_GE(nowMs() - start, 250);
}

TEST(ServerSwipe, DelayHoldsTheReadReply)
{
    ServerOptions o = unpaced();
    o.swipeDelay = 0.5;
    Running r(o, card("1", "2"));
    Host host(r.server->slavePath());
    host.send(ESC + "]");
    EXPECT_EQ(host.receive(1, 300), "");  // not swiped yet
    EXPECT_EQ(host.receive(4, 1000), "s1?" + FS);
    // A status request is answered at once while nothing waits.
    host.send(ESC + "j");
    EXPECT_EQ(host.receive(3, 200), ESC + "rp");
}

TEST(ServerSwipe, KeySwipesAndResetCancels)
{
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    ServerOptions o = unpaced();
    o.swipeOnKey = true;
    o.keyFd = keys[0];
    Running r(o, card("1", "2"));
    Host host(r.server->slavePath());

    host.send(ESC + "]");
    EXPECT_EQ(host.receive(1, 300), "");
    ASSERT_EQ(write(keys[1], "\n", 1), 1);
    EXPECT_EQ(host.receive(4), "s1?" + FS);

    // The host gives up with the closing pair: the card swiped later is not
    // sent.
    host.send(ESC + "T]");
    host.send(ESC + "0" + ESC + "%A");
    std::this_thread::sleep_for(Ms(100));
    r.server->swipe();
    EXPECT_EQ(host.receive(1, 300), "");
    close(keys[1]);
    close(keys[0]);
}

TEST(ServerMisbehaviour, HangUpInTheMiddleThenServeAgain)
{
    char dir[] = "/tmp/readersim-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/reader";
    ServerOptions o = unpaced();
    o.hangupAfter = 3;
    o.linkPath = link;
    Running r(o, card("123456", ""));
    {
        Host host(link);
        host.send(ESC + "]");
        EXPECT_EQ(host.receive(9, 1000), "s12");
        EXPECT_TRUE(host.hungUp());
    }
    std::this_thread::sleep_for(Ms(100));
    // The link follows the new line, which works (and hangs up again).
    Host again(link);
    ASSERT_TRUE(again.ok());
    again.send(ESC + "j");
    EXPECT_EQ(again.receive(3, 1000), ESC + "rp");
    again.close();
    unlink(link.c_str());
    rmdir(dir);
}

TEST(ServerMisbehaviour, SilentReaderSendsNothing)
{
    Behaviour b;
    b.silent = true;
    Running r(unpaced(), Card{}, b);
    Host host(r.server->slavePath());
    host.send(ESC + "B]" + ESC + "j");
    EXPECT_EQ(host.receive(1, 300), "");
}
