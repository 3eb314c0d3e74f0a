// bench_cancel: how long MS_Cancel takes to end a read that waits for a
// swipe. A thread runs MS_ReadCard of tracks 2 and 3 with a limit of 20
// seconds against a reader that never answers; once the read command has
// reached the reader, MS_Cancel is called and the time until MS_ReadCard
// returns (with -11, the closing pair sent and the port closed) is taken.
//
//   bench_cancel            100 tries
//   bench_cancel --short    5 tries (the CTest variant)
//   bench_cancel --count N
#include "bench_util.h"
#include "stripedrv.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kReadBoth = SD_CMD_READ_23;

} // namespace

int main(int argc, char **argv)
{
    const long count =
        bench::hasFlag(argc, argv, "--short") ? 5 : bench::option(argc, argv, "--count", 100);
    sdtest::TempWorkDir dir; // no CONFIG.ini: trace off
    sdtest::PtyPeer peer;
    std::vector<double> took;
    bool ok = true;
    for (long i = 0; i < count; ++i) {
        std::atomic<double> returned{0};
        int rc = 0;
        std::thread read([&] {
            char t2[256] = "", t3[256] = "";
            rc = MS_ReadCard(peer.portName().c_str(), "", 9600, 20, SD_TRACKS_2_3, 0, t2, t3);
            returned = bench::now();
        });
        if (peer.receiveCount(kReadBoth.size()) != kReadBoth) {
            std::fprintf(stderr, "try %ld: no read command\n", i);
            ok = false;
        }
        const double t0 = bench::now();
        MS_Cancel();
        read.join();
        took.push_back(returned - t0);
        const std::string after = peer.receive(20, 500);
        if (rc != SD_ERR_CANCELLED || after != "\x1b" "0" "\x1b%A") {
            std::fprintf(stderr, "try %ld: result %d, then %zu bytes\n", i, rc, after.size());
            ok = false;
        }
    }
    const bench::Stats s = bench::stats(took);
    std::printf("cancel to return over %ld tries: median %.3f ms, min %.3f, mean %.3f, "
                "max %.3f ms\n",
                count, s.median * 1e3, s.min * 1e3, s.mean * 1e3, s.max * 1e3);
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
