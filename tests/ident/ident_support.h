// Helpers for the identification and device-information tests: a reader
// that answers from a script on a PtyPeer, a capture of standard output,
// and trace texts with their time stamps masked.
#pragma once

#include "pty_peer.h"

#include <string>
#include <thread>
#include <vector>

namespace sdtest {

// One exchange: wait for exactly `expect` from the host, then send `reply`.
struct Step {
    std::string expect;
    std::string reply;
};

// Plays the reader on its own thread while the library call blocks the
// test's thread. Replies go out only after the command has arrived, so the
// input flush of an open in between cannot swallow them.
class ScriptedReader {
public:
    ScriptedReader(PtyPeer &peer, std::vector<Step> steps);
    ~ScriptedReader();
    // Waits for the script, then for the host to fall quiet; returns every
    // byte the host sent.
    std::string finish();
    // The slave's input speed (B9600 etc.) when the first command came in.
    unsigned speedAtFirstCommand() const { return speed_; }

private:
    void run();
    PtyPeer &peer_;
    std::vector<Step> steps_;
    std::string received_;
    unsigned speed_ = 0;
    std::thread thread_;
};

// Redirects file descriptor 1 into a temporary file until finish().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish();

private:
    int saved_ = -1;
    int file_ = -1;
};

// The text with every time stamp "YYYY-MM-DD hh:mm:ss  " replaced by "<T>".
std::string maskStamps(const std::string &text);

// The reader's commands as the host sends them.
const std::string kGetVer = "\x1b_GETVER";
const std::string kIdentity = "\x1bIntelligent";

// An identity reply: 0xAA, the length in three digits, the record.
std::string identityReply(const std::string &record);

} // namespace sdtest
