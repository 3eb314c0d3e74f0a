// The service's working directory.
//
// The driver reads its trace switch from "CONFIG.ini" in the working
// directory and appends every command, track data included, to
// "DataLog.log" there. A user unit starts in the home folder, where any
// leftover CONFIG.ini would switch that on. So the service works in a
// folder of its own and says itself whether the driver traces.
#pragma once

#include <string>

namespace stripedrvd {

// $STATE_DIRECTORY (systemd's StateDirectory=; the first when it lists
// several), else $XDG_STATE_HOME/stripedrvd, else ~/.local/state/stripedrvd;
// empty when there is no home either.
std::string stateDirectory();

// Creates `dir` (0700, its parents as needed), makes it the working
// directory and writes its CONFIG.ini with the trace switch on or off.
// A directory there already must be the service user's own (one open to
// others is made 0700, with a warning); CONFIG.ini is replaced, never
// followed; with `trace`, DataLog.log must be a file of the user's own (one
// open to others is made 0600, with a warning), a new one is made 0600.
// False, and why in `problem`, when any of it fails.
bool enterStateDirectory(const std::string &dir, bool trace, std::string &problem);

} // namespace stripedrvd
