#include "state_dir.h"

#include "stripedrv.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stripedrvd {

namespace {

std::string fromEnvironment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// mkdir -p, each new folder readable by its owner only.
bool makeDirectories(const std::string &dir)
{
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

bool writeSwitch(bool trace)
{
    // Written afresh each start: a CONFIG.ini someone left here does not
    // decide for the service.
    int fd = open(SD_CONFIG_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::string text = std::string("# Written by stripedrvd at every start (--trace).\n"
                                         "[DEVTRACE]\nSwitch=") +
                             (trace ? "1" : "0") + "\n";
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    return close(fd) == 0 && written;
}

} // namespace

std::string stateDirectory()
{
    std::string dir = fromEnvironment("STATE_DIRECTORY");
    if (!dir.empty())
        return dir.substr(0, dir.find(':'));
    dir = fromEnvironment("XDG_STATE_HOME");
    if (!dir.empty() && dir[0] == '/')
        return dir + "/stripedrvd";
    dir = fromEnvironment("HOME");
    if (!dir.empty() && dir[0] == '/')
        return dir + "/.local/state/stripedrvd";
    return "";
}

bool enterStateDirectory(const std::string &dir, bool trace, std::string &problem)
{
    if (dir.empty()) {
        problem = "no state directory: set HOME, XDG_STATE_HOME or STATE_DIRECTORY";
        return false;
    }
    if (!makeDirectories(dir) || chdir(dir.c_str()) != 0) {
        problem = "cannot use the state directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!writeSwitch(trace)) {
        problem = "cannot write " + dir + "/" SD_CONFIG_FILE ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace stripedrvd
