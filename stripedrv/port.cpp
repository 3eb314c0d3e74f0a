// Module port: the reader's serial line and the byte transfers over it.
//
// The line is opened non-blocking, close-on-exec and above the standard
// descriptors, and put into raw 8-bit mode; every wait for the reader is
// done here, in poll() against one time budget of the monotonic clock, with
// MS_Cancel's wake-up descriptor polled beside the line. The port lives in
// the process-wide globals below (one reader line per process); every
// exported call holds the library's call lock for its length.
#include "stripedrv_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using sd::CallScope;

// ---------------------------------------------------------------------------
// Port state
// ---------------------------------------------------------------------------

int isPortOpened = 0;
struct termio g_term;
struct termio g_oterm;

namespace {

// Descriptor of the open tty; 0 means none is recorded. The line is never
// given a descriptor below 3, so 0 cannot be a line.
int g_Fd = 0;

// "/dev/" + the longest port name we take + NUL. Real names are short
// ("ttyCH341USB0", "pts/3"); anything longer than this is refused.
constexpr size_t kDevicePathMax = 64;
constexpr char kDevicePrefix[] = "/dev/";

// Fixed limits of the senders and receivers.
constexpr int kSendBudgetSeconds = 3;
constexpr int kRecvByte1Seconds = 5;
constexpr int kRecvChunk = 512;
// How often a wait for a line that another program holds looks again.
constexpr int kHeldRetryMs = 10;

// ---------------------------------------------------------------------------
// Line settings
// ---------------------------------------------------------------------------

// The termios code of each rate of SD_BAUD_RATES, in its order: the list of
// rates itself lives in the header, and the build fails if the two part.
struct Speed {
    long baud;
    unsigned short code;
};
constexpr Speed kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},    {9600, B9600},
                             {19200, B19200}, {38400, B38400}, {115200, B115200}};
constexpr Speed kDefaultSpeed = {9600, B9600}; // for every rate the reader does not know

constexpr bool speedsFollowTheHeader()
{
    constexpr long rates[] = {SD_BAUD_RATES};
    if (sizeof rates / sizeof rates[0] != sizeof kSpeeds / sizeof kSpeeds[0])
        return false;
    for (size_t i = 0; i < sizeof rates / sizeof rates[0]; ++i)
        if (rates[i] != kSpeeds[i].baud)
            return false;
    return true;
}
static_assert(speedsFollowTheHeader(), "kSpeeds lists the rates of SD_BAUD_RATES, in order");

unsigned short speedCode(long nBaud)
{
    for (const Speed &s : kSpeeds) {
        if (s.baud == nBaud)
            return s.code;
    }
    return kDefaultSpeed.code;
}

// The speed the open line runs at, in bit/s.
long lineBaud()
{
    const unsigned short code = static_cast<unsigned short>(g_term.c_cflag & CBAUD);
    for (const Speed &s : kSpeeds) {
        if (s.code == code)
            return s.baud;
    }
    return kDefaultSpeed.baud;
}

// Raw 8-bit mode at the given speed: no input or output processing, no
// signals, no canonical input, no echo; every other local flag and every
// other control slot stays as the device had it. The termio record has the
// Linux slot numbering of VEOF and VTIME.
void makeRaw(struct termio &t, long nBaud)
{
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = static_cast<unsigned short>(t.c_lflag & ~(ISIG | ICANON | ECHO));
    t.c_cc[VEOF] = 0;
    t.c_cc[VTIME] = 1; // a tenth of a second
    t.c_cflag = static_cast<unsigned short>(CLOCAL | CREAD | CS8 | speedCode(nBaud));
}
static_assert(VEOF < NCC && VTIME < NCC, "the termio record holds both slots");

// ---------------------------------------------------------------------------
// Sleeping
// ---------------------------------------------------------------------------

// Sleeps until the deadline, or until the host cancels the call: false then.
bool sleepUntil(const struct timespec &deadline)
{
    for (;;) {
        struct pollfd wake = {sd::cancelWakeFd(), POLLIN, 0};
        if (sd::cancelRequested())
            return false;
        int ms = sd::millisecondsLeft(deadline);
        if (ms == 0)
            return true;
        if (poll(&wake, 1, ms) > 0 && !sd::cancelRequested())
            sd::drainCancelWake(); // a late cancel of an earlier call
    }
}

