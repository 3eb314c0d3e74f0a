#include "line.h"

#include "portname.h"

#include <cstdlib>

namespace stripectl {

namespace {

const char *const kDefaultPort = "ttyCH341USB0";

std::string defaultPort()
{
    const char *env = std::getenv("STRIPECTL_PORT");
    return env && *env ? env : kDefaultPort;
}

bool validBaud(int baud)
{
    for (int known : {SD_BAUD_RATES})
        if (baud == known)
            return true;
    return false;
}

} // namespace

std::string takeLine(const ParsedOptions &options, Line &line)
{
    line.port = sdportname::belowDev(options.value("port", defaultPort()));
    if (std::string problem = sdportname::problem(line.port); !problem.empty())
        return problem;
    if (options.has("baud") &&
        (!parseInt(options.value("baud"), 1, 1000000, line.baud) || !validBaud(line.baud)))
        return "--baud must be one of " SD_BAUD_RATES_TEXT;
    if (options.has("timeout") && !parseInt(options.value("timeout"), 0, 600, line.timeout))
        return "--timeout must be a whole number of seconds from 0 to 600";
    line.extPort = options.has("ext-port");
    line.quiet = options.has("quiet");
    return "";
}

std::string takeTracks(const ParsedOptions &options, int &tracks)
{
    std::string text = options.value("tracks", std::to_string(kDefaultTracks));
    if (text == "both")
        text = "23";
    if (text != "2" && text != "3" && text != "23")
        return "--tracks must be 2, 3 or 23";
    tracks = std::atoi(text.c_str());
    return "";
}

std::string tracksName(int tracks)
{
    switch (tracks) {
    case SD_TRACK_2: return "track 2";
    case SD_TRACK_3: return "track 3";
    default: return "tracks 2 and 3";
    }
}

std::string devicePath(const Line &line) { return sdportname::devicePath(line.port); }

std::string swipePrompt(const Line &line, const std::string &what)
{
    return "Swipe " + what + " through the reader on " + devicePath(line) + " (waiting up to " +
           std::to_string(line.timeout) + " s) ...\n";
}

} // namespace stripectl
