#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "IByteSource.h"
#include "IRefCountImpl.h"
#include "RefPtr.h"

namespace brondal::fuzz {

// A peer's bytes arriving as the fuzzer scripts it. Every read-side call first takes the
// next script byte as the number of bytes that arrive meanwhile (0: none within the wait);
// when the script is used up everything has arrived. A call finds only what has arrived and
// not been consumed, and reports Pending when that is nothing, or the end status (Closed,
// Failed, or Pending for a peer that merely went quiet) once every byte was consumed.
// ReceiveExact keeps taking arrivals until it has its count or one brings nothing. What has
// arrived is also handed out in place (PeekHeld), as a socket's buffer is.
//
// Input layout (Take): end status, script length, script, then the wire bytes.
class ScriptedByteSource final : public IByteSource, public IRefCountImpl {
public:
    static RefPtr<ScriptedByteSource> Take(FuzzInput& input) {
        const std::uint8_t end = input.Byte() % 3;
        Bytes script = input.Sized();
        return Create(input.Rest(), std::move(script), end);
    }
    // end: 0 the peer goes quiet, 1 it closes, 2 the connection fails.
    static RefPtr<ScriptedByteSource> Create(Bytes wire, Bytes script = {}, std::uint8_t end = 0) {
        return RefPtr<ScriptedByteSource>::Adopt(
            new ScriptedByteSource(std::move(wire), std::move(script), end));
    }
    // The counterpart of Take, for seeds.
    static Bytes Layout(const Bytes& wire, const Bytes& script = {}, std::uint8_t end = 0) {
        return SeedWriter().Byte(end).Sized(script).Append(wire).Get();
    }

    const Bytes& Wire() const { return wire_; }
    std::size_t Consumed() const { return consumed_; }
    bool AllArrived() const { return arrived_ == wire_.size(); }
    bool Exhausted() const { return AllArrived() && consumed_ == wire_.size(); }

    std::int32_t Peek(std::uint8_t* buffer, std::uint32_t count) override {
        return Read(buffer, count, false);
    }
    std::int32_t Receive(std::uint8_t* buffer, std::uint32_t count) override {
        return Read(buffer, count, true);
    }
    std::int32_t ReceiveExact(std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t* received) override {
        *received = 0;
        while (*received < count) {
            const std::int32_t got = Read(buffer + *received, count - *received, true);
            if (got <= 0) return got;
            *received += static_cast<std::uint32_t>(got);
        }
        return static_cast<std::int32_t>(count);
    }
    // What has arrived and is not consumed, in place: no script byte is taken.
    std::uint32_t PeekHeld(const std::uint8_t** bytes) override {
        *bytes = wire_.data() + consumed_;
        return static_cast<std::uint32_t>(Available());
    }
    void Consume(std::uint32_t count) override {
        consumed_ += std::min<std::size_t>(count, Available());
    }
    std::int32_t WaitReadable(std::uint32_t) override {
        Arrive();
        return Available() > 0 ? 1 : Status();
    }

private:
    ScriptedByteSource(Bytes wire, Bytes script, std::uint8_t end)
        : wire_(std::move(wire)), script_(std::move(script)), end_(end) {}

    std::size_t Available() const { return arrived_ - consumed_; }
    std::int32_t Status() const {
        if (!Exhausted()) return Pending;
        return end_ == 1 ? Closed : end_ == 2 ? Failed : Pending;
    }
    void Arrive() {
        const std::size_t step = next_ < script_.size() ? script_[next_++] : wire_.size();
        arrived_ = std::min(wire_.size(), arrived_ + step);
    }
    std::int32_t Read(std::uint8_t* buffer, std::uint32_t count, bool consume) {
        Arrive();
        const std::size_t take = std::min<std::size_t>(count, Available());
        if (take == 0) return count == 0 ? 0 : Status();
        std::memcpy(buffer, wire_.data() + consumed_, take);
        if (consume) consumed_ += take;
        return static_cast<std::int32_t>(take);
    }

    const Bytes wire_;
    const Bytes script_;
    const std::uint8_t end_;
    std::size_t next_ = 0;
    std::size_t arrived_ = 0;
    std::size_t consumed_ = 0;
};

}  // namespace brondal::fuzz
