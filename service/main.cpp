// stripedrvd: the reader service. See docs/service.md.
#include "log.h"
#include "options.h"
#include "reader_ops.h"
#include "reader_queue.h"
#include "listener.h"
#include "state_dir.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    using namespace stripedrvd;
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
    if (options.trace)
        logWarning("--trace: the driver appends every command and every card's tracks, in plain "
                   "text, to " + stateDir + "/DataLog.log; delete it when done");
    struct stat page {};
    if (stat(options.settings.staticDir.c_str(), &page) != 0 || !S_ISDIR(page.st_mode))
        logWarning("the demo page's folder " + options.settings.staticDir +
                   " does not exist: / answers 404 (give --static DIR)");

    // The queue outlives the network side: closing sessions still tell it
    // to forget them. It is shut down (its worker joined) before that, so
    // that no answer is posted to a network side that has gone.
    ReaderLine line{options.settings.reader, options.baud};
    ReaderQueue queue([line](const Request &request) { return runOnReader(line, request); },
                      kQueueCapacity);
    boost::asio::io_context io;
    try {
        Listener listener(io, options.settings, queue);
        const auto &listen = options.settings.listen;
        if (!listen.address().is_loopback())
            logWarning("listening on " + listen.address().to_string() +
                    ", which is not loopback: other machines can reach the reader");
        logNotice("listening on " + listen.address().to_string() + ":" +
                std::to_string(listener.port()) + ", reader " + options.settings.reader +
                " at " + std::to_string(options.baud) + " baud");
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](boost::system::error_code, int number) {
            logNotice(std::string("stopping (") + (number == SIGINT ? "SIGINT" : "SIGTERM") + ")");
            io.stop();
        });
        io.run();
        queue.shutdown();
    } catch (const boost::system::system_error &e) {
        logError("cannot listen on " + options.settings.listen.address().to_string() + ":" +
                std::to_string(options.settings.listen.port()) + ": " + e.code().message());
        queue.shutdown();
        return 1;
    }
    return 0;
}
