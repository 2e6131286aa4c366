#pragma once

#include <cstdint>
#include <memory>

#include "ResultCodes.h"

namespace brondal {

class IDataStream;

// Binary event log for transport timing. Records go to a process-wide sink that writes each
// one as a BSON document; with no sink installed a record is dropped as soon as it is posted.
class FastLog {
public:
    // Base of every record.
    class Message {
    public:
        virtual ~Message() = default;
        // Appends the record as one whole BSON document.
        [[nodiscard]] virtual Result Serialize(IDataStream* out) const = 0;
    };

    // One paced packet: how long it waited for the congestion window (t0 to t1) and how long
    // the lower layers took to send it (t1 to t2), in counts of Counter().
    class Send final : public Message {
    public:
        // The record's epoch is the scheduler's clock now.
        Send(std::uint32_t address, std::uint32_t port, std::uint32_t bytes, std::int64_t t0,
             std::int64_t t1, std::int64_t t2);
        [[nodiscard]] Result Serialize(IDataStream* out) const override;

    private:
        std::uint32_t address_;
        std::uint32_t port_;
        std::uint32_t bytes_;
        std::int64_t t0_;
        std::int64_t t1_;
        std::int64_t t2_;
        std::int64_t epoch_;
    };

    // Where posted records go. Post owns the record from the call on: it returns ResultOk
    // when it queued it, otherwise ResultFail with the record already destroyed. It must not
    // wait for the sink's writer: callers hold the adapter's monitor.
    class Sink {
    public:
        virtual ~Sink() = default;
        [[nodiscard]] virtual Result Post(std::unique_ptr<Message> record) = 0;
    };

    // Hands the record to the installed sink. ResultFail, with the record destroyed, when
    // there is no sink or the sink refuses it.
    [[nodiscard]] static Result Log(std::unique_ptr<Message> record);

    // Whether a sink is installed: the senders take their stamps and make records only then,
    // since nothing in the service installs one and every message would pay for them.
    static bool Enabled();

    // Installs a sink (nullptr: none) and returns the previous one. Nothing in the service
    // installs one; the sink must outlive every Log made while it is installed.
    static Sink* ExchangeSink(Sink* sink);

    // The high-resolution counter of the t0, t1 and t2 stamps, and its counts per second.
    static std::int64_t Counter();
    static double CounterFrequency();
};

}  // namespace brondal
