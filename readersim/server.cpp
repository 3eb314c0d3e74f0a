#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace readersim {

namespace {

// A host that stops in the middle of a command (ESC and nothing more) has
// its bytes settled after this much quiet, so the next command is not taken
// for the rest of the old one.
constexpr auto kPartialQuiet = std::chrono::milliseconds(1000);
// How long a hang-up waits for the host to read the bytes sent before it.
constexpr auto kHangupGrace = std::chrono::milliseconds(500);
constexpr auto kHangupSettle = std::chrono::milliseconds(30);

std::runtime_error systemError(const std::string &what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void setFlags(int fd, int statusFlags)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl | statusFlags);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

long speedOf(speed_t code)
{
    switch (code) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 9600;
    }
}

} // namespace

Server::Server(Protocol &protocol, ServerOptions options)
    : protocol_(protocol), options_(std::move(options))
{
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw systemError("pipe");
    try {
        openTerminal();
        makeLink();
    } catch (...) {
        closeTerminal();
        close(wake_[0]);
        close(wake_[1]);
        throw;
    }
}

Server::~Server()
{
    removeLink();
    closeTerminal();
    close(wake_[0]);
    close(wake_[1]);
}

void Server::openTerminal()
{
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw systemError("openpty");
    setFlags(master_, O_NONBLOCK);
    setFlags(slave_, 0);
    // Raw 8-bit at 9600, the line a host finds and restores.
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(slave_, TCSANOW, &t);
    }
    std::string port = name;
    if (port.rfind("/dev/", 0) == 0)
        port = port.substr(5);
    std::lock_guard<std::mutex> lock(nameMutex_);
    portName_ = port;
}

std::string Server::portName() const
{
    std::lock_guard<std::mutex> lock(nameMutex_);
    return portName_;
}

void Server::closeTerminal()
{
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
    slave_ = master_ = -1;
}

void Server::makeLink()
{
    if (options_.linkPath.empty())
        return;
    struct stat st {};
    if (lstat(options_.linkPath.c_str(), &st) == 0) {
        // A link left behind by an earlier run that did not end cleanly is
        // replaced; anything else at that path is the user's and stays.
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error(options_.linkPath + " exists and is not a symbolic link");
        unlink(options_.linkPath.c_str());
    }
    if (symlink(slavePath().c_str(), options_.linkPath.c_str()) != 0)
        throw systemError("symlink " + options_.linkPath);
    linked_ = true;
}

void Server::removeLink()
{
    if (!linked_)
        return;
    char target[256] = {};
    ssize_t n = readlink(options_.linkPath.c_str(), target, sizeof target - 1);
    // Only our own link goes: another program may have replaced it.
    if (n > 0 && slavePath() == std::string(target, static_cast<size_t>(n)))
        unlink(options_.linkPath.c_str());
    linked_ = false;
}

void Server::say(const std::string &line) const
{
    if (options_.log)
        options_.log(line);
    else
        std::fprintf(stderr, "readersim: %s\n", line.c_str());
}

long Server::lineSpeed() const
{
    termios t{};
    if (slave_ < 0 || tcgetattr(slave_, &t) != 0)
        return 9600;
    return speedOf(cfgetospeed(&t));
}

Server::Clock::duration Server::byteTime() const
{
    if (!options_.pacing)
        return Clock::duration::zero();
    // One start bit, eight data bits, one stop bit.
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::microseconds(10'000'000 / lineSpeed()));
}

void Server::stop()
{
    int saved = errno;
    ssize_t ignored = write(wake_[1], "q", 1);
    (void)ignored;
    errno = saved;
}

void Server::swipe()
{
    int saved = errno;
    ssize_t ignored = write(wake_[1], "k", 1);
    (void)ignored;
    errno = saved;
}

