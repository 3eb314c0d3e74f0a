// bench_cancel: how long MS_Cancel takes to end a read.
//
// 1. Waiting for a swipe, the reader silent: a thread runs MS_ReadCard of
//    tracks 2 and 3 with a limit of 20 seconds against a pseudo-terminal
//    that never answers; once the read command has reached it, MS_Cancel is
//    called and the time until MS_ReadCard returns (with -11, the closing
//    pair sent and the port closed) is taken.
// 2. Waiting for a swipe, the simulated reader: the same against readersim
//    waiting for its card to be swiped on demand (at 9600 baud, paced).
// 3. In the middle of the answer: the card is swiped and the read
//    cancelled 20 bytes into the answer; the read returns at once and
//    leaves the line's answer mark set, and the next read (the next try)
//    lets the rest of the answer go by and the line fall quiet before it
//    sends, so that it gets none of it.
//
//   bench_cancel            100 tries (20 in the middle of the answer)
//   bench_cancel --short    5 tries (the CTest variant)
//   bench_cancel --count N
#include "bench_util.h"
#include "handover.h"
#include "stripedrv.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kReadBoth = SD_CMD_READ_23;

// One try: a read on a thread of its own, `ready` waits until the moment to
// cancel, then the cancel; the time from the cancel to the read's return.
// False when the read did not end with -11 or `ready` failed.
bool cancelOnce(const std::string &port, const std::function<bool()> &ready, double &took)
{
    std::atomic<double> returned{0};
    int rc = 0;
    std::thread read([&] {
        char t2[256] = "", t3[256] = "";
        rc = MS_ReadCard(port.c_str(), "", 9600, 20, SD_TRACKS_2_3, 0, t2, t3);
        returned = bench::now();
    });
    const bool ok = ready();
    const double t0 = bench::now();
    MS_Cancel();
    read.join();
    took = returned - t0;
    if (!ok || rc != SD_ERR_CANCELLED)
        std::fprintf(stderr, "%s: result %d\n", ok ? "read not cancelled" : "reader not ready", rc);
    return ok && rc == SD_ERR_CANCELLED;
}

void report(const char *what, long count, const std::vector<double> &took)
{
    const bench::Stats s = bench::stats(took);
    std::printf("%s, %ld tries: median %.3f ms, min %.3f, mean %.3f, max %.3f ms\n", what, count,
                s.median * 1e3, s.min * 1e3, s.mean * 1e3, s.max * 1e3);
}

bool silentReader(long count)
{
    sdtest::PtyPeer peer;
    std::vector<double> took;
    bool ok = true;
    for (long i = 0; i < count; ++i) {
        double t = 0;
        bool good = cancelOnce(
            peer.portName(), [&] { return peer.receiveCount(kReadBoth.size()) == kReadBoth; }, t);
        const std::string after = peer.receive(20, 500);
        if (!good || after != "\x1b" "0" "\x1b%A") {
            std::fprintf(stderr, "silent reader, try %ld: %zu bytes after the cancel\n", i,
                         after.size());
            ok = false;
        }
        took.push_back(t);
    }
    report("cancel to return, silent reader", count, took);
    return ok;
}

// The simulated reader paced at 9600 baud, swiping on demand.
sdtest::InProcessReader onDemandReader()
{
    return sdtest::InProcessReader(readersim::Behaviour{}, [](readersim::ServerOptions &o) {
        o.pacing = true;
        o.swipeOnKey = true; // no key descriptor: swipe() only
    });
}

bool simulatedReader(long count, long midCount)
{
    sdtest::InProcessReader reader = onDemandReader();
    readersim::Server &server = reader.server();
    std::vector<double> waiting, flowing;
    bool ok = true;
    // Each try starts once the closing pair of the one before has reached
    // the reader (it no longer waits for a card), and cancels once the read
    // command of its own has.
    auto waitingForCard = [&] { return sdtest::waitUntil([&] { return server.readWaiting(); }); };
    for (long i = 0; i < count; ++i) {
        double t = 0;
        ok = sdtest::waitUntil([&] { return !server.readWaiting(); }) &&
             cancelOnce(reader.port(), waitingForCard, t) && ok;
        waiting.push_back(t);
    }
    report("cancel to return, simulated reader waiting for the swipe", count, waiting);
    // A try whose answer the machine paused for the quiet interval (the
    // driver rightly took the pause for its end) hands the next one the rest:
    // both are left out of the figure.
    long unsteady = 0;
    bool lastSteady = true;
    for (long i = 0; i < midCount; ++i) {
        double t = 0;
        server.resetLongestPause();
        bool good = sdtest::waitUntil([&] { return !server.readWaiting(); }) &&
                    cancelOnce(reader.port(), [&] { return sdtest::swipeAndWaitForBytes(server, 20); }, t);
        const bool steady = sdtest::lineWasSteady(server);
        if (!steady || !lastSteady) {
            lastSteady = steady;
            ++unsteady;
            continue;
        }
        ok = good && ok;
        flowing.push_back(t);
    }
    if (unsteady > 0)
        std::printf("%ld tries left out: the simulated line paused %lu ms or more\n", unsteady,
                    sdtest::kSteadyLineMaxPauseMs);
    report("cancel to return, 20 bytes into the answer at 9600 baud", midCount, flowing);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    const long count = bench::rounds(argc, argv, 5, 100);
    sdtest::TempWorkDir dir; // no CONFIG.ini: trace off
    bool ok = silentReader(count);
    ok = simulatedReader(count, count < 20 ? count : 20) && ok;
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
