// What the host tests share: the simulated reader served from a thread.
#pragma once

#include "../link/link_support.h"
#include "server.h"

#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

namespace sdtest {

// The simulated reader with the default card, on a pseudo-terminal of its
// own, served from a thread; pacing gives it the timing of a real line.
class SimulatedReader {
public:
    explicit SimulatedReader(bool pacing) : protocol_(readersim::Card{}, readersim::Behaviour{})
    {
        readersim::ServerOptions options;
        options.pacing = pacing;
        options.quiet = true;
        options.log = [](const std::string &) {};
        server_ = std::make_unique<readersim::Server>(protocol_, options);
        thread_ = std::thread([this] { server_->run(); });
    }
    ~SimulatedReader()
    {
        server_->stop();
        thread_.join();
    }
    SimulatedReader(const SimulatedReader &) = delete;
    SimulatedReader &operator=(const SimulatedReader &) = delete;
    std::string port() const { return server_->portName(); }

private:
    readersim::Protocol protocol_;
    std::unique_ptr<readersim::Server> server_;
    std::thread thread_;
};

// Runs `body` in a forked process; its result is the exit status.
template <typename Body>
int inChild(Body body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + status;
}

} // namespace sdtest
