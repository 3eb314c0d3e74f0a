// What the host tests share: the simulated reader, a forked child.
#pragma once

#include "../link/link_support.h"
#include "sim_reader.h"

#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace sdtest {

// The simulated reader with the default card, in this process; pacing
// gives it the timing of a real line.
inline std::unique_ptr<InProcessReader> simulatedReader(bool pacing)
{
    return std::make_unique<InProcessReader>(
        readersim::Behaviour{}, [=](readersim::ServerOptions &o) { o.pacing = pacing; });
}

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
