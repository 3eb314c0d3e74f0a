// The service's log: one line per event on standard error, the shape the
// journal keeps. Each line starts with its syslog priority as "<N>", which
// the journal reads from a service's standard error, so that
// `journalctl --user -u stripedrvd -p warning` shows what needs a person.
// Track data never goes here; an account number only masked.
#pragma once

#include <functional>
#include <string>

namespace stripedrvd {

// syslog's numbers (sd-daemon.h's SD_ERR ... SD_INFO).
enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

void logLine(Priority priority, const std::string &line);

// Something failed that a person must look at (cannot listen, ...).
inline void logError(const std::string &line) { logLine(Priority::Error, line); }
// Something is wrong or unsafe but the service goes on.
inline void logWarning(const std::string &line) { logLine(Priority::Warning, line); }
// Normal but significant: refusals, a reader that comes or goes.
inline void logNotice(const std::string &line) { logLine(Priority::Notice, line); }
// The ordinary course of events: connections, requests.
inline void logInfo(const std::string &line) { logLine(Priority::Info, line); }

// Where lines go instead of standard error (tests), without the priority;
// empty restores standard error.
void setLogSink(std::function<void(const std::string &)> sink);

} // namespace stripedrvd
