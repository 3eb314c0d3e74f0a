// soak: many card transactions in a row against the simulated reader with
// pacing off. Every read must give back what the previous writes put on the
// card, and after a warm-up the process must hold no more descriptors and
// no more resident memory than it did then.
//
//   soak             10,000 reads and 10,000 writes, alternating
//   soak --short     200 of each (the CTest variant)
//   soak --count N   N of each
//
// Exit status 0 when every result was right and descriptors and memory
// stayed flat; 1 otherwise.
#include "bench_util.h"
#include "stripedrv.h"

#include <cstdio>
#include <string>

namespace {

constexpr long kWarmup = 100;          // transactions before the baseline
constexpr long kRssGrowthLimitKb = 1024; // "flat": under a megabyte of drift

// AddressSanitizer holds freed memory in quarantine, so resident memory
// grows under it whatever the code does: there it is shown, not judged.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kJudgeMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kJudgeMemory = false;
#else
constexpr bool kJudgeMemory = true;
#endif
#else
constexpr bool kJudgeMemory = true;
#endif

struct Card {
    std::string track2 = readersim::kDefaultTrack2;
    std::string track3 = readersim::kDefaultTrack3;
};

// The i-th write: its mode and texts (different every time, so a read that
// returns stale data is caught).
struct Write {
    int mode;
    std::string track2, track3;
};

Write nthWrite(long i)
{
    static const int modes[] = {SD_TRACKS_2_3, SD_TRACK_2, SD_TRACK_3};
    Write w;
    w.mode = modes[i % 3];
    w.track2 = "6217" + std::to_string(1000000 + i) + "=2812";
    w.track3 = "99" + std::to_string(7000000 + 3 * i) + "=1234567=" + std::to_string(i % 97);
    return w;
}

} // namespace

int main(int argc, char **argv)
{
    const long count = bench::hasFlag(argc, argv, "--short")
                           ? 200
                           : bench::option(argc, argv, "--count", 10000);
    sdtest::TempWorkDir dir;
    sdtest::InProcessReader reader(/*pacing=*/false);
    const std::string port = reader.port();

    Card expected;
    long failures = 0, fdsAtWarmup = 0, rssAtWarmup = 0, fdsMax = 0, rssMax = 0;
    const double t0 = bench::now();
    double tWarm = t0;
    for (long i = 0; i < count; ++i) {
        Write w = nthWrite(i);
        int rc = MS_WriteCard(port.c_str(), "", 9600, 2, w.mode, 0, w.track2.c_str(),
                              w.track3.c_str());
        if (w.mode != SD_TRACK_3)
            expected.track2 = w.track2;
        if (w.mode != SD_TRACK_2)
            expected.track3 = w.track3;
        char t2[256] = "", t3[256] = "";
        int rr = MS_ReadCard(port.c_str(), "", 9600, 2, SD_TRACKS_2_3, 0, t2, t3);
        if (rc != SD_OK || rr != SD_OK || expected.track2 != t2 || expected.track3 != t3) {
            if (++failures <= 5)
                std::fprintf(stderr, "transaction %ld: write %d, read %d, [%s] [%s]\n", i, rc,
                             rr, t2, t3);
        }
        if (i + 1 == kWarmup || (i + 1 == count && count < kWarmup)) {
            fdsAtWarmup = sdtest::openDescriptorCount();
            rssAtWarmup = bench::residentKb();
            tWarm = bench::now();
        }
        if (i + 1 >= kWarmup) {
            fdsMax = std::max<long>(fdsMax, sdtest::openDescriptorCount());
            rssMax = std::max(rssMax, bench::residentKb());
        }
    }
    const double took = bench::now() - t0;
    const long fdsEnd = sdtest::openDescriptorCount(), rssEnd = bench::residentKb();
    const long measured = count > kWarmup ? count - kWarmup : 0;

    std::printf("soak: %ld writes and %ld reads, %ld wrong\n", count, count, failures);
    std::printf("  time            %.2f s in all, %.3f ms per transaction after warm-up\n", took,
                measured ? (bench::now() - tWarm) * 1000.0 / double(2 * measured) : 0.0);
    std::printf("  descriptors     %ld after warm-up, %ld at most, %ld at the end\n",
                fdsAtWarmup, fdsMax, fdsEnd);
    std::printf("  resident memory %ld kB after warm-up, %ld kB at most, %ld kB at the end\n",
                rssAtWarmup, rssMax, rssEnd);

    bool ok = failures == 0;
    if (measured > 0 && fdsMax > fdsAtWarmup) {
        std::printf("FAIL: descriptors grew\n");
        ok = false;
    }
    if (kJudgeMemory && measured > 0 && rssMax - rssAtWarmup > kRssGrowthLimitKb) {
        std::printf("FAIL: resident memory grew by %ld kB\n", rssMax - rssAtWarmup);
        ok = false;
    }
    if (!kJudgeMemory)
        std::printf("(resident memory not judged under AddressSanitizer)\n");
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
