// Whether the driver's trace is switched on for a program, and where it
// writes. The driver reads its switch from CONFIG.ini in the working
// directory on every entry and appends to DataLog.log beside it, in plain
// text, the full data of every card read or written. Every program of ours
// says so at start when it finds the switch on (stripectl, the service,
// the console, the Python binding), and `stripectl doctor` fails on it.
#pragma once

#include "stripedrv.h"

#include <string>
#include <vector>

namespace sdcustody {

// The driver's INI lookup (X_INIKeyString's shape): the switch is read
// with the driver's own rules. The console, which does not link the
// driver, passes the function it resolved from the library it loaded.
typedef int (*IniLookup)(const char *szFile, const char *szSection, const char *szKey,
                         char *szOut, const char *szDefault);

struct TraceSetting {
    bool on = false;
    std::string config; // DIR/CONFIG.ini
    std::string log;    // DIR/DataLog.log
};

// The trace setting of `dir` (a program's working directory).
TraceSetting traceIn(const std::string &dir, IniLookup lookup);
inline TraceSetting traceIn(const std::string &dir)
{
    return traceIn(dir, X_INIKeyString);
}

// The working directory, "." when it cannot be named.
std::string workingDirectory();

// The warning a program gives at start when the trace is on: "" when off.
std::string traceWarning(const TraceSetting &trace);
// traceWarning for the working directory.
inline std::string traceWarningHere()
{
    return traceWarning(traceIn(workingDirectory()));
}

// Where a trace of ours may have been written on this machine: the working
// directory, the reader service's state directory (the user service's and
// the system service's), the console's working directory. Folders only,
// without duplicates, in that order.
std::vector<std::string> traceFolders();

} // namespace sdcustody
