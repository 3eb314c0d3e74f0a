// The service's log: one line per event on standard error, the shape the
// journal keeps. Track data never goes here; an account number only masked.
#pragma once

#include <functional>
#include <string>

namespace stripedrvd {

void logLine(const std::string &line);
// Where lines go instead of standard error (tests); empty restores it.
void setLogSink(std::function<void(const std::string &)> sink);

} // namespace stripedrvd
