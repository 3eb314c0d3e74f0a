// Programs started by the tests as a technician would start them: stripectl,
// the simulated reader, the udev test bed. Output goes to files in the
// working directory (each test has its own, see sdtest::TempWorkDir).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ctltest {

std::string readFile(const std::string &path);
// Waits up to 30 s for `path` to exist.
bool waitForFile(const std::string &path);
bool contains(const std::string &text, const std::string &part);

// Starts argv[0] with its standard output and error in NAME.out and NAME.err
// and `env` added to its environment. Its standard input stays open and
// silent: readersim --swipe-on-key then never swipes.
pid_t spawn(const std::vector<std::string> &argv, const std::string &name,
            const std::map<std::string, std::string> &env = {});

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
    // From the SIGINT to the end, when finish() sent one.
    std::chrono::steady_clock::duration afterInterrupt{};
};

// Waits for a child of spawn(NAME); SIGINT, as from Ctrl-C, once
// `interruptWhen` (when given) first holds: the moment the test waits for,
// never a fixed time. SIGKILL after 90 s.
RunResult finish(pid_t pid, const std::string &name,
                 const std::function<bool()> &interruptWhen = {});

// The simulated reader; the port name (below /dev/) is the first line it
// prints. Its log of the bytes received is its standard error.
class SimReader {
public:
    explicit SimReader(std::vector<std::string> options);
    ~SimReader();
    SimReader(const SimReader &) = delete;
    SimReader &operator=(const SimReader &) = delete;
    const std::string &port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string log() const { return readFile("readersim.err"); }
    // It logs what it received a moment after the sender is done; waits up
    // to 30 s for `part`.
    bool waitForLog(const std::string &part) const;
    // Whether the log has `part` now (for finish()'s interruptWhen).
    bool logged(const std::string &part) const { return contains(log(), part); }

private:
    pid_t pid_ = -1;
    std::string port_;
};

} // namespace ctltest
