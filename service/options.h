// stripedrvd's command line and configuration file.
#pragma once

#include "discovery.h"
#include "listener.h"

#include <ostream>
#include <string>
#include <vector>

namespace stripedrvd {

struct Options {
    Settings settings;
    int baud = 9600;
    UsbId match;               // the adapter --reader auto looks for
    bool allowRemote = false;
    bool trace = false;   // let the driver write its trace (track data!)
};

// Parses the arguments (argv[0] included) and the configuration file
// (--config FILE, else the user's ~/.config/stripedrvd/stripedrvd.conf, else
// /etc/stripedrvd/stripedrvd.conf, when there is one). Returns -1 to go on,
// or the exit status to end with after --help, --version or a mistake
// (explained on `err`).
int parseOptions(int argc, const char *const *argv, Options &options, std::ostream &out,
                 std::ostream &err);

} // namespace stripedrvd