// A line whose reader has gone away (the other end closed, the adapter
// unplugged) reports itself ready for ever while every read gives end of
// file or an error. A caller that loops around the receivers (the stripe
// protocol polls RecvByte1 byte by byte) would then burn a whole processor.
// So once a transfer sees the line hung up it sleeps out the rest of its own
// limit and only then reports its timeout: the same result at the same
// latest time as a silent reader, without the spinning.
int waitOutHungLine(const struct timespec &deadline)
{
    return sleepUntil(deadline) ? SD_ERR_TIMEOUT : SD_ERR_CANCELLED;
}

// ---------------------------------------------------------------------------
// Holding the line against other programs
// ---------------------------------------------------------------------------

// Opens the device and takes the reader for this process: an exclusive
// flock() on the open line, held until the line is closed. Two names of one
// device (a udev link and the tty) are one lock, and the kernel drops it
// when the holder dies, so nothing stale is ever left behind. flock() has
// no time limit of its own: a line that another program holds (or has made
// exclusive, so that open() says EBUSY) is tried again every few
// milliseconds, sleeping in between where MS_Cancel reaches the sleep,
// until the wait limit passes. Nothing is sent and no setting is touched
// before the lock is had. `waited` tells whether another program held it
// first. The descriptor, SD_ERR_PORT, SD_ERR_BUSY or SD_ERR_CANCELLED.
int openHeldLine(const char *szDevice, bool &waited)
{
    const struct timespec deadline = sd::deadlineIn(sd::lineWaitSeconds());
    int fd = -1;
    waited = false;
    for (;;) {
        if (fd < 0) {
            // O_NOCTTY: a host program that is a session leader (a system
            // service) must not take the reader's tty as its controlling
            // terminal, or pulling the adapter out would kill it with
            // SIGHUP. O_CLOEXEC: the programs a host starts must not keep
            // the reader's line open.
            fd = sd::keepAboveStdio(open(szDevice, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (fd < 0 && errno != EBUSY)
                return SD_ERR_PORT;
        }
        if (fd >= 0) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0)
                return fd;
            if (errno != EWOULDBLOCK && errno != EINTR)
                return fd; // a device that takes no locks is used as it is
        }
        waited = true;
        if (sd::millisecondsLeft(deadline) == 0 ||
            !sleepUntil(sd::withinMs(kHeldRetryMs, deadline))) {
            bool cancelled = sd::cancelRequested();
            if (fd >= 0)
                close(fd);
            return cancelled ? SD_ERR_CANCELLED : SD_ERR_BUSY;
        }
    }
}

// ---------------------------------------------------------------------------
// Waiting for the line
// ---------------------------------------------------------------------------

enum class Wait { Ready, TimedOut, Interrupted, Cancelled, Failed };

// One wait until the line is ready for `events` (POLLIN or POLLOUT), the
// deadline passes or the host cancels the call. A hung-up line counts as
// ready: the read or write that follows finds out. A signal that interrupts
// the wait is reported as such; a wake-up left by a cancel of an earlier
// call is emptied and the wait goes on.
Wait waitFor(short events, const struct timespec &deadline)
{
    for (;;) {
        struct pollfd fds[2] = {{g_Fd, events, 0}, {sd::cancelWakeFd(), POLLIN, 0}};
        if (sd::cancelRequested())
            return Wait::Cancelled;
        int r = poll(fds, 2, sd::millisecondsLeft(deadline));
        if (sd::cancelRequested())
            return Wait::Cancelled;
        if (r < 0)
            return errno == EINTR ? Wait::Interrupted : Wait::Failed;
        if (fds[0].revents & POLLNVAL)
            return Wait::Failed;
        if (fds[0].revents != 0)
            return Wait::Ready;
        if (r == 0)
            return Wait::TimedOut;
        sd::drainCancelWake();
    }
}

