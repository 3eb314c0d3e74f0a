// The fixture of the tests that run stripectl against the simulated reader:
// a fresh working directory (the driver traces there) and a readersim.
#pragma once

#include "child.h"
#include "protocol.h"
#include "pty_peer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace ctltest {

using nlohmann::json;

// The simulated reader's card.
inline const std::string kTrack2 = readersim::kDefaultTrack2;
inline const std::string kTrack3 = readersim::kDefaultTrack3;

class Stripectl : public ::testing::Test {
protected:
    // Starts a simulated reader (after stopping the one before).
    bool startSim(const std::vector<std::string> &options = {})
    {
        sim.reset();
        sim = std::make_unique<SimReader>(options);
        return !sim->port().empty();
    }
    // Runs stripectl to its end (killed after 90 s), on the simulated
    // reader's port unless the arguments name one. With `interruptWhen` it
    // gets a SIGINT, as from Ctrl-C, once that holds.
    RunResult ctl(std::vector<std::string> args, const std::function<bool()> &interruptWhen = {})
    {
        if (sim && !args.empty() && std::find(args.begin(), args.end(), "--port") == args.end())
            args.insert(args.begin() + 1, {"--port", sim->port()});
        args.insert(args.begin(), STRIPECTL_PATH);
        RunResult r = finish(spawn(args, "stripectl"), "stripectl", interruptWhen);
        // In a sanitizer build a fault in the tool shows here, whatever the
        // exit status the case expects.
        EXPECT_FALSE(contains(r.err, "Sanitizer") || contains(r.err, "runtime error:")) << r.err;
        return r;
    }

    // Whether the simulated reader holds a read or write waiting for a swipe:
    // stripectl is then inside the driver's call.
    std::function<bool()> waitingForSwipe() const
    {
        return [this] { return sim->logged("waiting for the card"); };
    }

    sdtest::TempWorkDir dir;
    std::unique_ptr<SimReader> sim;
};

} // namespace ctltest