void Server::run()
{
    while (!stopping_) {
        pollfd fds[3] = {};
        nfds_t count = 2;
        fds[0] = {wake_[0], POLLIN, 0};
        short masterEvents = POLLIN;
        if (writeBlocked_)
            masterEvents |= POLLOUT;
        fds[1] = {master_, masterEvents, 0};
        bool watchKey = options_.swipeOnKey && keyOpen_ && options_.keyFd >= 0;
        if (watchKey)
            fds[count++] = {options_.keyFd, POLLIN, 0};

        timespec ts{};
        timespec *timeout = nullptr;
        Clock::time_point until = nextDeadline();
        if (until != Clock::time_point::max()) {
            auto left = std::max(Clock::duration::zero(), until - Clock::now());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            timeout = &ts;
        }
        int r = ppoll(fds, count, timeout, nullptr);
        if (r < 0 && errno != EINTR)
            throw systemError("poll");
        if (r > 0) {
            if (fds[0].revents)
                onWake();
            if (watchKey && fds[2].revents)
                onKey();
            if (fds[1].revents & POLLOUT)
                writeBlocked_ = false;
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
                onHostBytes();
        }
        auto now = Clock::now();
        if (protocol_.hasPartial() && now - lastHostByte_ >= kPartialQuiet)
            handle(protocol_.flush());
        if (swipePending_ && !(options_.swipeOnKey && keyOpen_) && now >= swipeAt_)
            swipeNow();
        sendDue();
    }
}

// The next moment something is due: a byte, a swipe, the end of a partial
// command; max() when nothing is.
Server::Clock::time_point Server::nextDeadline() const
{
    Clock::time_point until = Clock::time_point::max();
    if (!out_.empty() && !writeBlocked_)
        until = std::min(until, nextByteAt_);
    if (swipePending_ && !(options_.swipeOnKey && keyOpen_))
        until = std::min(until, swipeAt_);
    if (protocol_.hasPartial())
        until = std::min(until, lastHostByte_ + kPartialQuiet);
    return until;
}

void Server::onWake()
{
    char buf[64];
    ssize_t n;
    while ((n = read(wake_[0], buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == 'q')
                stopping_ = true;
            else if (buf[i] == 'k')
                swipeNow();
        }
    }
}

void Server::onKey()
{
    char buf[256];
    ssize_t n = read(options_.keyFd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        keyOpen_ = false;
        say("the key input has ended; cards are swiped by the delay alone");
        return;
    }
    for (ssize_t i = 0; i < n; ++i)
        if (buf[i] == '\n')
            swipeNow();
}

void Server::swipeNow()
{
    if (!swipePending_) {
        if (options_.swipeOnKey && !options_.quiet)
            say("no read is waiting for a card");
        return;
    }
    setSwipePending(false);
    if (!options_.quiet)
        say("card swiped");
    // The reader decodes the stripe before it answers: it has begun, and
    // a reset no longer stops it, some time before its first byte.
    queueReply(swipeReply_, std::chrono::milliseconds(options_.answerDelayMs));
}

void Server::notePause(Clock::time_point now)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - lastByteAt_).count();
    if (us > 0 && static_cast<unsigned long>(us) > longestPauseUs_.load())
        longestPauseUs_ = static_cast<unsigned long>(us);
}

void Server::setSwipePending(bool pending)
{
    swipePending_ = pending;
    readWaiting_ = pending;
}

void Server::onHostBytes()
{
    char buf[512];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            // Only when the slave is closed everywhere; ours stays open, so
            // this is a passing state. Do not spin on it.
            usleep(10'000);
        }
        return;
    }
    if (n == 0)
        return;
    std::string bytes(buf, static_cast<size_t>(n));
    lastHostByte_ = Clock::now();
    if (options_.hex)
        say("<- " + hex(bytes));
    std::vector<Event> events = protocol_.feed(bytes);
    warnOnSpeed(events);
    handle(events);
}

// After ESC "%I1" a real reader no longer understands a host at the old
// speed; on a pseudo-terminal the bytes still arrive, so say it. Only
// commands with a reply are judged: the host waits for those on an
// unchanged line, while after the others it may already have closed it and
// restored another speed.
void Server::warnOnSpeed(const std::vector<Event> &events) const
{
    long expected = protocol_.expectedBaud();
    bool answered = std::any_of(events.begin(), events.end(),
                                [](const Event &e) { return e.reply.has_value(); });
    if (expected != 0 && answered && lineSpeed() != expected)
        say("the host talks at " + std::to_string(lineSpeed()) + " baud, the reader expects "
            + std::to_string(expected));
}

