// Running stripectl and the simulated reader as child processes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tooltest {

struct RunResult {
    int status = -1;       // exit status, or 128 + signal
    std::string out;       // standard output
    std::string err;       // standard error
    double seconds = 0;    // wall time
};

// Runs argv[0] (a path) with the arguments, in `cwd` when not empty, and
// collects its output. A child that is still running after `timeoutMs` is
// killed (status 128 + SIGKILL). With `interruptAfterMs` >= 0 it gets a
// SIGINT that long after its start, as from Ctrl-C.
RunResult run(const std::vector<std::string> &argv, const std::string &cwd = "",
              int timeoutMs = 90000, int interruptAfterMs = -1);

// The simulated reader: started with the given options, the port name it
// prints on its first line is read at once. Its standard error goes to a file
// the test can look at (stderrText()). Stopped with SIGTERM on destruction.
class SimReader {
public:
    explicit SimReader(const std::vector<std::string> &options = {});
    ~SimReader();
    SimReader(const SimReader &) = delete;
    SimReader &operator=(const SimReader &) = delete;

    bool started() const { return !port_.empty(); }
    // Name below /dev/, as the driver takes it (e.g. "pts/5").
    const std::string &port() const { return port_; }
    std::string stderrText() const;
    // Waits up to `ms` for `part` to show up in its standard error (it logs
    // what it received a moment after the sender is done).
    bool waitForStderr(const std::string &part, int ms = 3000) const;

private:
    pid_t pid_ = -1;
    std::string port_;
    std::string stderrPath_;
};

// A fresh temporary directory, removed with its contents afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    void write(const std::string &name, const std::string &content) const;
    std::string read(const std::string &name) const;

private:
    std::string path_;
};

} // namespace tooltest
