// The checks of `stripectl doctor`: each looks at one thing that keeps a
// reader from answering, in the order a technician would look, and says what
// to type when it fails.
#pragma once

#include "host.h"
#include "serial_ports.h"

#include <string>
#include <vector>

namespace stripectl {

enum class Verdict { Passed, Warning, Failed };
const char *verdictName(Verdict verdict); // "passed", "warning", "failed"

struct Check {
    std::string name;  // short and fixed, e.g. "adapter", for scripts
    Verdict verdict = Verdict::Passed;
    std::string text;  // what was found
    std::string fix;   // what to type (or do) when it did not pass; may be ""
};

// The line the checks are about, settled by the first check.
struct Target {
    std::string port;          // below /dev/: "ttyUSB0"; "" when there is none
    std::string node;          // "/dev/ttyUSB0"
    const SerialPort *usb = nullptr; // what udev says, when it knows the line
    bool openable = false;     // this user may open it read-write
    bool held = false;         // another program holds it
};

struct DoctorSettings {
    std::string port; // --port, "" to look for the reader's adapter
    int baud = 9600;
};

// The set-up checks: adapter, access, rule, braille daemon, ModemManager,
// holders. They only look; nothing is sent.
void checkSetup(const Host &host, const std::vector<SerialPort> &ports,
                const DoctorSettings &settings, Target &target, std::vector<Check> &checks);

// The reader's answers (version, identity, status after a reset), asked only
// of a line this user may open and no one else holds, then the trace
// settings of the working directory.
void checkReader(const Target &target, int baud, std::vector<Check> &checks);
void checkTrace(std::vector<Check> &checks);

} // namespace stripectl
