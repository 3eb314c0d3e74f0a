// The name of a reader's line as people give it and as the driver takes it.
// The driver opens "/dev/" + name, so the name is the tty below /dev/
// ("ttyUSB0", "pts/4", a udev link such as "stripe-reader"); people also
// give the full path. stripectl's --port and the Python binding's Reader
// take it by these rules.
#pragma once

#include <string>

namespace sdportname {

// `port` without a leading "/dev/": the name the driver takes.
std::string belowDev(const std::string &port);

// Why `name` (below /dev/) cannot be handed to the driver, or "" when it
// can: an empty name, or one with a NUL (the driver would see a shorter
// one).
std::string problem(const std::string &name);

// "/dev/" + name: the node the driver opens.
std::string devicePath(const std::string &name);

} // namespace sdportname
