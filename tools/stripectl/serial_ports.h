// The serial lines udev knows of that could lead to the reader: the ttys of
// USB-serial adapters, with what udev says about each (USB ID, driver,
// strings, its links and whether ModemManager is told to leave it alone).
#pragma once

#include <string>
#include <vector>

namespace stripectl {

// The USB ID of the reader's CH341 adapter.
extern const char *const kReaderVendorId;  // "1a86"
extern const char *const kReaderProductId; // "7523"

struct SerialPort {
    std::string name;         // tty name below /dev/, what the driver takes: "ttyUSB0"
    std::string devnode;      // "/dev/ttyUSB0"
    std::string vendorId;     // "1a86"
    std::string productId;    // "7523"
    std::string driver;       // kernel driver of the USB interface: "ch341"
    std::string manufacturer; // the adapter's USB strings, "" when it has none
    std::string product;
    std::string serial;
    std::string byIdLink;     // "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0" or ""
    std::string ch341Link;    // "/dev/ttyCH341USB0" or ""
    std::string stableLink;   // "/dev/stripe-reader" (the udev rule's name
                              // that the kernel's numbering does not move) or ""
    std::vector<std::string> links; // every link udev made
    bool mmIgnore = false;    // ID_MM_DEVICE_IGNORE set: ModemManager leaves it alone
    bool readerAdapter = false; // the reader's adapter (USB ID 1a86:7523)

    std::string usbId() const { return vendorId.empty() ? "" : vendorId + ":" + productId; }
};

// Every tty on a USB device, sorted by name. Empty when udev knows none (or
// cannot be asked, as in a container without /sys).
std::vector<SerialPort> listSerialPorts();

// The port that `name` ("ttyUSB0", "/dev/ttyUSB0" or one of its links such
// as "ttyCH341USB0") names among `ports`; nullptr when none.
const SerialPort *findPort(const std::vector<SerialPort> &ports, const std::string &name);

} // namespace stripectl