void Server::handle(const std::vector<Event> &events)
{
    for (const Event &e : events) {
        if (!options_.quiet)
            say(e.what);
        if (e.cancelsSwipe && swipePending_) {
            setSwipePending(false);
            if (!options_.quiet)
                say("the read waiting for a card is cancelled");
        }
        if (!e.reply)
            continue;
        if (e.reply->when == Reply::When::Now) {
            queueReply(e.reply->bytes);
            continue;
        }
        // A new read replaces one that still waits.
        setSwipePending(true);
        swipeReply_ = e.reply->bytes;
        swipeAt_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options_.swipeDelay));
        bool byKey = options_.swipeOnKey && keyOpen_;
        if (!byKey && options_.swipeDelay <= 0) {
            swipeNow();
        } else if (!options_.quiet) {
            char when[64];
            std::snprintf(when, sizeof when, "in %.1f s", options_.swipeDelay);
            say(std::string("waiting for the card: swipe ") + (byKey ? "with Enter" : when));
        }
    }
}

void Server::queueReply(const std::string &bytes, Clock::duration delay)
{
    if (options_.hex)
        say("-> " + hex(bytes));
    if (out_.empty()) {
        sent_ = 0;
        nextByteAt_ = std::max(nextByteAt_, Clock::now() + delay + byteTime());
    }
    out_.push_back(bytes);
}

// Sends what is due: everything at once without pacing, else one byte per
// byte time (and gap). Bytes fall behind their times only when the loop is
// late; they then go out back to back, as a real line would send them.
void Server::sendDue()
{
    const bool paced = options_.pacing || options_.byteGapMs > 0 || options_.answerDelayMs > 0;
    const auto gap = std::chrono::milliseconds(options_.byteGapMs);
    while (!out_.empty() && !writeBlocked_) {
        auto now = Clock::now();
        if (paced && nextByteAt_ > now)
            return;
        const std::string &reply = out_.front();
        if (options_.hangupAfter >= 0 && sent_ >= static_cast<size_t>(options_.hangupAfter)) {
            // Closing the master drops what the host has not read yet; on a
            // real line those bytes were already across. Give the host a
            // moment to take them.
            if (hangupWaitStart_ == Clock::time_point{})
                hangupWaitStart_ = now;
            // The count shows bytes only once the terminal has moved them
            // across, which takes a moment after the write.
            int unread = 0;
            bool settling = now < hangupWaitStart_ + kHangupSettle;
            bool waiting = ioctl(slave_, FIONREAD, &unread) == 0 && unread > 0
                           && now < hangupWaitStart_ + kHangupGrace;
            if (settling || waiting) {
                nextByteAt_ = now + std::chrono::milliseconds(5);
                return;
            }
            hangupWaitStart_ = Clock::time_point{};
            hangUp();
            return;
        }
        size_t count = paced ? 1 : reply.size() - sent_;
        if (options_.hangupAfter >= 0)
            count = std::min(count, static_cast<size_t>(options_.hangupAfter) - sent_);
        if (count > 0) {
            ssize_t n = write(master_, reply.data() + sent_, count);
            if (n < 0) {
                if (errno == EAGAIN) {
                    writeBlocked_ = true;
                    return;
                }
                if (errno == EINTR)
                    continue;
                say(std::string("cannot send: ") + std::strerror(errno));
                out_.pop_front();
                sent_ = 0;
                continue;
            }
            // The thread may be held up between its clock reading and the
            // write, or after the write: from before the last write to
            // after this one bounds the silence the host saw, whichever it was.
            if (sent_ > 0)
                notePause(Clock::now());
            lastByteAt_ = now;
            sent_ += static_cast<size_t>(n);
            bytesSent_ += static_cast<unsigned long>(n);
            if (paced)
                nextByteAt_ += byteTime() + gap;
        }
        if (sent_ >= reply.size()) {
            out_.pop_front();
            sent_ = 0;
            ++repliesSent_;
        }
    }
}

// Drops the line in the middle of a reply, as a reader that loses power
// does: the master is closed, so the host's descriptor reads as hung up.
// The reader then comes back on a new pseudo-terminal (the link follows it).
void Server::hangUp()
{
    say("hanging up after " + std::to_string(sent_) + " bytes of the reply");
    out_.clear();
    sent_ = 0;
    setSwipePending(false);
    protocol_.flush();
    removeLink();
    closeTerminal();
    openTerminal();
    makeLink();
    say("serving again on " + portName()
        + (options_.linkPath.empty() ? std::string() : " (link " + options_.linkPath + ")"));
}

} // namespace readersim
