#include "discovery.h"

#include "adapters.h"

#include <algorithm>
#include <cctype>
#include <memory>

namespace stripedrvd {

namespace {

struct UdevUnref {
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
using UdevDevice = std::unique_ptr<udev_device, UdevUnref>;

std::string text(const char *value) { return value ? value : ""; }

bool startsWith(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

bool hexDigits(const std::string &s)
{
    return s.size() == 4 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The link that names the adapter by where or what it is rather than by
// the kernel's number: by-path first (the same socket gives the same
// name), else by-id.
std::string stableLink(const sdadapters::Adapter &adapter)
{
    for (const char *kind : {"/dev/serial/by-path/", "/dev/serial/by-id/"})
        if (std::string link = adapter.linkBelow(kind); !link.empty())
            return link;
    return "";
}

// The order of choice: by-path names before by-id names before bare
// names, each in text order.
int stableRank(const Candidate &c)
{
    return startsWith(c.stableLink, "/dev/serial/by-path/") ? 0
           : c.stableLink.empty()                           ? 2
                                                            : 1;
}

} // namespace

std::optional<UsbId> parseUsbId(const std::string &text)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    UsbId id{lower(text.substr(0, colon)), lower(text.substr(colon + 1))};
    if (!hexDigits(id.vendor) || !hexDigits(id.product))
        return std::nullopt;
    return id;
}

Udev::Udev() : udev_(udev_new()) {}

Udev::~Udev()
{
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

std::vector<Candidate> Udev::readers(const UsbId &id) const
{
    std::vector<Candidate> found;
    if (!udev_)
        return found;
    for (const sdadapters::Adapter &adapter : sdadapters::listAdapters(udev_))
        if (adapter.hasUsbId(id.vendor, id.product))
            found.push_back({adapter.name, stableLink(adapter)});
    std::sort(found.begin(), found.end(), [](const Candidate &a, const Candidate &b) {
        const int ra = stableRank(a), rb = stableRank(b);
        if (ra != rb)
            return ra < rb;
        return ra == 2 ? a.name < b.name : a.stableLink < b.stableLink;
    });
    return found;
}

bool Udev::startMonitor(std::string &problem)
{
    if (!udev_) {
        problem = "udev cannot be reached";
        return false;
    }
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_) {
        problem = "udev's event socket cannot be opened";
        return false;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        problem = "udev's events cannot be received";
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        return false;
    }
    return true;
}

int Udev::monitorFd() const
{
    return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

Udev::Events Udev::drainEvents()
{
    Events events;
    // The monitor's socket does not block: this ends when none is left.
    while (monitor_) {
        UdevDevice device(udev_monitor_receive_device(monitor_));
        if (!device)
            break;
        const std::string action = text(udev_device_get_action(device.get()));
        if (action == "add" || action == "remove")
            events.any = true;
        if (action == "remove")
            events.removed.push_back(text(udev_device_get_sysname(device.get())));
    }
    return events;
}

} // namespace stripedrvd
