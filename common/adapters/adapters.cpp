#include "adapters.h"

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

namespace sdadapters {

namespace {

struct UdevUnref {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
using UdevContext = std::unique_ptr<udev, UdevUnref>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevUnref>;
using UdevDevice = std::unique_ptr<udev_device, UdevUnref>;

std::string text(const char *value) { return value ? value : ""; }

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
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
    for (std::string link; property >> link;)
        links.push_back(link);
    std::sort(links.begin(), links.end());
    links.erase(std::unique(links.begin(), links.end()), links.end());
    return links;
}

std::string attribute(udev_device *device, const char *name)
{
    return device ? text(udev_device_get_sysattr_value(device, name)) : "";
}

// Fills `adapter` from a tty device; false when the tty is not on a USB device.
bool describe(udev_device *tty, Adapter &adapter)
{
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (!usb)
        return false;
    udev_device *interface =
        udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
    adapter.name = text(udev_device_get_sysname(tty));
    adapter.devnode = text(udev_device_get_devnode(tty));
    if (adapter.devnode.empty())
        adapter.devnode = "/dev/" + adapter.name;
    adapter.vendorId = attribute(usb, "idVendor");
    adapter.productId = attribute(usb, "idProduct");
    adapter.manufacturer = attribute(usb, "manufacturer");
    adapter.product = attribute(usb, "product");
    adapter.serial = attribute(usb, "serial");
    adapter.driver = interface ? text(udev_device_get_driver(interface)) : "";
    if (adapter.driver.empty() && interface)
        adapter.driver = text(udev_device_get_property_value(interface, "DRIVER"));
    adapter.links = linksOf(tty);
    adapter.mmIgnore = text(udev_device_get_property_value(tty, "ID_MM_DEVICE_IGNORE")) == "1";
    return true;
}

} // namespace

bool Adapter::hasUsbId(const std::string &vendor, const std::string &product) const
{
    return lower(vendorId) == lower(vendor) && lower(productId) == lower(product);
}

std::string Adapter::linkBelow(const std::string &folder) const
{
    for (const std::string &link : links)
        if (link.compare(0, folder.size(), folder) == 0)
            return link;
    return "";
}

std::vector<Adapter> listAdapters(udev *context)
{
    std::vector<Adapter> adapters;
    UdevContext own;
    if (!context) {
        own.reset(udev_new());
        context = own.get();
    }
    if (!context)
        return adapters;
    UdevEnumerate enumerate(udev_enumerate_new(context));
    if (!enumerate)
        return adapters;
    udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
    udev_enumerate_scan_devices(enumerate.get());
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevDevice tty(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        Adapter adapter;
        if (tty && describe(tty.get(), adapter))
            adapters.push_back(std::move(adapter));
    }
    std::sort(adapters.begin(), adapters.end(),
              [](const Adapter &a, const Adapter &b) { return a.name < b.name; });
    return adapters;
}

} // namespace sdadapters
