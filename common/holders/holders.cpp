#include "holders.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sdholders {

namespace {

// Names of the entries of a directory that are whole positive numbers
// (process ids in /proc, descriptor numbers in /proc/PID/fd).
std::vector<int> numberedEntries(const std::string &dir)
{
    std::vector<int> numbers;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return numbers;
    while (dirent *entry = readdir(d)) {
        char *end = nullptr;
        long n = std::strtol(entry->d_name, &end, 10);
        if (entry->d_name[0] != '\0' && *end == '\0' && n > 0)
            numbers.push_back(int(n));
    }
    closedir(d);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::string commandOf(const std::string &procDir, int pid)
{
    std::ifstream in(procDir + "/" + std::to_string(pid) + "/comm");
    std::string command;
    if (!std::getline(in, command) || command.empty())
        return "?";
    return command;
}

std::string linkTarget(const std::string &path)
{
    char target[4096];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, size_t(length)) : "";
}

// The line is the same device, or the descriptor's path is the one the node
// links to (a test bed that stands in a pty for a device node).
bool opensDevice(const std::string &procDir, int pid, dev_t device, const std::string &nodeTarget)
{
    std::string fdDir = procDir + "/" + std::to_string(pid) + "/fd";
    for (int fd : numberedEntries(fdDir)) {
        const std::string link = fdDir + "/" + std::to_string(fd);
        struct stat st;
        // stat follows the descriptor's link to the file it has open.
        if (stat(link.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            (st.st_rdev == device || (!nodeTarget.empty() && linkTarget(link) == nodeTarget)))
            return true;
    }
    return false;
}

// The pids that /proc/locks names for the inode: lines such as
//   "1: FLOCK  ADVISORY  WRITE 812 00:05:125 0 EOF"
// (device numbers in hex); lines with "->" are processes waiting for a lock.
std::vector<int> lockingPids(const std::string &procDir, const struct stat &node)
{
    std::vector<int> pids;
    std::ifstream in(procDir + "/locks");
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("->") != std::string::npos)
            continue;
        std::istringstream fields(line);
        std::string number, kind, mode, access, where;
        int pid = 0;
        if (!(fields >> number >> kind >> mode >> access >> pid >> where))
            continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3 &&
            makedev(major, minor) == node.st_dev && inode == node.st_ino && pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

// Unix98 pseudo-terminal slaves have the majors 136 to 143, 256 numbers
// each.
const unsigned kPtySlaveMajorFirst = 136, kPtySlaveMajorLast = 143;

int ptyIndexOf(const struct stat &node)
{
    unsigned majorNumber = major(node.st_rdev);
    if (!S_ISCHR(node.st_mode) || majorNumber < kPtySlaveMajorFirst ||
        majorNumber > kPtySlaveMajorLast)
        return -1;
    return int((majorNumber - kPtySlaveMajorFirst) * 256 + minor(node.st_rdev));
}

// Whether the process has the master side of pseudo-terminal `index` open:
// the kernel names the pty of every master descriptor in its fdinfo
// ("tty-index:\tN").
bool holdsPtyMaster(const std::string &procDir, int pid, int index)
{
    const std::string base = procDir + "/" + std::to_string(pid);
    for (int fd : numberedEntries(base + "/fd")) {
        std::ifstream info(base + "/fdinfo/" + std::to_string(fd));
        std::string key;
        int value = -1;
        while (info >> key)
            if (key == "tty-index:" && info >> value && value == index)
                return true;
    }
    return false;
}

} // namespace

int ptyIndex(const std::string &devicePath)
{
    struct stat node;
    return stat(devicePath.c_str(), &node) == 0 ? ptyIndexOf(node) : -1;
}

std::vector<Holder> findHolders(const std::string &devicePath, const std::string &procDir)
{
    std::vector<Holder> holders;
    struct stat node;
    if (stat(devicePath.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return holders;
    const int self = int(getpid());
    const std::string target = linkTarget(devicePath);
    const std::string nodeTarget = target.empty() || target[0] != '/' ? "" : target;
    const int pty = ptyIndexOf(node);
    std::vector<int> locking = lockingPids(procDir, node);
    for (int pid : numberedEntries(procDir)) {
        if (pid == self)
            continue;
        bool locked = std::find(locking.begin(), locking.end(), pid) != locking.end();
        bool farEnd = pty >= 0 && holdsPtyMaster(procDir, pid, pty);
        if (locked || (!farEnd && opensDevice(procDir, pid, node.st_rdev, nodeTarget)))
            holders.push_back({pid, commandOf(procDir, pid), locked});
    }
    // A lock whose process is gone from the listing (another pid namespace).
    for (int pid : locking) {
        bool listed = std::any_of(holders.begin(), holders.end(),
                                  [pid](const Holder &h) { return h.pid == pid; });
        if (!listed && pid != self)
            holders.push_back({pid, commandOf(procDir, pid), true});
    }
    return holders;
}

std::string describeHolders(const std::vector<Holder> &holders)
{
    std::string text;
    for (const Holder &holder : holders) {
        if (!text.empty())
            text += ", ";
        text += holder.command + " (pid " + std::to_string(holder.pid) +
                (holder.locked ? ", locked)" : ")");
    }
    return text;
}

std::string describeBusyHolders(const std::string &devicePath, const std::string &procDir)
{
    std::vector<Holder> holders = findHolders(devicePath, procDir);
    std::vector<Holder> locked;
    std::copy_if(holders.begin(), holders.end(), std::back_inserter(locked),
                 [](const Holder &h) { return h.locked; });
    return describeHolders(locked.empty() ? holders : locked);
}

} // namespace sdholders
