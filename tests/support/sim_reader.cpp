#include "sim_reader.h"

#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace sdtest {

namespace {

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

InProcessReader::InProcessReader(const readersim::Behaviour &behaviour,
                                 const std::function<void(readersim::ServerOptions &)> &set,
                                 readersim::Card card)
    : protocol_(std::move(card), behaviour)
{
    readersim::ServerOptions options;
    options.pacing = false;
    options.quiet = true;
    options.log = [](const std::string &) {};
    if (set)
        set(options);
    server_ = std::make_unique<readersim::Server>(protocol_, options);
    thread_ = std::thread([this] { server_->run(); });
}

InProcessReader::InProcessReader(bool pacing, const readersim::Behaviour &behaviour)
    : InProcessReader(behaviour, [pacing](readersim::ServerOptions &o) { o.pacing = pacing; })
{
}

InProcessReader::~InProcessReader()
{
    server_->stop();
    thread_.join();
}

ReadersimProgram::ReadersimProgram(const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {readersimProgram()};
    argv.insert(argv.end(), options.begin(), options.end());
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return;
    int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = startProgram(argv, none, out[1], err[1]);
    close(none);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

ReadersimProgram::~ReadersimProgram()
{
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
        waitpid(pid_, nullptr, 0);
    if (out_ >= 0)
        close(out_);
    if (err_ >= 0)
        close(err_);
}

std::string ReadersimProgram::firstLine(int maxMs) { return readFrom(out_, 4096, maxMs, nullptr, true); }

std::string ReadersimProgram::readOut(size_t count, int maxMs) { return readFrom(out_, count, maxMs); }

std::string ReadersimProgram::readErr(size_t count, int maxMs) { return readFrom(err_, count, maxMs); }

int ReadersimProgram::finish(int signal)
{
    if (pid_ <= 0)
        return -1;
    if (signal != 0)
        kill(pid_, signal);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 300 && !(ended = waitpid(pid_, &status, WNOHANG) == pid_); ++i)
        usleep(10'000);
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFrom(int fd, size_t count, int maxMs, bool *ended, bool line)
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

} // namespace sdtest
