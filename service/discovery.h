// Finding the reader's USB-serial adapter through udev, and udev's monitor
// of tty comings and goings.
//
// The kernel numbers its ttyUSB nodes in the order the adapters show up, so
// a reader that comes back after a hub reset or a resume may well be
// ttyUSB1 where it was ttyUSB0. The adapter is found by its USB ID instead;
// among several, the first by its stable /dev/serial/by-path (else by-id)
// name is taken, so that the choice does not change with the kernel's
// numbering.
#pragma once

#include <libudev.h>

#include <optional>
#include <string>
#include <vector>

namespace stripedrvd {

// A USB vendor and product ID as udev shows them: four lower-case hex
// digits each.
struct UsbId {
    std::string vendor = "1a86";  // the reader's CH341 adapter
    std::string product = "7523";
    std::string text() const { return vendor + ":" + product; }
};

// "VID:PID" (four hex digits each, either case); nothing when the text is
// not of that form.
std::optional<UsbId> parseUsbId(const std::string &text);

// A tty of an adapter with the wanted USB ID.
struct Candidate {
    std::string name;        // "ttyUSB1", below /dev/ as the library takes it
    std::string stableLink;  // "/dev/serial/by-path/..." or by-id, "" when none
};

// udev's context and its monitor for tty events. Either may be missing (no
// /sys, no netlink in a container): ok() and monitorFd() tell.
class Udev {
public:
    Udev();
    ~Udev();
    Udev(const Udev &) = delete;
    Udev &operator=(const Udev &) = delete;

    bool ok() const { return udev_ != nullptr; }
    // The ttys on USB devices with this ID, in the order of choice (by
    // their by-path link, else by-id link, else name).
    std::vector<Candidate> readers(const UsbId &id) const;

    // Starts udev's monitor of tty events; false (with the reason) when it
    // cannot be had.
    bool startMonitor(std::string &problem);
    // The monitor's descriptor to wait on, -1 without one.
    int monitorFd() const;
    // Takes every event waiting on the monitor: whether one of them was a
    // tty added or removed, and the names of those removed.
    struct Events {
        bool any = false;
        std::vector<std::string> removed;
    };
    Events drainEvents();

private:
    udev *udev_ = nullptr;
    udev_monitor *monitor_ = nullptr;
};

} // namespace stripedrvd
