// Ctrl-C and SIGTERM while a command runs: the driver call under way is
// cut short with MS_Cancel, and the process never hangs on a call that does
// not come back.
#pragma once

#include "context.h"
#include "options.h"

#include <string>

namespace stripectl {

// Runs `run` with Ctrl-C (SIGINT) and SIGTERM handled, and returns its
// result. The first signal cuts the driver call under way short with
// MS_Cancel: the call returns SD_ERR_CANCELLED and the command ends with
// kExitInterrupted. Should the call not return within a second (a call not
// yet under way, or a second signal), the process writes the prepared
// interrupt text and ends at once with kExitInterrupted; the kernel closes
// the port.
int runInterruptible(int (*run)(Context &, const ParsedOptions &), Context &ctx,
                     const ParsedOptions &options);
// True once a signal arrived.
bool interrupted();
// After a driver call came back: the command ends itself, the handler need
// not end the process.
void settleInterrupt();
// The text written to standard error when the process must end from the
// signal handler (empty by default); at most 159 bytes are kept.
void setInterruptText(const std::string &text);

} // namespace stripectl
