#include "presence.h"

#include "log.h"
#include "messages.h"
#include "stripedrv.h"
#include "tty_node.h"

#include <boost/asio/post.hpp>

#include <algorithm>

#include <unistd.h>

namespace stripedrvd {

namespace net = boost::asio;

namespace {

constexpr const char *kAuto = "auto";

Outcome absentOutcome()
{
    Outcome outcome;
    outcome.code = SD_ERR_PORT;
    outcome.error = sdmsg::absentReaderMessage();
    return outcome;
}

json absentEvent()
{
    return {{"event", "reader"}, {"present", false}};
}

// Why this candidate was taken, for the log.
std::string choiceReason(const std::vector<Candidate> &found, const UsbId &id)
{
    const Candidate &first = found.front();
    std::string why = "USB ID " + id.text();
    if (found.size() > 1)
        why += ", the first of " + std::to_string(found.size()) + " such adapters by " +
               (first.stableLink.empty() ? "its kernel name" : "its stable name " + first.stableLink);
    else if (!first.stableLink.empty())
        why += ", " + first.stableLink;
    return why;
}

} // namespace

Presence::Presence(net::io_context &io, PresenceSettings settings, ReaderQueue &queue,
                   Metrics &metrics)
    : io_(io), settings_(std::move(settings)), queue_(queue), metrics_(metrics), events_(io),
      gapTimer_(io), announced_(absentEvent())
{
    metrics_.readerPresent(false);
}

Presence::~Presence()
{
    boost::system::error_code ignored;
    events_.cancel(ignored);
    // The descriptor is udev's monitor's: udev closes it.
    if (events_.is_open())
        events_.release();
    gapTimer_.cancel();
}

bool Presence::fixedName() const
{
    return settings_.reader != kAuto;
}

void Presence::start()
{
    std::string problem;
    if (udev_.startMonitor(problem)) {
        events_.assign(udev_.monitorFd());
        monitoring_ = true;
        waitForEvents();
    } else {
        logWarning("no udev monitor (" + problem + "): " +
                   (fixedName() ? "the reader's node " : "the reader ") +
                   "is looked for again by each request while none is attached");
    }
    look("at start");
    if (!present_)
        logWarning(fixedName() ? "no reader at /dev/" + settings_.reader + " yet"
                               : "no reader with USB ID " + settings_.match.text() + " yet");
}

void Presence::waitForEvents()
{
    events_.async_wait(net::posix::stream_descriptor::wait_read,
                       [this](boost::system::error_code ec) {
                           if (ec)
                               return;
                           // Everything queued is taken at once: a reader
                           // that flaps is looked at once per wake-up.
                           Udev::Events events = udev_.drainEvents();
                           if (events.any)
                               look("udev event", events.removed);
                           waitForEvents();
                       });
}

bool Presence::nodeExists(const std::string &name) const
{
    // Only a node that can be the reader's line: --reader null is no reader.
    return readerTty("/dev/" + name);
}

void Presence::look(const char *why, const std::vector<std::string> &removed)
{
    if (fixedName()) {
        const bool exists = nodeExists(settings_.reader);
        if (exists && !present_)
            arrive(settings_.reader, std::string("its node is there, ") + why);
        else if (!exists && present_)
            leave("its node is gone");
        return;
    }
    std::vector<Candidate> found = udev_.readers(settings_.match);
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&](const Candidate &c) {
                                   return std::find(removed.begin(), removed.end(), c.name) !=
                                          removed.end();
                               }),
                found.end());
    if (present_) {
        for (const Candidate &candidate : found)
            if (candidate.name == port_)
                return; // still there; another adapter does not take its place
        leave("its adapter is gone");
    }
    if (!found.empty())
        arrive(found.front().name, choiceReason(found, settings_.match));
}

bool Presence::admit()
{
    if (!present_ && (fixedName() || !monitoring_))
        look("on a request");
    return present_;
}

void Presence::arrive(const std::string &name, const std::string &why)
{
    present_ = true;
    port_ = name;
    firmware_.clear();
    ++generation_;
    setLine(settings_.testLine.empty() ? name : settings_.testLine);
    metrics_.readerArrived();
    metrics_.readerPresent(true);
    logNotice("reader attached: " + name + " (" + why + ")");
    askFirmware();
}

