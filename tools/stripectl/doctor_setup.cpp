// The set-up checks of `stripectl doctor`: they only look at the machine.
#include "doctor.h"

#include "holders.h"
#include "portname.h"

#include <cstdlib>
#include <sys/stat.h>

namespace stripectl {

using sdholders::describeHolders;
using sdholders::findHolders;
using sdholders::Holder;
using sdholders::ptyIndex;

namespace {

const char *const kRuleName = "60-stripe-reader.rules";
const char *const kApplyRule =
    "sudo udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=tty "
    "(or unplug the adapter and plug it in again)";

void add(std::vector<Check> &checks, const char *name, Verdict verdict, const std::string &text,
         const std::string &fix = "")
{
    checks.push_back({name, verdict, text, fix});
}

void notChecked(std::vector<Check> &checks, const char *name, const std::string &why)
{
    add(checks, name, Verdict::Warning, "not checked: " + why);
}

using sdportname::belowDev;

bool isCharDevice(const std::string &node)
{
    struct stat st;
    return stat(node.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string adapterText(const SerialPort &port)
{
    std::string text = port.usbId();
    if (!port.driver.empty())
        text += ", " + port.driver;
    return text;
}

// "ttyUSB0 (1a86:7523, ch341), ttyUSB1 (0403:6001, ftdi_sio)"
std::string listPorts(const std::vector<const SerialPort *> &ports)
{
    std::string text;
    for (const SerialPort *port : ports)
        text += (text.empty() ? "" : ", ") + port->name + " (" + adapterText(*port) + ")";
    return text;
}

void checkNamedPort(const std::vector<SerialPort> &ports, const std::string &name,
                    Target &target, std::vector<Check> &checks)
{
    // udev knows the line under its kernel name and its links: the driver is
    // given the kernel name, which opens the same device.
    target.usb = findPort(ports, name);
    target.port = target.usb ? target.usb->name : belowDev(name);
    target.node = target.usb ? target.usb->devnode : "/dev/" + belowDev(name);
    if (!target.usb && !isCharDevice(target.node)) {
        std::string fix = "plug the reader in, or give the right name: stripectl ports lists them";
        for (const SerialPort &port : ports)
            if (port.readerAdapter) {
                fix = "the reader's adapter is " + port.name + ": stripectl doctor --port " +
                      port.name;
                break;
            }
        add(checks, "adapter", Verdict::Failed, "/dev/" + belowDev(name) + " is not a tty here",
            fix);
        target.port.clear();
        return;
    }
    if (!target.usb) {
        add(checks, "adapter", Verdict::Passed,
            target.node + " is a tty (udev knows no USB adapter behind it)");
    } else if (!target.usb->readerAdapter) {
        add(checks, "adapter", Verdict::Warning,
            target.node + " is on a " + adapterText(*target.usb) +
                " adapter, not the reader's 1a86:7523",
            "stripectl ports shows which line is the reader's");
    } else {
        add(checks, "adapter", Verdict::Passed,
            "the reader's adapter (" + adapterText(*target.usb) + ") is " + target.node);
    }
}

void findReaderAdapter(const std::vector<SerialPort> &ports, const std::string &fallback,
                       Target &target, std::vector<Check> &checks)
{
    std::vector<const SerialPort *> readers, others;
    for (const SerialPort &port : ports)
        (port.readerAdapter ? readers : others).push_back(&port);
    if (readers.empty() && ports.empty() && isCharDevice("/dev/" + fallback)) {
        // No udev here (a container, say), but the default line is there.
        target.port = fallback;
        target.node = "/dev/" + fallback;
        add(checks, "adapter", Verdict::Warning,
            "udev knows no USB serial line; checking " + target.node);
        return;
    }
    if (readers.empty()) {
        std::string text = "no reader adapter (USB ID 1a86:7523) is plugged in";
        std::string fix = "plug the reader in; sudo dmesg | tail shows whether the kernel saw it";
        if (!others.empty()) {
            text += "; other USB serial lines: " + listPorts(others);
            fix += "; for a reader on another adapter: stripectl doctor --port " +
                   others.front()->name;
        }
        add(checks, "adapter", Verdict::Failed, text, fix);
        return;
    }
    target.usb = readers.front();
    target.port = target.usb->name;
    target.node = target.usb->devnode;
    std::string text = "the reader's adapter (" + adapterText(*target.usb) + ") is " + target.node;
    if (readers.size() > 1)
        text += "; more of them: " + listPorts({readers.begin() + 1, readers.end()}) +
                " (--port NAME checks another)";
    add(checks, "adapter", Verdict::Passed, text);
}

void checkAccess(const Host &host, Target &target, std::vector<Check> &checks)
{
    const std::string user = host.userName(host.uid());
    if (host.mayOpenReadWrite(target.node)) {
        target.openable = true;
        add(checks, "access", Verdict::Passed, user + " may open " + target.node + " read-write");
        return;
    }
    struct stat st;
    if (stat(target.node.c_str(), &st) != 0) {
        add(checks, "access", Verdict::Failed, target.node + " cannot be looked at",
            "plug the adapter in again");
        return;
    }
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    const std::string group = host.groupName(st.st_gid);
    std::string text = user + " may not open " + target.node + " read-write (owner " +
                       host.userName(st.st_uid) + ", group " + group + ", mode " + mode + ")";
    if ((st.st_mode & 060) != 060) {
        add(checks, "access", Verdict::Failed,
            text + ": the udev rule has not given the line to an operator group",
            "install and apply the udev rule (see \"rule\"), then: sudo adduser " + user +
                " dialout, and log out and in again");
    } else if (!host.accountInGroup(host.uid(), st.st_gid)) {
        add(checks, "access", Verdict::Failed, text + "; " + user + " is not in " + group,
            "sudo adduser " + user + " " + group + ", then log out and in again");
    } else if (!host.loginHasGroup(st.st_gid)) {
        add(checks, "access", Verdict::Failed,
            text + "; " + user + " is in " + group +
                ", but this login began before and does not have the group yet",
            "log out and in again (or, in this shell only: newgrp " + group + ")");
    } else {
        add(checks, "access", Verdict::Failed, text, "sudo chmod 0660 " + target.node);
    }
}

bool mentionsReaderId(const std::string &rules)
{
    return rules.find("1a86/7523") != std::string::npos ||
           (rules.find("1a86") != std::string::npos && rules.find("7523") != std::string::npos);
}

// A pseudo-terminal (the simulated reader's line) has no USB adapter: the
// udev rule and what it tells ModemManager do not apply to it.
bool onPseudoTerminal(const Target &target)
{
    return !target.node.empty() && ptyIndex(target.node) >= 0;
}

void doesNotApply(std::vector<Check> &checks, const char *name, const Target &target)
{
    add(checks, name, Verdict::Passed,
        "does not apply: " + target.node + " is a pseudo-terminal, with no USB adapter behind it");
}

void checkRule(const Host &host, const Target &target, std::vector<Check> &checks)
{
    if (onPseudoTerminal(target)) {
        doesNotApply(checks, "rule", target);
        return;
    }
    std::string file = host.rulesFile(kRuleName);
    if (file.empty()) {
        add(checks, "rule", Verdict::Failed,
            std::string("the udev rule ") + kRuleName + " is not installed",
            std::string("sudo cp packaging/udev/") + kRuleName + " /etc/udev/rules.d/ && " +
                kApplyRule);
        return;
    }
    if (!target.usb || !target.usb->readerAdapter) {
        add(checks, "rule", Verdict::Passed, "installed as " + file);
        return;
    }
    const SerialPort &port = *target.usb;
    std::string missing;
    if (!port.mmIgnore)
        missing = "ID_MM_DEVICE_IGNORE is not set";
    if (port.ch341Link.empty() && port.name.compare(0, 11, "ttyCH341USB") != 0)
        missing += (missing.empty() ? "" : ", ") +
                   std::string("there is no link /dev/ttyCH341USB<n>");
    if (!missing.empty()) {
        add(checks, "rule", Verdict::Failed,
            "installed as " + file + ", but not applied to " + port.name + ": " + missing,
            kApplyRule);
        return;
    }
    std::string link = port.ch341Link.empty() ? "" : ", link " + port.ch341Link;
    if (!port.stableLink.empty())
        link += ", stable name " + port.stableLink + " (give \"stripe-reader\" as the port)";
    add(checks, "rule", Verdict::Passed,
        "installed as " + file + " and applied to " + port.name +
            " (ModemManager told to ignore it" + link + ")");
}

void checkBraille(const Host &host, std::vector<Check> &checks)
{
    std::string claiming;
    for (const std::string &file : host.rulesFiles())
        if (file.find("brltty") != std::string::npos && mentionsReaderId(Host::readText(file)))
            claiming = file;
    bool installed = !claiming.empty() || host.fileExists("/usr/bin/brltty") ||
                     host.fileExists("/bin/brltty") || host.fileExists("/usr/sbin/brltty");
    if (!installed)
        add(checks, "braille", Verdict::Passed, "the braille daemon brltty is not installed");
    else if (claiming.empty())
        add(checks, "braille", Verdict::Passed,
            "brltty is installed but does not claim the USB ID 1a86:7523");
    else
        add(checks, "braille", Verdict::Failed,
            "the braille daemon brltty claims the USB ID 1a86:7523 (" + claiming +
                "): it takes the adapter away as soon as it is plugged in",
            "sudo apt remove brltty (unless a braille display is used on this machine)");
}

void checkModemManager(const Host &host, const Target &target, std::vector<Check> &checks)
{
    std::vector<int> pids = host.processesNamed("ModemManager");
    if (onPseudoTerminal(target)) {
        doesNotApply(checks, "modemmanager", target);
    } else if (pids.empty()) {
        add(checks, "modemmanager", Verdict::Passed, "ModemManager does not run");
    } else if (!target.usb) {
        notChecked(checks, "modemmanager",
                   "ModemManager runs, and udev knows nothing of the line to say whether it "
                   "leaves it alone");
    } else if (target.usb->mmIgnore) {
        add(checks, "modemmanager", Verdict::Passed,
            "ModemManager runs and is told to leave " + target.port + " alone");
    } else {
        add(checks, "modemmanager", Verdict::Failed,
            "ModemManager runs (pid " + std::to_string(pids.front()) + ") and may probe " +
                target.port + " with AT commands: ID_MM_DEVICE_IGNORE is not set",
            std::string("apply the udev rule (see \"rule\"): ") + kApplyRule +
                "; or stop it: sudo systemctl disable --now ModemManager");
    }
}

void checkHolders(const Host &host, Target &target, std::vector<Check> &checks)
{
    std::vector<Holder> holders = findHolders(target.node, host.procDir());
    if (holders.empty()) {
        std::string note = host.uid() == 0 ? "" : " (of the processes this user may see)";
        add(checks, "holders", Verdict::Passed,
            "no other program holds " + target.node + note);
        return;
    }
    target.held = true;
    std::string pids;
    for (const Holder &holder : holders)
        pids += " " + std::to_string(holder.pid);
    add(checks, "holders", Verdict::Failed,
        target.node + " is in use by " + describeHolders(holders),
        "close that program first, or end it: kill" + pids);
}

} // namespace

void checkSetup(const Host &host, const std::vector<SerialPort> &ports,
                const DoctorSettings &settings, Target &target, std::vector<Check> &checks)
{
    if (!settings.port.empty()) {
        checkNamedPort(ports, settings.port, target, checks);
    } else {
        const char *env = std::getenv("STRIPECTL_PORT");
        findReaderAdapter(ports, env && *env ? belowDev(env) : "ttyCH341USB0", target, checks);
    }
    const bool line = !target.port.empty();
    if (line)
        checkAccess(host, target, checks);
    else
        notChecked(checks, "access", "no line to check");
    checkRule(host, target, checks);
    checkBraille(host, checks);
    checkModemManager(host, target, checks);
    if (line)
        checkHolders(host, target, checks);
    else
        notChecked(checks, "holders", "no line to check");
}

} // namespace stripectl
