#include "RpcCallMessage.h"

#include "RefPtr.h"
#include "RpcMessages.h"
#include "UuidStream.h"

namespace brondal {

Result EncodeCallMessage(const UUID& objectId, std::int32_t method, const UUID& callId,
                         IDataStream* arguments, IDataStream** message) {
    RefPtr<IDataStream> header;
    Result result = NewDataStream(header.Receive());
    if (Succeeded(result)) {
        const rpc::RequestHeader fields{objectId, static_cast<std::uint16_t>(method), callId};
        result = rpc::WriteRequestHeader(header.Get(), rpc::KindRequest, fields);
    }
    if (Succeeded(result)) result = AppendDataStream(header.Get(), arguments);
    if (Succeeded(result)) *message = header.Detach();
    return result;
}

Result DecodeCallResponse(IDataStream* message, UUID* callId, Result* result) {
    std::uint8_t kind = 0;
    if (Failed(message->ReadUInt8(&kind)) || kind != rpc::KindResponse) return ResultFail;
    if (Failed(rpc::ReadCallId(message, callId))) return ResultFail;
    std::int32_t code = 0;
    if (Failed(message->ReadInt32(&code))) return ResultFail;
    *result = code;
    return ResultOk;
}

}  // namespace brondal
