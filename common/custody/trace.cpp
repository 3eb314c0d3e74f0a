#include "trace.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace sdcustody {

namespace {

std::string fromEnvironment(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

void addFolder(std::vector<std::string> &folders, const std::string &folder)
{
    if (folder.empty() || folder[0] != '/')
        return;
    for (const std::string &known : folders)
        if (known == folder)
            return;
    folders.push_back(folder);
}

} // namespace

TraceSetting traceIn(const std::string &dir, IniLookup lookup)
{
    TraceSetting trace;
    trace.config = dir + "/" SD_CONFIG_FILE;
    trace.log = dir + "/" SD_TRACE_FILE;
    // The driver's own switch buffer holds 200 bytes; more room costs nothing.
    char value[1024] = "";
    trace.on = lookup != nullptr &&
               lookup(trace.config.c_str(), SD_TRACE_SECTION, SD_TRACE_KEY, value, "0") == 1 &&
               std::atoi(value) != 0;
    return trace;
}

std::string workingDirectory()
{
    char dir[PATH_MAX];
    return getcwd(dir, sizeof dir) != nullptr ? dir : ".";
}

std::string traceWarning(const TraceSetting &trace)
{
    if (!trace.on)
        return "";
    return "the driver's trace is switched on in " + trace.config + ": " + trace.log +
           " will hold the full data of every card read or written, in plain text; switch it "
           "off there (Switch=0) and delete the file when done";
}

std::vector<std::string> traceFolders()
{
    std::vector<std::string> folders;
    addFolder(folders, workingDirectory());
    // The reader service works in its state directory: STATE_DIRECTORY
    // under systemd, else $XDG_STATE_HOME/stripedrvd or
    // ~/.local/state/stripedrvd; a system instance in /var/lib/stripedrvd.
    const std::string state = fromEnvironment("STATE_DIRECTORY");
    addFolder(folders, state.substr(0, state.find(':')));
    const std::string xdgState = fromEnvironment("XDG_STATE_HOME");
    const std::string home = fromEnvironment("HOME");
    if (!xdgState.empty() && xdgState[0] == '/')
        addFolder(folders, xdgState + "/stripedrvd");
    else if (!home.empty())
        addFolder(folders, home + "/.local/state/stripedrvd");
    addFolder(folders, "/var/lib/stripedrvd");
    // The console runs in its own folder (scripts/run-console, the menu entry).
    if (!home.empty())
        addFolder(folders, home + "/.local/share/cardtest");
    return folders;
}

} // namespace sdcustody
