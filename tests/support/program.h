// Starting a program of this build as a child process: the one launcher of
// the tests that run readersim, stripectl or the udev test bed.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sdtest {

// Starts argv[0] (a path) with its standard output and error on `out` and
// `err`, and its standard input on `in`; with `in` < 0 its standard input
// is a pipe that stays open and silent (readersim --swipe-on-key then never
// swipes). `env` is added to its environment. The descriptors are the
// caller's to close. Returns the child's pid, or -1.
pid_t startProgram(const std::vector<std::string> &argv, int in, int out, int err,
                   const std::map<std::string, std::string> &env = {});

// The readersim program of this build (under the emulator in a cross build).
const char *readersimProgram();

} // namespace sdtest
