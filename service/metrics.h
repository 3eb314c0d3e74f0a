// What a fleet's Prometheus scrapes from the service at /metrics: the
// transactions by operation and result, their duration, the queue, the
// clients, the refused handshakes and the reader's comings and goings. Kept
// with prometheus-cpp's core library and written out in the text
// exposition format by its serializer.
//
// Every label value comes from a fixed set (operation names, the library's
// known result codes, the refusal reasons): nothing a client sends and no
// track data can reach a label.
//
// The counters may be moved from any thread.
#pragma once

#include "requests.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace stripedrvd {

// Why a WebSocket handshake was refused. User: a local user not let in;
// UserUnknown: the kernel could not tell the connection's user.
enum class Refusal { Host, Origin, User, UserUnknown, Limit };

// The last transaction, for /api/health.
struct LastTransaction {
    Op op = Op::Info;
    int code = 0;
    std::chrono::system_clock::time_point at;
};

class Metrics {
public:
    Metrics();
    Metrics(const Metrics &) = delete;
    Metrics &operator=(const Metrics &) = delete;

    // One transaction ended (or was answered at once) with this code.
    void transaction(Op op, int code, std::chrono::steady_clock::duration took);
    void refused(Refusal reason);
    void readerPresent(bool present);
    void readerArrived();
    void readerLeft();

    std::optional<LastTransaction> last() const;

    // The text exposition format (version 0.0.4), with the gauges of the
    // moment set first.
    std::string scrape(size_t queueDepth, size_t clients);

private:
    prometheus::Counter &transactionCounter(Op op, int code);

    std::shared_ptr<prometheus::Registry> registry_;
    prometheus::Family<prometheus::Counter> &transactions_;
    prometheus::Histogram &duration_;
    prometheus::Gauge &queue_;
    prometheus::Gauge &clients_;
    prometheus::Family<prometheus::Counter> &refusals_;
    prometheus::Gauge &present_;
    prometheus::Counter &arrivals_;
    prometheus::Counter &departures_;

    mutable std::mutex lastMutex_;
    std::optional<LastTransaction> last_;
};

// The label value of a result code: the number for the codes the library
// gives, "other" for anything else.
std::string codeLabel(int code);

} // namespace stripedrvd