void Presence::leave(const char *why)
{
    const std::string was = port_;
    present_ = false;
    port_.clear();
    firmware_.clear();
    firmwarePending_ = false;
    ++generation_;
    setLine("");
    // What runs on the reader now can only fail: cut it short.
    queue_.readerLeft();
    metrics_.readerLeft();
    metrics_.readerPresent(false);
    logNotice("reader gone: " + was + " (" + why + ")");
    announce();
}

// The arriving reader is asked for its version once, in the queue like any
// transaction so that it never overlaps another, and holding the line no
// longer than that one call.
void Presence::askFirmware()
{
    firmwarePending_ = true;
    ReaderQueue::Job job;
    job.request.op = Op::Info;
    job.task = [line = ReaderLine{line(), settings_.baud}] { return firmwareVersion(line); };
    job.onDone = [this, generation = generation_](const Outcome &outcome) {
        net::post(io_, [this, generation, outcome] {
            if (generation != generation_)
                return; // the reader went (or another came) meanwhile
            firmwarePending_ = false;
            if (outcome.code == SD_OK) {
                firmware_ = outcome.info.value("firmware", "");
                logInfo("reader " + port_ + ": firmware " + firmware_);
            } else {
                logWarning("reader " + port_ + " does not tell its firmware version: " +
                           (outcome.error.empty() ? codeText(outcome.code) : outcome.error));
            }
            announce();
        });
    };
    if (!queue_.submit(std::move(job))) {
        firmwarePending_ = false;
        announce();
    }
}

json Presence::currentEvent() const
{
    if (!present_)
        return absentEvent();
    return {{"event", "reader"}, {"present", true}, {"port", port_}, {"firmware", firmware_}};
}

void Presence::announce()
{
    if (present_ && firmwarePending_)
        return; // the arrival is told with the firmware
    json now = currentEvent();
    if (now["present"] == announced_["present"] && now.value("port", "") == announced_.value("port", ""))
        return;
    const auto since = std::chrono::steady_clock::now() - lastAnnounced_;
    if (since < settings_.minGap) {
        if (!gapPending_) {
            gapPending_ = true;
            gapTimer_.expires_at(lastAnnounced_ + settings_.minGap);
            gapTimer_.async_wait([this](boost::system::error_code ec) {
                gapPending_ = false;
                if (!ec)
                    announce();
            });
        }
        return;
    }
    announced_ = now;
    lastAnnounced_ = std::chrono::steady_clock::now();
    // Those gone are forgotten; the rest are told from a copy, as one may
    // go while being told.
    forgetGone();
    const auto watchers = watchers_;
    for (const auto &watcher : watchers)
        if (!watcher.first.expired())
            watcher.second(announced_);
}

json Presence::event() const
{
    return announced_;
}

void Presence::watch(std::weak_ptr<void> owner, Watcher watcher)
{
    // Those gone go now, not at the reader's next change: a page that
    // reconnects every minute would leave one behind each time (and its
    // session's memory, held by the weak pointers).
    forgetGone();
    watchers_.emplace_back(std::move(owner), std::move(watcher));
}

void Presence::forgetGone()
{
    watchers_.erase(std::remove_if(watchers_.begin(), watchers_.end(),
                                   [](const auto &w) { return w.first.expired(); }),
                    watchers_.end());
}

size_t Presence::watchers() const
{
    return static_cast<size_t>(std::count_if(watchers_.begin(), watchers_.end(),
                                             [](const auto &w) { return !w.first.expired(); }));
}

void Presence::setLine(const std::string &line)
{
    std::lock_guard<std::mutex> lock(lineMutex_);
    line_ = line;
}

std::string Presence::line() const
{
    std::lock_guard<std::mutex> lock(lineMutex_);
    return line_;
}

void Presence::nodeGone(const std::string &line)
{
    if (present_ && this->line() == line)
        leave("its node vanished under a request");
}

Outcome Presence::run(const Request &request)
{
    const std::string current = line();
    if (current.empty())
        return absentOutcome();
    Outcome outcome = runOnReader(ReaderLine{current, settings_.baud}, request);
    if (outcome.code != SD_OK && !nodeExists(current)) {
        // Gone without a udev event (a pseudo-terminal does that): this
        // request is the one that finds out, by a port that cannot be
        // opened or by a line that hung up under it.
        net::post(io_, [this, current] { nodeGone(current); });
        return absentOutcome();
    }
    return outcome;
}

} // namespace stripedrvd
