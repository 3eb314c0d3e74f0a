// stripectl's entry: the command table and its dispatch (commands.cpp).
// Each command talks to the reader through the driver's exported calls,
// writes its results to `out` and its prompts and errors to `err`, and
// returns the process's exit status (common.h).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace stripectl {

// args: everything after the program name.
int runStripectl(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

} // namespace stripectl
