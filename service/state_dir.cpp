#include "state_dir.h"

#include "log.h"

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

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "0%03o", unsigned(mode & 07777));
    return text;
}

// The folder the service now works in (its real one, links resolved): its
// own, and nobody else's to read or write. A folder of its own that is
// more open is closed (and the log says so); anyone else's is refused.
bool checkOwnFolder(const std::string &dir, std::string &problem)
{
    struct stat here {};
    if (stat(".", &here) != 0) {
        problem = "cannot look at the state directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (here.st_uid != geteuid()) {
        problem = "the state directory " + dir + " belongs to user " +
                  std::to_string(here.st_uid) + ", not to this service's user " +
                  std::to_string(geteuid()) + ": refusing to use it";
        return false;
    }
    if ((here.st_mode & 077) != 0) {
        if (chmod(".", 0700) != 0) {
            problem = "the state directory " + dir + " has mode " + octal(here.st_mode) +
                      " and cannot be made 0700: " + std::strerror(errno);
            return false;
        }
        logWarning("the state directory " + dir + " had mode " + octal(here.st_mode) +
                   ", open to other users: made it 0700");
    }
    return true;
}

bool writeSwitch(bool trace, std::string &problem)
{
    // Written afresh each start: a CONFIG.ini someone left here does not
    // decide for the service. The new one is written under a name of its
    // own and renamed over the old: whatever was there is replaced, never
    // followed (a symbolic link would have the service overwrite the file
    // it leads to), and two services starting at once in one folder each
    // put a whole file in place instead of one refusing to start.
    struct stat old {};
    if (lstat(SD_CONFIG_FILE, &old) == 0 && !S_ISREG(old.st_mode))
        logWarning(std::string(SD_CONFIG_FILE " in the state directory was ") +
                   (S_ISLNK(old.st_mode) ? "a symbolic link" : "not a file") + ": replaced");
    char fresh[] = SD_CONFIG_FILE ".XXXXXX";
    int fd = mkostemp(fresh, O_CLOEXEC); // 0600, made anew: nothing to follow
    if (fd < 0) {
        problem = std::string("cannot write " SD_CONFIG_FILE ": ") + std::strerror(errno);
        return false;
    }
    const std::string text = std::string("# Written by stripedrvd at every start (--trace).\n"
                                         "[DEVTRACE]\nSwitch=") +
                             (trace ? "1" : "0") + "\n";
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    const int writeError = errno;
    if (close(fd) != 0 || !written || rename(fresh, SD_CONFIG_FILE) != 0) {
        problem = std::string("cannot write " SD_CONFIG_FILE ": ") +
                  std::strerror(written ? errno : writeError);
        unlink(fresh);
        return false;
    }
    return true;
}

// The trace file receives every card's tracks: before the driver may
// append to it, it is a file of the service's own that no one else can
// read; a new one is made so. A link, or anyone else's file, is refused;
// one of its own that is open to others is closed (and the log says so).
bool prepareTraceFile(std::string &problem)
{
    int fd = open(SD_TRACE_FILE, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  0600);
    if (fd < 0) {
        problem = errno == ELOOP ? SD_TRACE_FILE " is a symbolic link"
                                 : std::string("cannot open " SD_TRACE_FILE ": ") + std::strerror(errno);
        return false;
    }
    struct stat file {};
    bool ok = fstat(fd, &file) == 0;
    if (!ok)
        problem = std::string("cannot look at " SD_TRACE_FILE ": ") + std::strerror(errno);
    else if (!S_ISREG(file.st_mode)) {
        problem = SD_TRACE_FILE " is not a file";
        ok = false;
    } else if (file.st_uid != geteuid()) {
        problem = SD_TRACE_FILE " belongs to user " + std::to_string(file.st_uid) +
                  ", not to this service's user: refusing to write card data to it";
        ok = false;
    } else if ((file.st_mode & 077) != 0) {
        ok = fchmod(fd, 0600) == 0;
        if (ok)
            logWarning(SD_TRACE_FILE " had mode " + octal(file.st_mode) +
                       ", readable by other users: made it 0600");
        else
            problem = SD_TRACE_FILE " has mode " + octal(file.st_mode) +
                      " and cannot be made 0600: " + std::strerror(errno);
    }
    close(fd);
    return ok;
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
    if (!checkOwnFolder(dir, problem))
        return false;
    if (trace && !prepareTraceFile(problem)) {
        problem = "--trace: " + dir + "/" + problem;
        return false;
    }
    if (!writeSwitch(trace, problem)) {
        problem = dir + ": " + problem;
        return false;
    }
    return true;
}

} // namespace stripedrvd
