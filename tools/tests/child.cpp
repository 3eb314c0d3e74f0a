#include "child.h"

#include "program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace ctltest {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool waitForFile(const std::string &path)
{
    for (int i = 0; i < 1500 && access(path.c_str(), F_OK) != 0; ++i)
        usleep(20000);
    return access(path.c_str(), F_OK) == 0;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &name,
            const std::map<std::string, std::string> &env)
{
    int out = open((name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open((name + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = sdtest::startProgram(argv, -1, out, err, env);
    close(out);
    close(err);
    return pid;
}

RunResult finish(pid_t pid, const std::string &name, const std::function<bool()> &interruptWhen)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point killAt = Clock::now() + std::chrono::seconds(90);
    Clock::time_point interruptedAt{};
    bool interrupted = false;
    int status = 0;
    for (; pid > 0 && waitpid(pid, &status, WNOHANG) == 0; usleep(5000)) {
        if (!interrupted && interruptWhen && interruptWhen()) {
            interrupted = true;
            interruptedAt = Clock::now();
            kill(pid, SIGINT);
        }
        if (Clock::now() > killAt)
            kill(pid, SIGKILL);
    }
    RunResult r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                readFile(name + ".out"), readFile(name + ".err")};
    if (interrupted)
        r.afterInterrupt = Clock::now() - interruptedAt;
    return r;
}

SimReader::SimReader(std::vector<std::string> options)
{
    options.insert(options.begin(), {sdtest::readersimProgram(), "--no-pacing"});
    pid_ = spawn(options, "readersim");
    // Up to 30 s: readersim starts slowly under an emulator on a busy machine.
    for (int i = 0; i < 1500 && port_.empty(); ++i) {
        usleep(20000);
        std::string out = readFile("readersim.out");
        if (out.find('\n') != std::string::npos)
            port_ = out.substr(0, out.find('\n'));
    }
}

SimReader::~SimReader()
{
    if (pid_ > 0 && kill(pid_, SIGTERM) == 0)
        waitpid(pid_, nullptr, 0);
}

bool SimReader::waitForLog(const std::string &part) const
{
    for (int i = 0; i < 1500 && !contains(log(), part); ++i)
        usleep(20000);
    return contains(log(), part);
}

} // namespace ctltest
