#include "UuidStream.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace brondal {

Result SerializeUuid(IDataStream* stream, const UUID& id) {
    if (stream == nullptr) return ResultNullPointer;
    // Stops at the first failed write and reports it. The stream has no way to take back
    // what was already written, so a failure part-way leaves a partial identifier behind;
    // in practice every write fails alike (a sealed stream), and then nothing is written.
    Result result = stream->WriteUInt32(id.Data1);
    if (Succeeded(result)) result = stream->WriteUInt16(id.Data2);
    if (Succeeded(result)) result = stream->WriteUInt16(id.Data3);
    for (std::size_t i = 0; i < id.Data4.size() && Succeeded(result); ++i) {
        result = stream->WriteUInt8(id.Data4[i]);
    }
    return Failed(result) ? result : ResultOk;
}

Result DeserializeUuid(IDataStream* stream, UUID* id) {
    if (stream == nullptr || id == nullptr) return ResultNullPointer;
    // The reads are deliberately not checked: a failed read leaves its member as it was,
    // and callers rely on a short stream yielding success with the unread members kept.
    (void)stream->ReadUInt32(&id->Data1);
    (void)stream->ReadUInt16(&id->Data2);
    (void)stream->ReadUInt16(&id->Data3);
    for (std::uint8_t& byte : id->Data4) {
        (void)stream->ReadUInt8(&byte);
    }
    return ResultOk;
}

Result DeserializeWholeUuid(IDataStream* stream, UUID* id) {
    if (stream == nullptr || id == nullptr) return ResultNullPointer;
    std::array<std::uint8_t, 16> bytes{};
    const Result result = stream->ReadBytes(bytes.data(), 16);
    if (Failed(result)) return result;
    id->Data1 = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                (static_cast<std::uint32_t>(bytes[2]) << 16) |
                (static_cast<std::uint32_t>(bytes[3]) << 24);
    id->Data2 = static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8));
    id->Data3 = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
    std::copy(bytes.begin() + 8, bytes.end(), id->Data4.begin());
    return ResultOk;
}

}  // namespace brondal
