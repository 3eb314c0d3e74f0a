// The simulated reader for tests and benchmarks, two ways: in this process
// (the readersim core serving its pseudo-terminal from a thread), and as
// the readersim program in a child process.
#pragma once

#include "protocol.h"
#include "server.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sdtest {

// The readersim core on a thread of its own, for as long as it lives.
// Unpaced and silent unless `set` says otherwise; `set` sees the options
// before the server opens its pseudo-terminal.
class InProcessReader {
public:
    explicit InProcessReader(const readersim::Behaviour &behaviour = {},
                             const std::function<void(readersim::ServerOptions &)> &set = {},
                             readersim::Card card = {});
    // The default card, paced like a real line or not.
    explicit InProcessReader(bool pacing, const readersim::Behaviour &behaviour = {});
    ~InProcessReader();
    InProcessReader(const InProcessReader &) = delete;
    InProcessReader &operator=(const InProcessReader &) = delete;

    // The name to give the library (below /dev/).
    std::string port() const { return server_->portName(); }
    readersim::Protocol &protocol() { return protocol_; }
    readersim::Server &server() { return *server_; }

private:
    readersim::Protocol protocol_;
    std::unique_ptr<readersim::Server> server_;
    std::thread thread_;
};

// The readersim program with these options, its standard input on
// /dev/null and its standard output and error on pipes. The destructor
// kills it if it still runs.
class ReadersimProgram {
public:
    explicit ReadersimProgram(const std::vector<std::string> &options);
    ~ReadersimProgram();
    ReadersimProgram(const ReadersimProgram &) = delete;
    ReadersimProgram &operator=(const ReadersimProgram &) = delete;

    // The first line of its standard output (the port name), waiting up to
    // maxMs for it.
    std::string firstLine(int maxMs = 3000);
    // What it wrote to standard output or error: up to `count` bytes, or
    // what came within maxMs.
    std::string readOut(size_t count, int maxMs);
    std::string readErr(size_t count, int maxMs);
    // Sends `signal` (0: none) and waits up to 3 s for the end; its exit
    // code, or -1 when it had to be killed or ended by a signal.
    int finish(int signal = 0);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

// Bytes from `fd` until `count` came, it ends (then *ended is set), or
// maxMs pass; with `line`, up to the first newline (not included).
std::string readFrom(int fd, size_t count, int maxMs, bool *ended = nullptr, bool line = false);

} // namespace sdtest
