// stripectl: the command-line tool for the magnetic-stripe reader/writer,
// for technicians on a kiosk over SSH and for scripts. See tools/README.md.
#include "commands.h"
#include "process.h"
#include "trace.h"
#include "wipe.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Standard output's buffer is ours, so that the card it printed can be
// wiped once it is out.
char g_outputBuffer[BUFSIZ];

} // namespace

int main(int argc, char **argv)
{
    // No card in a core dump, whatever the shell's limit.
    const std::string unprotected = sdcustody::refuseCoreDumps();
    if (!unprotected.empty())
        std::cerr << "stripectl: warning: " << unprotected << "\n";
    std::setvbuf(stdout, g_outputBuffer, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF,
                 sizeof g_outputBuffer);
    const std::string trace = sdcustody::traceWarningHere();
    if (!trace.empty())
        std::cerr << "stripectl: warning: " << trace << "\n";

    std::vector<std::string> args(argv + 1, argv + argc);
    int status = stripectl::runStripectl(args, std::cout, std::cerr);
    std::cout.flush();
    std::fflush(stdout);
    sdcustody::wipe(g_outputBuffer);
    sdcustody::scrubStack();
    return status;
}
