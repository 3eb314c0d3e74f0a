// stripectl's entry: the command table and its dispatch (commands.cpp).
// Each command talks to the reader through the driver's exported calls,
// writes its results to `out` and its prompts and errors to `err`, and
// returns the process's exit status (exit_status.h).
#pragma once

#include "command.h"

#include <ostream>
#include <string>
#include <vector>

namespace stripectl {

// Everything short of running the command: the help and version texts, the
// command's options, its argument count and the line settings (into
// ctx.command and ctx.line). Returns the command to run, or nullptr with
// the exit status in `status` once the line is answered or refused.
const Command *parseCommandLine(const std::vector<std::string> &args, Context &ctx,
                                ParsedOptions &options, int &status);

// args: everything after the program name.
int runStripectl(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

} // namespace stripectl
