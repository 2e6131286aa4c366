#pragma once

#include <cstdint>

#include "IDataStream.h"
#include "Uuid.h"
#include "WireFormat.h"

namespace brondal {

// Arguments of the calls that the connection manager and the notification thread queue to
// their own threads. The streams never leave the process, so pointers cross them at their
// full native width.
template <class T>
[[nodiscard]] Result WritePointer(IDataStream* stream, T* pointer) {
    return stream->WriteBytes(&pointer, sizeof pointer);
}

template <class T>
[[nodiscard]] Result ReadPointer(IDataStream* stream, T** pointer) {
    return stream->ReadBytes(pointer, sizeof *pointer);
}

// Unlike DeserializeUuid, a short read fails and leaves the identifier alone.
[[nodiscard]] inline Result WriteId(IDataStream* stream, const UUID& id) {
    std::uint8_t bytes[ChannelIdLength];
    EncodeChannelId(id, bytes);
    return stream->WriteBytes(bytes, sizeof bytes);
}

[[nodiscard]] inline Result ReadId(IDataStream* stream, UUID* id) {
    std::uint8_t bytes[ChannelIdLength];
    const Result result = stream->ReadBytes(bytes, sizeof bytes);
    if (Succeeded(result)) *id = DecodeChannelId(bytes);
    return result;
}

}  // namespace brondal
