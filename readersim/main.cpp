// readersim: a simulated magnetic-stripe reader on a pseudo-terminal.
//
// Prints the port name to give the driver (e.g. "pts/4") alone on the first
// line of standard output, then serves the reader's side of the protocol
// until SIGINT or SIGTERM. Everything else goes to standard error.
#include "protocol.h"
#include "server.h"

#include <signal.h>
#include <unistd.h>

#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using namespace readersim;

namespace {

Server *g_server = nullptr;

void onSignal(int)
{
    if (g_server)
        g_server->stop();
}

void usage(FILE *to)
{
    std::fprintf(to,
        "Usage: readersim [OPTION]...\n"
        "A simulated magnetic-stripe reader/writer on a pseudo-terminal.\n"
        "\n"
        "Prints the port name to give the driver (such as pts/4) alone on the\n"
        "first line of standard output and serves reads, writes and status\n"
        "requests until stopped with SIGINT (Ctrl-C) or SIGTERM. Log lines go\n"
        "to standard error.\n"
        "\n"
        "The line:\n"
        "  --link PATH          also make a symbolic link PATH to the port\n"
        "                       (removed on exit)\n"
        "  --no-pacing          send at once instead of about 10 bit times per\n"
        "                       byte at the speed the driver set on the line\n"
        "  --hex                log the bytes received and sent as hex\n"
        "  --quiet              do not log the commands\n"
        "\n"
        "The card (\"=\" is sent as \"'\" on the wire; a write replaces them):\n"
        "  --track2 TEXT        default %s\n"
        "  --track3 TEXT        default %s\n"
        "\n"
        "Misbehaviour:\n"
        "  --swipe-delay SECONDS  swipe the card this long after a read command\n"
        "  --swipe-on-key       swipe the card when Enter is pressed on standard\n"
        "                       input\n"
        "  --error-byte C       answer reads with the error byte C (\"0\"..\"9\",\n"
        "                       \"A\"..\"D\") instead of \"s\" and the card data\n"
        "  --status TEXT        answer status requests with ESC TEXT (\"rp\", \"Trp\",\n"
        "                       \"Brp\", \"rq\", \"rs\", \"rt\" or any other text);\n"
        "                       default: the success text fitting the last command\n"
        "  --no-status          do not answer status requests\n"
        "  --silent             answer nothing at all\n"
        "  --byte-gap MS        pause MS milliseconds after every byte sent\n"
        "  --stray BYTES        send BYTES before every reply\n"
        "  --hangup-after N     hang up after N bytes of a reply; the reader then\n"
        "                       comes back on a new port (the link follows it)\n"
        "\n"
        "Identification:\n"
        "  --version TEXT       firmware version, answered to ESC \"_GETVER\" with a CR\n"
        "                       (default %s)\n"
        "  --identity TEXT      identity record, answered to ESC \"Intelligent\" after\n"
        "                       0xAA and its length in three digits; at most 999\n"
        "                       bytes (default %s)\n"
        "  --identity-start C   begin the identity reply with C instead of 0xAA\n"
        "  --identity-short N   send N record bytes fewer than announced\n"
        "  --no-identity        do not answer the identity request\n"
        "  --version-overrun    pad the version reply past 100 bytes before its CR\n"
        "\n"
        "TEXT, BYTES and C may hold the escapes \\e (ESC), \\xHH, \\n, \\r, \\t, \\\\.\n"
        "\n"
        "  --help               show this help and exit\n",
        kDefaultTrack2, kDefaultTrack3, kDefaultVersion, kDefaultIdentity);
}

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "readersim: %s\nTry 'readersim --help'.\n", message.c_str());
    std::exit(2);
}

std::string escaped(const char *option, const char *value)
{
    std::optional<std::string> text = unescape(value);
    if (!text)
        fail(std::string("bad escape in ") + option + " " + value);
    return *text;
}

double number(const char *option, const char *value, double low, double high)
{
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(value, &end);
    if (errno != 0 || end == value || *end != '\0' || !(v >= low && v <= high))
        fail(std::string("bad value for ") + option + ": " + value);
    return v;
}

// The command line, parsed with CLI11: every option by its long name, the
// last of a repeated one counting. Values are checked below, option by
// option, with the reason named.
class CommandLine {
public:
    CommandLine(int argc, char **argv)
    {
        app_.set_help_flag(); // --help prints our own text
        app_.allow_extras();
        for (const char *name : {"link", "track2", "track3", "swipe-delay", "error-byte", "status",
                                 "byte-gap", "stray", "hangup-after", "version", "identity",
                                 "identity-start", "identity-short"})
            given_[name] = app_.add_option(std::string("--") + name)
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        for (const char *name : {"no-pacing", "hex", "quiet", "swipe-on-key", "no-status",
                                 "silent", "no-identity", "version-overrun", "help"})
            given_[name] = app_.add_flag(std::string("--") + name)->disable_flag_override();
        app_.add_option("arguments", arguments_);
        std::vector<std::string> order =
            sdcli::parseOrder(app_, std::vector<std::string>(argv + 1, argv + argc));
        try {
            app_.parse(order);
        } catch (const CLI::ParseError &e) {
            fail("unknown option or missing value: " + typed(argc, argv, e.what()));
        }
        for (const std::string &extra : app_.remaining())
            if (extra != "--")
                fail("unknown option or missing value: " + extra);
        if (!arguments_.empty())
            fail("unexpected argument " + arguments_.front());
    }

