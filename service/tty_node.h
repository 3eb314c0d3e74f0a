// Whether a node below /dev/ can be the reader's line: a terminal of a
// serial port or a pseudo-terminal. Everything else that is a character
// device (/dev/null, /dev/zero, the controlling terminal /dev/tty, the
// console, a virtual console) is not, and must not count as a reader
// that is there.
#pragma once

#include <string>

namespace stripedrvd {

// True when `path` is a character device that is a terminal and not one
// of the system's own (tty, console, ptmx, virtual consoles). A node that
// this user may not open is judged by its device number alone: it is
// there, and the transaction will say why it cannot be used.
bool readerTty(const std::string &path);

} // namespace stripedrvd
