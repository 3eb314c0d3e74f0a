#include "tty_node.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace stripedrvd {

namespace {

// Linux's fixed device numbers (Documentation/admin-guide/devices.txt).
constexpr unsigned kMemoryMajor = 1;   // null, zero, full, random, mem...
constexpr unsigned kVirtualMajor = 4;  // tty0-tty63 virtual consoles, ttyS from 64 on
constexpr unsigned kFirstSerialMinor = 64;
constexpr unsigned kTtyAuxMajor = 5;   // tty (controlling), console, ptmx: 0, 1, 2

bool systemTerminal(dev_t device)
{
    const unsigned major = ::major(device), minor = ::minor(device);
    return major == kMemoryMajor || (major == kVirtualMajor && minor < kFirstSerialMinor) ||
           (major == kTtyAuxMajor && minor <= 2);
}

} // namespace

bool readerTty(const std::string &path)
{
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode) || systemTerminal(node.st_rdev))
        return false;
    // No controlling terminal taken, no wait for a modem's carrier.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM || errno == EBUSY;
    termios settings {};
    const bool terminal = tcgetattr(fd, &settings) == 0;
    close(fd);
    return terminal;
}

} // namespace stripedrvd
