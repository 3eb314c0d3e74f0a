// stripectl's exit statuses. Scripts rely on them; tools/README.md lists
// them.
#pragma once

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

} // namespace stripectl
