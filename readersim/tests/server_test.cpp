// The reader on a real pseudo-terminal: the test plays the host on the slave
// the way the driver does (open, raw mode, speed, commands, close), first
// against the server on a thread, then against the readersim program.
#include "server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
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

// Bytes from `fd` until `count` came, it ends, or `maxMs` pass; with
// `line`, up to the first newline.
std::string readFrom(int fd, size_t count, int maxMs, bool *ended = nullptr, bool line = false)
{
    std::string got;
    for (long long end = nowMs() + maxMs; got.size() < count && nowMs() < end;) {
        pollfd p{fd, POLLIN, 0};
        char c;
        if (poll(&p, 1, static_cast<int>(end - nowMs())) <= 0)
            continue;
        if (read(fd, &c, 1) != 1) {
            if (ended)
                *ended = true;
            break;
        }
        if (line && c == '\n')
            break;
        got += c;
    }
    return got;
}

// The host's end of the line.
class Host {
public:
    explicit Host(const std::string &path, speed_t speed = B9600)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        tcsetattr(fd_, TCSAFLUSH, &t);
    }
    ~Host() { close(fd_); }
    bool ok() const { return fd_ >= 0; }
    void send(const std::string &bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(size_t count, int maxMs = 2000) { return readFrom(fd_, count, maxMs, &hungUp); }
    bool hungUp = false;

private:
    int fd_;
};

