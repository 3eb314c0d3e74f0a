// The reader on a real pseudo-terminal: the test plays the host on the slave
// the way the driver does (open, raw mode, speed, commands, close), first
// against the server on a thread, then against the readersim program.
#include "pty_peer.h"
#include "sim_reader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

using namespace readersim;
using sdtest::readFrom;
using Program = sdtest::ReadersimProgram;
using Ms = std::chrono::milliseconds;

namespace {

const std::string ESC = "\x1b";
const std::string FS = "\x1c";

long long nowMs()
{
    return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the reader says (its log), kept for the test to wait on: it outlives
// the server that writes to it.
class Said {
public:
    std::function<void(const std::string &)> sink()
    {
        return [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex_);
            text_ += line + "\n";
        };
    }
    // Waits up to 30 s for a line holding `part`.
    bool waitFor(const std::string &part) const
    {
        for (const long long end = nowMs() + 30000; nowMs() < end;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (text_.find(part) != std::string::npos)
                    return true;
            }
            std::this_thread::sleep_for(Ms(5));
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

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
struct Running : sdtest::InProcessReader {
    explicit Running(const std::function<void(ServerOptions &)> &set = {}, Card card = {})
        : InProcessReader({}, set, std::move(card)) {}
};


} // namespace

TEST(ServerTransactions, ReadStatusAndWriteBackOverManyOpens)
{
    Running r({}, Card{"12=34", "56"});
    {
        Host host(r.server().slavePath());
        ASSERT_TRUE(host.ok());
        host.send(ESC + "B]");
        EXPECT_EQ(host.receive(11), "s12'34A56?" + FS);
        host.send(ESC + "j");
        EXPECT_EQ(host.receive(4), ESC + "Brp");
    }
    // The host closes the line between transactions and comes back.
    {
        Host host(r.server().slavePath());
        host.send(ESC + "t" + "9=9A8" + "\x1d\x1b\\" + ESC + "j");
        EXPECT_EQ(host.receive(4), ESC + "Brp");
        host.send(ESC + "0" + ESC + "%A");
    }
    Host host(r.server().slavePath());
    host.send(ESC + "]");
    EXPECT_EQ(host.receive(6), "s9'9?" + FS);
}

TEST(ServerTransactions, HostThatDiesMidCommandDoesNotStopTheReader)
{
    Said said;
    Running r([&](ServerOptions &o) { o.quiet = false; o.log = said.sink(); });
    Host(r.server().slavePath()).send(ESC + "t" + "123");  // the host goes away
    ASSERT_TRUE(said.waitFor("ignored 1B 74 31 32 33"));   // the partial command is settled
    Host host(r.server().slavePath());
    host.send(ESC + "j");
    EXPECT_EQ(host.receive(3), ESC + "rp");
}

TEST(ServerLink, RefusesToReplaceAFileThatIsNoLink)
{
    sdtest::TempWorkDir dir;
    std::string path = dir.path() + "/file";
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
    Host slow(paced.server().slavePath(), B1200);
    EXPECT_EQ(paced.server().lineSpeed(), 1200);
    long long start = nowMs();
    slow.send(ESC + "]");
    EXPECT_EQ(slow.receive(42, 3000).size(), 42u);
    EXPECT_GE(nowMs() - start, 300);

    Running gapped([](ServerOptions &o) { o.byteGapMs = 50; }, Card{"1234", ""});
    Host host(gapped.server().slavePath());
    host.send(ESC + "]");
    start = nowMs();
    EXPECT_EQ(host.receive(7), "s1234?" + FS);
    EXPECT_GE(nowMs() - start, 250);
}

TEST(ServerSwipe, DelayOrKeySwipesAndResetCancels)
{
    Running delayed([](ServerOptions &o) { o.swipeDelay = 0.5; }, Card{"1", ""});
    Host host(delayed.server().slavePath());
    host.send(ESC + "]");
    EXPECT_EQ(host.receive(1, 300), "");  // not swiped yet
    EXPECT_EQ(host.receive(4, 5000), "s1?" + FS);
    host.send(ESC + "j");  // answered while no read waits (with one, never)
    EXPECT_EQ(host.receive(3, 5000), ESC + "rp");

    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    Said said;
    Running r(
        [&](ServerOptions &o) {
            o.swipeOnKey = true;
            o.keyFd = keys[0];
            o.quiet = false;
            o.log = said.sink();
        },
        Card{"1", ""});
    Host onKey(r.server().slavePath());
    onKey.send(ESC + "]");
    EXPECT_EQ(onKey.receive(1, 300), "");
    ASSERT_EQ(write(keys[1], "\n", 1), 1);
    EXPECT_EQ(onKey.receive(4), "s1?" + FS);
    // The host gives up with the closing pair: a card swiped later is not sent.
    onKey.send(ESC + "T]" + ESC + "0" + ESC + "%A");
    ASSERT_TRUE(said.waitFor("the read waiting for a card is cancelled"));
    r.server().swipe();
    EXPECT_EQ(onKey.receive(1, 300), "");
    close(keys[1]);
    close(keys[0]);
}

TEST(ServerMisbehaviour, HangUpInTheMiddleThenServeAgainBehindTheLink)
{
    sdtest::TempWorkDir dir;
    std::string link = dir.path() + "/reader";
    Said said;
    Running r([&](ServerOptions &o) { o.hangupAfter = 3; o.linkPath = link; o.log = said.sink(); },
              Card{"123456", ""});
    {
        Host host(link);
        host.send(ESC + "]");
        EXPECT_EQ(host.receive(9, 1000), "s12");
        EXPECT_TRUE(host.hungUp);
    }
    ASSERT_TRUE(said.waitFor("serving again"));
    Host again(link);  // the link follows the new line
    ASSERT_TRUE(again.ok());
    again.send(ESC + "j");
    EXPECT_EQ(again.receive(3, 1000), ESC + "rp");
}

TEST(Program, PrintsThePortAloneServesAndEndsCleanlyOnSigterm)
{
    sdtest::TempWorkDir dir;
    std::string link = dir.path() + "/reader";
    Program p({"--link", link, "--track2", "1=2", "--no-pacing", "--hex"});
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

    kill(p.pid(), SIGTERM);
    std::string log = p.readErr(4096, 1000);
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
    EXPECT_EQ(p.finish(SIGINT), 0);

    Program help({"--help"});
    std::string text = help.readOut(1 << 16, 2000);
    EXPECT_EQ(help.finish(), 0);
    for (const char *option : {"--link", "--track2", "--track3", "--no-pacing", "--hex",
                               "--swipe-delay", "--swipe-on-key", "--error-byte", "--status",
                               "--no-status", "--silent", "--byte-gap", "--stray",
                               "--hangup-after"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    Program bad({"--no-such-option"});
    std::string said = bad.readErr(4096, 2000);
    EXPECT_EQ(bad.finish(), 2);
    EXPECT_NE(said.find("--no-such-option"), std::string::npos) << said;
    EXPECT_EQ(Program({"--swipe-delay", "soon"}).finish(), 2);
    EXPECT_EQ(Program({"--error-byte", "12"}).finish(), 2);
}
