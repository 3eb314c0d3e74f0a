// readersim: a simulated magnetic-stripe reader on a pseudo-terminal.
//
// Prints the port name to give the driver (e.g. "pts/4") alone on the first
// line of standard output, then serves the reader's side of the protocol
// until SIGINT or SIGTERM. Everything else goes to standard error.
#include "protocol.h"
#include "server.h"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

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

enum Opt {
    OptLink = 256, OptTrack2, OptTrack3, OptNoPacing, OptHex, OptQuiet, OptSwipeDelay,
    OptSwipeOnKey, OptErrorByte, OptStatus, OptNoStatus, OptSilent, OptByteGap, OptStray,
    OptHangupAfter, OptVersion, OptIdentity, OptIdentityStart, OptIdentityShort,
    OptNoIdentity, OptVersionOverrun, OptHelp
};

const option kOptions[] = {
    {"link", required_argument, nullptr, OptLink},
    {"track2", required_argument, nullptr, OptTrack2},
    {"track3", required_argument, nullptr, OptTrack3},
    {"no-pacing", no_argument, nullptr, OptNoPacing},
    {"hex", no_argument, nullptr, OptHex},
    {"quiet", no_argument, nullptr, OptQuiet},
    {"swipe-delay", required_argument, nullptr, OptSwipeDelay},
    {"swipe-on-key", no_argument, nullptr, OptSwipeOnKey},
    {"error-byte", required_argument, nullptr, OptErrorByte},
    {"status", required_argument, nullptr, OptStatus},
    {"no-status", no_argument, nullptr, OptNoStatus},
    {"silent", no_argument, nullptr, OptSilent},
    {"byte-gap", required_argument, nullptr, OptByteGap},
    {"stray", required_argument, nullptr, OptStray},
    {"hangup-after", required_argument, nullptr, OptHangupAfter},
    {"version", required_argument, nullptr, OptVersion},
    {"identity", required_argument, nullptr, OptIdentity},
    {"identity-start", required_argument, nullptr, OptIdentityStart},
    {"identity-short", required_argument, nullptr, OptIdentityShort},
    {"no-identity", no_argument, nullptr, OptNoIdentity},
    {"version-overrun", no_argument, nullptr, OptVersionOverrun},
    {"help", no_argument, nullptr, OptHelp},
    {nullptr, 0, nullptr, 0},
};

} // namespace

int main(int argc, char **argv)
{
    Card card;
    Behaviour behaviour;
    ServerOptions options;
    options.keyFd = STDIN_FILENO;

    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        switch (c) {
        case OptLink: options.linkPath = optarg; break;
        case OptTrack2: card.track2 = optarg; break;
        case OptTrack3: card.track3 = optarg; break;
        case OptNoPacing: options.pacing = false; break;
        case OptHex: options.hex = true; break;
        case OptQuiet: options.quiet = true; break;
        case OptSwipeDelay:
            options.swipeDelay = number("--swipe-delay", optarg, 0, 86400);
            break;
        case OptSwipeOnKey: options.swipeOnKey = true; break;
        case OptErrorByte: {
            std::string b = escaped("--error-byte", optarg);
            if (b.size() != 1)
                fail("--error-byte takes one byte");
            behaviour.readStart = b[0];
            break;
        }
        case OptStatus:
            behaviour.status = escaped("--status", optarg);
            if (behaviour.status.empty())
                fail("--status needs a text (use --no-status for no answer)");
            break;
        case OptNoStatus: behaviour.answerStatus = false; break;
        case OptSilent: behaviour.silent = true; break;
        case OptByteGap:
            options.byteGapMs = static_cast<int>(number("--byte-gap", optarg, 0, 600000));
            break;
        case OptStray: behaviour.stray = escaped("--stray", optarg); break;
        case OptHangupAfter:
            options.hangupAfter = static_cast<long>(number("--hangup-after", optarg, 0, 1e9));
            break;
        case OptVersion: behaviour.version = escaped("--version", optarg); break;
        case OptIdentity:
            behaviour.identity = escaped("--identity", optarg);
            if (behaviour.identity.size() > kMaxIdentity)
                fail("--identity takes at most 999 bytes");
            break;
        case OptIdentityStart: {
            std::string b = escaped("--identity-start", optarg);
            if (b.size() != 1)
                fail("--identity-start takes one byte");
            behaviour.identityStart = b[0];
            break;
        }
        case OptIdentityShort:
            behaviour.identityShortBy =
                static_cast<size_t>(number("--identity-short", optarg, 0, kMaxIdentity));
            break;
        case OptNoIdentity: behaviour.answerIdentity = false; break;
        case OptVersionOverrun: behaviour.versionOverrun = true; break;
        case OptHelp: usage(stdout); return 0;
        default:
            fail(std::string("unknown option or missing value: ") + argv[optind - 1]);
        }
    }
    if (optind < argc)
        fail(std::string("unexpected argument ") + argv[optind]);

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
