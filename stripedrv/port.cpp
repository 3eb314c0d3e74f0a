// Module port: the reader's serial line and the byte transfers over it.
//
// The line is opened non-blocking and put into raw 8-bit mode; every wait
// for the reader is done here, either by select() against one time budget
// or, in RecvData, by polling the wall clock. The port lives in the
// process-wide globals below (one reader line per process, no locking).
#include "stripedrv.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------
// Port state
// ---------------------------------------------------------------------------

int isPortOpened = 0;
struct termio g_term;
struct termio g_oterm;

namespace {

// Descriptor of the open tty; 0 means none is recorded.
int g_Fd = 0;

// "/dev/" + the longest port name we take + NUL. Real names are short
// ("ttyCH341USB0", "pts/3"); anything longer than this is refused.
constexpr size_t kDevicePathMax = 64;
constexpr char kDevicePrefix[] = "/dev/";

// Raw-mode control-character slots, in the Linux numbering.
constexpr int kSlotEof = 4;  // VEOF
constexpr int kSlotTime = 5; // VTIME: a tenth of a second

// Fixed limits of the senders and receivers.
constexpr int kSendBudgetSeconds = 3;
constexpr int kRecvByte1Seconds = 5;
constexpr int kRecvChunk = 512;

// ---------------------------------------------------------------------------
// Line settings
// ---------------------------------------------------------------------------

unsigned short speedCode(long nBaud)
{
    switch (nBaud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 115200: return B115200;
    default: return B9600; // 9600 and every rate the reader does not know
    }
}

// Raw 8-bit mode at the given speed: no input or output processing, no
// signals, no canonical input, no echo; every other local flag and every
// other control slot stays as the device had it.
void makeRaw(struct termio &t, long nBaud)
{
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = static_cast<unsigned short>(t.c_lflag & ~(ISIG | ICANON | ECHO));
    t.c_cc[kSlotEof] = 0;
    t.c_cc[kSlotTime] = 1;
    t.c_cflag = CLOCAL | CREAD;
    t.c_cflag = static_cast<unsigned short>(t.c_cflag | speedCode(nBaud));
    t.c_cflag = static_cast<unsigned short>(t.c_cflag | CS8);
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

// Deadlines of the select-based waits run on the monotonic clock: what
// select() leaves in its time value is not trusted (a wait that returns at
// once, again and again, would otherwise never use the budget up), and a
// change of the wall clock must not stretch or cut a wait.
struct timespec monotonicNow()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

struct timespec deadlineAfter(int nSeconds)
{
    struct timespec d = monotonicNow();
    if (nSeconds > 0)
        d.tv_sec += nSeconds;
    return d;
}

// Time left until the deadline, never negative: once the budget is spent a
// wait only looks at what the line offers at that moment.
struct timeval remaining(const struct timespec &deadline)
{
    struct timespec now = monotonicNow();
    struct timeval left = {0, 0};
    long long ns = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                   (deadline.tv_nsec - now.tv_nsec);
    if (ns > 0) {
        left.tv_sec = static_cast<time_t>(ns / 1000000000LL);
        left.tv_usec = static_cast<suseconds_t>((ns % 1000000000LL) / 1000);
    }
    return left;
}

// Sleeps until an absolute time of the given clock.
void sleepUntil(clockid_t clock, const struct timespec &when)
{
    while (clock_nanosleep(clock, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

// A line whose reader has gone away (the other end closed, the adapter
// unplugged) reports itself ready for ever while every read gives end of
// file or an error. A caller that loops around the receivers (the stripe
// protocol polls RecvByte1 byte by byte) would then burn a whole processor.
// So once a transfer sees the line hung up it sleeps out the rest of its own
// limit and only then reports its timeout: the same result at the same
// latest time as a silent reader, without the spinning.
void waitOutHungLine(const struct timespec &deadline)
{
    sleepUntil(CLOCK_MONOTONIC, deadline);
}

// ---------------------------------------------------------------------------
// Waiting for the line
// ---------------------------------------------------------------------------

enum class Wait { Ready, TimedOut, Interrupted, Failed };

Wait waitFor(bool forWrite, const struct timespec &deadline)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(g_Fd, &set);
    struct timeval left = remaining(deadline);
    int r = forWrite ? select(g_Fd + 1, nullptr, &set, nullptr, &left)
                     : select(g_Fd + 1, &set, nullptr, nullptr, &left);
    if (r > 0)
        return FD_ISSET(g_Fd, &set) ? Wait::Ready : Wait::Interrupted;
    if (r == 0)
        return Wait::TimedOut;
    return errno == EINTR ? Wait::Interrupted : Wait::Failed;
}

// Waits within the budget until the line has something to read: a wake-up
// that does not mark the line readable just waits again. False once the
// budget is spent, or, when the wait itself keeps failing, after sleeping
// the budget out.
bool awaitReadable(const struct timespec &deadline)
{
    for (;;) {
        switch (waitFor(false, deadline)) {
        case Wait::Ready:
            return true;
        case Wait::Interrupted:
            continue;
        case Wait::TimedOut:
            return false;
        case Wait::Failed:
            waitOutHungLine(deadline);
            return false;
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
// Reply accumulation up to the ETX (RecvData, RecvDataEx)
// ---------------------------------------------------------------------------

struct EtxReply {
    char bytes[SD_RECV_MAX];
    int total = 0;
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

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

void traceSend(int nLen, const char *pData)
{
    WriteLog(SD_TRACE_SEND);
    WriteLog_Byte(pData, nLen);
}

} // namespace

// ---------------------------------------------------------------------------
// Serial line
// ---------------------------------------------------------------------------

int TermOpen(const char *szDevice, long nBaud)
{
    if (szDevice == nullptr) {
        g_Fd = 0;
        return SD_ERR_PORT;
    }
    // O_NOCTTY: a host program that is a session leader (a system service)
    // must not take the reader's tty as its controlling terminal, or pulling
    // the adapter out would kill it with SIGHUP.
    int fd = open(szDevice, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        g_Fd = 0;
        return SD_ERR_PORT;
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
    if (ioctl(fd, TCSETAF, &g_term) != 0)
        return SD_ERR_PORT; // stays recorded: CloseCOM restores and closes it
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
    if (g_Fd == 0)
        return SD_OK;
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
    char path[kDevicePathMax];
    size_t nameLen = szPort != nullptr ? strnlen(szPort, sizeof path) : sizeof path;
    if (nameLen + sizeof kDevicePrefix > sizeof path) {
        isPortOpened = 0;
        return SD_ERR_PORT; // nothing opened
    }
    memcpy(path, kDevicePrefix, sizeof kDevicePrefix - 1);
    memcpy(path + sizeof kDevicePrefix - 1, szPort, nameLen + 1);
    if (TermOpen(path, nBaud) < 0) {
        isPortOpened = 0;
        return SD_ERR_PORT;
    }
    isPortOpened = 1;
    return SD_OK;
}

int CloseCOM(void)
{
    isPortOpened = 0;
    return TermClose();
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

int SendCom(const char *szText)
{
    if (isPortOpened != 1)
        return 0;
    size_t len = szText != nullptr ? strlen(szText) : 0;
    return static_cast<int>(write(g_Fd, szText != nullptr ? szText : "", len));
}

int SendData(int nLen, const char *pData)
{
    if (isPortOpened != 1)
        return SD_ERR_PORT;
    traceSend(nLen, pData);
    if (nLen < 0 || (pData == nullptr && nLen > 0))
        return SD_ERR_WRITE;
    ssize_t n = write(g_Fd, nLen > 0 ? pData : "", static_cast<size_t>(nLen));
    return n == nLen ? SD_OK : SD_ERR_WRITE;
}

int Sendstr(const char *szText)
{
    const char *text = szText != nullptr ? szText : "";
    return SendData(static_cast<int>(strlen(text)), text);
}

int SendDataEx(int nLen, const char *pData)
{
    if (isPortOpened != 1)
        return SD_ERR_PORT;
    traceSend(nLen, pData);
    if (nLen < 0 || (pData == nullptr && nLen > 0))
        return SD_ERR_WRITE;

    // One budget for the whole command, however many writes it takes.
    const struct timespec deadline = deadlineAfter(kSendBudgetSeconds);
    int sent = 0;
    while (sent < nLen) {
        Wait w = waitFor(true, deadline);
        if (w == Wait::TimedOut) {
            dropQueuedOutput();
            break;
        }
        if (w == Wait::Failed) {
            waitOutHungLine(deadline);
            dropQueuedOutput();
            break;
        }
        ssize_t n = write(g_Fd, pData + sent, static_cast<size_t>(nLen - sent));
        Io io = classify(n);
        if (io == Io::Moved) {
            sent += static_cast<int>(n);
        } else if (io == Io::HungUp) {
            // Every further write would fail the same way at once.
            waitOutHungLine(deadline);
            dropQueuedOutput();
            break;
        }
    }
    return sent == nLen ? SD_OK : SD_ERR_WRITE;
}

// ---------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------

int RecvByte(unsigned char *pByte, int nTimeout)
{
    const struct timespec deadline = deadlineAfter(nTimeout);
    Wait w = waitFor(false, deadline);
    if (w == Wait::TimedOut) {
        dropQueuedOutput();
        return SD_ERR_TIMEOUT;
    }
    if (w == Wait::Failed) {
        waitOutHungLine(deadline);
        return SD_ERR_TIMEOUT;
    }
    // Woken (or interrupted): one read, whatever it brings.
    unsigned char byte = 0;
    ssize_t n = read(g_Fd, &byte, 1);
    Io io = classify(n);
    if (io == Io::Moved) {
        if (pByte != nullptr)
            *pByte = byte;
        return SD_OK;
    }
    if (io == Io::HungUp)
        waitOutHungLine(deadline);
    return SD_ERR_TIMEOUT;
}

int RecvByte1(unsigned char *pByte)
{
    return RecvByte(pByte, kRecvByte1Seconds);
}

int RecvData(char *pBuf, int *pnLen, int nTimeout)
{
    if (pBuf == nullptr || pnLen == nullptr)
        return SD_ERR_TIMEOUT;
    // Polls by the wall clock in whole seconds: a limit of N seconds ends
    // once more than N seconds have passed, so after N to N + 1 seconds.
    const time_t start = time(nullptr);
    EtxReply reply;
    for (;;) {
        if (time(nullptr) - start > nTimeout)
            return SD_ERR_TIMEOUT;
        Io io = Io::Nothing;
        Take t = takeChunk(reply, io);
        if (t == Take::Complete)
            return handOver(reply, pBuf, pnLen);
        if (t == Take::Overflow)
            return SD_ERR_TIMEOUT;
        if (io == Io::HungUp) {
            // Sleep to the very second at which the poll would give up.
            struct timespec end = {start + nTimeout + 1, 0};
            sleepUntil(CLOCK_REALTIME, end);
            return SD_ERR_TIMEOUT;
        }
    }
}

int RecvDataEx(char *pBuf, int *pnLen, int nTimeout)
{
    if (pnLen != nullptr)
        *pnLen = 0;
    if (pBuf == nullptr || pnLen == nullptr)
        return SD_ERR_TIMEOUT;
    const struct timespec deadline = deadlineAfter(nTimeout);
    EtxReply reply;
    for (;;) {
        if (!awaitReadable(deadline))
            return SD_ERR_TIMEOUT;
        Io io = Io::Nothing;
        Take t = takeChunk(reply, io);
        if (t == Take::Complete)
            return handOver(reply, pBuf, pnLen);
        if (t == Take::Overflow)
            return SD_ERR_TIMEOUT;
        if (io == Io::HungUp) {
            waitOutHungLine(deadline);
            return SD_ERR_TIMEOUT;
        }
    }
}

int RecvDataEx2(char *pBuf, int nCount, int nTimeout)
{
    if (pBuf == nullptr || nCount < 0 || nCount > SD_RECV_EX2_MAX)
        return SD_ERR_TIMEOUT; // nothing read
    const struct timespec deadline = deadlineAfter(nTimeout);
    char chunk[SD_RECV_EX2_MAX];
    for (;;) {
        if (!awaitReadable(deadline))
            return SD_ERR_TIMEOUT;
        // The whole count must come in one read; a shorter piece is dropped.
        memset(chunk, 0, sizeof chunk);
        ssize_t n = read(g_Fd, chunk, static_cast<size_t>(nCount));
        if (n == nCount) {
            memcpy(pBuf, chunk, static_cast<size_t>(nCount));
            return SD_OK;
        }
        if (classify(n) == Io::HungUp) {
            waitOutHungLine(deadline);
            return SD_ERR_TIMEOUT;
        }
    }
}
