// What the machine says about the reader's set-up beyond udev: who this
// user is and which groups the account and this login have, the installed
// udev rules, the running processes, files on disk. Everything is read
// below one root directory, "/" on a real machine; the tests point it at a
// prepared tree (STRIPECTL_TEST_ROOT) so that every failure can be played.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace stripectl {

class Host {
public:
    // "/" unless STRIPECTL_TEST_ROOT names another tree.
    static Host fromEnvironment();
    explicit Host(std::string root);

    bool real() const { return root_ == "/"; }
    std::string path(const std::string &absolute) const; // "/proc" below the root
    std::string procDir() const { return path("/proc"); }

    // This process's user and the groups this login has (from
    // /proc/self/status, which is what the kernel checks).
    uid_t uid() const { return uid_; }
    const std::vector<gid_t> &loginGroups() const { return loginGroups_; }
    bool loginHasGroup(gid_t gid) const;

    std::string userName(uid_t uid) const;    // the number as text when unknown
    std::string groupName(gid_t gid) const;   // the number as text when unknown
    // Whether the account is a member of the group in the group database
    // (its primary group or listed), whatever this login has.
    bool accountInGroup(uid_t uid, gid_t gid) const;

    // May this process open the node read-write? On the real machine the
    // kernel is asked (access(2) also knows ACLs such as the local seat's);
    // in a test tree the mode bits are judged for the tree's user.
    bool mayOpenReadWrite(const std::string &node) const;

    // The udev rules file in effect with this name: /etc/udev/rules.d before
    // /run/udev/rules.d before /usr/lib/udev/rules.d and /lib/udev/rules.d,
    // as udev reads them; "" when there is none or it is masked (/dev/null).
    std::string rulesFile(const std::string &name) const;
    // Every rules file in effect. Both give the path on disk (root included).
    std::vector<std::string> rulesFiles() const;

    // The pids of running processes whose command name is `command`.
    std::vector<int> processesNamed(const std::string &command) const;
    bool fileExists(const std::string &absolute) const;
    // The whole file at a path as it is on disk (root included), "" when unreadable.
    static std::string readText(const std::string &onDisk);

private:
    std::string root_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::vector<gid_t> loginGroups_;
};

} // namespace stripectl