    // The argument CLI11 refused, as it was typed ("--hex=1"), else the
    // option it names.
    static std::string typed(int argc, char **argv, const std::string &what)
    {
        const std::string name = sdcli::refusedOption(what);
        for (int i = 1; i < argc && !name.empty(); ++i)
            if (argv[i] == name || std::string(argv[i]).rfind(name + "=", 0) == 0)
                return argv[i];
        return name.empty() ? what : name;
    }

    bool has(const char *name) const { return given_.at(name)->count() > 0; }
    // The option's value, its escapes resolved.
    std::string text(const char *name) const
    {
        return escaped((std::string("--") + name).c_str(), value(name).c_str());
    }
    double number(const char *name, double low, double high) const
    {
        return ::number((std::string("--") + name).c_str(), value(name).c_str(), low, high);
    }
    // A value that must be a single byte.
    char byte(const char *name) const
    {
        std::string b = text(name);
        if (b.size() != 1)
            fail(std::string("--") + name + " takes one byte");
        return b[0];
    }

private:
    std::string value(const char *name) const { return given_.at(name)->as<std::string>(); }

    CLI::App app_;
    std::map<std::string, CLI::Option *> given_;
    std::vector<std::string> arguments_;
};

void takeCommandLine(int argc, char **argv, Card &card, Behaviour &behaviour,
                     ServerOptions &options)
{
    const CommandLine line(argc, argv);
    if (line.has("help")) {
        usage(stdout);
        std::exit(0);
    }
    if (line.has("link"))
        options.linkPath = line.text("link");
    if (line.has("track2"))
        card.track2 = line.text("track2");
    if (line.has("track3"))
        card.track3 = line.text("track3");
    options.pacing = !line.has("no-pacing");
    options.hex = line.has("hex");
    options.quiet = line.has("quiet");
    if (line.has("swipe-delay"))
        options.swipeDelay = line.number("swipe-delay", 0, 86400);
    options.swipeOnKey = line.has("swipe-on-key");
    if (line.has("error-byte"))
        behaviour.readStart = line.byte("error-byte");
    if (line.has("status")) {
        behaviour.status = line.text("status");
        if (behaviour.status.empty())
            fail("--status needs a text (use --no-status for no answer)");
    }
    if (line.has("no-status"))
        behaviour.answerStatus = false;
    behaviour.silent = line.has("silent");
    if (line.has("byte-gap"))
        options.byteGapMs = static_cast<int>(line.number("byte-gap", 0, 600000));
    if (line.has("stray"))
        behaviour.stray = line.text("stray");
    if (line.has("hangup-after"))
        options.hangupAfter = static_cast<long>(line.number("hangup-after", 0, 1e9));
    if (line.has("version"))
        behaviour.version = line.text("version");
    if (line.has("identity")) {
        behaviour.identity = line.text("identity");
        if (behaviour.identity.size() > kMaxIdentity)
            fail("--identity takes at most 999 bytes");
    }
    if (line.has("identity-start"))
        behaviour.identityStart = line.byte("identity-start");
    if (line.has("identity-short"))
        behaviour.identityShortBy =
            static_cast<size_t>(line.number("identity-short", 0, kMaxIdentity));
    if (line.has("no-identity"))
        behaviour.answerIdentity = false;
    if (line.has("version-overrun"))
        behaviour.versionOverrun = true;
}

} // namespace

int main(int argc, char **argv)
{
    Card card;
    Behaviour behaviour;
    ServerOptions options;
    options.keyFd = STDIN_FILENO;

    takeCommandLine(argc, argv, card, behaviour, options);

    Protocol protocol(card, behaviour);
    try {
        Server server(protocol, options);
        g_server = &server;
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);

        std::printf("%s\n", server.portName().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "readersim: serving on %s%s\n", server.slavePath().c_str(),
                     options.linkPath.empty() ? "" : (" (link " + options.linkPath + ")").c_str());
        server.run();
        g_server = nullptr;
        std::fprintf(stderr, "readersim: stopped\n");
    } catch (const std::exception &e) {
        g_server = nullptr;
        std::fprintf(stderr, "readersim: %s\n", e.what());
        return 1;
    }
    return 0;
}
