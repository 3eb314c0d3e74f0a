// The shape of a command's row in stripectl's table (commands.cpp), and
// what every command file needs to fill one.
#pragma once

#include "context.h"
#include "exit_status.h"
#include "line.h"
#include "options.h"

#include <vector>

namespace stripectl {

// A command's row in the table: its name, how many positional arguments it
// takes (checked before it runs, with these texts for too few and too
// many; null texts give a generic sentence), help, options and the run
// function, which returns the exit status. The line options (port, speed,
// time limit, ...) are taken before it runs, into Context::line.
struct Command {
    const char *name;
    int minArgs, maxArgs;
    const char *tooFewArgs;
    const char *tooManyArgs;
    const char *synopsis;
    const char *summary;
    const char *details;
    std::vector<OptionDef> options;
    int (*run)(Context &, const ParsedOptions &);
};

} // namespace stripectl
