// What the files of stripedrv.so share behind the public header. Not
// installed and not exported: the wire bytes, codes and trace formats stay
// in stripedrv.h, where they are part of the interface.
#pragma once

#include "reqjson.h"
#include "stripedrv.h"

#include <stddef.h>
#include <string.h>
#include <time.h>

#include <type_traits>

namespace sd {

// ---------------------------------------------------------------------------
// Commands and texts
// ---------------------------------------------------------------------------

// A send primitive of the public interface (SendData, SendDataEx).
typedef int (*SendFn)(int nLen, const char *pData);

// Sends one of the command literals of stripedrv.h without its terminating
// NUL. The budgeted SendDataEx by default; the stripe protocol's commands
// go out in one write with SendData.
template <size_t N>
int sendCommand(const char (&command)[N], SendFn send = SendDataEx)
{
    return send(static_cast<int>(N - 1), command);
}

// Copies at most cap - 1 of the len bytes at src and a NUL into dest (of
// cap bytes). Returns the number of bytes copied.
inline size_t copyTerminated(char *dest, size_t cap, const char *src, size_t len)
{
    if (len > cap - 1)
        len = cap - 1;
    memcpy(dest, src, len);
    dest[len] = '\0';
    return len;
}

// Clears a buffer that held track text, reply bytes or a command carrying
// track data once its content has been handed on, so that no copy of a card
// outlives the call in the host's memory (explicit_bzero: a clearing the
// compiler may not drop as a dead store).
inline void wipe(void *data, size_t size)
{
    explicit_bzero(data, size);
}

// Wipes a buffer of the calling frame whichever way the frame is left.
class WipeOnReturn {
public:
    WipeOnReturn(void *data, size_t size) : data_(data), size_(size) {}
    ~WipeOnReturn() { wipe(data_, size_); }
    WipeOnReturn(const WipeOnReturn &) = delete;
    WipeOnReturn &operator=(const WipeOnReturn &) = delete;

private:
    void *data_;
    size_t size_;
};

// True when text begins with prefix (case-sensitive).
inline bool startsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The text at src, cut to fit dest (of cap bytes).
inline size_t copyText(char *dest, size_t cap, const char *src)
{
    return copyTerminated(dest, cap, src, strnlen(src, cap - 1));
}

// The trace's time stamp: 21 characters and the NUL.
constexpr size_t kStampLen = 21;
constexpr size_t kStampBuf = kStampLen + 1;

// ReqFieldGet of the request library, which DEV_CommCall loads at run time.
typedef int (*ReqFieldGetFn)(const char *, const char *, char *);
static_assert(std::is_same<ReqFieldGetFn, decltype(&ReqFieldGet)>::value,
              "the request function's type is the one reqjson.h declares");

// ---------------------------------------------------------------------------
// Time (timing.cpp, the only reader of the clock)
// ---------------------------------------------------------------------------

// Now on the monotonic clock: limits are measured on it, so that a step of
// the wall clock neither stretches nor cuts a wait.
struct timespec monotonicNow();
// The moment nSeconds from now on the monotonic clock; a negative count
// counts as 0.
struct timespec deadlineIn(int nSeconds);
// Milliseconds left until the deadline, rounded up, for poll(); 0 once it
// has passed.
int millisecondsLeft(const struct timespec &deadline);
// The protocol's whole-second limits: true once more than nLimit whole
// seconds of the monotonic clock have passed since start, so a limit of N
// ends after N to N + 1 seconds.
bool wholeSecondsPassed(const struct timespec &start, long nLimit);
// ms milliseconds from now (a negative count counts as 0).
struct timespec msFromNow(int ms);
// ms milliseconds from now, or the deadline when that comes sooner.
struct timespec withinMs(int ms, const struct timespec &deadline);
// Milliseconds that nBytes take on a line of nBaud bit/s, ten bits a byte
// (start bit, eight data bits, stop bit), rounded up; 0 for no bytes.
int wireMs(long nBaud, long nBytes);
// The next whole second of the monotonic clock after now.
struct timespec nextWholeSecond();
// The calendar time, for the trace's time stamp.
time_t calendarNow();

// ---------------------------------------------------------------------------
// The line changes hands quiet (port.cpp)
// ---------------------------------------------------------------------------

// The reader finishes an answer it has begun whatever the host does
// meanwhile, so the protocol tells the line which of its commands are
// answered: expectAnswer() just before such a command goes out,
// answerEnded() once the answer's last byte has come. A line closed while an
// answer is still expected is first read and dropped until it has been
// quiet - except a read's answer that waits for the card and has not begun
// (no byte of it came or is waiting): that line is closed at once, so that a
// read cancelled while it waits for the swipe returns at once.
enum class AnswerAfter { Command, Swipe };
void expectAnswer(AnswerAfter when = AnswerAfter::Command);
void answerEnded();

// No answer of the protocol is longer than the identity record's: 0xAA,
// three digits and up to 999 bytes. A read's answer is "s" and its reply.
constexpr long kLongestAnswerBytes = 1 + 3 + SD_IDENTITY_MAX;
constexpr long kLongestReadAnswerBytes = 1 + SD_READ_REPLY_MAX;

// ---------------------------------------------------------------------------
// The mark of an answer that may still be coming (answer_mark.cpp)
// ---------------------------------------------------------------------------

// What a holder left: an answer of up to `bytes` at `baud` (0: not known)
// may still be coming.
struct AnswerMark {
    long bytes = 0;
    long baud = 0;
};
// Opens (or creates) the mark of the line's device, once its lock is held.
// False when there is no usable mark file: the line then goes by the rule
// that needs none (the holder lets its answers run out before the close).
bool attachAnswerMark(int lineFd);
void detachAnswerMark();
bool answerMarkUsable();
// True, and what it says, when the last holder left the mark set.
bool readAnswerMark(AnswerMark &found);
// Before a command that gets an answer goes out; and once it has ended
// cleanly, or the line has been seen quiet.
void setAnswerMark(long nBytes, long nBaud);
void clearAnswerMark();

// ---------------------------------------------------------------------------
// One transaction at a time (transaction.cpp)
// ---------------------------------------------------------------------------

// Held for the length of every exported call that uses the line or the
// trace: it takes the process-wide lock (recursive, so that the card calls
// can use the primitives) and makes the outermost call the one that
// MS_Cancel cuts short.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;
};

// True once MS_Cancel was called for the call under way.
bool cancelRequested();
// The descriptor that MS_Cancel makes readable, to poll beside the line,
// made on first use in a call and closed at its end; -1 when none could be
// made (a cancel is then seen between waits only). Look at
// cancelRequested() after getting it and before polling: a cancel that came
// before the descriptor was there is seen then, a later one writes to it.
int cancelWakeFd();
// Empties the wake-up descriptor after a wake-up that was not for this call.
void drainCancelWake();

// How long opening the line waits for a reader that another program holds
// (see TermOpen): the protocol's per-byte limit, unless a call with a limit
// of its own sets that for its length.
constexpr int kLineWaitSeconds = 5;
class LineWaitLimit {
public:
    explicit LineWaitLimit(int nSeconds);
    ~LineWaitLimit();
    LineWaitLimit(const LineWaitLimit &) = delete;
    LineWaitLimit &operator=(const LineWaitLimit &) = delete;

private:
    int saved_;
};
int lineWaitSeconds();

// Moves a new descriptor above standard input, output and error, so that
// 0 keeps meaning "no line" and a host with stdin closed does not lose its
// reader to it. The descriptor comes back close-on-exec; the original is
// closed. -1 (and the original closed) when no higher one can be had.
int keepAboveStdio(int fd);

} // namespace sd
