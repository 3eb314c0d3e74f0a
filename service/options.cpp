#include "options.h"

#include "peer_user.h"
#include "tty_node.h"

#include "stripedrv.h"

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace stripedrvd {

namespace {

const int kBaudRates[] = {SD_BAUD_RATES};

std::string defaultConfigFile()
{
    std::string user;
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        user = xdg;
    else if (const char *home = std::getenv("HOME"); home && *home)
        user = std::string(home) + "/.config";
    for (std::string candidate : {user.empty() ? "" : user + "/stripedrvd/stripedrvd.conf",
                                  std::string(STRIPEDRVD_SYSCONFDIR "/stripedrvd/stripedrvd.conf")})
        if (!candidate.empty() && access(candidate.c_str(), R_OK) == 0)
            return candidate;
    return "";
}

// The demo page: the folder that lies where the installation puts it
// relative to the program (bin/../share/stripedrvd/www, so an installed tree
// can be moved), else the configured one. The build folder holds a link in
// that place to the source tree's page, so a build runs with it before it
// is installed, and no path of the build machine is compiled in.
std::string defaultStaticDir()
{
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length > 0) {
        std::string dir(exe, size_t(length));
        dir = dir.substr(0, dir.rfind('/') + 1) + STRIPEDRVD_BIN_TO_STATIC_DIR;
        struct stat info {};
        if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return dir;
    }
    return STRIPEDRVD_STATIC_DIR;
}

// The reader's name below /dev/, as the library wants it.
std::string portName(std::string reader)
{
    if (reader.rfind("/dev/", 0) == 0)
        reader.erase(0, 5);
    return reader;
}

// Whether `reader` (below /dev/, or "auto") can name a tty: a name below
// /dev/ without "..", and, when the node is there already, a terminal that
// can be the reader's (not /dev/null, not /dev/tty). A node that is not
// there yet is let in: the reader may come.
bool namesTty(const std::string &reader)
{
    if (reader == "auto")
        return true;
    if (reader.empty() || reader.front() == '/' || reader.find("..") != std::string::npos)
        return false;
    struct stat node;
    return stat(("/dev/" + reader).c_str(), &node) != 0 || readerTty("/dev/" + reader);
}

} // namespace

int parseOptions(int argc, const char *const *argv, Options &options, std::ostream &out,
                 std::ostream &err)
{
    CLI::App app{"stripedrvd: the magnetic-stripe reader for web pages on this machine, "
                 "over a WebSocket on loopback",
                 "stripedrvd"};
    app.set_version_flag("--version", std::string("stripedrvd ") + STRIPEDRVD_VERSION);
    app.set_config("--config", defaultConfigFile(),
                   "read options from FILE (lines such as reader = \"ttyUSB0\")");

    std::string reader = "auto", match = options.match.text(), listen = "127.0.0.1:8765";
    std::vector<std::string> origins, users;
    int idle = 600;
    app.add_option("--reader", reader,
                   "the reader's tty below /dev/ (e.g. ttyUSB0 or stripe-reader), or auto: "
                   "the adapter found through udev by its USB ID, wherever it is plugged in")
        ->capture_default_str();
    app.add_option("--match", match, "the USB ID (VID:PID) of the adapter --reader auto looks for")
        ->capture_default_str();
    app.add_option("--baud", options.baud, "line speed")
        ->check(CLI::IsMember(std::vector<int>(std::begin(kBaudRates), std::end(kBaudRates))))
        ->capture_default_str();
    app.add_option("--listen", listen, "address to listen on, HOST:PORT (loopback only)")
        ->capture_default_str();
    app.add_option("--allow-origin", origins,
                   "a web origin whose pages may connect, e.g. http://kiosk.local:8080; "
                   "may be given more than once");
    app.add_option("--allow-user", users,
                   "a local user (NAME or UID) whose programs may open the WebSocket, besides "
                   "the user the service runs as; may be given more than once");
    app.add_flag("--trace", options.trace,
                 "let the driver append its trace, card data in plain text included, to "
                 "DataLog.log in the state directory (for a fault hunt only)");
    app.add_option("--static", options.settings.staticDir,
                   "folder of the demo page (default: " STRIPEDRVD_BIN_TO_STATIC_DIR
                   " from the program's folder, else " STRIPEDRVD_STATIC_DIR ")")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--allow-remote", options.allowRemote,
                 "also listen on an address that is not loopback (not recommended)");
    app.add_option("--idle-timeout", idle, "seconds before a WebSocket without frames or requests is closed")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version end here too, with 0. Every mistake on the
        // command line or in the file ends with 2, as stripectl's do (CLI11
        // would give each kind a status of its own, 105, 109...).
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e, out, err);
        err << "stripedrvd: " << e.what() << "\nstripedrvd --help lists the options.\n";
        return 2;
    }

    if (options.settings.staticDir.empty())
        options.settings.staticDir = defaultStaticDir();
    std::string problem;
    auto endpoint = parseListen(listen, problem);
    if (!endpoint) {
        err << "stripedrvd: --listen " << listen << ": " << problem << "\n";
        return 2;
    }
    if (!endpoint->address().is_loopback() && !options.allowRemote) {
        err << "stripedrvd: --listen " << listen
            << ": not a loopback address; other machines could reach the reader. Give "
               "--allow-remote as well if that is really wanted\n";
        return 2;
    }
    for (const std::string &origin : origins)
        if (origin.rfind("http://", 0) != 0 && origin.rfind("https://", 0) != 0) {
            err << "stripedrvd: --allow-origin " << origin
                << ": an origin is scheme://host[:port], e.g. http://localhost:8080\n";
            return 2;
        }
    for (const std::string &user : users) {
        auto uid = parseUser(user);
        if (!uid) {
            err << "stripedrvd: --allow-user " << user
                << ": no such user; give a user's name or number (uid)\n";
            return 2;
        }
        options.settings.allowUsers.push_back(*uid);
    }
    auto usbId = parseUsbId(match);
    if (!usbId) {
        err << "stripedrvd: --match " << match
            << ": give the adapter's USB ID as VID:PID, four hex digits each, e.g. 1a86:7523\n";
        return 2;
    }
    if (!namesTty(portName(reader))) {
        err << "stripedrvd: --reader " << reader
            << ": names no tty; give its name below /dev/ (ttyUSB0, stripe-reader, "
               "serial/by-id/...) or auto\n";
        return 2;
    }
    options.match = *usbId;
    options.settings.reader = portName(reader);
    options.settings.listen = *endpoint;
    options.settings.allowOrigins = origins;
    options.settings.idleTimeout = std::chrono::seconds(idle);
    return -1;
}

} // namespace stripedrvd
