#include "FrameEncoder.h"

#include <cstring>

#include "LogCall.h"
#include "WireFormat.h"

namespace brondal {

namespace {

// Checks the payload against the frame limit and hands out its size.
Result CheckedPayloadSize(IDataStream* payload, std::uint32_t* size) {
    if (payload == nullptr) return ResultNullPointer;
    Result result = payload->GetSize(size);
    if (Failed(result)) return result;
    if (*size > MaxFramePayload) {
        LOG_SEVERE("Message exceeded max message size.");
        return ResultFail;
    }
    return ResultOk;
}

}  // namespace

void EncodeFrameHeader(const UUID& channel, std::uint32_t length, std::uint8_t* out) {
    std::memcpy(out, FrameMarker, FrameMarkerLength);
    EncodeUInt32(length, out + FrameLengthOffset);
    EncodeChannelId(channel, out + FrameChannelOffset);
}

Result EncodeBinaryFrame(const UUID& channel, IDataStream* payload,
                         std::vector<std::uint8_t>* wire) {
    if (wire == nullptr) return ResultNullPointer;
    std::vector<std::uint8_t> bytes;
    const Result result = AppendBinaryFrame(channel, payload, &bytes);
    if (Succeeded(result)) wire->swap(bytes);
    return result;
}

Result AppendBinaryFrame(const UUID& channel, IDataStream* payload,
                         std::vector<std::uint8_t>* wire) {
    if (wire == nullptr) return ResultNullPointer;
    std::uint32_t size = 0;
    Result result = CheckedPayloadSize(payload, &size);
    if (Failed(result)) return result;

    const std::size_t before = wire->size();
    wire->resize(before + FrameHeaderLength + size);
    EncodeFrameHeader(channel, size, wire->data() + before);
    result = CopyDataStreamBytes(payload, 0, size, wire->data() + before + FrameHeaderLength);
    if (Failed(result)) wire->resize(before);
    return result;
}

Result EncodeTextFrame(IDataStream* payload, bool withPrefix, std::vector<std::uint8_t>* wire) {
    if (wire == nullptr) return ResultNullPointer;
    std::uint32_t size = 0;
    Result result = CheckedPayloadSize(payload, &size);
    if (Failed(result)) return result;

    const std::size_t prefix = withPrefix ? TextFramePrefixLength : 0;
    std::vector<std::uint8_t> bytes(prefix + size);
    if (withPrefix) std::memcpy(bytes.data(), TextFramePrefix, prefix);
    result = CopyDataStreamBytes(payload, 0, size, bytes.data() + prefix);
    if (Failed(result)) return result;
    wire->swap(bytes);
    return ResultOk;
}

}  // namespace brondal
