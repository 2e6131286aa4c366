#include "RawChunk.h"

#include "RefPtr.h"

namespace brondal {

Result BuildRawChunk(std::uint32_t peerAddress, std::uint32_t localAddress,
                     const std::uint8_t* bytes, std::uint32_t count, IDataStream** chunk) {
    if (chunk == nullptr || (bytes == nullptr && count != 0)) return ResultNullPointer;
    RefPtr<IDataStream> stream;
    Result result = NewDataStream(stream.Receive());
    if (Succeeded(result)) result = stream->WriteUInt32(peerAddress);
    if (Succeeded(result)) result = stream->WriteUInt32(localAddress);
    if (Succeeded(result)) result = stream->WriteUInt32(count);
    if (Succeeded(result)) result = stream->WriteBytes(bytes, count);
    if (Failed(result)) return result;
    *chunk = stream.Detach();
    return ResultOk;
}

std::int32_t ReceiveRawChunk(IByteSource& source, std::uint32_t peerAddress,
                             std::uint32_t localAddress, IDataStream** chunk) {
    if (chunk == nullptr) return IByteSource::Failed;
    std::uint8_t buffer[MaxRawChunk];
    std::int32_t received = source.Receive(buffer, MaxRawChunk);
    if (received <= 0) return received;
    if (Failed(BuildRawChunk(peerAddress, localAddress, buffer,
                             static_cast<std::uint32_t>(received), chunk))) {
        return IByteSource::Failed;
    }
    return received;
}

}  // namespace brondal
