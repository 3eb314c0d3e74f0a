// bench_idle: the processor time a read spends waiting for a card that is
// never swiped. The reader is there but silent; MS_ReadCard waits out its
// limit (20 seconds, the console's) and returns -2.
//
//   bench_idle            one read with a limit of 20 seconds
//   bench_idle --short    a limit of 1 second (the CTest variant)
//   bench_idle --timeout N
#include "bench_util.h"
#include "stripedrv.h"

#include <cstdio>

int main(int argc, char **argv)
{
    const long limit = bench::rounds(argc, argv, 1, 20, "--timeout");
    sdtest::TempWorkDir dir;
    readersim::Behaviour silent;
    silent.silent = true;
    sdtest::InProcessReader reader(/*pacing=*/true, silent);

    char t2[256] = "", t3[256] = "";
    const double c0 = bench::cpuSeconds(), p0 = bench::cpuSeconds(bench::Cpu::Process);
    const double t0 = bench::now();
    int rc = MS_ReadCard(reader.port().c_str(), "", 9600, static_cast<int>(limit), SD_TRACKS_2_3,
                         0, t2, t3);
    const double wall = bench::now() - t0;
    const double cpu = bench::cpuSeconds() - c0, proc = bench::cpuSeconds(bench::Cpu::Process) - p0;

    std::printf("idle read, limit %ld s: result %d after %.2f s\n", limit, rc, wall);
    std::printf("  processor time of the calling thread %.2f ms = %.4f%% of a core\n", cpu * 1e3,
                100.0 * cpu / wall);
    std::printf("  processor time of the whole process  %.2f ms = %.4f%% of a core "
                "(the simulated reader included)\n",
                proc * 1e3, 100.0 * proc / wall);
    bool ok = rc == SD_ERR_TIMEOUT && t2[0] == '\0' && t3[0] == '\0';
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
