#include "metrics.h"

#include "messages.h"

#include <prometheus/text_serializer.h>

namespace stripedrvd {

namespace {

// From a card read at once (10 ms) to a write with its read-back waiting out
// the longest swipe time (60 s).
const prometheus::Histogram::BucketBoundaries kDurationBuckets = {
    0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 20, 30, 60};

const char *refusalName(Refusal reason)
{
    switch (reason) {
    case Refusal::Host: return "host";
    case Refusal::Origin: return "origin";
    case Refusal::User: return "user";
    case Refusal::UserUnknown: return "user_unknown";
    case Refusal::Limit: return "connection_limit";
    }
    return "?";
}

} // namespace

std::string codeLabel(int code)
{
    return sdmsg::isKnownCode(code) ? std::to_string(code) : "other";
}

Metrics::Metrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      transactions_(prometheus::BuildCounter()
                        .Name("stripedrvd_transactions_total")
                        .Help("Reader transactions by operation and result code")
                        .Register(*registry_)),
      duration_(prometheus::BuildHistogram()
                    .Name("stripedrvd_transaction_duration_seconds")
                    .Help("Time a transaction held the reader, from its start to its answer")
                    .Register(*registry_)
                    .Add({}, kDurationBuckets)),
      queue_(prometheus::BuildGauge()
                 .Name("stripedrvd_queue_depth")
                 .Help("Requests waiting for the reader")
                 .Register(*registry_)
                 .Add({})),
      clients_(prometheus::BuildGauge()
                   .Name("stripedrvd_clients")
                   .Help("Connected WebSocket clients")
                   .Register(*registry_)
                   .Add({})),
      refusals_(prometheus::BuildCounter()
                    .Name("stripedrvd_handshakes_refused_total")
                    .Help("WebSocket handshakes refused, by reason")
                    .Register(*registry_)),
      present_(prometheus::BuildGauge()
                   .Name("stripedrvd_reader_present")
                   .Help("1 while a reader is attached, else 0")
                   .Register(*registry_)
                   .Add({})),
      arrivals_(prometheus::BuildCounter()
                    .Name("stripedrvd_reader_arrivals_total")
                    .Help("Times a reader was found attached")
                    .Register(*registry_)
                    .Add({})),
      departures_(prometheus::BuildCounter()
                      .Name("stripedrvd_reader_departures_total")
                      .Help("Times the reader went away")
                      .Register(*registry_)
                      .Add({}))
{
    // Every reason shows from the start, at 0, so that rate() has a series.
    for (Refusal reason :
         {Refusal::Host, Refusal::Origin, Refusal::User, Refusal::UserUnknown, Refusal::Limit})
        refusals_.Add({{"reason", refusalName(reason)}});
    // When this process started: a fleet counts restarts (systemd's after a
    // crash or a stalled loop) as changes of it.
    prometheus::BuildGauge()
        .Name("stripedrvd_start_time_seconds")
        .Help("When the service started, in seconds since 1970")
        .Register(*registry_)
        .Add({})
        .Set(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                 .count());
}

prometheus::Counter &Metrics::transactionCounter(Op op, int code)
{
    // Family::Add hands back the existing series for labels it has seen.
    return transactions_.Add({{"op", opName(op)}, {"code", codeLabel(code)}});
}

void Metrics::transaction(Op op, int code, std::chrono::steady_clock::duration took)
{
    transactionCounter(op, code).Increment();
    duration_.Observe(std::chrono::duration<double>(took).count());
    std::lock_guard<std::mutex> lock(lastMutex_);
    last_ = LastTransaction{op, code, std::chrono::system_clock::now()};
}

void Metrics::refused(Refusal reason)
{
    refusals_.Add({{"reason", refusalName(reason)}}).Increment();
}

void Metrics::readerPresent(bool present)
{
    present_.Set(present ? 1 : 0);
}

void Metrics::readerArrived()
{
    arrivals_.Increment();
}

void Metrics::readerLeft()
{
    departures_.Increment();
}

std::optional<LastTransaction> Metrics::last() const
{
    std::lock_guard<std::mutex> lock(lastMutex_);
    return last_;
}

std::string Metrics::scrape(size_t queueDepth, size_t clients)
{
    queue_.Set(static_cast<double>(queueDepth));
    clients_.Set(static_cast<double>(clients));
    return prometheus::TextSerializer().Serialize(registry_->Collect());
}

} // namespace stripedrvd
