// The ttys of USB-serial adapters as udev knows them: the one enumeration
// behind stripectl's `ports` and `doctor` and the reader service's search for
// its reader. What each caller makes of an adapter (which is the reader's,
// which link to show or to prefer) stays with the caller.
#pragma once

#include <string>
#include <vector>

struct udev;

namespace sdadapters {

struct Adapter {
    std::string name;         // tty name below /dev/, what the driver takes: "ttyUSB0"
    std::string devnode;      // "/dev/ttyUSB0"
    std::string vendorId;     // the USB device's idVendor as udev gives it: "1a86"
    std::string productId;    // idProduct: "7523"
    std::string driver;       // kernel driver of the USB interface: "ch341"
    std::string manufacturer; // the adapter's USB strings, "" when it has none
    std::string product;
    std::string serial;
    std::vector<std::string> links; // every link udev made, sorted, each once
    bool mmIgnore = false;    // ID_MM_DEVICE_IGNORE set: ModemManager leaves it alone

    std::string usbId() const { return vendorId.empty() ? "" : vendorId + ":" + productId; }
    // Whether the USB ID is vendor:product, hex digits compared in either case.
    bool hasUsbId(const std::string &vendor, const std::string &product) const;
    // The first link below `folder` ("/dev/serial/by-path/"), "" when none.
    std::string linkBelow(const std::string &folder) const;
};

// Every tty on a USB device, sorted by name. Empty when udev knows none or
// cannot be asked (a container without /sys). `context` is the caller's udev
// context, or nullptr for one of the call's own.
std::vector<Adapter> listAdapters(udev *context = nullptr);

} // namespace sdadapters
