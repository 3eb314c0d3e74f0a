// Who holds a serial line: the other processes that have the tty open, and
// those that hold a lock on it. A reader answers one program at a time, so
// stripectl and the language bindings name them instead of sending bytes
// that would reach the reader in the middle of someone else's transaction.
#pragma once

#include <string>
#include <vector>

namespace sdholders {

struct Holder {
    int pid = 0;
    std::string command; // /proc/PID/comm, e.g. "cardtest"; "?" when unreadable
    bool locked = false; // holds a lock on the node (/proc/locks), else only has it open
};

// The processes other than this one that hold `devicePath` (a tty node such
// as /dev/ttyUSB0, or a link to it): an open descriptor in /proc/PID/fd that
// leads to the same device, or an entry in /proc/locks on the node. One
// entry per process, in the order of their pids.
//
// On a pseudo-terminal, the process that has its master side open is the
// line's far end (the simulated reader), not a second program on the line:
// its own descriptors of the tty do not count, only a lock it takes. Processes whose
// descriptors this user may not look at (other users' processes when not
// root) are not seen; neither is anything when /proc cannot be read.
// `procDir` is "/proc" except in tests.
std::vector<Holder> findHolders(const std::string &devicePath,
                                const std::string &procDir = "/proc");

// The number N of a pseudo-terminal /dev/pts/N (or a link to it); -1 for any
// other node, a real serial line among them.
int ptyIndex(const std::string &devicePath);

// "cardtest (pid 812), minicom (pid 1040, locked)"; "" for none.
std::string describeHolders(const std::vector<Holder> &holders);

// Who has the reader when the driver found it held (SD_ERR_BUSY): the
// processes that hold the lock on `devicePath`, or, when the system shows
// none of those, every other process that has it open, described as above.
// "" when nobody can be seen.
std::string describeBusyHolders(const std::string &devicePath,
                                const std::string &procDir = "/proc");

} // namespace sdholders
