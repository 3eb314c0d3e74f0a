// Where a command writes and how it reports: usage errors, prompts, failed
// driver calls with the code's sentence, and JSON output.
#pragma once

#include "line.h"
#include "messages.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace stripectl {

using sdmsg::codeMessage;
using sdmsg::isKnownCode;
using sdmsg::queryMessage;

// Where a command writes, how it reports, and the line it works on.
struct Context {
    std::ostream &out;
    std::ostream &err;
    std::string command;
    Line line;

    // A bad command line: the problem and where to find help.
    int usage(const std::string &problem) const;
    // A prompt for the technician, unless --quiet.
    void prompt(const Line &line, const std::string &text) const;
    // A failed card call (failure) or query without a card (queryFailure):
    // what failed, the code's sentence and the code; returns the exit status.
    int failure(const std::string &what, int code) const;
    int queryFailure(const std::string &what, int code) const;
    int report(const std::string &what, int code, const std::string &message) const;
};

// One JSON line; any odd byte from the reader is replaced, never fatal.
std::string jsonText(const nlohmann::ordered_json &value);

} // namespace stripectl
