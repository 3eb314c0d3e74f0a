// The readersim program as users and scripts start it: the port name alone
// on the first line, a clean end on SIGTERM and SIGINT, the link removed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string ESC = "\x1b";

struct Child {
    pid_t pid = -1;
    int out = -1;   // its standard output
    int err = -1;   // its standard error
};

Child start(const std::vector<std::string> &args)
{
    int out[2], err[2];
    Child c;
    if (pipe(out) != 0 || pipe(err) != 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        close(out[0]);
        close(err[0]);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(READERSIM_PROGRAM));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(READERSIM_PROGRAM, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    c.out = out[0];
    c.err = err[0];
    return c;
}

// Everything on `fd` until it ends or `ms` pass; with `line`, only up to
// the first newline.
std::string readFrom(int fd, int ms, bool line = false)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char c;
        if (read(fd, &c, 1) != 1)
            break;
        if (line && c == '\n')
            break;
        got += c;
    }
    return got;
}

// Waits for the child's end; its exit code, or -1 when it had to be killed.
int finish(Child &c, int ms = 3000)
{
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
            close(c.out);
            close(c.err);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10'000);
    }
    kill(c.pid, SIGKILL);
    waitpid(c.pid, &status, 0);
    close(c.out);
    close(c.err);
    return -1;
}

class TempDir {
public:
    TempDir()
    {
        char d[] = "/tmp/readersim-prog-XXXXXX";
        path = mkdtemp(d) ? d : "";
    }
    ~TempDir() { rmdir(path.c_str()); }
    std::string path;
};

std::string exchange(const std::string &device, const std::string &command, size_t want)
{
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return "open failed";
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSAFLUSH, &t);
    if (write(fd, command.data(), command.size()) < 0)
        return "write failed";
    std::string got;
    for (int i = 0; i < 100 && got.size() < want; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char buf[256];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return got;
}

} // namespace

TEST(Program, PrintsThePortAloneServesAndEndsCleanlyOnSigterm)
{
    TempDir dir;
    std::string link = dir.path + "/reader";
    Child c = start({"--link", link, "--track2", "1=2", "--no-pacing", "--hex"});
    ASSERT_GT(c.pid, 0);
    std::string port = readFrom(c.out, 3000, true);
    ASSERT_EQ(port.rfind("pts/", 0), 0u) << port;
    struct stat st {};
    ASSERT_EQ(stat(("/dev/" + port).c_str(), &st), 0);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), "/dev/" + port);

    EXPECT_EQ(exchange("/dev/" + port, ESC + "]", 5), "s1'2?\x1c");
    EXPECT_EQ(exchange(link, ESC + "j", 3), ESC + "rp");

    kill(c.pid, SIGTERM);
    std::string log = readFrom(c.err, 1000);
    EXPECT_EQ(finish(c), 0);
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
    EXPECT_NE(log.find("<- 1B 5D"), std::string::npos) << log;
    EXPECT_NE(log.find("-> 73 31 27 32 3F 1C"), std::string::npos) << log;
}

TEST(Program, SigintEndsItToo)
{
    Child c = start({"--quiet"});
    std::string port = readFrom(c.out, 3000, true);
    ASSERT_EQ(port.rfind("pts/", 0), 0u) << port;
    kill(c.pid, SIGINT);
    EXPECT_EQ(finish(c), 0);
}

TEST(Program, HelpAndBadOptions)
{
    Child help = start({"--help"});
    std::string text = readFrom(help.out, 2000);
    EXPECT_EQ(finish(help), 0);
    for (const char *option : {"--link", "--track2", "--track3", "--no-pacing", "--hex",
                               "--swipe-delay", "--swipe-on-key", "--error-byte", "--status",
                               "--no-status", "--silent", "--byte-gap", "--stray",
                               "--hangup-after"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    Child bad = start({"--no-such-option"});
    std::string said = readFrom(bad.err, 2000);
    EXPECT_EQ(finish(bad), 2);
    EXPECT_NE(said.find("--no-such-option"), std::string::npos) << said;

    Child badValue = start({"--swipe-delay", "soon"});
    EXPECT_EQ(finish(badValue), 2);
    Child badByte = start({"--error-byte", "12"});
    EXPECT_EQ(finish(badByte), 2);
}