// A server on its own thread for the length of a test, unpaced unless asked.
class Running {
public:
    explicit Running(const std::function<void(ServerOptions &)> &set = {}, Card card = {})
        : protocol(card)
    {
        ServerOptions options;
        options.pacing = false;
        if (set)
            set(options);
        options.quiet = true;
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

struct TempDir {
    TempDir() { path = mkdtemp(name) ? name : ""; }
    ~TempDir() { rmdir(path.c_str()); }
    char name[32] = "/tmp/readersim-test-XXXXXX";
    std::string path;
};

// The readersim program; its standard output and error are pipes.
struct Program {
    explicit Program(std::vector<const char *> args)
    {
        int out[2], err[2];
        EXPECT_EQ(pipe(out) | pipe(err), 0);
        args.insert(args.begin(), READERSIM_PROGRAM);
        args.push_back(nullptr);
        if ((pid = fork()) == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            execv(READERSIM_PROGRAM, const_cast<char *const *>(args.data()));
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        this->out = out[0];
        this->err = err[0];
    }
    // Its exit code, or -1 when it had to be killed.
    int finish()
    {
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 300 && !(ended = waitpid(pid, &status, WNOHANG) == pid); ++i)
            usleep(10'000);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        close(out);
        close(err);
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string firstLine() { return readFrom(out, 4096, 3000, nullptr, true); }
    pid_t pid = -1;
    int out = -1, err = -1;
};

} // namespace

TEST(ServerTransactions, ReadStatusAndWriteBackOverManyOpens)
{
    Running r({}, Card{"12=34", "56"});
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
    Host host(r.server->slavePath());
    host.send(ESC + "]");
    EXPECT_EQ(host.receive(6), "s9'9?" + FS);
}

TEST(ServerTransactions, HostThatDiesMidCommandDoesNotStopTheReader)
{
    Running r;
    Host(r.server->slavePath()).send(ESC + "t" + "123");  // the host goes away
    std::this_thread::sleep_for(Ms(1200));                 // the partial command is settled
    Host host(r.server->slavePath());
    host.send(ESC + "j");
    EXPECT_EQ(host.receive(3), ESC + "rp");
}

TEST(ServerLink, RefusesToReplaceAFileThatIsNoLink)
{
    TempDir dir;
    std::string path = dir.path + "/file";
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    Protocol p;
    ServerOptions o;
    o.linkPath = path;
    EXPECT_THROW(Server(p, o), std::runtime_error);
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    unlink(path.c_str());
}

TEST(ServerPacing, BytesFollowTheLineSpeedAndTheByteGap)
{
    // 42 bytes at 1200 baud take 350 ms on a real line.
    Running paced([](ServerOptions &o) { o.pacing = true; }, Card{std::string(39, '1'), ""});
    Host slow(paced.server->slavePath(), B1200);
    EXPECT_EQ(paced.server->lineSpeed(), 1200);
    long long start = nowMs();
    slow.send(ESC + "]");
    EXPECT_EQ(slow.receive(42, 3000).size(), 42u);
    EXPECT_GE(nowMs() - start, 300);

    Running gapped([](ServerOptions &o) { o.byteGapMs = 50; }, Card{"1234", ""});
    Host host(gapped.server->slavePath());
    host.send(ESC + "]");
    start = nowMs();
    EXPECT_EQ(host.receive(7), "s1234?" + FS);
    EXPECT_GE(nowMs() - start, 250);
}

TEST(ServerSwipe, DelayOrKeySwipesAndResetCancels)
{
    Running delayed([](ServerOptions &o) { o.swipeDelay = 0.5; }, Card{"1", ""});
    Host host(delayed.server->slavePath());
    host.send(ESC + "]");
    EXPECT_EQ(host.receive(1, 300), "");  // not swiped yet
    EXPECT_EQ(host.receive(4, 1000), "s1?" + FS);
    host.send(ESC + "j");  // answered at once while no read waits
    EXPECT_EQ(host.receive(3, 200), ESC + "rp");

    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    Running r([&](ServerOptions &o) { o.swipeOnKey = true; o.keyFd = keys[0]; }, Card{"1", ""});
    Host onKey(r.server->slavePath());
    onKey.send(ESC + "]");
    EXPECT_EQ(onKey.receive(1, 300), "");
    ASSERT_EQ(write(keys[1], "\n", 1), 1);
    EXPECT_EQ(onKey.receive(4), "s1?" + FS);
    // The host gives up with the closing pair: a card swiped later is not sent.
    onKey.send(ESC + "T]" + ESC + "0" + ESC + "%A");
    std::this_thread::sleep_for(Ms(100));
    r.server->swipe();
    EXPECT_EQ(onKey.receive(1, 300), "");
    close(keys[1]);
    close(keys[0]);
}

TEST(ServerMisbehaviour, HangUpInTheMiddleThenServeAgainBehindTheLink)
{
    TempDir dir;
    std::string link = dir.path + "/reader";
    Running r([&](ServerOptions &o) { o.hangupAfter = 3; o.linkPath = link; }, Card{"123456", ""});
    {
        Host host(link);
        host.send(ESC + "]");
        EXPECT_EQ(host.receive(9, 1000), "s12");
        EXPECT_TRUE(host.hungUp);
    }
    std::this_thread::sleep_for(Ms(100));
    Host again(link);  // the link follows the new line
    ASSERT_TRUE(again.ok());
    again.send(ESC + "j");
    EXPECT_EQ(again.receive(3, 1000), ESC + "rp");
}

TEST(Program, PrintsThePortAloneServesAndEndsCleanlyOnSigterm)
{
    TempDir dir;
    std::string link = dir.path + "/reader";
    Program p({"--link", link.c_str(), "--track2", "1=2", "--no-pacing", "--hex"});
    std::string port = p.firstLine();
    ASSERT_EQ(port.rfind("pts/", 0), 0u) << port;
    {
        Host host("/dev/" + port);
        host.send(ESC + "]");
        EXPECT_EQ(host.receive(6), "s1'2?" + FS);
    }
    Host byLink(link);
    byLink.send(ESC + "j");
    EXPECT_EQ(byLink.receive(3), ESC + "rp");

    kill(p.pid, SIGTERM);
    std::string log = readFrom(p.err, 4096, 1000);
    EXPECT_EQ(p.finish(), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
    EXPECT_NE(log.find("<- 1B 5D"), std::string::npos) << log;
    EXPECT_NE(log.find("-> 73 31 27 32 3F 1C"), std::string::npos) << log;
}

TEST(Program, SigintHelpAndBadOptions)
{
    Program p({"--quiet"});
    ASSERT_EQ(p.firstLine().rfind("pts/", 0), 0u);
    kill(p.pid, SIGINT);
    EXPECT_EQ(p.finish(), 0);

    Program help({"--help"});
    std::string text = readFrom(help.out, 1 << 16, 2000);
    EXPECT_EQ(help.finish(), 0);
    for (const char *option : {"--link", "--track2", "--track3", "--no-pacing", "--hex",
                               "--swipe-delay", "--swipe-on-key", "--error-byte", "--status",
                               "--no-status", "--silent", "--byte-gap", "--stray",
                               "--hangup-after"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    Program bad({"--no-such-option"});
    std::string said = readFrom(bad.err, 4096, 2000);
    EXPECT_EQ(bad.finish(), 2);
    EXPECT_NE(said.find("--no-such-option"), std::string::npos) << said;
    EXPECT_EQ(Program({"--swipe-delay", "soon"}).finish(), 2);
    EXPECT_EQ(Program({"--error-byte", "12"}).finish(), 2);
}
