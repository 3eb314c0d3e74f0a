// Helpers for the identification and device-information tests: a reader
// that answers from a script on a PtyPeer, DEV_CommCall with its standard
// output captured, and trace texts with their time stamps masked.
#pragma once

#include "pty_peer.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sdtest {

const std::string kGetVer = SD_CMD_GETVER;
const std::string kIdentity = SD_CMD_IDENTITY;

// An identity reply: 0xAA, the length in three digits, the record.
inline std::string identityReply(const std::string &record)
{
    char digits[8];
    snprintf(digits, sizeof digits, "%03zu", record.size());
    return "\xAA" + std::string(digits) + record;
}

// The text with every time stamp "YYYY-MM-DD hh:mm:ss  " replaced by "<T>".
inline std::string maskStamps(const std::string &text)
{
    static const std::regex stamp("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  ");
    return std::regex_replace(text, stamp, "<T>");
}

// One exchange: wait for exactly `expect` from the host, then send `reply`.
struct Step {
    std::string expect, reply;
};

// Plays the reader on its own thread while the library call blocks the
// test's thread. Replies go out only after the command has arrived, so the
// input flush of an open in between cannot swallow them.
// finish() waits for the script, then for the host to fall quiet, and
// returns every byte the host sent; `speed` is the slave's input speed
// (B9600 etc.) when the first command came in.
struct ScriptedReader {
    ScriptedReader(PtyPeer &peer, std::vector<Step> steps)
        : thread([this, &peer, steps] { run(peer, steps); }) {}
    ~ScriptedReader() { finish(); }
    std::string finish()
    {
        if (thread.joinable())
            thread.join();
        return received;
    }
    void run(PtyPeer &peer, const std::vector<Step> &steps)
    {
        std::string pending; // a read may bring the next command too
        for (const Step &step : steps) {
            if (pending.size() < step.expect.size())
                pending += peer.receiveCount(step.expect.size() - pending.size(), 6000);
            std::string got = pending.substr(0, step.expect.size());
            pending.erase(0, got.size());
            termios t{};
            if (received.empty() && tcgetattr(peer.slaveFd(), &t) == 0)
                speed = static_cast<unsigned>(cfgetispeed(&t));
            received += got;
            if (got != step.expect)
                break; // the host said something else: stop answering
            peer.send(step.reply);
        }
        received += pending + peer.receive(300, 3000);
    }
    unsigned speed = 0;
    std::string received;
    std::thread thread; // last: starts once the rest is in place
};

// What one DEV_CommCall left behind.
struct Call {
    int rc = 0;
    std::string answer;     // the buffer up to its NUL
    int len = 0;            // the length as the call left it
    bool untouched = false; // the buffer was not written
    std::string out;        // standard output
};

inline Call devCommCall(const char *request, int capacity = 1024)
{
    char buf[4096];
    memset(buf, '#', sizeof buf);
    buf[sizeof buf - 1] = '\0';
    Call c;
    c.len = capacity;
    testing::internal::CaptureStdout();
    c.rc = DEV_CommCall(request, nullptr, buf, &c.len);
    c.out = testing::internal::GetCapturedStdout();
    c.untouched = buf[0] == '#';
    c.answer = buf;
    return c;
}

// A fresh working directory whose QOVA points at the built request library.
struct LibraryDir : TempWorkDir {
    LibraryDir() { EXPECT_EQ(symlink(SD_REQJSON_DIR, "QOVA"), 0); }
};

} // namespace sdtest
