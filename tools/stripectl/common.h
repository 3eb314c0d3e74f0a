// What the commands of stripectl share: exit statuses, the options every
// reader command takes, the line settings, reporting, the card calls, Ctrl-C,
// and the shape of a command's table row (commands.cpp holds the table).
#pragma once

#include "messages.h"
#include "options.h"
#include "stripedrv.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace stripectl {

using sdmsg::codeMessage;
using sdmsg::isKnownCode;
using sdmsg::queryMessage;

// Exit statuses. Scripts may rely on them; tools/README.md lists them.
enum ExitStatus {
    kExitOk = 0,        // the command did what it was asked
    kExitFailed = 1,    // the reader or the library reported a failure
    kExitUsage = 2,     // bad command line, or an unreadable/malformed CSV file
    kExitPort = 3,      // the port cannot be opened (code -3)
    kExitNoCard = 4,    // no card was swiped within the time limit (code -2)
    kExitMismatch = 5,  // the card read back differs from what was written
    kExitInterrupted = 130 // stopped by SIGINT/SIGTERM (128 + SIGINT)
};

// The exit status that a failed library call with this code leads to.
ExitStatus exitStatusForCode(int code);

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

// Fills `line` from the parsed options; returns an error text or "".
std::string takeLine(const ParsedOptions &options, Line &line);
// --tracks into `tracks` ("both" is 23); returns an error text or "".
std::string takeTracks(const ParsedOptions &options, int &tracks);
// "track 2", "track 3" or "tracks 2 and 3".
std::string tracksName(int tracks);
std::string devicePath(const Line &line);
// "Swipe WHAT through the reader on /dev/... (waiting up to N s) ...\n"
std::string swipePrompt(const Line &line, const std::string &what);

// One JSON line; any odd byte from the reader is replaced, never fatal.
std::string jsonText(const nlohmann::ordered_json &value);

struct Tracks {
    std::string track2;
    std::string track3;
};

// MS_ReadCard and MS_WriteCard on the line. After Ctrl-C they start
// nothing and give SD_ERR_CANCELLED.
int readCard(const Line &line, int tracks, Tracks &read);
int writeCard(const Line &line, int tracks, const Tracks &texts);

// Compares what was read back with what was written, on the tracks written;
// returns a description of the difference, or "" when they agree.
std::string verifyDifference(int tracks, const Tracks &written, const Tracks &read);

// Runs `run` with Ctrl-C (SIGINT) and SIGTERM handled, and returns its
// result. The first signal cuts the driver call under way short with
// MS_Cancel: the call returns SD_ERR_CANCELLED and the command ends with
// kExitInterrupted. Should the call not return within a second (a call not
// yet under way, or a second signal), the process writes the prepared
// interrupt text and ends at once with kExitInterrupted; the kernel closes
// the port.
int runInterruptible(int (*run)(Context &, const ParsedOptions &), Context &ctx,
                     const ParsedOptions &options);
// True once a signal arrived.
bool interrupted();
// After a driver call came back: the command ends itself, the handler need
// not end the process.
void settleInterrupt();
// The text written to standard error when the process must end from the
// signal handler (empty by default); at most 159 bytes are kept.
void setInterruptText(const std::string &text);

// A command's row in the table: its name, how many positional arguments it
// takes (checked before it runs, with these texts for too few and too
// many; null texts give a generic sentence), help, options and the run
// function, which returns the exit status. The line options (port, speed,
// time limit, ...) are taken before it runs, into Context::line.
struct Command {
    const char *name;
    int minArgs, maxArgs;
    const char *tooFewArgs;
    const char *tooManyArgs;
    const char *synopsis;
    const char *summary;
    const char *details;
    std::vector<OptionDef> options;
    int (*run)(Context &, const ParsedOptions &);
};

} // namespace stripectl