// Waits within the budget until the line has something to read: a signal
// just waits again. SD_OK; SD_ERR_TIMEOUT once the budget is spent (or,
// when the wait itself keeps failing, after sleeping the budget out);
// SD_ERR_CANCELLED.
int awaitReadable(const struct timespec &deadline)
{
    for (;;) {
        switch (waitFor(POLLIN, deadline)) {
        case Wait::Ready:
            return SD_OK;
        case Wait::Interrupted:
            continue;
        case Wait::TimedOut:
            return SD_ERR_TIMEOUT;
        case Wait::Cancelled:
            return SD_ERR_CANCELLED;
        case Wait::Failed:
            return waitOutHungLine(deadline);
        }
    }
}

// What a non-blocking read or write of the line came back with.
enum class Io { Moved, Nothing, HungUp };

// A read or write result: bytes moved, nothing for now (EAGAIN, EINTR), or a
// line that is gone (end of file, any other error).
Io classify(ssize_t n)
{
    if (n > 0)
        return Io::Moved;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return Io::Nothing;
    return Io::HungUp;
}

void dropQueuedOutput()
{
    tcflush(g_Fd, TCOFLUSH);
}

// ---------------------------------------------------------------------------
// Handing the line over quiet
// ---------------------------------------------------------------------------

// The reader sends an answer it has begun to its end, whatever the host does
// meanwhile: the reset of the closing pair only stops a read that still
// waits for its card, and a card swiped the instant before the reset has
// already begun an answer whose first byte is not here yet. Whoever takes
// the line next (another thread, another program, another client of the
// service) would take it for the answer to its own command - card data
// delivered to the wrong party. So a holder marks the line before every
// command that gets an answer and takes the mark back once the answer has
// ended (answer_mark.cpp); a transaction that ends otherwise - cut, timed
// out, killed - leaves it set and returns at once. The next opener that
// finds the mark reads and drops what the line delivers until it has been
// quiet, and only then sends.
//
// Quiet: the reader may pause up to kReaderPauseMs between two bytes of
// one answer, a USB-serial adapter holds received bytes back for up to its
// latency timer (16 ms on the common ones) and a busy host hands them on
// late again; a gap that long inside an answer is not its end. So quiet is
// never judged on less than kQuietFloorMs, whatever the speed.
constexpr long kQuietCharacters = 4;
constexpr int kQuietFloorMs = 50;
constexpr int kReaderPauseMs = 15;
constexpr int kAdapterLatencyMs = 16;
constexpr int kSlowestByteMs = 9; // one byte at 1200 baud
static_assert(kQuietFloorMs > kSlowestByteMs + kReaderPauseMs + kAdapterLatencyMs,
              "a pause inside an answer never passes for quiet");
// Bytes dropped per read while waiting for quiet.
constexpr size_t kDrainChunk = 64;

// Where the answer to the last command stands: none expected, a read's
// answer waiting for the card, or an answer coming (or begun).
enum class Answer { None, OnSwipe, Coming };
Answer g_answer = Answer::None;

// After a drain at the open that ended at its bound, the line never quiet,
// until the first answered command has gone out: bytes that come before
// its last byte has left cannot be its answer. (A drain that saw the line
// quiet has seen the earlier answer end.)
bool g_dropEarlier = false;

// Every receive that delivers bytes says so: the card has been swiped.
void noteBytesIn()
{
    if (g_answer == Answer::OnSwipe)
        g_answer = Answer::Coming;
}

// True when the line holds received bytes that nobody has read yet.
bool bytesWaiting(int fd)
{
    int count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 && count > 0;
}

int quietMs(long baud)
{
    int chars = sd::wireMs(baud, kQuietCharacters);
    return chars > kQuietFloorMs ? chars : kQuietFloorMs;
}

// How long an answer of nBytes can take at nBaud when the reader pauses
// after every byte, and the quiet after it: past that, the line is noise.
int drainBoundMs(long nBytes, long nBaud)
{
    return sd::wireMs(nBaud, nBytes) + static_cast<int>(nBytes) * kReaderPauseMs + quietMs(nBaud);
}

