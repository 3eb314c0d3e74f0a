#include "child_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace tooltest {

namespace {

using Clock = std::chrono::steady_clock;

int decodeStatus(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

std::vector<char *> argvPointers(const std::vector<std::string> &argv)
{
    std::vector<char *> pointers;
    for (const std::string &arg : argv)
        pointers.push_back(const_cast<char *>(arg.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// In the child: exec or report why not with status 127.
[[noreturn]] void execOrDie(const std::vector<std::string> &argv)
{
    std::vector<char *> pointers = argvPointers(argv);
    execv(pointers[0], pointers.data());
    dprintf(2, "cannot run %s: %s\n", pointers[0], strerror(errno));
    _exit(127);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

} // namespace

RunResult run(const std::vector<std::string> &argv, const std::string &cwd, int timeoutMs,
              int interruptAfterMs)
{
    RunResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return result;
    Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execOrDie(argv);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool killed = false;
    bool interrupted = interruptAfterMs < 0;
    while (open > 0) {
        int elapsed = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        int left = timeoutMs - elapsed;
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (!interrupted && elapsed >= interruptAfterMs) {
            kill(pid, SIGINT);
            interrupted = true;
        }
        int wait = killed ? 1000 : left;
        if (!interrupted)
            wait = std::min(wait, interruptAfterMs - elapsed);
        if (poll(fds, 2, wait) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    int waitStatus = 0;
    waitpid(pid, &waitStatus, 0);
    result.status = decodeStatus(waitStatus);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

SimReader::SimReader(const std::vector<std::string> &options)
{
    char pattern[] = "/tmp/readersim-stderr-XXXXXX";
    int errFd = mkstemp(pattern);
    if (errFd < 0)
        return;
    stderrPath_ = pattern;
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        close(errFd);
        return;
    }
    std::vector<std::string> argv = {READERSIM_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(outPipe[1], 1);
        dup2(errFd, 2);
        // Keep standard input open and silent: --swipe-on-key then never swipes.
        int pipeIn[2];
        if (pipe(pipeIn) == 0)
            dup2(pipeIn[0], 0);
        execOrDie(argv);
    }
    close(errFd);
    close(outPipe[1]);
    // The first line is the port name.
    std::string line;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    pollfd fd = {outPipe[0], POLLIN, 0};
    while (Clock::now() < deadline && line.find('\n') == std::string::npos) {
        if (poll(&fd, 1, 200) <= 0)
            continue;
        char c;
        if (read(outPipe[0], &c, 1) != 1)
            break;
        line += c;
    }
    close(outPipe[0]);
    if (line.find('\n') != std::string::npos)
        port_ = line.substr(0, line.find('\n'));
}

SimReader::~SimReader()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (!stderrPath_.empty())
        unlink(stderrPath_.c_str());
}

std::string SimReader::stderrText() const
{
    std::ifstream in(stderrPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SimReader::waitForStderr(const std::string &part, int ms) const
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (stderrText().find(part) == std::string::npos) {
        if (Clock::now() >= deadline)
            return false;
        usleep(20000);
    }
    return true;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/stripectl-test-XXXXXX";
    if (mkdtemp(pattern))
        path_ = pattern;
}

TempDir::~TempDir()
{
    if (!path_.empty())
        nftw(path_.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
}

void TempDir::write(const std::string &name, const std::string &content) const
{
    std::ofstream(file(name), std::ios::binary) << content;
}

std::string TempDir::read(const std::string &name) const
{
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace tooltest
