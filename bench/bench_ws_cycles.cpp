// bench_ws_cycles: the service's resident memory over many WebSocket
// connections that open and close, as a kiosk page that reconnects does.
//
// The real stripedrvd program runs against the simulated reader; one client
// connects, upgrades at /ws, takes the greeting (the reader's state) and
// closes, over and over. The service's VmRSS is read after a warm-up and
// then every tenth of the run; what it gained from the warm-up to the end
// is the figure (goal: flat, within 1 MB, over 100,000 cycles).
//
//   bench_ws_cycles              100,000 cycles
//   bench_ws_cycles --count N    N cycles
//   bench_ws_cycles --short      2,000 cycles (CTest: it works, nothing judged)
//   bench_ws_cycles --service PATH   another build of the service (a before
//                                    and after comparison)
#include "bench_util.h"
#include "harness.h"

#include <csignal>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>

namespace {

// The service program with its standard error on a pipe.
class ServiceProgram {
public:
    ServiceProgram(const char *binary, const std::string &reader)
    {
        char pattern[] = "/tmp/sdcycles.XXXXXX";
        home_ = mkdtemp(pattern);
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 2);
            close(fds[0]);
            setenv("HOME", home_.c_str(), 1);
            unsetenv("STATE_DIRECTORY");
            unsetenv("XDG_STATE_HOME");
            execl(binary, binary, "--reader", reader.c_str(), "--listen",
                  "127.0.0.1:0", "--config", "/dev/null", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        err_ = fds[0];
    }
    ~ServiceProgram()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (err_ >= 0)
            close(err_);
        std::system(("rm -rf '" + home_ + "'").c_str());
    }
    // The port from "listening on 127.0.0.1:PORT", 0 when it does not come.
    unsigned short port()
    {
        std::string log;
        const std::string mark = "listening on 127.0.0.1:";
        while (log.find(mark) == std::string::npos || log.find(", reader", log.find(mark)) == std::string::npos) {
            pollfd p{err_, POLLIN, 0};
            char chunk[1024];
            ssize_t got = poll(&p, 1, 10000) > 0 ? read(err_, chunk, sizeof chunk) : -1;
            if (got <= 0)
                return 0;
            log.append(chunk, size_t(got));
        }
        // From here on its log is not read: the service's info lines would
        // fill the pipe and block it.
        drainLog();
        return static_cast<unsigned short>(std::stoul(log.substr(log.find(mark) + mark.size())));
    }
    long residentKb() const
    {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::atol(line.c_str() + 6);
        return -1;
    }

private:
    // The log goes to a thread that reads and drops it.
    void drainLog()
    {
        std::thread([fd = dup(err_)] {
            char chunk[4096];
            while (read(fd, chunk, sizeof chunk) > 0) {
            }
            close(fd);
        }).detach();
    }

    pid_t pid_ = -1;
    int err_ = -1;
    std::string home_;
};

} // namespace

int main(int argc, char **argv)
{
    if (bench::skipUnderEmulation("the service's memory under translation means nothing"))
        return bench::kSkipped;
    const bool quick = bench::hasFlag(argc, argv, "--short");
    const long cycles = bench::rounds(argc, argv, 2000, 100000);
    const long warmUp = std::min(cycles / 10, 1000L);
    sdtest::InProcessReader reader(false);
    const char *binary = STRIPEDRVD_BINARY;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--service") == 0)
            binary = argv[i + 1];
    ServiceProgram service(binary, reader.port());
    const unsigned short port = service.port();
    if (port == 0) {
        std::printf("the service did not start\n");
        return 1;
    }
    long start = 0, failures = 0;
    const double t0 = bench::now();
    for (long i = 1; i <= cycles; ++i) {
        try {
            svctest::Client client(port);
            client.close();
        } catch (const std::exception &) {
            ++failures;
        }
        if (i == warmUp) {
            start = service.residentKb();
            std::printf("after %ld cycles (warm-up): VmRSS %ld kB\n", i, start);
        } else if (i > warmUp && i % (cycles / 10) == 0) {
            std::printf("after %ld cycles: VmRSS %ld kB (%+ld kB)\n", i, service.residentKb(),
                        service.residentKb() - start);
            std::fflush(stdout);
        }
    }
    const double took = bench::now() - t0;
    const long end = service.residentKb();
    std::printf("%ld connect/upgrade/close cycles in %.1f s (%.3f ms each), %ld failed: VmRSS "
                "%ld kB -> %ld kB, %+ld kB (%.1f bytes a cycle)\n",
                cycles, took, took * 1e3 / double(cycles), failures, start, end, end - start,
                double(end - start) * 1024.0 / double(cycles - warmUp));
    // Judged in a full run only: a short one is too short to say, and under
    // AddressSanitizer the quarantine grows.
    const bool flat = quick || end - start < 1024;
    std::printf("%s\n", failures == 0 && flat ? "OK" : "FAIL");
    return failures == 0 && flat ? 0 : 1;
}
