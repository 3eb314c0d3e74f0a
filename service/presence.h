// Whether the reader is attached, and where: the service's one answer to a
// reader that comes and goes.
//
// With "--reader auto" the reader's adapter is found through udev by its
// USB ID; with a fixed name that node is watched. udev's monitor is waited
// on by the service's Asio loop (no timer, no thread of its own). A node
// that vanishes without an event (a pseudo-terminal) is found missing by
// the request that tries it. While no reader is there, requests are
// answered at once; when it leaves, the transaction under way is cut short;
// every client hears of each change once, and an arriving reader, under
// whatever name, is used at once.
//
// Everything but line() and run() belongs to the network thread.
#pragma once

#include "discovery.h"
#include "metrics.h"
#include "reader_ops.h"
#include "reader_queue.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>
#include <mutex>
#include <string>

namespace stripedrvd {

struct PresenceSettings {
    std::string reader = "auto";   // "auto", or a tty below /dev/
    UsbId match;                   // the adapter "auto" looks for
    int baud = 9600;
    // Test-only: the line opened for whatever reader is found, for a test
    // whose emulated device node cannot carry the reader's bytes. Empty in
    // the service.
    std::string testLine;
    // Clients hear of changes no closer together than this; a reader that
    // flaps faster is reported in its state at the end of the gap.
    std::chrono::milliseconds minGap{250};
};

class Presence {
public:
    using Watcher = std::function<void(const json &)>;

    Presence(boost::asio::io_context &io, PresenceSettings settings, ReaderQueue &queue,
             Metrics &metrics);
    ~Presence();
    Presence(const Presence &) = delete;
    Presence &operator=(const Presence &) = delete;

    // Looks for the reader and starts following udev's events.
    void start();

    // True when a reader is there to take a request. A fixed name, or any
    // reader without udev's monitor, is looked for again on the spot.
    bool admit();
    bool present() const { return present_; }
    const std::string &port() const { return port_; }
    const std::string &firmware() const { return firmware_; }
    // {"event":"reader","present":...} as clients are told.
    json event() const;

    // Every change reaches the watcher once, from the network thread, for
    // as long as its owner (a client's session) lives.
    void watch(std::weak_ptr<void> owner, Watcher watcher);
    // The watchers whose owners live: the connected clients.
    size_t watchers() const;
    // Entries kept, of owners alive or gone (bounded by the clients there
    // are, not by all there were).
    size_t watchEntries() const { return watchers_.size(); }

    // Any thread: the line below /dev/ to open, "" while none is there.
    std::string line() const;
    // The reader's worker thread: one transaction on the current line. A
    // request that finds no reader, or finds its node gone, ends with -3
    // and "no reader is attached".
    Outcome run(const Request &request);

private:
    bool fixedName() const;
    void waitForEvents();
    // removed: ttys udev has just said are gone, whatever sysfs still shows.
    void look(const char *why, const std::vector<std::string> &removed = {});
    bool nodeExists(const std::string &name) const;
    void arrive(const std::string &name, const std::string &why);
    void leave(const char *why);
    void askFirmware();
    void announce();
    void forgetGone();
    json currentEvent() const;
    void nodeGone(const std::string &name);
    void setLine(const std::string &line);

    boost::asio::io_context &io_;
    const PresenceSettings settings_;
    ReaderQueue &queue_;
    Metrics &metrics_;
    Udev udev_;
    boost::asio::posix::stream_descriptor events_;
    boost::asio::steady_timer gapTimer_;
    bool monitoring_ = false;

    bool present_ = false;
    std::string port_;
    std::string firmware_;
    std::uint64_t generation_ = 0;   // moves at every arrival and departure
    bool firmwarePending_ = false;   // an arrival waits for its version
    json announced_;                 // what clients were told last
    bool gapPending_ = false;
    std::chrono::steady_clock::time_point lastAnnounced_{};

    std::vector<std::pair<std::weak_ptr<void>, Watcher>> watchers_;

    mutable std::mutex lineMutex_;
    std::string line_;
};

} // namespace stripedrvd
