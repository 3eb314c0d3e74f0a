#include "program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace sdtest {

pid_t startProgram(const std::vector<std::string> &argv, int in, int out, int err,
                   const std::map<std::string, std::string> &env)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int silent[2];
    if (in < 0 && pipe(silent) == 0)
        in = silent[0]; // the writing end stays open here, and writes nothing
    if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(err, STDERR_FILENO) < 0)
        _exit(126);
    for (const auto &variable : env)
        setenv(variable.first.c_str(), variable.second.c_str(), 1);
    execv(args[0], args.data());
    dprintf(STDERR_FILENO, "cannot run %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

const char *readersimProgram() { return SD_READERSIM_PROGRAM; }

} // namespace sdtest
