#include "serial_ports.h"

#include <libudev.h>

#include <algorithm>
#include <memory>
#include <sstream>

namespace stripectl {

const char *const kReaderVendorId = "1a86";
const char *const kReaderProductId = "7523";

namespace {

struct UdevUnref {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
using Udev = std::unique_ptr<udev, UdevUnref>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevUnref>;
using UdevDevice = std::unique_ptr<udev_device, UdevUnref>;

std::string text(const char *value) { return value ? value : ""; }

bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// udev's links of the device: its link list and, as udev keeps them in the
// environment too, the DEVLINKS property (one or the other may be all a
// recorded or older database holds).
std::vector<std::string> linksOf(udev_device *tty)
{
    std::vector<std::string> links;
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(tty))
        links.push_back(text(udev_list_entry_get_name(entry)));
    std::istringstream property(text(udev_device_get_property_value(tty, "DEVLINKS")));
    std::string link;
    while (property >> link)
        links.push_back(link);
    std::sort(links.begin(), links.end());
    links.erase(std::unique(links.begin(), links.end()), links.end());
    return links;
}

std::string attribute(udev_device *device, const char *name)
{
    return device ? text(udev_device_get_sysattr_value(device, name)) : "";
}

void describeLinks(SerialPort &port)
{
    for (const std::string &link : port.links) {
        if (startsWith(link, "/dev/serial/by-id/") && port.byIdLink.empty())
            port.byIdLink = link;
        else if (startsWith(link, "/dev/ttyCH341USB") && port.ch341Link.empty())
            port.ch341Link = link;
        else if (link == "/dev/stripe-reader")
            port.stableLink = link;
    }
}

// Fills `port` from a tty device; false when the tty is not on a USB device.
bool describe(udev_device *tty, SerialPort &port)
{
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (!usb)
        return false;
    udev_device *interface =
        udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
    port.name = text(udev_device_get_sysname(tty));
    port.devnode = text(udev_device_get_devnode(tty));
    if (port.devnode.empty())
        port.devnode = "/dev/" + port.name;
    port.vendorId = attribute(usb, "idVendor");
    port.productId = attribute(usb, "idProduct");
    port.manufacturer = attribute(usb, "manufacturer");
    port.product = attribute(usb, "product");
    port.serial = attribute(usb, "serial");
    port.driver = interface ? text(udev_device_get_driver(interface)) : "";
    if (port.driver.empty() && interface)
        port.driver = text(udev_device_get_property_value(interface, "DRIVER"));
    port.links = linksOf(tty);
    describeLinks(port);
    port.mmIgnore = text(udev_device_get_property_value(tty, "ID_MM_DEVICE_IGNORE")) == "1";
    port.readerAdapter = port.vendorId == kReaderVendorId && port.productId == kReaderProductId;
    return true;
}

std::string belowDev(const std::string &path)
{
    return startsWith(path, "/dev/") ? path.substr(5) : path;
}

} // namespace

std::vector<SerialPort> listSerialPorts()
{
    std::vector<SerialPort> ports;
    Udev context(udev_new());
    if (!context)
        return ports;
    UdevEnumerate enumerate(udev_enumerate_new(context.get()));
    if (!enumerate)
        return ports;
    udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
    udev_enumerate_scan_devices(enumerate.get());
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevDevice tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        SerialPort port;
        if (tty && describe(tty.get(), port))
            ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPort &a, const SerialPort &b) { return a.name < b.name; });
    return ports;
}

const SerialPort *findPort(const std::vector<SerialPort> &ports, const std::string &name)
{
    const std::string wanted = belowDev(name);
    for (const SerialPort &port : ports) {
        if (port.name == wanted || belowDev(port.devnode) == wanted)
            return &port;
        for (const std::string &link : port.links)
            if (belowDev(link) == wanted)
                return &port;
    }
    return nullptr;
}

} // namespace stripectl