// Reads and drops what the line delivers until it has been quiet for the
// quiet interval (true), or until an answer of nBytes has had time to pass
// (false: the line is not quiet). MS_Cancel does not cut it short: the
// answer is already on its way. A line that has hung up ends it at once
// (false: whether the reader is done is not known).
bool drainUntilQuiet(long nBytes, long nBaud)
{
    const int quiet = quietMs(nBaud);
    const struct timespec bound = sd::msFromNow(drainBoundMs(nBytes, nBaud));
    for (;;) {
        const int left = sd::millisecondsLeft(bound);
        struct pollfd line = {g_Fd, POLLIN, 0};
        int r = poll(&line, 1, left < quiet ? left : quiet);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || (line.revents & POLLNVAL) != 0)
            return false; // the line cannot be waited on
        if (r == 0)
            return left >= quiet; // quiet, or the bound reached
        char dropped[kDrainChunk];
        const Io io = classify(read(g_Fd, dropped, sizeof dropped));
        sd::wipe(dropped, sizeof dropped); // the rest of someone's card, maybe
        if (io == Io::HungUp || left == 0)
            return false;
    }
}

// At the open, before anything is sent: the last holder left an answer
// coming (its mark), or one may be coming all the same (bytes are waiting,
// or another program held the line until now). The line is drained at the
// slower of the two speeds; the mark is taken back once the line was quiet.
void letEarlierAnswerRunOut(bool marked, const sd::AnswerMark &mark)
{
    long baud = lineBaud();
    if (marked && mark.baud > 0 && mark.baud < baud)
        baud = mark.baud;
    const long bytes = marked ? mark.bytes : sd::kLongestAnswerBytes;
    const bool quiet = drainUntilQuiet(bytes, baud);
    if (quiet)
        sd::clearAnswerMark();
    g_dropEarlier = !quiet;
}

// Before the line is closed. With a mark, an answer still expected is left
// to the next opener, and the close is immediate (a cancel returns at once).
// Without one (no mark file could be had) nobody after us would know, so
// the answer is let run out here - also a read's that has not shown a byte
// yet: the card may have been swiped the instant before the cut.
void leaveAnswerBehind()
{
    if (!sd::answerMarkUsable() && g_answer != Answer::None)
        (void)drainUntilQuiet(g_answer == Answer::OnSwipe ? sd::kLongestReadAnswerBytes
                                                          : sd::kLongestAnswerBytes,
                              lineBaud());
    g_answer = Answer::None;
    g_dropEarlier = false;
    sd::detachAnswerMark();
}

// Around every command sent while g_dropEarlier holds: what the line holds
// before the first answered command has gone out is the rest of an earlier
// answer. The reader cannot begin its answer before it has the command's
// last byte, so what comes until that has left is dropped too.
void dropEarlierBeforeSend()
{
    if (g_dropEarlier)
        tcflush(g_Fd, TCIFLUSH);
}

void dropEarlierAfterSend()
{
    if (!g_dropEarlier || g_answer == Answer::None)
        return; // a command without an answer: the next one still drops
    (void)tcdrain(g_Fd);
    tcflush(g_Fd, TCIFLUSH);
    g_dropEarlier = false;
}

// ---------------------------------------------------------------------------
// Reply accumulation up to the ETX (RecvData, RecvDataEx)
// ---------------------------------------------------------------------------

struct EtxReply {
    char bytes[SD_RECV_MAX];
    int total = 0;
    ~EtxReply() { sd::wipe(bytes, sizeof bytes); }
};

enum class Take { More, Complete, Overflow };

// One read of up to a chunk into the accumulator; the newly appended bytes
// are scanned for the ETX. The read never asks for more than the room left,
// so a reply that does not fit the accumulator ends the reception.
Take takeChunk(EtxReply &reply, Io &io)
{
    int room = SD_RECV_MAX - reply.total;
    int want = room < kRecvChunk ? room : kRecvChunk;
    ssize_t n = read(g_Fd, reply.bytes + reply.total, static_cast<size_t>(want));
    io = classify(n);
    if (io != Io::Moved)
        return Take::More;
    noteBytesIn();
    const char *fresh = reply.bytes + reply.total;
    reply.total += static_cast<int>(n);
    if (memchr(fresh, SD_ETX, static_cast<size_t>(n)) != nullptr)
        return Take::Complete;
    return reply.total >= SD_RECV_MAX ? Take::Overflow : Take::More;
}

