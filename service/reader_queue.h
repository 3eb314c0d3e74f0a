// The one reader, shared by every client: a FIFO of transactions run one at
// a time on a worker thread of its own, so that the library's blocking calls
// never hold up the network thread.
//
// A client's requests wait here until the reader is free; at most
// `capacity` wait at once. A client that goes away has its waiting requests
// dropped and its running one cut short through MS_Cancel, so that the next
// client is served at once.
#pragma once

#include "reader_ops.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace stripedrvd {

// Requests that may wait for the reader at once, from all clients together.
constexpr size_t kQueueCapacity = 16;

class ReaderQueue {
public:
    using SessionId = std::uint64_t;
    using Runner = std::function<Outcome(const Request &)>;

    struct Job {
        SessionId session = 0;
        Request request;
        // Both are called on the worker thread: onStart as the transaction
        // begins (the read then waits for the swipe), onDone with its end.
        std::function<void()> onStart;
        std::function<void(const Outcome &)> onDone;
        // Run instead of the runner when set (the service's own questions
        // to the reader, such as its version as it arrives).
        std::function<Outcome()> task;
    };

    // runner does the transaction (runOnReader in the service, a stand-in
    // in tests).
    ReaderQueue(Runner runner, size_t capacity);
    ~ReaderQueue();
    // Drops what waits, cuts the running transaction short and joins the
    // threads; later submits are refused. Called again, it does nothing.
    void shutdown();
    ReaderQueue(const ReaderQueue &) = delete;
    ReaderQueue &operator=(const ReaderQueue &) = delete;

    // False when `capacity` requests are waiting already.
    bool submit(Job job);

    // The session's waiting requests end with SD_ERR_CANCELLED (onDone is
    // called for each) and its running one is cut short. With `request` (an
    // id) only the session's request of that id is cut, waiting or running;
    // the others go on. Returns how many were cut.
    size_t cancel(SessionId session, const json &request = nullptr);
    // The session's waiting requests are dropped without a word and its
    // running one is cut short; for a client that has gone.
    void forget(SessionId session);

    // The reader has gone: the running transaction (whoever's) is cut
    // short and ends with SD_ERR_PORT and "no reader is attached".
    void readerLeft();

    size_t waiting() const;

private:
    struct Running {
        SessionId session = 0;
        json id;
        bool cancelRequested = false;
        bool readerLeft = false;
    };

    void work();
    void keepCancelling();
    // Marks the running transaction of the session (if any) as cancelled;
    // the canceller thread then calls MS_Cancel until it has ended.
    // With a non-null `request`, only the request of that id.
    bool cutRunning(SessionId session, const json &request, std::unique_lock<std::mutex> &lock);
    std::deque<Job> takeWaiting(SessionId session, const json &request = nullptr);

    Runner runner_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable jobReady_;
    std::condition_variable cancelWanted_;
    std::deque<Job> waiting_;
    std::optional<Running> running_;
    bool stopping_ = false;
    std::thread worker_;
    std::thread canceller_;
};

} // namespace stripedrvd
