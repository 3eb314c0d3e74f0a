// What the library's status codes mean to a technician, and the exit
// statuses of stripectl.
#pragma once

#include <string>

namespace stripectl {

// Exit statuses. Scripts may rely on them; tools/README.md lists them.
enum ExitStatus {
    kExitOk = 0,        // the command did what it was asked
    kExitFailed = 1,    // the reader or the library reported a failure
    kExitUsage = 2,     // bad command line, or an unreadable/malformed CSV file
    kExitPort = 3,      // the port cannot be opened (code -3)
    kExitNoCard = 4,    // no card was swiped within the time limit (code -2)
    kExitMismatch = 5,  // the card read back differs from what was written
    kExitInterrupted = 130 // encode stopped by SIGINT/SIGTERM (128 + SIGINT)
};

// A clear English sentence for a result of MS_ReadCard, MS_WriteCard,
// MSR_Reset, OpenCOM, GetVersionInfo or ProbeDeviceId: the negative codes
// and the reader's error bytes that a read passes through (48..57 for
// "0".."9", 20..23 for "A".."D"). Never empty.
std::string codeMessage(int code);

// The same for the calls that query the reader without a card (OpenCOM,
// GetVersionInfo, ProbeDeviceId, MSR_Reset), where -2 means that the reader
// did not answer and -3 can only mean the port.
std::string queryMessage(int code);

// True when codeMessage knows the code (false for values the library never
// returns, which get a generic sentence).
bool isKnownCode(int code);

// The exit status that a failed library call with this code leads to.
ExitStatus exitStatusForCode(int code);

} // namespace stripectl