int handOver(const EtxReply &reply, char *pBuf, int *pnLen)
{
    *pnLen = reply.total;
    memcpy(pBuf, reply.bytes, static_cast<size_t>(reply.total));
    return SD_OK;
}

// One read towards the reply: SD_OK with the reply handed over once its
// ETX has come, SD_ERR_TIMEOUT when it does not fit, else kMoreToCome
// (`io` then says whether the line gave nothing or has hung up).
constexpr int kMoreToCome = 1;
int collect(EtxReply &reply, Io &io, char *pBuf, int *pnLen)
{
    Take t = takeChunk(reply, io);
    if (t == Take::Complete)
        return handOver(reply, pBuf, pnLen);
    return t == Take::Overflow ? SD_ERR_TIMEOUT : kMoreToCome;
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

void traceSend(int nLen, const char *pData)
{
    WriteLog(SD_TRACE_SEND);
    WriteLog_Byte(pData, nLen);
}

// What both traced senders do first: refuse without a line, trace the
// block, refuse a block that cannot be written. SD_OK to go on.
int startSend(int nLen, const char *pData)
{
    if (isPortOpened != 1)
        return SD_ERR_PORT;
    traceSend(nLen, pData);
    if (nLen < 0 || (pData == nullptr && nLen > 0))
        return SD_ERR_WRITE;
    return SD_OK;
}

} // namespace

// ---------------------------------------------------------------------------
// Serial line
// ---------------------------------------------------------------------------

int TermOpen(const char *szDevice, long nBaud)
{
    CallScope call;
    if (szDevice == nullptr) {
        g_Fd = 0;
        return SD_ERR_PORT;
    }
    // A line opened before and never closed stays open as it always did,
    // but must not keep this very process waiting for its own lock.
    if (g_Fd != 0)
        (void)flock(g_Fd, LOCK_UN);
    g_answer = Answer::None;
    g_dropEarlier = false;
    sd::detachAnswerMark();
    bool waited = false;
    int fd = openHeldLine(szDevice, waited);
    if (fd < 0) {
        g_Fd = 0;
        return fd;
    }
    g_Fd = fd;
    if (ioctl(fd, TCGETA, &g_term) != 0) {
        // Not a terminal: nothing on the device was changed, so there is
        // nothing to restore; give the descriptor back at once instead of
        // keeping one that no close could ever release.
        close(fd);
        g_Fd = 0;
        return SD_ERR_PORT;
    }
    g_oterm = g_term;
    makeRaw(g_term, nBaud);
    // The last holder left an answer coming (its mark), or one may be
    // coming all the same: bytes came before anyone asked (looked at before
    // the settings discard them), or another program held the line until
    // now and may have died between two bytes of an answer.
    sd::AnswerMark mark;
    const bool marked = sd::attachAnswerMark(fd) && sd::readAnswerMark(mark);
    const bool mayBeAnswering = marked || waited || bytesWaiting(fd);
    if (ioctl(fd, TCSETAF, &g_term) != 0)
        return SD_ERR_PORT; // stays recorded: CloseCOM restores and closes it
    if (mayBeAnswering)
        letEarlierAnswerRunOut(marked, mark);
    return fd;
}

