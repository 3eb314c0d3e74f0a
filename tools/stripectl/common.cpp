#include "common.h"
#include "holders.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace stripectl {

namespace {

const char *const kDefaultPort = "ttyCH341USB0";

// Room for any track text the driver hands back (it needs at least
// SD_TRACK_BUF_MIN bytes).
const int kTrackBufferSize = 256;

std::string defaultPort()
{
    const char *env = std::getenv("STRIPECTL_PORT");
    return env && *env ? env : kDefaultPort;
}

// The driver puts "/dev/" in front of the name itself; accept a full path too.
std::string portBelowDev(std::string port)
{
    const std::string dev = "/dev/";
    if (port.compare(0, dev.size(), dev) == 0)
        port.erase(0, dev.size());
    return port;
}

bool validBaud(int baud)
{
    for (int known : {1200, 2400, 4800, 9600, 19200, 38400, 115200})
        if (baud == known)
            return true;
    return false;
}

} // namespace

ExitStatus exitStatusForCode(int code)
{
    switch (code) {
    case SD_OK:
        return kExitOk;
    case SD_ERR_PORT:
        return kExitPort;
    case SD_ERR_TIMEOUT:
        return kExitNoCard;
    case SD_ERR_CANCELLED: // only Ctrl-C cancels a call of stripectl
        return kExitInterrupted;
    default:
        return kExitFailed;
    }
}

int Context::usage(const std::string &problem) const
{
    err << "stripectl " << command << ": " << problem << "\n"
        << "Try 'stripectl " << command << " --help'.\n";
    return kExitUsage;
}

void Context::prompt(const Line &line, const std::string &text) const
{
    if (!line.quiet)
        err << text << std::flush;
}

int Context::failure(const std::string &what, int code) const
{
    return report(what, code, codeMessage(code));
}

int Context::queryFailure(const std::string &what, int code) const
{
    return report(what, code, queryMessage(code));
}

int Context::report(const std::string &what, int code, const std::string &message) const
{
    const std::string holders = code == SD_ERR_BUSY && !line.port.empty()
                                    ? sdholders::describeBusyHolders("/dev/" + line.port)
                                    : "";
    err << "stripectl " << command << ": " << what << ": " << message
        << (holders.empty() ? "" : ": " + holders) << " [code " << code << "]\n";
    ExitStatus status = exitStatusForCode(code);
    // Most lines that cannot be opened come from the set-up (wrong name,
    // missing group, the braille daemon, another program): say where to look.
    if (status == kExitPort)
        err << "'stripectl doctor' checks the adapter, the access rights and the udev rule.\n";
    return status;
}

std::string takeLine(const ParsedOptions &options, Line &line)
{
    line.port = portBelowDev(options.value("port", defaultPort()));
    if (line.port.empty())
        return "the port name is empty";
    if (options.has("baud") &&
        (!parseInt(options.value("baud"), 1, 1000000, line.baud) || !validBaud(line.baud)))
        return "--baud must be one of 1200, 2400, 4800, 9600, 19200, 38400, 115200";
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

std::string devicePath(const Line &line) { return "/dev/" + line.port; }

std::string swipePrompt(const Line &line, const std::string &what)
{
    return "Swipe " + what + " through the reader on " + devicePath(line) + " (waiting up to " +
           std::to_string(line.timeout) + " s) ...\n";
}

std::string jsonText(const nlohmann::ordered_json &value)
{
    // Track texts come from the reader and may hold any byte: never let an
    // odd byte stop the output.
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int readCard(const Line &line, int tracks, Tracks &read)
{
    if (interrupted())
        return SD_ERR_CANCELLED;
    char track2[kTrackBufferSize] = "";
    char track3[kTrackBufferSize] = "";
    int code = MS_ReadCard(line.port.c_str(), line.extPort ? "A" : "", line.baud, line.timeout,
                           tracks, 0, track2, track3);
    settleInterrupt();
    read.track2 = track2;
    read.track3 = track3;
    return code;
}

int writeCard(const Line &line, int tracks, const Tracks &texts)
{
    if (interrupted())
        return SD_ERR_CANCELLED;
    int code = MS_WriteCard(line.port.c_str(), line.extPort ? "A" : "", line.baud, line.timeout,
                            tracks, 0, texts.track2.c_str(), texts.track3.c_str());
    settleInterrupt();
    return code;
}

std::string verifyDifference(int tracks, const Tracks &written, const Tracks &read)
{
    std::string difference;
    if (tracks != SD_TRACK_3 && read.track2 != written.track2)
        difference += "track 2 reads \"" + read.track2 + "\", expected \"" + written.track2 + "\"";
    if (tracks != SD_TRACK_2 && read.track3 != written.track3) {
        if (!difference.empty())
            difference += "; ";
        difference += "track 3 reads \"" + read.track3 + "\", expected \"" + written.track3 + "\"";
    }
    return difference;
}

// ---------------------------------------------------------------- Ctrl-C

namespace {

// How long a cancelled call may take to return before the process leaves
// without it.
const unsigned kCancelGraceSeconds = 1;

// Set by the handlers, read by the commands. The text is prepared outside
// the handlers: they only write it.
volatile sig_atomic_t g_interrupted = 0;
char g_interruptText[160];
volatile sig_atomic_t g_interruptLength = 0;

void leaveNow()
{
    ssize_t ignored = write(STDERR_FILENO, g_interruptText, size_t(g_interruptLength));
    (void)ignored;
    _exit(kExitInterrupted);
}

void onInterrupt(int)
{
    if (g_interrupted)
        leaveNow(); // a second Ctrl-C does not wait
    g_interrupted = 1;
    MS_Cancel();
    alarm(kCancelGraceSeconds);
}

void onGraceOver(int) { leaveNow(); }

} // namespace

int runInterruptible(int (*run)(Context &, const ParsedOptions &), Context &ctx,
                     const ParsedOptions &options)
{
    g_interrupted = 0;
    struct sigaction action = {}, previousInt, previousTerm, previousAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    action.sa_handler = onGraceOver;
    sigaction(SIGALRM, &action, &previousAlarm);

    int status = run(ctx, options);

    alarm(0);
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    sigaction(SIGALRM, &previousAlarm, nullptr);
    setInterruptText("");
    return status;
}

bool interrupted() { return g_interrupted != 0; }

void settleInterrupt()
{
    if (g_interrupted)
        alarm(0); // the call came back: the command itself ends now
}

void setInterruptText(const std::string &text)
{
    g_interruptLength = 0;
    size_t length = std::min(text.size(), sizeof g_interruptText - 1);
    memcpy(g_interruptText, text.data(), length);
    g_interruptLength = sig_atomic_t(length);
}

} // namespace stripectl
