// What the host tests share: running a piece of a test in a child process.
// (The simulated reader is the test support's InProcessReader.)
#pragma once

#include "../link/link_support.h"
#include "sim_reader.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace sdtest {

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
