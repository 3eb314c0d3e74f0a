// stripectl's exit statuses: one table, from which the help text is made.
// Scripts rely on them.
#pragma once

#include <string>

namespace stripectl {

enum ExitStatus {
    kExitOk = 0,        // the command did what it was asked
    kExitFailed = 1,    // the reader or the library reported a failure
    kExitUsage = 2,     // bad command line, or an unreadable/malformed CSV file
    kExitPort = 3,      // the port cannot be opened (code -3)
    kExitNoCard = 4,    // no card was swiped within the time limit (code -2)
    kExitMismatch = 5,  // the card read back differs from what was written
    kExitInterrupted = 130 // stopped by SIGINT/SIGTERM (128 + SIGINT)
};

// The exit status that a failed library call with this code leads to.
ExitStatus exitStatusForCode(int code);

// "Exit status:" and one line per status, as every help text ends.
std::string exitStatusHelp();

} // namespace stripectl