// The restore fails this way when the line itself is gone: the other end
// hung up or the adapter was unplugged. No later close could restore it.
static bool lineIsGone(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

int TermClose(void)
{
    CallScope call;
    if (g_Fd == 0)
        return SD_OK;
    leaveAnswerBehind();
    if (ioctl(g_Fd, TCSETAF, &g_oterm) != 0) {
        // A line that is gone is still closed, or every transaction against
        // a vanished reader would leak its descriptor for good (the card
        // calls open afresh each time). Other failures keep the descriptor
        // recorded, so that a later CloseCOM can try again.
        if (lineIsGone(errno) && close(g_Fd) == 0)
            g_Fd = 0;
        return SD_ERR_PORT;
    }
    if (close(g_Fd) != 0)
        return SD_ERR_CLOSE;
    g_Fd = 0;
    return SD_OK;
}

int OpenCOM(const char *szPort, long nBaud)
{
    CallScope call;
    char path[kDevicePathMax];
    size_t nameLen = szPort != nullptr ? strnlen(szPort, sizeof path) : sizeof path;
    if (nameLen + sizeof kDevicePrefix > sizeof path) {
        isPortOpened = 0;
        return SD_ERR_PORT; // nothing opened
    }
    memcpy(path, kDevicePrefix, sizeof kDevicePrefix - 1);
    memcpy(path + sizeof kDevicePrefix - 1, szPort, nameLen + 1);
    int fd = TermOpen(path, nBaud);
    if (fd < 0) {
        isPortOpened = 0;
        return fd; // -3, or -12 / -11 from the wait for another program
    }
    isPortOpened = 1;
    return SD_OK;
}

int CloseCOM(void)
{
    CallScope call;
    isPortOpened = 0;
    return TermClose();
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

int SendCom(const char *szText)
{
    CallScope call;
    if (isPortOpened != 1)
        return 0;
    size_t len = szText != nullptr ? strlen(szText) : 0;
    dropEarlierBeforeSend();
    int n = static_cast<int>(write(g_Fd, szText != nullptr ? szText : "", len));
    dropEarlierAfterSend();
    return n;
}

int SendData(int nLen, const char *pData)
{
    CallScope call;
    int rc = startSend(nLen, pData);
    if (rc != SD_OK)
        return rc;
    dropEarlierBeforeSend();
    ssize_t n = write(g_Fd, nLen > 0 ? pData : "", static_cast<size_t>(nLen));
    dropEarlierAfterSend();
    return n == nLen ? SD_OK : SD_ERR_WRITE;
}

int Sendstr(const char *szText)
{
    const char *text = szText != nullptr ? szText : "";
    return SendData(static_cast<int>(strlen(text)), text);
}

int SendDataEx(int nLen, const char *pData)
{
    CallScope call;
    int rc = startSend(nLen, pData);
    if (rc != SD_OK)
        return rc;

    // One budget for the whole command, however many writes it takes.
    const struct timespec deadline = sd::deadlineIn(kSendBudgetSeconds);
    dropEarlierBeforeSend();
    int sent = 0;
    int stopped = SD_ERR_WRITE; // why the command stopped short
    while (sent < nLen) {
        Wait w = waitFor(POLLOUT, deadline);
        if (w == Wait::Cancelled) {
            stopped = SD_ERR_CANCELLED;
            break;
        }
        if (w == Wait::TimedOut) {
            dropQueuedOutput();
            break;
        }
        if (w == Wait::Failed) {
            if (waitOutHungLine(deadline) == SD_ERR_CANCELLED)
                stopped = SD_ERR_CANCELLED;
            dropQueuedOutput();
            break;
        }
        ssize_t n = write(g_Fd, pData + sent, static_cast<size_t>(nLen - sent));
        Io io = classify(n);
        if (io == Io::Moved) {
            sent += static_cast<int>(n);
        } else if (io == Io::HungUp) {
            // Every further write would fail the same way at once.
            if (waitOutHungLine(deadline) == SD_ERR_CANCELLED)
                stopped = SD_ERR_CANCELLED;
            dropQueuedOutput();
            break;
        }
    }
    if (sent > 0)
        dropEarlierAfterSend();
    return sent == nLen ? SD_OK : stopped;
}

// ---------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------

int RecvByte(unsigned char *pByte, int nTimeout)
{
    CallScope call;
    const struct timespec deadline = sd::deadlineIn(nTimeout);
    Wait w = waitFor(POLLIN, deadline);
    if (w == Wait::Cancelled)
        return SD_ERR_CANCELLED;
    if (w == Wait::TimedOut) {
        dropQueuedOutput();
        return SD_ERR_TIMEOUT;
    }
    if (w == Wait::Failed)
        return waitOutHungLine(deadline);
    // Woken (or interrupted): one read, whatever it brings.
    unsigned char byte = 0;
    ssize_t n = read(g_Fd, &byte, 1);
    Io io = classify(n);
    if (io == Io::Moved) {
        noteBytesIn();
        if (pByte != nullptr)
            *pByte = byte;
        return SD_OK;
    }
    if (io == Io::HungUp)
        return waitOutHungLine(deadline);
    return SD_ERR_TIMEOUT;
}

int RecvByte1(unsigned char *pByte)
{
    return RecvByte(pByte, kRecvByte1Seconds);
}

int RecvData(char *pBuf, int *pnLen, int nTimeout)
{
    CallScope call;
    if (pBuf == nullptr || pnLen == nullptr)
        return SD_ERR_TIMEOUT;
    // Counts whole seconds: a limit of N seconds ends once more than N
    // seconds have passed, so after N to N + 1 seconds. Between reads it
    // sleeps until a byte comes or the next whole second, when the limit is
    // looked at again.
    const struct timespec start = sd::monotonicNow();
    EtxReply reply;
    for (;;) {
        if (sd::wholeSecondsPassed(start, nTimeout))
            return SD_ERR_TIMEOUT;
        Io io = Io::Nothing;
        int rc = collect(reply, io, pBuf, pnLen);
        if (rc != kMoreToCome)
            return rc;
        Wait w = io == Io::HungUp ? Wait::Failed : waitFor(POLLIN, sd::nextWholeSecond());
        if (w == Wait::Cancelled)
            return SD_ERR_CANCELLED;
        if (w == Wait::Failed) {
            // Sleep to the very second at which the limit would end it.
            struct timespec end = {start.tv_sec + nTimeout + 1, 0};
            return waitOutHungLine(end);
        }
    }
}

int RecvDataEx(char *pBuf, int *pnLen, int nTimeout)
{
    CallScope call;
    if (pnLen != nullptr)
        *pnLen = 0;
    if (pBuf == nullptr || pnLen == nullptr)
        return SD_ERR_TIMEOUT;
    const struct timespec deadline = sd::deadlineIn(nTimeout);
    EtxReply reply;
    for (;;) {
        int rc = awaitReadable(deadline);
        if (rc != SD_OK)
            return rc;
        Io io = Io::Nothing;
        rc = collect(reply, io, pBuf, pnLen);
        if (rc != kMoreToCome)
            return rc;
        if (io == Io::HungUp)
            return waitOutHungLine(deadline);
    }
}

int RecvDataEx2(char *pBuf, int nCount, int nTimeout)
{
    CallScope call;
    if (pBuf == nullptr || nCount < 0 || nCount > SD_RECV_EX2_MAX)
        return SD_ERR_TIMEOUT; // nothing read
    const struct timespec deadline = sd::deadlineIn(nTimeout);
    char chunk[SD_RECV_EX2_MAX];
    sd::WipeOnReturn wipeChunk(chunk, sizeof chunk);
    for (;;) {
        int rc = awaitReadable(deadline);
        if (rc != SD_OK)
            return rc;
        // The whole count must come in one read; a shorter piece is dropped.
        memset(chunk, 0, sizeof chunk);
        ssize_t n = read(g_Fd, chunk, static_cast<size_t>(nCount));
        if (n > 0)
            noteBytesIn();
        if (n == nCount) {
            memcpy(pBuf, chunk, static_cast<size_t>(nCount));
            return SD_OK;
        }
        if (classify(n) == Io::HungUp)
            return waitOutHungLine(deadline);
    }
}

// ---------------------------------------------------------------------------
// Answers the protocol awaits
// ---------------------------------------------------------------------------

void sd::expectAnswer(AnswerAfter when)
{
    const bool swipe = when == AnswerAfter::Swipe;
    g_answer = swipe ? Answer::OnSwipe : Answer::Coming;
    if (g_Fd != 0)
        setAnswerMark(swipe ? kLongestReadAnswerBytes : kLongestAnswerBytes, lineBaud());
}

void sd::answerEnded()
{
    g_answer = Answer::None;
    clearAnswerMark();
}
