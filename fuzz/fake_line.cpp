// The wrappers behind fake_line.h. The fuzz targets are linked with
// -Wl,--wrap=<name> for each call below, so the driver's calls land in
// __wrap_<name> and __real_<name> is the C library's.
#include "fake_line.h"

#include "reqjson.h"
#include "stripedrv.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <termio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __real_write(int fd, const void *buf, size_t n);
int __real_poll(struct pollfd *fds, nfds_t n, int timeoutMs);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_tcflush(int fd, int queue);
int __real_clock_gettime(clockid_t clock, struct timespec *ts);
FILE *__real_fopen(const char *path, const char *mode);
void *__real_dlopen(const char *path, int flags);
void *__real_dlsym(void *handle, const char *name);
}

namespace fakeline {
namespace {

// Every call on the line costs this much fake time, so that even a loop
// that never waits comes to its time limit after a bounded number of calls.
constexpr long long kCallCostNs = 1000000; // 1 ms
// The fake clock starts at a fixed, ordinary moment (November 2026).
constexpr long long kEpochNs = 1795000000LL * 1000000000LL;

struct State {
    bool active = false;
    Script script;
    size_t pos = 0;
    int fd = -1;
    long long nowNs = kEpochNs;
    size_t written = 0;
};

// Constant-initialised: the sanitizer runtimes call the wrapped functions
// long before any constructor has run.
State g;
char g_libraryToken;

bool isLine(int fd) { return g.active && g.fd >= 0 && fd == g.fd; }
void tick() { g.nowNs += kCallCostNs; }
bool inputLeft() { return g.pos < g.script.size; }

struct timespec fromNs(long long ns)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return ts;
}

bool endsWith(const char *text, const char *tail)
{
    size_t n = strlen(text), m = strlen(tail);
    return n >= m && strcmp(text + n - m, tail) == 0;
}

bool isFakeDevice(const char *path)
{
    static const char prefix[] = "/dev/";
    return strncmp(path, prefix, sizeof prefix - 1) == 0 &&
           strcmp(path + sizeof prefix - 1, kPortName) == 0;
}

} // namespace

void begin(const Script &script)
{
    g.script = script;
    g.pos = 0;
    g.fd = -1;
    g.nowNs = kEpochNs;
    g.written = 0;
    g.active = true;
}

void end()
{
    if (g.fd >= 0)
        __real_close(g.fd);
    g.fd = -1;
    g.active = false;
}

bool lineOpen() { return g.fd >= 0; }
size_t bytesWritten() { return g.written; }

} // namespace fakeline

using fakeline::g;

extern "C" {

int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (g.active && path != nullptr) {
        if (fakeline::isFakeDevice(path)) {
            // A real descriptor, so that FD_SET, close and the leak check
            // behave as with a tty; only what goes through it is faked.
            int fd = __real_open("/dev/null", O_RDWR);
            if (fd >= 0) {
                if (g.fd >= 0)
                    __real_close(g.fd); // reopened without a close: a leak
                g.fd = fd;
            }
            return fd;
        }
        if (strcmp(path, SD_TRACE_FILE) == 0) // the trace goes nowhere
            return __real_open("/dev/null", O_RDWR | O_APPEND | O_CLOEXEC);
    }
    return __real_open(path, flags, mode);
}

int __wrap_close(int fd)
{
    if (fakeline::isLine(fd))
        g.fd = -1;
    return __real_close(fd);
}

ssize_t __wrap_read(int fd, void *buf, size_t n)
{
    if (!fakeline::isLine(fd))
        return __real_read(fd, buf, n);
    fakeline::tick();
    if (!fakeline::inputLeft()) {
        if (g.script.hangUpAtEnd)
            return 0; // end of file: the reader has gone
        errno = EAGAIN;
        return -1;
    }
    size_t left = g.script.size - g.pos;
    size_t k = n < left ? n : left;
    memcpy(buf, g.script.bytes + g.pos, k);
    g.pos += k;
    return static_cast<ssize_t>(k);
}

ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    if (!fakeline::isLine(fd))
        return __real_write(fd, buf, n);
    fakeline::tick();
    g.written += n;
    return static_cast<ssize_t>(n);
}

// The driver polls its line beside the wake-up descriptor of MS_Cancel, and
// sleeps by polling that descriptor alone; no cancel ever comes here.
int __wrap_poll(struct pollfd *fds, nfds_t n, int timeoutMs)
{
    if (!g.active)
        return __real_poll(fds, n, timeoutMs);
    struct pollfd *line = nullptr;
    for (nfds_t i = 0; i < n; ++i) {
        fds[i].revents = 0;
        if (g.fd >= 0 && fds[i].fd == g.fd)
            line = &fds[i];
    }
    fakeline::tick();
    // The line always takes data; it has data while the input lasts, and a
    // hung-up line reports itself readable for ever.
    if (line != nullptr) {
        bool ready = (line->events & POLLOUT) != 0 || fakeline::inputLeft() ||
                     g.script.hangUpAtEnd;
        if (ready) {
            line->revents = (line->events & POLLOUT) ? POLLOUT
                            : fakeline::inputLeft()  ? POLLIN
                                                     : POLLHUP;
            return 1;
        }
    }
    // Silence, or a sleep: the whole wait passes at once.
    if (timeoutMs > 0)
        g.nowNs += static_cast<long long>(timeoutMs) * 1000000LL;
    return 0;
}

int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (!fakeline::isLine(fd))
        return __real_ioctl(fd, request, arg);
    if (request == TCGETA && arg != nullptr)
        memset(arg, 0, sizeof(struct termio));
    return 0;
}

int __wrap_tcflush(int fd, int queue)
{
    if (fakeline::isLine(fd))
        return 0;
    return __real_tcflush(fd, queue);
}

// The driver's one clock: its monotonic limits and the trace's stamp.
int __wrap_clock_gettime(clockid_t clock, struct timespec *ts)
{
    if (!g.active || (clock != CLOCK_MONOTONIC && clock != CLOCK_REALTIME) || ts == nullptr)
        return __real_clock_gettime(clock, ts);
    *ts = fakeline::fromNs(g.nowNs);
    return 0;
}

FILE *__wrap_fopen(const char *path, const char *mode)
{
    if (!g.active || path == nullptr || strcmp(path, SD_CONFIG_FILE) != 0)
        return __real_fopen(path, mode);
    if (g.script.config == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    if (g.script.configSize == 0)
        return __real_fopen("/dev/null", "r");
    return fmemopen(const_cast<uint8_t *>(g.script.config), g.script.configSize, "r");
}

void *__wrap_dlopen(const char *path, int flags)
{
    if (!g.active || path == nullptr || !fakeline::endsWith(path, SD_REQLIB_PATH))
        return __real_dlopen(path, flags);
    return g.script.requestLibrary ? &fakeline::g_libraryToken : nullptr;
}

void *__wrap_dlsym(void *handle, const char *name)
{
    if (handle != &fakeline::g_libraryToken)
        return __real_dlsym(handle, name);
    if (g.script.requestFunction && name != nullptr && strcmp(name, "ReqFieldGet") == 0)
        return reinterpret_cast<void *>(&ReqFieldGet);
    return nullptr;
}

} // extern "C"
