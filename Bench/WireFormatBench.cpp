// The wire format's costs per byte: parsing binary frames out of received bytes (the reader
// thread's work) and encoding them for a single send.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "BinaryFrameReceiver.h"
#include "FrameEncoder.h"
#include "IRefCountImpl.h"
#include "RefPtr.h"

namespace {

using brondal::BinaryFrameReceiver;
using brondal::IByteSource;
using brondal::IDataStream;
using brondal::RefPtr;
using brondal::UUID;

const UUID Channel(0x12345678, 0x9abc, 0xdef0, 0x0123456789abcdef);

// Received bytes already in memory, as a socket with a full receive buffer would give them;
// held: also handed out in place, up to a socket buffer's 8 KiB at a time, as the socket's
// source does.
class BufferSource final : public IByteSource, public brondal::IRefCountImpl {
public:
    BufferSource(const std::vector<std::uint8_t>& bytes, bool held) : bytes_(bytes), held_(held) {}
    void Rewind() { position_ = 0; }

    std::int32_t Peek(std::uint8_t* buffer, std::uint32_t count) override {
        return Copy(buffer, count, false);
    }
    std::int32_t Receive(std::uint8_t* buffer, std::uint32_t count) override {
        return Copy(buffer, count, true);
    }
    std::int32_t ReceiveExact(std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t* received) override {
        std::int32_t got = Copy(buffer, count, true);
        *received = got > 0 ? static_cast<std::uint32_t>(got) : 0;
        return *received == count ? got : Pending;
    }
    std::int32_t WaitReadable(std::uint32_t) override {
        return position_ < bytes_.size() ? 1 : Pending;
    }
    std::uint32_t PeekHeld(const std::uint8_t** bytes) override {
        *bytes = bytes_.data() + position_;
        return held_ ? static_cast<std::uint32_t>(
                           std::min<std::size_t>(8192, bytes_.size() - position_))
                     : 0;
    }
    void Consume(std::uint32_t count) override { position_ += count; }

private:
    std::int32_t Copy(std::uint8_t* buffer, std::uint32_t count, bool consume) {
        const std::size_t n = std::min<std::size_t>(count, bytes_.size() - position_);
        if (n == 0) return Pending;
        std::memcpy(buffer, bytes_.data() + position_, n);
        if (consume) position_ += n;
        return static_cast<std::int32_t>(n);
    }

    const std::vector<std::uint8_t>& bytes_;
    const bool held_;
    std::size_t position_ = 0;
};

RefPtr<IDataStream> PayloadOf(std::uint32_t size) {
    RefPtr<IDataStream> payload;
    brondal::NewDataStream(payload.Receive());
    std::vector<std::uint8_t> bytes(size, 0x5a);
    payload->WriteBytes(bytes.data(), size);
    return payload;
}

// Enough frames of the payload size for about 4 MiB of wire bytes per iteration. Second
// argument: 1 when the source hands out its bytes in place.
void BM_ParseBinaryFrames(benchmark::State& state) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    RefPtr<IDataStream> payload = PayloadOf(size);
    std::vector<std::uint8_t> frame;
    brondal::EncodeBinaryFrame(Channel, payload.Get(), &frame);
    const std::size_t frames = std::max<std::size_t>(1, (4u << 20) / frame.size());
    std::vector<std::uint8_t> wire;
    for (std::size_t i = 0; i < frames; ++i)
        wire.insert(wire.end(), frame.begin(), frame.end());

    auto source = RefPtr<BufferSource>::Adopt(new BufferSource(wire, state.range(1) != 0));
    BinaryFrameReceiver receiver;
    for (auto _ : state) {
        source->Rewind();
        std::size_t delivered = 0;
        BinaryFrameReceiver::Frame received;
        while (receiver.ReceivePass(*source, &received) == BinaryFrameReceiver::Outcome::Data) {
            ++delivered;
        }
        received.data.Reset();
        if (delivered != frames) state.SkipWithError("frames lost");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_ParseBinaryFrames)->ArgsProduct({{64, 4096, 1 << 20}, {0, 1}});

void BM_EncodeBinaryFrame(benchmark::State& state) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    RefPtr<IDataStream> payload = PayloadOf(size);
    std::vector<std::uint8_t> wire;
    for (auto _ : state) {
        brondal::EncodeBinaryFrame(Channel, payload.Get(), &wire);
        benchmark::DoNotOptimize(wire.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_EncodeBinaryFrame)->Arg(64)->Arg(4096)->Arg(1 << 20);

}  // namespace
