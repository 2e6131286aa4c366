#include "UuidStream.h"

#include <cstddef>

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

}  // namespace brondal
