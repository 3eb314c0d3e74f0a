#include "reader_queue.h"

#include "messages.h"
#include "stripedrv.h"

#include <chrono>

namespace stripedrvd {

namespace {

// MS_Cancel only cuts a call that is already waiting on the line: a cancel
// that comes while the transaction is still starting up would be lost, so it
// is repeated at this pace until the transaction has ended.
constexpr auto kCancelRepeat = std::chrono::milliseconds(20);

} // namespace

ReaderQueue::ReaderQueue(Runner runner, size_t capacity)
    : runner_(std::move(runner)), capacity_(capacity)
{
    worker_ = std::thread([this] { work(); });
    canceller_ = std::thread([this] { keepCancelling(); });
}

ReaderQueue::~ReaderQueue()
{
    shutdown();
}

void ReaderQueue::shutdown()
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        waiting_.clear();
        if (running_)
            running_->cancelRequested = true;
    }
    jobReady_.notify_all();
    cancelWanted_.notify_all();
    if (worker_.joinable())
        worker_.join();
    if (canceller_.joinable())
        canceller_.join();
}

bool ReaderQueue::submit(Job job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() >= capacity_ || stopping_)
            return false;
        waiting_.push_back(std::move(job));
    }
    jobReady_.notify_one();
    return true;
}

size_t ReaderQueue::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size();
}

namespace {

bool matches(const json &id, const json &request)
{
    return request.is_null() || id == request;
}

} // namespace

std::deque<ReaderQueue::Job> ReaderQueue::takeWaiting(SessionId session, const json &request)
{
    std::deque<Job> taken;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->session == session && matches(it->request.id, request)) {
            taken.push_back(std::move(*it));
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

bool ReaderQueue::cutRunning(SessionId session, const json &request,
                             std::unique_lock<std::mutex> &)
{
    if (!running_ || running_->session != session || running_->cancelRequested ||
        !matches(running_->id, request))
        return false;
    running_->cancelRequested = true;
    cancelWanted_.notify_all();
    return true;
}

size_t ReaderQueue::cancel(SessionId session, const json &request)
{
    std::deque<Job> taken;
    bool cut;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        taken = takeWaiting(session, request);
        cut = cutRunning(session, request, lock);
    }
    Outcome cancelled;
    cancelled.code = SD_ERR_CANCELLED;
    for (Job &job : taken)
        if (job.onDone)
            job.onDone(cancelled);
    return taken.size() + (cut ? 1 : 0);
}

void ReaderQueue::forget(SessionId session)
{
    std::unique_lock<std::mutex> lock(mutex_);
    takeWaiting(session);
    cutRunning(session, nullptr, lock);
}

void ReaderQueue::readerLeft()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_)
        return;
    running_->readerLeft = true;
    running_->cancelRequested = true;
    cancelWanted_.notify_all();
}

void ReaderQueue::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            jobReady_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
            running_ = Running{job.session, job.request.id, false, false};
        }
        if (job.onStart)
            job.onStart();
        Outcome outcome = job.task ? job.task() : runner_(job.request);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (running_->readerLeft) {
                outcome = Outcome{};
                outcome.code = SD_ERR_PORT;
                outcome.error = sdmsg::absentReaderMessage();
            }
            running_.reset();
        }
        if (job.onDone)
            job.onDone(outcome);
    }
}

void ReaderQueue::keepCancelling()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (running_ && running_->cancelRequested) {
            // Under the lock: the worker cannot move on to the next
            // transaction meanwhile, so this cancel reaches only the one
            // it is meant for.
            MS_Cancel();
            cancelWanted_.wait_for(lock, kCancelRepeat);
            continue;
        }
        if (stopping_)
            return;
        cancelWanted_.wait(lock);
    }
}

} // namespace stripedrvd
