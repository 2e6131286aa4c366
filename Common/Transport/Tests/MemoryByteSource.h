#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>
#include <vector>

#include "IByteSource.h"
#include "IRefCountImpl.h"
#include "RefPtr.h"

namespace brondal::testing {

using Bytes = std::vector<std::uint8_t>;

// Varied enough that a misplaced or repeated piece of a body changes the content.
inline std::uint8_t PatternByte(std::uint64_t index) {
    return static_cast<std::uint8_t>((index * 131) ^ (index >> 9) ^ (index >> 17));
}

// A connection's bytes in memory. Beyond what was appended, reads report Pending (more may
// come) or, after Close, Closed. Nothing waits: WaitReadable first lets the test's hook
// append bytes "during" the wait, then answers at once. Long runs of PatternByte are made
// on demand rather than stored.
class MemoryByteSource final : public IByteSource, public IRefCountImpl {
public:
    static RefPtr<MemoryByteSource> Create() {
        return RefPtr<MemoryByteSource>::Adopt(new MemoryByteSource());
    }

    void Append(const Bytes& bytes) {
        if (!bytes.empty()) segments_.push_back({bytes, bytes.size(), 0});
    }
    void Append(std::string_view text) { Append(Bytes(text.begin(), text.end())); }
    void AppendPattern(std::uint64_t length) { segments_.push_back({{}, length, 0}); }
    void Close() { closed_ = true; }
    // Caps what one Receive delivers, as small network segments would.
    void SetMaxPiece(std::uint32_t bytes) { maxPiece_ = bytes; }
    void OnWait(std::function<void(std::uint32_t timeoutMs)> hook) { onWait_ = std::move(hook); }
    // Hands out the front appended piece as held bytes (PeekHeld), as a socket's buffer does.
    void SetHeld(bool held) { held_ = held; }

    std::uint64_t Available() const {
        std::uint64_t total = 0;
        for (const Segment& s : segments_)
            total += s.length - s.consumed;
        return total;
    }
    std::uint32_t LargestReceive() const { return largestReceive_; }
    const std::vector<std::uint32_t>& Waits() const { return waits_; }

    std::int32_t Peek(std::uint8_t* buffer, std::uint32_t count) override {
        return Read(buffer, count, false);
    }
    std::int32_t Receive(std::uint8_t* buffer, std::uint32_t count) override {
        largestReceive_ = std::max(largestReceive_, count);
        return Read(buffer, std::min(count, maxPiece_), true);
    }
    std::int32_t ReceiveExact(std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t* received) override {
        std::int32_t got = Read(buffer, count, true);
        *received = got > 0 ? static_cast<std::uint32_t>(got) : 0;
        return *received == count ? got : End();
    }
    std::uint32_t PeekHeld(const std::uint8_t** bytes) override {
        *bytes = nullptr;
        if (!held_ || segments_.empty() || segments_.front().bytes.empty()) return 0;
        const Segment& front = segments_.front();
        *bytes = front.bytes.data() + front.consumed;
        return static_cast<std::uint32_t>(front.length - front.consumed);
    }
    void Consume(std::uint32_t count) override {
        std::vector<std::uint8_t> discard(count);
        (void)Read(discard.data(), count, true);
    }
    std::int32_t WaitReadable(std::uint32_t timeoutMs) override {
        waits_.push_back(timeoutMs);
        if (onWait_) onWait_(timeoutMs);
        return Available() > 0 ? 1 : End();
    }

private:
    struct Segment {
        Bytes bytes;  // empty: PatternByte(0), PatternByte(1), ...
        std::uint64_t length;
        std::uint64_t consumed;
    };

    MemoryByteSource() = default;
    std::int32_t End() const { return closed_ ? Closed : Pending; }

    std::int32_t Read(std::uint8_t* buffer, std::uint32_t count, bool consume) {
        std::uint32_t copied = 0;
        for (auto s = segments_.begin(); s != segments_.end() && copied < count; ++s) {
            std::uint64_t at = s->consumed;
            for (; at < s->length && copied < count; ++at) {
                buffer[copied++] = s->bytes.empty() ? PatternByte(at) : s->bytes[at];
            }
            if (consume) s->consumed = at;
        }
        while (!segments_.empty() && segments_.front().consumed == segments_.front().length) {
            segments_.pop_front();
        }
        return copied > 0 ? static_cast<std::int32_t>(copied) : End();
    }

    std::deque<Segment> segments_;
    bool closed_ = false;
    bool held_ = false;
    std::uint32_t maxPiece_ = UINT32_MAX;
    std::uint32_t largestReceive_ = 0;
    std::vector<std::uint32_t> waits_;
    std::function<void(std::uint32_t)> onWait_;
};

}  // namespace brondal::testing
