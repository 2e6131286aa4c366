#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "IRefCountImpl.h"
#include "ITransport.h"
#include "RefPtr.h"

namespace brondal::bench {

// A transport listener for the loopback benchmarks: counts received frames and optionally
// echoes each one back through a transport.
class FrameSink final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    [[nodiscard]] Result OnDataReady(UUID connectionId, UUID channelId,
                                     IDataStream* data) override {
        if (echo_ != nullptr) echo_->Write(connectionId, channelId, data);
        std::lock_guard lock(mutex_);
        ++frames_;
        condition_.notify_all();
        return ResultOk;
    }
    [[nodiscard]] Result OnEvent(UUID, std::int32_t) override { return ResultOk; }

    void EchoThrough(ITransport* transport) { echo_ = transport; }
    // False when fewer than count frames arrived within the bound: a benchmark reports
    // that as an error instead of waiting forever.
    [[nodiscard]] bool WaitFrames(std::uint64_t count,
                                  std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return condition_.wait_for(lock, bound, [&] { return frames_ >= count; });
    }

private:
    ITransport* echo_ = nullptr;
    std::mutex mutex_;
    std::condition_variable condition_;
    std::uint64_t frames_ = 0;
};

// A stream of size bytes.
inline RefPtr<IDataStream> Payload(std::uint32_t size) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    std::vector<std::uint8_t> bytes(size, 0x5a);
    stream->WriteBytes(bytes.data(), size);
    return stream;
}

}  // namespace brondal::bench
