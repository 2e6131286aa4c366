#include "RpcMessages.h"

#include <memory>

#include "UuidStream.h"

namespace brondal::rpc {
namespace {

constexpr std::uint32_t UuidBytes = 16;
constexpr std::uint32_t RequestHeaderBytesAfterKind = UuidBytes + 2 + UuidBytes;

// The bytes left to read; 0 when the stream cannot tell.
std::uint32_t Remaining(IDataStream* in) {
    std::uint32_t size = 0;
    std::uint32_t position = 0;
    if (Failed(in->GetSize(&size)) || Failed(in->GetPosition(&position)) || position > size) {
        return 0;
    }
    return size - position;
}

}  // namespace

Result WriteRequestHeader(IDataStream* out, MessageKind kind, const RequestHeader& header) {
    Result result = out->WriteUInt8(kind);
    if (Succeeded(result)) result = SerializeUuid(out, header.objectId);
    if (Succeeded(result)) result = out->WriteUInt16(header.method);
    if (Succeeded(result)) result = SerializeUuid(out, header.callId);
    return result;
}

Result WriteResponseHeader(IDataStream* out, const ResponseHeader& header) {
    Result result = out->WriteUInt8(KindResponse);
    if (Succeeded(result)) result = SerializeUuid(out, header.callId);
    if (Succeeded(result)) result = out->WriteInt32(header.result);
    if (Succeeded(result)) result = out->WriteUInt32(header.replyLength);
    return result;
}

Result ReadRequestHeader(IDataStream* in, RequestHeader* header) {
    // A UUID reads as success from a short stream, so the length is checked up front.
    if (Remaining(in) < RequestHeaderBytesAfterKind) return ResultFail;
    Result result = DeserializeUuid(in, &header->objectId);
    if (Succeeded(result)) result = in->ReadUInt16(&header->method);
    if (Succeeded(result)) result = DeserializeUuid(in, &header->callId);
    return result;
}

Result ReadCallId(IDataStream* in, UUID* callId) {
    if (Remaining(in) < UuidBytes) return ResultFail;
    return DeserializeUuid(in, callId);
}

Result AppendReplyBytes(IDataStream* in, std::uint32_t length, IDataStream* reply) {
    if (length == 0) return ResultOk;
    if (Remaining(in) < length) return ResultFail;
    auto bytes = std::make_unique<std::uint8_t[]>(length);
    Result result = in->ReadBytes(bytes.get(), length);
    if (Succeeded(result)) result = reply->WriteBytes(bytes.get(), length);
    return result;
}

}  // namespace brondal::rpc
