#include "UuidStream.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace brondal {

namespace {

constexpr std::uint32_t SerialSize = 16;

void Encode(const UUID& id, std::uint8_t* out) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(id.Data1 >> (8 * i));
    for (int i = 0; i < 2; ++i)
        out[4 + i] = static_cast<std::uint8_t>(id.Data2 >> (8 * i));
    for (int i = 0; i < 2; ++i)
        out[6 + i] = static_cast<std::uint8_t>(id.Data3 >> (8 * i));
    std::copy(id.Data4.begin(), id.Data4.end(), out + 8);
}

void Decode(const std::uint8_t* bytes, UUID* id) {
    id->Data1 = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                (static_cast<std::uint32_t>(bytes[2]) << 16) |
                (static_cast<std::uint32_t>(bytes[3]) << 24);
    id->Data2 = static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8));
    id->Data3 = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
    std::copy(bytes + 8, bytes + SerialSize, id->Data4.begin());
}

}  // namespace

Result SerializeUuid(IDataStream* stream, const UUID& id) {
    if (stream == nullptr) return ResultNullPointer;
    // One write of the whole serial form: identifiers are in every header, and a write
    // either lands whole or not at all.
    std::array<std::uint8_t, SerialSize> bytes{};
    Encode(id, bytes.data());
    const Result result = stream->WriteBytes(bytes.data(), SerialSize);
    return Failed(result) ? result : ResultOk;
}

Result DeserializeUuid(IDataStream* stream, UUID* id) {
    if (stream == nullptr || id == nullptr) return ResultNullPointer;
    // Nearly always all 16 bytes are there: one read. Otherwise the members in order; those
    // reads are deliberately not checked: a failed read leaves its member as it was, and
    // callers rely on a short stream yielding success with the unread members kept.
    if (Succeeded(DeserializeWholeUuid(stream, id))) return ResultOk;
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
    std::array<std::uint8_t, SerialSize> bytes{};
    const Result result = stream->ReadBytes(bytes.data(), SerialSize);
    if (Failed(result)) return result;
    Decode(bytes.data(), id);
    return ResultOk;
}

}  // namespace brondal
