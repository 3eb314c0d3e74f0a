// What the tests of a line changing hands share: a read cut short in the
// middle of the reader's answer (cancelled, timed out, its process killed),
// then a read by someone else, which must get a time-out or its own card and
// never a byte of the first one's answer.
//
// The simulated reader sends its answer byte by byte with a short gap and
// swipes only on demand, so that a test chooses where the answer is cut: a
// number of bytes into it (cancel, kill), or a whole second of the
// monotonic clock falling at a chosen moment inside it (a read with the
// limit 0 times out on the next whole second).
#pragma once

#include "protocol.h"
#include "server.h"
#include "stripedrv.h"

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace sdtest {

// A short card, so that a repetition is quick. The reader's trailing byte
// is a digit: every byte of the read answer except the field separator and
// FS is then one that a read waiting for "s" takes as an error byte, so a
// read handed the rest of another's answer cannot pass as a clean one.
inline readersim::Card handoverCard()
{
    readersim::Card card;
    card.track2 = "12345678=1234";
    card.track3 = "87654321=4321";
    return card;
}

inline readersim::Behaviour handoverBehaviour()
{
    readersim::Behaviour behaviour;
    behaviour.trailer = '9';
    return behaviour;
}

// Waits until pred() holds, looking every 100 microseconds; false when maxMs
// pass first. The default is generous: it only runs out when what is waited
// for never comes, and a loaded machine running sanitized code and the
// paced reader at 1200 baud can take seconds to get there.
template <typename Pred>
bool waitUntil(Pred pred, int maxMs = 15000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// Swipes the card for every read that waits for one, while it lives.
class SwipeEachRead {
public:
    explicit SwipeEachRead(readersim::Server &server)
        : thread_([this, &server] {
              while (!stop_) {
                  if (server.readWaiting())
                      server.swipe();
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          })
    {
    }
    ~SwipeEachRead()
    {
        stop_ = true;
        thread_.join();
    }
    SwipeEachRead(const SwipeEachRead &) = delete;
    SwipeEachRead &operator=(const SwipeEachRead &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Swipes the card for the read that waits and returns once `cut` bytes of
// the answer have gone out (false when the reader did not get that far).
inline bool swipeAndWaitForBytes(readersim::Server &server, unsigned long cut)
{
    if (!waitUntil([&] { return server.readWaiting(); }))
        return false;
    const unsigned long base = server.bytesSent();
    server.swipe();
    return waitUntil([&] { return server.bytesSent() >= base + cut; });
}

// The monotonic clock's whole seconds, on which the driver's limits end.
using Mono = std::chrono::steady_clock;
inline Mono::time_point nextWholeSecond()
{
    auto now = Mono::now().time_since_epoch();
    return Mono::time_point(std::chrono::ceil<std::chrono::seconds>(now));
}

// Sleeps until `leadMs` before a whole second and returns that second: a
// read with the limit 0 started now times out on it.
inline Mono::time_point shortlyBeforeASecond(int leadMs = 300)
{
    auto next = nextWholeSecond();
    if (next - Mono::now() < std::chrono::milliseconds(leadMs + 20))
        next += std::chrono::seconds(1);
    std::this_thread::sleep_until(next - std::chrono::milliseconds(leadMs));
    return next;
}

// Swipes for the waiting read `beforeMs` milliseconds before the whole
// second `cutAt`, so that a read with the limit 0 times out that far into
// its answer.
inline bool swipeBeforeTheSecond(readersim::Server &server, Mono::time_point cutAt, int beforeMs)
{
    if (!waitUntil([&] { return server.readWaiting(); }))
        return false;
    std::this_thread::sleep_until(cutAt - std::chrono::milliseconds(beforeMs));
    server.swipe();
    return true;
}

// Whether the simulated line ran like a line since the try began: a pause
// inside an answer as long as the driver's quiet interval (50 ms) means the
// machine did not run the simulated reader, and the driver rightly took the
// pause for the answer's end. Such a try proves nothing either way; a test
// counts them and fails when they are more than a few.
constexpr unsigned long kSteadyLineMaxPauseMs = 40;
inline bool lineWasSteady(const readersim::Server &server)
{
    return server.longestPauseMs() < kSteadyLineMaxPauseMs;
}

// What one read gave.
struct ReadOutcome {
    int rc = 99;
    std::string track2, track3;
};

inline ReadOutcome readCard(const std::string &port, int nTimeout, int nTrackMode,
                            int nBaud = 115200)
{
    char t2[256] = "", t3[256] = "";
    ReadOutcome out;
    out.rc = MS_ReadCard(port.c_str(), "", nBaud, nTimeout, nTrackMode, 0, t2, t3);
    out.track2 = t2;
    out.track3 = t3;
    return out;
}

// The second read, of track 2 alone: its own card, or a time-out with
// nothing in it.
inline bool ownCardOrTimeout(const ReadOutcome &b, const readersim::Card &card)
{
    if (b.rc == SD_OK)
        return b.track2 == card.track2 && b.track3.empty();
    return b.rc == SD_ERR_TIMEOUT && b.track2.empty() && b.track3.empty();
}

// The cut read, of tracks 2 and 3: cut short with `cutCode` and nothing in
// it, or whole (the cut came after its last byte).
inline bool cutOrWhole(const ReadOutcome &a, const readersim::Card &card, int cutCode)
{
    if (a.rc == SD_OK)
        return a.track2 == card.track2 && a.track3 == card.track3;
    return a.rc == cutCode && a.track2.empty() && a.track3.empty();
}

inline std::string describe(const ReadOutcome &o)
{
    return "result " + std::to_string(o.rc) + " [" + o.track2 + "] [" + o.track3 + "]";
}

// How many tries a repeated hand-over case makes: `standard` (what CI
// runs), or SD_HANDOVER_TRIES from the environment for a longer run.
inline int handoverTries(int standard)
{
    const char *text = std::getenv("SD_HANDOVER_TRIES");
    const int tries = text != nullptr ? std::atoi(text) : 0;
    return tries > 0 ? tries : standard;
}

// A random cut point of 1 to n bytes.
inline unsigned long randomCut(std::mt19937 &rng, unsigned long n)
{
    return std::uniform_int_distribution<unsigned long>(1, n)(rng);
}

} // namespace sdtest
