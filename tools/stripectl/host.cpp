#include "host.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace stripectl {

namespace {

const char *const kRulesDirs[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                  "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

// One entry of /etc/passwd or /etc/group: its fields split at ":".
std::vector<std::string> fields(const std::string &line)
{
    std::vector<std::string> parts;
    std::istringstream in(line);
    std::string part;
    while (std::getline(in, part, ':'))
        parts.push_back(part);
    return parts;
}

// The entry of a colon-separated database whose field `column` is `value`.
std::vector<std::string> findEntry(const std::string &file, size_t column,
                                   const std::string &value)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> entry = fields(line);
        if (entry.size() > column && entry[column] == value)
            return entry;
    }
    return {};
}

bool isListed(const std::string &commaList, const std::string &name)
{
    std::istringstream in(commaList);
    std::string member;
    while (std::getline(in, member, ','))
        if (member == name)
            return true;
    return false;
}

} // namespace

Host Host::fromEnvironment()
{
    const char *root = std::getenv("STRIPECTL_TEST_ROOT");
    return Host(root && *root ? root : "/");
}

Host::Host(std::string root) : root_(std::move(root))
{
    std::ifstream status(procDir() + "/self/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream values(line.substr(line.find(':') + 1));
        if (line.compare(0, 4, "Uid:") == 0) {
            values >> uid_;
            values >> uid_; // the effective one decides
        } else if (line.compare(0, 4, "Gid:") == 0) {
            values >> gid_;
            values >> gid_;
        } else if (line.compare(0, 7, "Groups:") == 0) {
            gid_t gid;
            while (values >> gid)
                loginGroups_.push_back(gid);
        }
    }
}

std::string Host::path(const std::string &absolute) const
{
    return real() ? absolute : root_ + absolute;
}

bool Host::loginHasGroup(gid_t gid) const
{
    return gid == gid_ ||
           std::find(loginGroups_.begin(), loginGroups_.end(), gid) != loginGroups_.end();
}

// The name that `database` (/etc/passwd or /etc/group) below the host's
// root gives the number, or the number as text. On the real host the
// system's own lookup has already failed when this is asked.
static std::string nameFromFile(const Host &host, const char *database, unsigned long id)
{
    if (host.real())
        return std::to_string(id);
    std::vector<std::string> entry = findEntry(host.path(database), 2, std::to_string(id));
    return entry.empty() ? std::to_string(id) : entry[0];
}

std::string Host::userName(uid_t uid) const
{
    const passwd *entry = real() ? getpwuid(uid) : nullptr;
    return entry ? entry->pw_name : nameFromFile(*this, "/etc/passwd", uid);
}

std::string Host::groupName(gid_t gid) const
{
    const group *entry = real() ? getgrgid(gid) : nullptr;
    return entry ? entry->gr_name : nameFromFile(*this, "/etc/group", gid);
}

bool Host::accountInGroup(uid_t uid, gid_t gid) const
{
    const std::string user = userName(uid);
    if (real()) {
        const passwd *account = getpwuid(uid);
        if (account && account->pw_gid == gid)
            return true;
        const group *entry = getgrgid(gid);
        for (char **member = entry ? entry->gr_mem : nullptr; member && *member; ++member)
            if (user == *member)
                return true;
        return false;
    }
    std::vector<std::string> account = findEntry(path("/etc/passwd"), 2, std::to_string(uid));
    if (account.size() > 3 && account[3] == std::to_string(gid))
        return true;
    std::vector<std::string> entry = findEntry(path("/etc/group"), 2, std::to_string(gid));
    return entry.size() > 3 && isListed(entry[3], user);
}

bool Host::mayOpenReadWrite(const std::string &node) const
{
    if (real())
        return access(node.c_str(), R_OK | W_OK) == 0;
    struct stat st;
    if (stat(node.c_str(), &st) != 0)
        return false;
    if (uid_ == 0)
        return true;
    mode_t bits = st.st_mode & 07;
    if (st.st_uid == uid_)
        bits = (st.st_mode >> 6) & 07;
    else if (loginHasGroup(st.st_gid))
        bits = (st.st_mode >> 3) & 07;
    return (bits & 06) == 06;
}

std::string Host::rulesFile(const std::string &name) const
{
    for (const char *dir : kRulesDirs) {
        std::string candidate = path(std::string(dir) + "/" + name);
        struct stat st;
        if (lstat(candidate.c_str(), &st) != 0)
            continue;
        // A link to /dev/null (or an empty file) in an earlier directory masks it.
        char target[64] = "";
        ssize_t length = readlink(candidate.c_str(), target, sizeof target - 1);
        if ((length > 0 && std::string(target, size_t(length)) == "/dev/null") ||
            (S_ISREG(st.st_mode) && st.st_size == 0))
            return "";
        return candidate;
    }
    return "";
}

std::vector<std::string> Host::rulesFiles() const
{
    std::map<std::string, bool> names;
    for (const char *dir : kRulesDirs) {
        DIR *d = opendir(path(dir).c_str());
        while (dirent *entry = d ? readdir(d) : nullptr) {
            std::string name = entry->d_name;
            if (name.size() > 6 && name.compare(name.size() - 6, 6, ".rules") == 0)
                names[name] = true;
        }
        if (d)
            closedir(d);
    }
    std::vector<std::string> files;
    for (const auto &name : names) {
        std::string file = rulesFile(name.first);
        if (!file.empty())
            files.push_back(file);
    }
    return files;
}

std::vector<int> Host::processesNamed(const std::string &command) const
{
    std::vector<int> pids;
    DIR *d = opendir(procDir().c_str());
    while (dirent *entry = d ? readdir(d) : nullptr) {
        char *end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::ifstream in(procDir() + "/" + entry->d_name + "/comm");
        std::string name;
        if (std::getline(in, name) && name == command)
            pids.push_back(int(pid));
    }
    if (d)
        closedir(d);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool Host::fileExists(const std::string &absolute) const
{
    return access(path(absolute).c_str(), F_OK) == 0;
}

std::string Host::readText(const std::string &onDisk)
{
    std::ifstream in(onDisk);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace stripectl
