// A reader that answers from a script on a PtyPeer, and the trace's time
// stamps masked so that traces compare as texts.
#pragma once

#include "pty_peer.h"

#include <termios.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace sdtest {

// One exchange: wait for exactly `expect` from the host, then send `reply`
// (kHangUp: drop the line instead).
struct Step {
    std::string expect, reply;
};
inline const std::string kHangUp = "<hang up>";

// Plays the reader on its own thread while the library call blocks the
// test's thread. Replies go out only after the command has arrived, so the
// input flush of an open in between cannot swallow them. When the host
// sends something else the script stops answering (followed() is false).
// finish() waits for the script, then for the host to fall quiet, and
// returns every byte the host sent; `speed` is the slave's input speed
// (B9600 etc.) when the first command came in.
class ScriptedReader {
public:
    ScriptedReader(PtyPeer &peer, std::vector<Step> steps)
        : thread([this, &peer, steps] { run(peer, steps); }) {}
    ~ScriptedReader() { finish(); }
    ScriptedReader(const ScriptedReader &) = delete;
    ScriptedReader &operator=(const ScriptedReader &) = delete;

    std::string finish()
    {
        if (thread.joinable())
            thread.join();
        return received;
    }
    // Every step came as expected (after finish()).
    bool followed() const { return stepsDone; }

    unsigned speed = 0;

private:
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
                return; // the host said something else: stop answering
            if (step.reply == kHangUp)
                peer.hangUp();
            else
                peer.send(step.reply);
        }
        stepsDone = true;
        received += pending + peer.receive(300, 3000);
    }

    std::string received;
    bool stepsDone = false;
    std::thread thread; // last: starts once the rest is in place
};

// Whether a trace time stamp ("2026-12-06 22:55:04  ") starts at `pos`.
inline bool stampAt(const std::string &text, size_t pos)
{
    static const char shape[] = "dddd-dd-dd dd:dd:dd  ";
    for (size_t i = 0; i < sizeof shape - 1; ++i, ++pos)
        if (pos >= text.size() || (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(text[pos]))
                                                   : text[pos] != shape[i]))
            return false;
    return true;
}

// The time a stamp at `pos` names, in seconds on a count of its own (only
// differences mean something); -1 when no stamp is there.
inline long long stampSeconds(const std::string &text, size_t pos)
{
    tm t{};
    if (!stampAt(text, pos) ||
        std::sscanf(text.c_str() + pos, "%4d-%2d-%2d %2d:%2d:%2d", &t.tm_year, &t.tm_mon,
                    &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<long long>(timegm(&t));
}

// The text with every time stamp replaced by `mark`.
inline std::string maskStamps(const std::string &text, const std::string &mark = "<T>")
{
    const size_t stampLength = 21;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (stampAt(text, i)) {
            out += mark;
            i += stampLength;
        } else {
            out += text[i++];
        }
    }
    return out;
}

} // namespace sdtest
