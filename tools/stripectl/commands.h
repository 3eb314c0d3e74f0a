// The commands of stripectl. Each talks to the reader through the driver's
// exported calls, writes its results to `out` and its prompts and errors to
// `err`, and returns the process's exit status (messages.h).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace stripectl {

// args: everything after the program name.
int runStripectl(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

// What the identity record says, split the way the driver's
// device-information call splits it: the serial number is what follows the
// last "|" (not looking at the first character), the production date the
// first 4 characters after the last "-" of the serial number (again not
// looking at its first character).
struct Identity {
    std::string serialNumber;
    std::string productionDate;
};
Identity splitIdentityRecord(const std::string &record);

// The reader model the firmware version alone settles: "P26A" for "Ver3...",
// "P26B" for "Ver5.12..."; empty when the identity record must be asked for
// (which then means "P26B").
std::string modelFromFirmware(const std::string &version);

} // namespace stripectl
