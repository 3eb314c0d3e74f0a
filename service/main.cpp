// stripedrvd: the reader service. See docs/service.md.
#include "log.h"
#include "metrics.h"
#include "notify.h"
#include "options.h"
#include "presence.h"
#include "reader_ops.h"
#include "reader_queue.h"
#include "listener.h"
#include "state_dir.h"
#include "process.h"
#include "trace.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <memory>

int main(int argc, char **argv)
{
    using namespace stripedrvd;
    // No card in a core dump, whatever the limit it was started with.
    const std::string unprotected = sdcustody::refuseCoreDumps();
    if (!unprotected.empty())
        logWarning(unprotected);
    Options options;
    int status = parseOptions(argc, argv, options, std::cout, std::cerr);
    if (status >= 0)
        return status;
    // A client that goes away mid-write must not end the service.
    std::signal(SIGPIPE, SIG_IGN);

    // Before the driver's first call: it reads its trace switch from the
    // working directory.
    const std::string stateDir = stateDirectory();
    std::string problem;
    if (!enterStateDirectory(stateDir, options.trace, problem)) {
        logError(problem);
        return 1;
    }
    const std::string trace = sdcustody::traceWarningHere();
    if (!trace.empty())
        logWarning("--trace: " + trace);
    struct stat page {};
    if (stat(options.settings.staticDir.c_str(), &page) != 0 || !S_ISDIR(page.st_mode))
        logWarning("the demo page's folder " + options.settings.staticDir +
                   " does not exist: / answers 404 (give --static DIR)");

    Metrics metrics;
    PresenceSettings found;
    found.reader = options.settings.reader;
    found.match = options.match;
    found.baud = options.baud;
    // Test-only seam: the hotplug test's emulated device node cannot carry
    // the reader's bytes, so it names a simulated reader's line to open
    // instead, for whatever reader udev shows.
    if (const char *line = std::getenv("STRIPEDRVD_TEST_LINE"))
        found.testLine = line;
    // The queue outlives the network side: closing sessions still tell it
    // to forget them. It is shut down (its worker joined) before that, so
    // that no answer is posted to a network side that has gone. Its runner
    // asks the presence, made once the network side is, for the line of
    // the moment; the presence goes before the network side it waits on.
    std::unique_ptr<Presence> presence;
    ReaderQueue queue([&presence](const Request &request) { return presence->run(request); },
                      kQueueCapacity);
    boost::asio::io_context io;
    presence = std::make_unique<Presence>(io, found, queue, metrics);
    Notifier notifier(io);
    // Handled from here on, so that a signal while it starts is handled
    // too. SIGHUP (its terminal closed, or kill -HUP meant as a reload) stops
    // it the same clean way, the transaction under way cut short: its
    // settings are read at start only, so a restart is the reload.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    signals.async_wait([&](boost::system::error_code, int number) {
        logNotice(std::string("stopping (") +
                  (number == SIGINT ? "SIGINT" : number == SIGHUP ? "SIGHUP" : "SIGTERM") + ")");
        notifier.stopping();
        io.stop();
    });
    try {
        Listener listener(io, options.settings, queue, Field{*presence, metrics});
        const auto &listen = options.settings.listen;
        if (!listen.address().is_loopback())
            logWarning("listening on " + listen.address().to_string() +
                    ", which is not loopback: other machines can reach the reader");
        const std::string where = listen.address().to_string() + ":" +
                                  std::to_string(listener.port());
        logNotice("listening on " + where + ", reader " +
                  (found.reader == "auto" ? "auto (USB ID " + found.match.text() + ")"
                                          : found.reader) +
                  " at " + std::to_string(options.baud) + " baud");
        presence->start();
        notifier.ready("listening on " + where);
        io.run();
        queue.shutdown();
        presence.reset();
    } catch (const boost::system::system_error &e) {
        logError("cannot listen on " + options.settings.listen.address().to_string() + ":" +
                std::to_string(options.settings.listen.port()) + ": " + e.code().message());
        queue.shutdown();
        presence.reset();
        return 1;
    }
    return 0;
}
