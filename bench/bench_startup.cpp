// bench_startup: the console's start-up, from the start of its process to
// its window shown, with all three reader libraries in the working
// directory, next to a bare Qt Widgets window on the same machine. Both are
// started as fresh processes (startup_probe, beside this program) in the
// program folder, where stripedrv.so, chipdrv.so and idcarddrv.so lie; the
// time runs from just before the fork to the probe's "shown".
//
//   bench_startup           20 starts of each, alternating
//   bench_startup --short   2 of each (the CTest variant)
//   bench_startup --count N
//
// QT_QPA_PLATFORM defaults to offscreen; set it to xcb (under Xvfb or a
// desktop) to include a real window system.
#include "bench_util.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <climits>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string ownFolder()
{
    char exe[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/'));
}

// One start: seconds until "shown", or a negative value on failure.
double startOnce(const std::string &folder, const char *mode)
{
    int out[2];
    if (pipe(out) != 0)
        return -1;
    const double t0 = bench::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        if (chdir(folder.c_str()) != 0)
            _exit(126);
        const std::string probe = folder + "/startup_probe";
        execl(probe.c_str(), probe.c_str(), mode, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    double took = -1;
    pollfd p{out[0], POLLIN, 0};
    char buf[16] = {};
    if (poll(&p, 1, 15000) > 0 && read(out[0], buf, sizeof buf - 1) > 0 &&
        std::string(buf).rfind("shown", 0) == 0)
        took = bench::now() - t0;
    close(out[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return took;
}

bool report(const char *label, const std::vector<double> &v)
{
    for (double x : v)
        if (x < 0) {
            std::printf("  %-28s FAILED to show its window\n", label);
            return false;
        }
    bench::Stats s = bench::stats(v);
    std::printf("  %-28s median %.1f ms (min %.1f, max %.1f)\n", label, s.median * 1e3,
                s.min * 1e3, s.max * 1e3);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const long count = bench::rounds(argc, argv, 2, 20);
    if (bench::skipUnderEmulation("it starts the probe itself, and the kernel runs no foreign "
                                  "program without binfmt_misc; the time would be the emulator's"))
        return bench::kSkipped;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char runtime[] = "/tmp/sdbench-xdg-XXXXXX"; // Qt wants one, mode 0700
    if (getenv("XDG_RUNTIME_DIR") == nullptr && mkdtemp(runtime) != nullptr)
        setenv("XDG_RUNTIME_DIR", runtime, 1);
    const std::string folder = ownFolder();
    for (const char *lib : {"stripedrv.so", "chipdrv.so", "idcarddrv.so"})
        if (access((folder + "/" + lib).c_str(), R_OK) != 0) {
            std::printf("FAIL: %s/%s is missing (build stripedrv chipdrv idcarddrv)\n",
                        folder.c_str(), lib);
            return 1;
        }
    std::vector<double> bare, console;
    // One start of each first, so that both find the files in the cache.
    startOnce(folder, "bare");
    startOnce(folder, "cardtest");
    for (long i = 0; i < count; ++i) {
        bare.push_back(startOnce(folder, "bare"));
        console.push_back(startOnce(folder, "cardtest"));
    }
    std::printf("start-up to window shown, %ld starts each, QT_QPA_PLATFORM=%s:\n", count,
                getenv("QT_QPA_PLATFORM"));
    bool ok = report("bare QMainWindow", bare);
    ok = report("cardtest, three libraries", console) && ok;
    if (ok)
        std::printf("  difference of the medians   %+.1f ms\n",
                    (bench::stats(console).median - bench::stats(bare).median) * 1e3);
    std::printf("%s\n", ok ? "OK" : "FAIL");
    const char *xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && std::strcmp(xdg, runtime) == 0)
        rmdir(runtime);
    return ok ? 0 : 1;
}
