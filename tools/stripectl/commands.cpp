#include "commands.h"

#include "csv.h"
#include "messages.h"
#include "options.h"
#include "stripedrv.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unistd.h>

#ifndef STRIPECTL_VERSION
#define STRIPECTL_VERSION "0"
#endif

namespace stripectl {

namespace {

using json = nlohmann::ordered_json;

// The test console's defaults, so that a technician who knows the console
// gets the same behaviour here.
const char *const kDefaultPort = "ttyCH341USB0";
const int kDefaultBaud = 9600;
const int kDefaultTimeout = 20;
const int kDefaultTracks = SD_TRACKS_2_3;

// Room for any track text the driver hands back (it needs at least
// SD_TRACK_BUF_MIN bytes).
const int kTrackBufferSize = 256;

const OptionDef kPortOption = {"port", "NAME",
                                "the reader's tty below /dev/ (default ttyCH341USB0, "
                                "or $STRIPECTL_PORT)"};
const OptionDef kBaudOption = {"baud", "RATE",
                                "line speed: 1200, 2400, 4800, 9600 (default), 19200, "
                                "38400 or 115200"};
const OptionDef kTimeoutOption = {"timeout", "SECONDS",
                                   "how long to wait for a swipe, 0..600 (default 20)"};
const OptionDef kExtPortOption = {"ext-port", nullptr,
                                   "select the reader's external port (ESC %A) first"};
const OptionDef kTracksOption = {"tracks", "2|3|23", "the tracks to use (default 23, both)"};
const OptionDef kJsonOption = {"json", nullptr, "print one JSON object instead of text"};
const OptionDef kQuietOption = {"quiet", nullptr, "no prompts on standard error"};
const OptionDef kHelpOption = {"help", nullptr, "show this help"};

// Settings every reader command shares.
struct Line {
    std::string port;
    int baud = kDefaultBaud;
    int timeout = kDefaultTimeout;
    bool extPort = false;
    bool quiet = false;
};

struct Context {
    std::ostream &out;
    std::ostream &err;
    std::string command;

