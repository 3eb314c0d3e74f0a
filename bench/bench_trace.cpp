// bench_trace: what the trace costs. The same read of tracks 2 and 3, and
// the same write, against the simulated reader without pacing (so that the
// library's own time shows), first with the trace off, then with
// CONFIG.ini switching it on: every traced call then reads CONFIG.ini again
// and opens, appends to and closes DataLog.log.
//
//   bench_trace           200 transactions of each kind, trace off and on
//   bench_trace --short   10 (the CTest variant)
//   bench_trace --count N
#include "bench_util.h"
#include "stripedrv.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Figures {
    bench::Stats read, write;
    bool ok = true;
};

Figures run(const std::string &port, long count)
{
    Figures f;
    std::vector<double> reads, writes;
    for (long i = -1; i < count; ++i) {
        char t2[256] = "", t3[256] = "";
        double t0 = bench::now();
        int rr = MS_ReadCard(port.c_str(), "", 115200, 2, SD_TRACKS_2_3, 0, t2, t3);
        double t1 = bench::now();
        int rw = MS_WriteCard(port.c_str(), "", 115200, 2, SD_TRACKS_2_3, 0,
                              readersim::kDefaultTrack2, readersim::kDefaultTrack3);
        double t2w = bench::now();
        if (rr != SD_OK || rw != SD_OK || std::string(t2) != readersim::kDefaultTrack2) {
            std::fprintf(stderr, "transaction %ld: read %d, write %d\n", i, rr, rw);
            f.ok = false;
        }
        if (i >= 0) {
            reads.push_back(t1 - t0);
            writes.push_back(t2w - t1);
        }
    }
    f.read = bench::stats(reads);
    f.write = bench::stats(writes);
    return f;
}

long fileSize(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

void print(const char *label, const Figures &f)
{
    std::printf("  trace %-3s read median %.3f ms (mean %.3f) | write median %.3f ms (mean %.3f)\n",
                label, f.read.median * 1e3, f.read.mean * 1e3, f.write.median * 1e3,
                f.write.mean * 1e3);
}

} // namespace

int main(int argc, char **argv)
{
    const long count = bench::rounds(argc, argv, 10, 200);
    sdtest::TempWorkDir dir;
    sdtest::InProcessReader reader(/*pacing=*/false);

    Figures off = run(reader.port(), count);
    std::ofstream(SD_CONFIG_FILE) << "[" SD_TRACE_SECTION "]\n" SD_TRACE_KEY "=1\n";
    Figures on = run(reader.port(), count);
    const long logBytes = fileSize(SD_TRACE_FILE);

    std::printf("trace cost, %ld reads and %ld writes each way, no pacing:\n", count, count);
    print("off", off);
    print("on", on);
    std::printf("  cost of the trace: read %+.3f ms, write %+.3f ms (medians); "
                "%.0f bytes of trace per read + write\n",
                (on.read.median - off.read.median) * 1e3,
                (on.write.median - off.write.median) * 1e3,
                double(logBytes) / double(count + 1));
    bool ok = off.ok && on.ok && logBytes > 0;
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
