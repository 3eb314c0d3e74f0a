// bench_read: one MS_ReadCard of tracks 2 and 3 (the console's default card)
// against the paced simulated reader, at 9600 and at 115200 baud, next to
// the time the bytes need on the wire.
//
// Wire-time lower bound: every byte of the exchange, both ways, at 10 bit
// times (start bit, 8 data bits, stop bit) at the line's speed. The
// simulated reader paces only its own bytes; the host's 5 bytes (ESC "B]"
// and ESC "j") cross the pseudo-terminal at once, so a transaction can come
// in up to 5 byte times under the bound.
//
//   bench_read            20 reads at each speed
//   bench_read --short    2 reads at each speed (the CTest variant)
//   bench_read --count N
#include "bench_util.h"
#include "stripedrv.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// What the host sends in one read: the read command and the status request.
const size_t kHostBytes = sizeof(SD_CMD_READ_23) - 1 + sizeof(SD_CMD_STATUS) - 1;

bool runSpeed(sdtest::InProcessReader &reader, long baud, long count, size_t readerBytes)
{
    const double wire = double(kHostBytes + readerBytes) * 10.0 / double(baud);
    const double paced = double(readerBytes) * 10.0 / double(baud); // what the reader paces
    std::vector<double> took, cpu;
    bool ok = true;
    // One read first so that the first-call costs (page faults, the trace
    // switch lookup's first open) are not counted.
    for (long i = -1; i < count; ++i) {
        char t2[256] = "", t3[256] = "";
        const double c0 = bench::cpuSeconds();
        const double t0 = bench::now();
        int rc = MS_ReadCard(reader.port().c_str(), "", static_cast<int>(baud), 5, SD_TRACKS_2_3,
                             0, t2, t3);
        const double dt = bench::now() - t0;
        const double dc = bench::cpuSeconds() - c0;
        if (rc != SD_OK || std::string(t2) != readersim::kDefaultTrack2 ||
            std::string(t3) != readersim::kDefaultTrack3) {
            std::fprintf(stderr, "read at %ld: result %d, [%s] [%s]\n", baud, rc, t2, t3);
            ok = false;
        }
        if (i >= 0) {
            took.push_back(dt);
            cpu.push_back(dc);
        }
    }
    bench::Stats s = bench::stats(took), c = bench::stats(cpu);
    std::printf("%6ld baud: %zu + %zu bytes, wire %.2f ms | read median %.2f ms "
                "(min %.2f, max %.2f) | beyond the wire %+.2f ms, beyond the reader's "
                "%zu paced bytes (%.2f ms) %+.2f ms | cpu %.2f ms\n",
                baud, kHostBytes, readerBytes, wire * 1e3, s.median * 1e3, s.min * 1e3,
                s.max * 1e3, (s.median - wire) * 1e3, readerBytes, paced * 1e3,
                (s.median - paced) * 1e3, c.median * 1e3);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    const long count = bench::rounds(argc, argv, 2, 20);
    sdtest::TempWorkDir dir; // no CONFIG.ini: trace off
    sdtest::InProcessReader reader(/*pacing=*/true);
    const size_t readerBytes =
        reader.protocol().readReply(SD_TRACKS_2_3).size() +
        std::string("\x1b" "Brp").size(); // the status answer after a read of both
    bool ok = runSpeed(reader, 9600, count, readerBytes);
    ok = runSpeed(reader, 115200, count, readerBytes) && ok;
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
