// The line a reader command works on: its settings with the console's
// defaults, the options that set them, and the texts that name them.
#pragma once

#include "options.h"
#include "stripedrv.h"

#include <string>

namespace stripectl {

// The test console's defaults, so that a technician who knows the console
// gets the same behaviour here.
const int kDefaultBaud = 9600;
const int kDefaultTimeout = 20;
const int kDefaultTracks = SD_TRACKS_2_3;

// The options that several commands take.
inline constexpr OptionDef kPortOption = {
    "port", "NAME", "the reader's tty below /dev/ (default ttyCH341USB0, or $STRIPECTL_PORT)"};
inline constexpr OptionDef kBaudOption = {
    "baud", "RATE", "line speed: " SD_BAUD_RATES_TEXT " (default 9600)"};
inline constexpr OptionDef kTimeoutOption = {
    "timeout", "SECONDS", "how long to wait for a swipe, 0..600 (default 20)"};
inline constexpr OptionDef kExtPortOption = {
    "ext-port", nullptr, "select the reader's external port (ESC %A) first"};
inline constexpr OptionDef kTracksOption = {"tracks", "2|3|23",
                                            "the tracks to use (default 23, both)"};
inline constexpr OptionDef kJsonOption = {"json", nullptr, "print one JSON object instead of text"};
inline constexpr OptionDef kQuietOption = {"quiet", nullptr, "no prompts on standard error"};
inline constexpr OptionDef kHelpOption = {"help", nullptr, "show this help"};

// Settings every reader command shares.
struct Line {
    std::string port;
    int baud = kDefaultBaud;
    int timeout = kDefaultTimeout;
    bool extPort = false;
    bool quiet = false;
};

// Fills `line` from the parsed options; returns an error text or "".
std::string takeLine(const ParsedOptions &options, Line &line);
// --tracks into `tracks` ("both" is 23); returns an error text or "".
std::string takeTracks(const ParsedOptions &options, int &tracks);
// "track 2", "track 3" or "tracks 2 and 3".
std::string tracksName(int tracks);
std::string devicePath(const Line &line);
// "Swipe WHAT through the reader on /dev/... (waiting up to N s) ...\n"
std::string swipePrompt(const Line &line, const std::string &what);

} // namespace stripectl
