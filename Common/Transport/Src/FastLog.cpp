#include "FastLog.h"

#include <atomic>

#include "IDataStream.h"
#include "LogPerformanceTimer.h"
#include "MiniBsonDocument.h"
#include "MiniBsonScalar.h"
#include "Scheduler.h"

namespace brondal {

// The records' keys are fixed and distinct, so setting them cannot fail short of memory.

namespace {

std::atomic<FastLog::Sink*> installedSink{nullptr};

// Milliseconds between two counter stamps.
double CountsToMs(std::int64_t from, std::int64_t to) {
    // Multiplying before dividing keeps whole and half milliseconds exact.
    return static_cast<double>(to - from) * 1000.0 / FastLog::CounterFrequency();
}

}  // namespace

FastLog::Send::Send(std::uint32_t address, std::uint32_t port, std::uint32_t bytes, std::int64_t t0,
                    std::int64_t t1, std::int64_t t2)
    : address_(address),
      port_(port),
      bytes_(bytes),
      t0_(t0),
      t1_(t1),
      t2_(t2),
      epoch_(GetScheduler().GetTimeMs()) {}

Result FastLog::Send::Serialize(IDataStream* out) const {
    if (out == nullptr) return ResultNullPointer;
    using namespace minibson;
    document record;
    // The 32-bit fields keep their bit pattern in BSON's signed int32.
    (void)record.Set("bytes", std::make_unique<int32>(static_cast<std::int32_t>(bytes_)));
    (void)record.Set("epoch", std::make_unique<int64>(epoch_));
    (void)record.Set("fc-delay", std::make_unique<Double>(CountsToMs(t0_, t1_)));
    (void)record.Set("ip", std::make_unique<int32>(static_cast<std::int32_t>(address_)));
    (void)record.Set("net-delay", std::make_unique<Double>(CountsToMs(t1_, t2_)));
    (void)record.Set("port", std::make_unique<int32>(static_cast<std::int32_t>(port_)));
    (void)record.Set("type", std::make_unique<minibson::string>("send"));
    return record.Serialize(out);
}

Result FastLog::Log(std::unique_ptr<Message> record) {
    Sink* sink = installedSink.load(std::memory_order_acquire);
    if (sink == nullptr) return ResultFail;
    return sink->Post(std::move(record));
}

bool FastLog::Enabled() { return installedSink.load(std::memory_order_relaxed) != nullptr; }

FastLog::Sink* FastLog::ExchangeSink(Sink* sink) {
    return installedSink.exchange(sink, std::memory_order_acq_rel);
}

std::int64_t FastLog::Counter() { return LogPerformanceTimer::Counter(); }

double FastLog::CounterFrequency() { return LogPerformanceTimer::CounterFrequency; }

}  // namespace brondal