    int usage(const std::string &problem) const
    {
        err << "stripectl " << command << ": " << problem << "\n"
            << "Try 'stripectl " << command << " --help'.\n";
        return kExitUsage;
    }
    void prompt(const Line &line, const std::string &text) const
    {
        if (!line.quiet)
            err << text << std::flush;
    }
    int failure(const std::string &what, int code) const
    {
        return report(what, code, codeMessage(code));
    }
    int queryFailure(const std::string &what, int code) const
    {
        return report(what, code, queryMessage(code));
    }
    int report(const std::string &what, int code, const std::string &message) const
    {
        err << "stripectl " << command << ": " << what << ": " << message << " [code " << code
            << "]\n";
        return exitStatusForCode(code);
    }
};

std::string jsonText(const json &value)
{
    // Track texts come from the reader and may hold any byte: never let an
    // odd byte stop the output.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

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

// Fills `line` from the parsed options; returns an error text or "".
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

// The problem with arguments given to a command that takes none, or "".
std::string refuseArguments(const ParsedOptions &options)
{
    return options.positional().empty() ? "" : "unexpected argument " + options.positional()[0];
}

// The line options of a command that takes no arguments: a problem or "".
std::string takeLineAlone(const ParsedOptions &options, Line &line)
{
    std::string problem = takeLine(options, line);
    return problem.empty() ? refuseArguments(options) : problem;
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

struct Tracks {
    std::string track2;
    std::string track3;
};

int readCard(const Line &line, int tracks, Tracks &read)
{
    char track2[kTrackBufferSize] = "";
    char track3[kTrackBufferSize] = "";
    int code = MS_ReadCard(line.port.c_str(), line.extPort ? "A" : "", line.baud, line.timeout,
                           tracks, 0, track2, track3);
    read.track2 = track2;
    read.track3 = track3;
    return code;
}

int writeCard(const Line &line, int tracks, const Tracks &texts)
{
    return MS_WriteCard(line.port.c_str(), line.extPort ? "A" : "", line.baud, line.timeout,
                        tracks, 0, texts.track2.c_str(), texts.track3.c_str());
}

// Compares what was read back with what was written, on the tracks written;
// returns a description of the difference, or "" when they agree.
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

std::string swipePrompt(const Line &line, const std::string &what)
{
    return "Swipe " + what + " through the reader on " + devicePath(line) + " (waiting up to " +
           std::to_string(line.timeout) + " s) ...\n";
}

// ---------------------------------------------------------------- read

const std::vector<OptionDef> kReadOptions = {kPortOption,    kBaudOption,  kTimeoutOption,
                                              kTracksOption,  kExtPortOption, kJsonOption,
                                              kQuietOption,   kHelpOption};

int commandRead(Context &ctx, const ParsedOptions &options)
{
    Line line;
    int tracks = kDefaultTracks;
    std::string problem = takeLine(options, line);
    if (problem.empty())
        problem = takeTracks(options, tracks);
    if (problem.empty())
        problem = refuseArguments(options);
    if (!problem.empty())
        return ctx.usage(problem);

    ctx.prompt(line, swipePrompt(line, "a card") );
    Tracks read;
    int code = readCard(line, tracks, read);
    if (options.has("json")) {
        json answer = {{"code", code}, {"port", line.port}, {"tracks", tracks}};
        if (code == SD_OK) {
            if (tracks != SD_TRACK_3)
                answer["track2"] = read.track2;
            if (tracks != SD_TRACK_2)
                answer["track3"] = read.track3;
        } else {
            answer["error"] = codeMessage(code);
        }
        ctx.out << jsonText(answer) << "\n";
    }
    if (code != SD_OK)
        return ctx.failure("reading " + tracksName(tracks) + " failed", code);
    if (!options.has("json")) {
        if (tracks != SD_TRACK_3)
            ctx.out << "track2: " << read.track2 << "\n";
        if (tracks != SD_TRACK_2)
            ctx.out << "track3: " << read.track3 << "\n";
    }
    return kExitOk;
}

// ---------------------------------------------------------------- write

const std::vector<OptionDef> kWriteOptions = {
    {"track2", "TEXT", "the track-2 text to write"},
    {"track3", "TEXT", "the track-3 text to write"},
    kPortOption, kBaudOption, kTimeoutOption,
    {"tracks", "2|3|23", "the tracks to write (default: those given texts)"},
    {"verify", nullptr, "read the card back after writing (a second swipe) and compare"},
    kExtPortOption, kQuietOption, kHelpOption};

int commandWrite(Context &ctx, const ParsedOptions &options)
{
    Line line;
    std::string problem = takeLine(options, line);
    Tracks texts{options.value("track2"), options.value("track3")};
    int tracks = kDefaultTracks;
    if (problem.empty()) {
        if (options.has("tracks"))
            problem = takeTracks(options, tracks);
        else if (options.has("track2") && options.has("track3"))
            tracks = SD_TRACKS_2_3;
        else if (options.has("track2"))
            tracks = SD_TRACK_2;
        else if (options.has("track3"))
            tracks = SD_TRACK_3;
        else
            problem = "give the text to write with --track2 and/or --track3";
    }
    if (problem.empty())
        problem = refuseArguments(options);
    if (!problem.empty())
        return ctx.usage(problem);

    ctx.prompt(line, swipePrompt(line, "the card to write"));
    int code = writeCard(line, tracks, texts);
    if (code != SD_OK)
        return ctx.failure("writing " + tracksName(tracks) + " failed", code);
    if (!options.has("verify")) {
        ctx.out << "written: " << tracksName(tracks) << "\n";
        return kExitOk;
    }
    ctx.prompt(line, swipePrompt(line, "the card again to check it"));
    Tracks read;
    code = readCard(line, tracks, read);
    if (code != SD_OK)
        return ctx.failure("written, but reading it back failed", code);
    std::string difference = verifyDifference(tracks, texts, read);
    if (!difference.empty()) {
        ctx.err << "stripectl write: verification failed: " << difference << "\n";
        return kExitMismatch;
    }
    ctx.out << "written and verified: " << tracksName(tracks) << "\n";
    return kExitOk;
}

// ---------------------------------------------------------------- encode

const std::vector<OptionDef> kEncodeOptions = {
    kPortOption, kBaudOption, kTimeoutOption,
    {"start", "ROW", "begin at this card row (1 = the first; to resume a batch)"},
    {"keep-going", nullptr, "report a failed card and go on with the next (default: stop)"},
    {"no-verify", nullptr, "do not read each card back (one swipe per card)"},
    {"dry-run", nullptr, "only check the file and list its cards"},
    kExtPortOption, kQuietOption, kHelpOption};

int rowTracks(const CardRow &row)
{
    if (!row.track2.empty() && !row.track3.empty())
        return SD_TRACKS_2_3;
    return row.track2.empty() ? SD_TRACK_3 : SD_TRACK_2;
}

// Writes and checks one card; prints its result line. Returns the exit status.
int encodeOne(Context &ctx, const Line &line, const CardRow &row, size_t total, bool verify)
{
    std::string label = "row " + std::to_string(row.number);
    int tracks = rowTracks(row);
    Tracks texts{row.track2, row.track3};
    ctx.prompt(line, "Card " + std::to_string(row.number) + " of " + std::to_string(total) +
                         ": " + swipePrompt(line, "the card to write"));
    int code = writeCard(line, tracks, texts);
    if (code != SD_OK) {
        ctx.out << label << ": FAILED writing " << tracksName(tracks) << ": " << codeMessage(code)
                << " [code " << code << "]" << std::endl;
        return exitStatusForCode(code);
    }
    if (verify) {
        ctx.prompt(line, "Card " + std::to_string(row.number) + ": " +
                             swipePrompt(line, "the card again to check it"));
        Tracks read;
        code = readCard(line, tracks, read);
        if (code != SD_OK) {
            ctx.out << label << ": FAILED reading back: " << codeMessage(code) << " [code "
                    << code << "]" << std::endl;
            return exitStatusForCode(code);
        }
        std::string difference = verifyDifference(tracks, texts, read);
        if (!difference.empty()) {
            ctx.out << label << ": MISMATCH: " << difference << std::endl;
            return kExitMismatch;
        }
    }
    ctx.out << label << ": ok (" << tracksName(tracks) << (verify ? ", verified" : "") << ")"
            << std::endl;
    return kExitOk;
}

// Ctrl-C in the middle of a batch. The driver call under way can block for
// up to a minute and cannot be cut short, so the handler says at once where
// to resume and ends the process; the kernel closes the port. The text is
// prepared before each card: the handler only writes it.
char g_interruptText[160];
volatile sig_atomic_t g_interruptLength = 0;

void onInterrupt(int)
{
    ssize_t ignored = write(STDERR_FILENO, g_interruptText, size_t(g_interruptLength));
    (void)ignored;
    _exit(kExitInterrupted);
}

void prepareInterruptText(int row)
{
    g_interruptLength = 0;
    int length = snprintf(g_interruptText, sizeof g_interruptText,
                          "\nInterrupted at row %d; to go on, run again with --start %d.\n", row,
                          row);
    g_interruptLength = length > 0 ? std::min(length, int(sizeof g_interruptText) - 1) : 0;
}

// Installs onInterrupt for SIGINT and SIGTERM while it lives.
class InterruptGuard {
public:
    InterruptGuard()
    {
        struct sigaction action = {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~InterruptGuard()
    {
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

private:
    struct sigaction previousInt_ = {};
    struct sigaction previousTerm_ = {};
};

int commandEncode(Context &ctx, const ParsedOptions &options)
{
    Line line;
    std::string problem = takeLine(options, line);
    if (problem.empty() && options.positional().size() != 1)
        problem = options.positional().empty() ? "give the CSV file of cards"
                                               : "give exactly one CSV file";
    int start = 1;
    if (problem.empty() && options.has("start") &&
        !parseInt(options.value("start"), 1, 1000000, start))
        problem = "--start must be a card row number from 1";
    if (!problem.empty())
        return ctx.usage(problem);

    const std::string &file = options.positional()[0];
    std::ifstream in(file);
    if (!in) {
        ctx.err << "stripectl encode: cannot open " << file << "\n";
        return kExitUsage;
    }
    CsvResult csv = parseCardCsv(in);
    if (!csv.ok) {
        ctx.err << "stripectl encode: " << file << ", " << csv.error << "\n";
        return kExitUsage;
    }
    if (csv.rows.empty()) {
        ctx.err << "stripectl encode: " << file << " holds no cards\n";
        return kExitUsage;
    }
    if (size_t(start) > csv.rows.size())
        return ctx.usage("--start " + std::to_string(start) + " is past the last card row (" +
                         std::to_string(csv.rows.size()) + ")");

    if (options.has("dry-run")) {
        for (size_t i = size_t(start) - 1; i < csv.rows.size(); ++i) {
            const CardRow &row = csv.rows[i];
            ctx.out << "row " << row.number << " (line " << row.line
                    << "): " << tracksName(rowTracks(row)) << ": track2 \"" << row.track2
                    << "\" track3 \"" << row.track3 << "\"\n";
        }
        return kExitOk;
    }

    bool verify = !options.has("no-verify");
    bool keepGoing = options.has("keep-going");
    int ok = 0;
    int failed = 0;
    int firstFailureStatus = kExitOk;
    std::string failedRows;
    int stoppedAt = 0;
    InterruptGuard interrupts;
    for (size_t i = size_t(start) - 1; i < csv.rows.size(); ++i) {
        const CardRow &row = csv.rows[i];
        prepareInterruptText(row.number);
        int status = encodeOne(ctx, line, row, csv.rows.size(), verify);
        if (status == kExitOk) {
            ++ok;
            continue;
        }
        ++failed;
        failedRows += (failedRows.empty() ? "" : ",") + std::to_string(row.number);
        if (firstFailureStatus == kExitOk)
            firstFailureStatus = status;
        if (!keepGoing) {
            stoppedAt = row.number;
            break;
        }
    }
    ctx.out << "summary: " << ok << " ok, " << failed << " failed";
    if (!failedRows.empty())
        ctx.out << " (rows " << failedRows << ")";
    if (stoppedAt) {
        int left = int(csv.rows.size()) - stoppedAt;
        ctx.out << "; stopped at row " << stoppedAt << ", " << left << " not tried";
    }
    ctx.out << "\n";
    if (stoppedAt)
        ctx.err << "To go on, run again with --start " << stoppedAt << " (retry that card) or --start "
                << stoppedAt + 1 << " (skip it).\n";
    return firstFailureStatus;
}

// ---------------------------------------------------------------- info

const std::vector<OptionDef> kInfoOptions = {kPortOption, kBaudOption, kJsonOption,
                                              kQuietOption, kHelpOption};

struct ReaderInfo {
    std::string firmware;
    std::string identityRecord;
    Identity identity;
    std::string model;
};

// Asks the reader itself (version, then the identity record when the
// version does not settle the model) over one open line.
int queryReader(const Line &line, ReaderInfo &info, std::string &step)
{
    step = "opening " + devicePath(line);
    int code = OpenCOM(line.port.c_str(), line.baud);
    if (code == SD_OK) {
        step = "asking for the firmware version";
        char version[SD_VERSION_MAX + 1] = "";
        code = GetVersionInfo(version);
        if (code == SD_OK) {
            info.firmware = version;
            info.model = modelFromFirmware(info.firmware);
        }
        if (code == SD_OK && info.model.empty()) {
            step = "asking for the identity record";
            char record[SD_IDENTITY_MAX + 1] = "";
            code = ProbeDeviceId(record);
            if (code == SD_OK) {
                info.identityRecord = record;
                info.identity = splitIdentityRecord(info.identityRecord);
                info.model = "P26B";
            }
        }
    }
    CloseCOM();
    return code;
}

int commandInfo(Context &ctx, const ParsedOptions &options)
{
    Line line;
    std::string problem = takeLineAlone(options, line);
    if (!problem.empty())
        return ctx.usage(problem);

    ReaderInfo info;
    std::string step;
    int code = queryReader(line, info, step);
    if (options.has("json")) {
        // The keys of the driver's device-information answer.
        json answer;
        if (code == SD_OK) {
            answer = {{"ErrorCode", "0"},
                      {"ErrorMessage", "success"},
                      {"DeviceBrand", "QOVA"},
                      {"DllVersion", SD_DLL_VERSION},
                      {"DeviceVersion", info.firmware},
                      {"DeviceSN", info.identity.serialNumber},
                      {"ProductionDate", info.identity.productionDate},
                      {"DeviceModel", info.model}};
        } else {
            answer = {{"ErrorCode", std::to_string(code)},
                      {"ErrorMessage", step + ": " + queryMessage(code)}};
        }
        ctx.out << jsonText(answer) << "\n";
    }
    if (code != SD_OK)
        return ctx.queryFailure(step + " failed", code);
    if (!options.has("json")) {
        ctx.out << "port:             " << devicePath(line) << "\n"
                << "firmware version: " << info.firmware << "\n"
                << "serial number:    " << info.identity.serialNumber << "\n"
                << "production date:  " << info.identity.productionDate << "\n"
                << "model:            " << info.model << "\n";
        if (!info.identityRecord.empty())
            ctx.out << "identity record:  " << info.identityRecord << "\n";
    }
    return kExitOk;
}

// ---------------------------------------------------------------- reset

const std::vector<OptionDef> kResetOptions = {kPortOption, kBaudOption, kQuietOption,
                                               kHelpOption};

int commandReset(Context &ctx, const ParsedOptions &options)
{
    Line line;
    std::string problem = takeLineAlone(options, line);
    if (!problem.empty())
        return ctx.usage(problem);

    int code = OpenCOM(line.port.c_str(), line.baud);
    if (code != SD_OK) {
        CloseCOM();
        return ctx.queryFailure("opening " + devicePath(line) + " failed", code);
    }
    code = MSR_Reset();
    CloseCOM();
    if (code != SD_OK) {
        ctx.err << "stripectl reset: the reset command could not be sent to " << devicePath(line)
                << " [code " << code << "]\n";
        return kExitFailed;
    }
    ctx.out << "reset sent to " << devicePath(line) << "\n";
    return kExitOk;
}

// ---------------------------------------------------------------- table

struct Command {
    const char *name;
    const char *synopsis;
    const char *summary;
    const char *details;
    const std::vector<OptionDef> *options;
    int (*run)(Context &, const ParsedOptions &);
};

const Command kCommands[] = {
    {"read", "read [OPTIONS]", "read the tracks of a swiped card",
     "Waits for a card swipe and prints the track texts (\"=\" as field separator),\n"
     "one line \"track2: TEXT\" / \"track3: TEXT\" per selected track, or with --json\n"
     "one object {\"code\":0,\"port\":...,\"tracks\":23,\"track2\":...,\"track3\":...}\n"
     "(on failure {\"code\":N,...,\"error\":\"...\"}).\n"
     "A read can take up to about twice the time limit plus 12 seconds.\n",
     &kReadOptions, commandRead},
    {"write", "write --track2 TEXT [--track3 TEXT] [OPTIONS]", "write track texts to a card",
     "Waits for a card swipe and writes the given texts, sent unchanged. With\n"
     "--verify the card is read back (swipe it a second time) and compared.\n",
     &kWriteOptions, commandWrite},
    {"encode", "encode FILE [OPTIONS]", "write a batch of cards from a CSV file",
     "FILE holds one card per row: track-2 text, track-3 text (either may be\n"
     "empty). Lines starting with # and a heading row \"track2,track3\" are\n"
     "skipped; fields may be in double quotes. For every card: swipe to write,\n"
     "swipe again to check it. A result line per card and a summary go to\n"
     "standard output. A failed card stops the batch unless --keep-going is\n"
     "given; --start ROW resumes at a card row.\n",
     &kEncodeOptions, commandEncode},
    {"info", "info [OPTIONS]", "show the reader's firmware, serial number and model",
     "Asks the reader for its firmware version and, unless the version settles\n"
     "the model, its identity record, and prints firmware version, serial\n"
     "number, production date and model. --json prints the same keys as the\n"
     "driver's device-information answer (ErrorCode, DeviceVersion, DeviceSN,\n"
     "ProductionDate, DeviceModel, ...).\n",
     &kInfoOptions, commandInfo},
    {"reset", "reset [OPTIONS]", "send the reset command to the reader",
     "Opens the port, sends the reader's reset command (ESC 0) and closes it.\n",
     &kResetOptions, commandReset},
};

const char *const kExitStatusText =
    "Exit status:\n"
    "  0  success\n"
    "  1  the reader or the driver reported a failure\n"
    "  2  bad command line, or an unreadable or malformed CSV file\n"
    "  3  the port cannot be opened (code -3; also the reader's status \"rs\")\n"
    "  4  nothing arrived in time: no card swiped, or no answer (code -2)\n"
    "  5  the card read back differs from what was written\n"
    "130  encode was interrupted (Ctrl-C); it says where to resume\n";

const Command *findCommand(const std::string &name)
{
    for (const Command &command : kCommands)
        if (name == command.name)
            return &command;
    return nullptr;
}

void printCommandHelp(std::ostream &out, const Command &command)
{
    out << "Usage: stripectl " << command.synopsis << "\n\n"
        << command.details << "\nOptions:\n"
        << describeOptions(*command.options) << "\n"
        << kExitStatusText;
}

void printHelp(std::ostream &out)
{
    out << "Usage: stripectl COMMAND [OPTIONS]\n\n"
           "Reads, writes and checks magnetic-stripe cards on the reader/writer\n"
           "through the stripedrv driver.\n\nCommands:\n";
    for (const Command &command : kCommands) {
        std::string name = command.name;
        out << "  " << name << std::string(10 - name.size(), ' ') << command.summary << "\n";
    }
    out << "\n'stripectl COMMAND --help' describes a command and its options.\n"
           "The driver traces to DataLog.log in the current directory when\n"
           "CONFIG.ini there holds [DEVTRACE] Switch=1.\n\n"
        << kExitStatusText;
}

} // namespace

Identity splitIdentityRecord(const std::string &record)
{
    Identity identity;
    size_t bar = record.size() > 1 ? record.find_last_of('|') : std::string::npos;
    if (bar == std::string::npos || bar == 0)
        return identity;
    identity.serialNumber = record.substr(bar + 1);
    const std::string &serial = identity.serialNumber;
    size_t dash = serial.size() > 1 ? serial.find_last_of('-') : std::string::npos;
    if (dash != std::string::npos && dash != 0)
        identity.productionDate = serial.substr(dash + 1, 4);
    return identity;
}

std::string modelFromFirmware(const std::string &version)
{
    if (version.compare(0, 4, "Ver3") == 0)
        return "P26A";
    if (version.compare(0, 7, "Ver5.12") == 0)
        return "P26B";
    return "";
}

int runStripectl(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    if (args.empty()) {
        printHelp(err);
        return kExitUsage;
    }
    const std::string &name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        const Command *command = args.size() > 1 ? findCommand(args[1]) : nullptr;
        if (command)
            printCommandHelp(out, *command);
        else
            printHelp(out);
        return kExitOk;
    }
    if (name == "--version") {
        out << "stripectl " << STRIPECTL_VERSION << " (driver " << SD_DLL_VERSION << ")\n";
        return kExitOk;
    }
    const Command *command = findCommand(name);
    if (!command) {
        err << "stripectl: unknown command '" << name << "'\n"
            << "Try 'stripectl --help'.\n";
        return kExitUsage;
    }
    Context ctx{out, err, command->name};
    ParsedOptions options;
    std::string error;
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (!parseOptions(rest, *command->options, options, error))
        return ctx.usage(error);
    if (options.has("help")) {
        printCommandHelp(out, *command);
        return kExitOk;
    }
    return command->run(ctx, options);
}

} // namespace stripectl
