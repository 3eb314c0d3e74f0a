// The serial lines udev knows of that could lead to the reader: the ttys of
// USB-serial adapters, with what udev says about each (USB ID, driver,
// strings, its links and whether ModemManager is told to leave it alone).
#pragma once

#include "adapters.h"

#include <string>
#include <vector>

namespace stripectl {

// The USB ID of the reader's CH341 adapter.
extern const char *const kReaderVendorId;  // "1a86"
extern const char *const kReaderProductId; // "7523"

// An adapter as udev describes it (sdadapters), with the links stripectl
// shows picked out.
struct SerialPort : sdadapters::Adapter {
    std::string byIdLink;     // "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0" or ""
    std::string ch341Link;    // "/dev/ttyCH341USB0" or ""
    std::string stableLink;   // "/dev/stripe-reader" (the udev rule's name
                              // that the kernel's numbering does not move) or ""
    bool readerAdapter = false; // the reader's adapter (USB ID 1a86:7523)
};

// Every tty on a USB device, sorted by name. Empty when udev knows none (or
// cannot be asked, as in a container without /sys).
std::vector<SerialPort> listSerialPorts();

// The port that `name` ("ttyUSB0", "/dev/ttyUSB0" or one of its links such
// as "ttyCH341USB0") names among `ports`; nullptr when none.
const SerialPort *findPort(const std::vector<SerialPort> &ports, const std::string &name);

} // namespace stripectl
