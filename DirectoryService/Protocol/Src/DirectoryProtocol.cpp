#include "DirectoryProtocol.h"

#include <algorithm>
#include <array>
#include <utility>

#include "UuidStream.h"

namespace brondal::corvane {

namespace {

// A plain batch starts with its count (at most a few thousand), so its first bytes can never
// spell the marker; still, a stream shorter than the marker is simply plain.
Result ReadHead(IDataStream* stream, bool* extended) {
    std::uint32_t start = 0;
    Result result = stream->GetPosition(&start);
    if (Failed(result)) return result;
    std::array<char, ExtendedBatchMarker.size()> head{};
    if (Succeeded(stream->ReadBytes(head.data(), static_cast<std::uint32_t>(head.size()))) &&
        std::string_view(head.data(), head.size()) == ExtendedBatchMarker) {
        std::uint16_t form = 0;
        result = stream->ReadUInt16(&form);
        if (Failed(result)) return result;
        if (form != ExtendedFormVersion) return ResultFail;
        *extended = true;
        return ResultOk;
    }
    *extended = false;
    return stream->SetPosition(start);
}

}  // namespace

Result EncodeSubscription(const UUID& callbackConnection, IDataStream* arguments) {
    if (arguments == nullptr) return ResultNullPointer;
    return SerializeUuid(arguments, callbackConnection);
}

Result DecodeSubscription(IDataStream* arguments, UUID* callbackConnection) {
    return DeserializeWholeUuid(arguments, callbackConnection);
}

Result EncodeEnumerationRequest(bool extended, std::uint64_t knownVersion, IDataStream* arguments) {
    if (arguments == nullptr) return ResultNullPointer;
    Result result = arguments->WriteBool(extended);
    if (Succeeded(result)) result = arguments->WriteUInt64(knownVersion);
    return result;
}

void DecodeEnumerationRequest(IDataStream* arguments, bool* extended, std::uint64_t* knownVersion) {
    // A failed read leaves its value as it was.
    *extended = false;
    *knownVersion = 0;
    (void)arguments->ReadBool(extended);
    (void)arguments->ReadUInt64(knownVersion);
}

Result EncodeDisplayUpdate(const DisplayUpdate& update, IDataStream* arguments) {
    if (arguments == nullptr) return ResultNullPointer;
    Result result = SerializeUuid(arguments, update.displayId);
    if (Succeeded(result)) result = arguments->WriteString(update.displayName);
    if (Succeeded(result)) result = arguments->WriteString(update.secondaryName);
    if (Succeeded(result)) result = arguments->WriteUInt32(update.address);
    if (Succeeded(result)) result = arguments->WriteUInt16(update.port);
    if (Succeeded(result) && (update.tag || update.extra)) {
        result = arguments->WriteUInt32(update.tag.value_or(1));
    }
    if (Succeeded(result) && update.extra) result = arguments->WriteString(*update.extra);
    return result;
}

Result DecodeDisplayUpdate(IDataStream* arguments, DisplayRecord* record) {
    Result result = DeserializeWholeUuid(arguments, &record->displayId);
    if (Succeeded(result)) result = arguments->ReadString(&record->displayName);
    if (Succeeded(result)) result = arguments->ReadString(&record->secondaryName);
    if (Succeeded(result)) result = arguments->ReadUInt32(&record->address);
    if (Succeeded(result)) result = arguments->ReadUInt16(&record->port);
    if (Failed(result)) return result;
    // Older displays send only the five values above; a failed read leaves the default.
    record->tag = 1;
    record->extra.clear();
    (void)arguments->ReadUInt32(&record->tag);
    (void)arguments->ReadString(&record->extra);
    return ResultOk;
}

Result DecodeDisplayBatch(IDataStream* stream, DisplayBatch* batch) {
    if (stream == nullptr || batch == nullptr) return ResultNullPointer;
    DisplayBatch decoded;
    Result result = ReadHead(stream, &decoded.extended);
    std::uint32_t count = 0;
    if (Succeeded(result)) result = stream->ReadUInt32(&count);
    if (Failed(result)) return result;

    // The count comes from the peer: reserve only what the remaining bytes can hold.
    std::uint32_t size = 0, position = 0;
    (void)stream->GetSize(&size);
    (void)stream->GetPosition(&position);
    decoded.entries.reserve(
        std::min<std::size_t>(count, (size - position) / DisplayEntryFixedBytes));

    for (std::uint32_t i = 0; i < count; ++i) {
        DisplayRecord& entry = decoded.entries.emplace_back();
        result = DeserializeWholeUuid(stream, &entry.displayId);
        // The batch carries the secondary name first, unlike an update.
        if (Succeeded(result)) result = stream->ReadString(&entry.secondaryName);
        if (Succeeded(result)) result = stream->ReadString(&entry.displayName);
        if (Succeeded(result)) result = stream->ReadUInt32(&entry.address);
        if (Succeeded(result)) result = stream->ReadUInt16(&entry.port);
        if (Succeeded(result)) result = stream->ReadUInt32(&entry.tag);
        if (Succeeded(result) && decoded.extended) result = stream->ReadString(&entry.extra);
        if (Failed(result)) return result;
    }
    result = stream->ReadBool(&decoded.last);
    if (Failed(result)) return result;
    *batch = std::move(decoded);
    return ResultOk;
}

}  // namespace brondal::corvane
