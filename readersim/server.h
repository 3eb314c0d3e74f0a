// The simulated reader on a pseudo-terminal.
//
// Server opens a pseudo-terminal, plays the reader on its master side and
// leaves the slave to the host: the library opens it by its name below /dev/
// ("pts/4"), or through a symbolic link. It serves any number of
// transactions until stop() is called.
//
// The host opens and closes the slave for every transaction. The server
// keeps a slave descriptor of its own open the whole time, so the master
// never reads as hung up in between and the line settings stay where the
// host left them. The slave starts raw at 9600 baud, so a host that restores
// the settings it found at open also leaves the line raw (an echoing line
// would send the reader's replies back to it as commands).
//
// A pseudo-terminal moves bytes at once. To give the host the timing of a
// real line the server sends each byte about 10 bit times after the last one,
// at the speed the host set on the line (read from the slave before each
// reply).
#pragma once

#include "protocol.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace readersim {

struct ServerOptions {
    std::string linkPath;       // non-empty: a symbolic link to the slave
    bool pacing = true;         // ~10 bit times per byte at the line's speed
    int byteGapMs = 0;          // extra pause after every byte sent
    double swipeDelay = 0;      // seconds from a read command to the swipe
    int answerDelayMs = 0;      // from the swipe to the read answer's first byte
    bool swipeOnKey = false;    // the swipe waits for a line on keyFd
    int keyFd = -1;             // watched for Enter when swipeOnKey
    long hangupAfter = -1;      // >= 0: hang up after this many bytes of a reply
    bool hex = false;           // log the bytes received and sent
    bool quiet = false;         // no log of the commands
    // Where log lines go (one line per call, no newline); stderr by default.
    std::function<void(const std::string &)> log;
};

class Server {
public:
    // Opens the pseudo-terminal (and the link). Throws std::runtime_error.
    Server(Protocol &protocol, ServerOptions options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // The name to give the library: the slave's path below /dev/. It
    // changes when the reader comes back after a hang-up.
    std::string portName() const;
    std::string slavePath() const { return "/dev/" + portName(); }

    // Serves until stop(). Returns normally; throws only when the
    // pseudo-terminal cannot be opened again after a hang-up.
    void run();
    // Ask run() to return. Async-signal-safe: may be called from a signal
    // handler or another thread.
    void stop();
    // Swipe the card now, as Enter on the key descriptor does. Same safety.
    void swipe();

    // Line speed the host has set, in bit/s (9600 when it can't be read).
    long lineSpeed() const;
    // Replies sent to the end so far.
    unsigned long repliesSent() const { return repliesSent_; }
    // Reply bytes written to the line so far, all replies together. Safe
    // from other threads, as is readWaiting().
    unsigned long bytesSent() const { return bytesSent_.load(); }
    // True while a read command waits for its card to be swiped.
    bool readWaiting() const { return readWaiting_.load(); }
    // The longest pause between two bytes of one reply since the last
    // resetLongestPause(), in milliseconds: over the byte time and gap only
    // when the machine did not run the server in time.
    unsigned long longestPauseMs() const { return longestPauseUs_.load() / 1000; }
    void resetLongestPause() { longestPauseUs_ = 0; }

private:
    using Clock = std::chrono::steady_clock;

    void openTerminal();
    void closeTerminal();
    void hangUp();
    void makeLink();
    void removeLink();
    void say(const std::string &line) const;

    void onWake();
    void onKey();
    void swipeNow();
    void onHostBytes();
    void handle(const std::vector<Event> &events);
    void warnOnSpeed(const std::vector<Event> &events) const;
    void queueReply(const std::string &bytes, Clock::duration delay = {});
    void sendDue();
    Clock::duration byteTime() const;
    Clock::time_point nextDeadline() const;

    Protocol &protocol_;
    ServerOptions options_;
    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    mutable std::mutex nameMutex_;  // portName_ is read from other threads
    std::string portName_;
    bool linked_ = false;
    bool stopping_ = false;

    // Replies waiting to go out; the front one is being sent.
    std::deque<std::string> out_;
    size_t sent_ = 0;                 // bytes of out_.front() already sent
    Clock::time_point nextByteAt_{};
    bool writeBlocked_ = false;
    Clock::time_point hangupWaitStart_{};

    // A read reply waiting for the card to be swiped.
    bool swipePending_ = false;
    std::string swipeReply_;
    Clock::time_point swipeAt_{};

    bool keyOpen_ = true;            // the key descriptor has not ended
    Clock::time_point lastHostByte_{};
    unsigned long repliesSent_ = 0;
    std::atomic<unsigned long> bytesSent_{0};
    std::atomic<bool> readWaiting_{false};
    std::atomic<unsigned long> longestPauseUs_{0};
    Clock::time_point lastByteAt_{};
    void notePause(Clock::time_point now);

    void setSwipePending(bool pending);
};

} // namespace readersim
