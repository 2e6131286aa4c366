#include "DirectoryProtocol.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "UuidStream.h"

namespace brondal::corvane::client {

namespace {

// DeserializeUuid accepts a short stream on purpose; a batch must not.
Result ReadUuid(IDataStream* stream, UUID* id) {
    std::array<std::uint8_t, 16> bytes{};
    const Result result = stream->ReadBytes(bytes.data(), 16);
    if (Failed(result)) return result;
    UUID value;
    value.Data1 =
        static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
        (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    value.Data2 = static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8));
    value.Data3 = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
    std::copy(bytes.begin() + 8, bytes.end(), value.Data4.begin());
    *id = value;
    return ResultOk;
}

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

Result EncodeDisplayUpdate(const DisplayUpdate& update, IDataStream* arguments) {
    if (arguments == nullptr) return ResultNullPointer;
    Result result = SerializeUuid(arguments, update.id);
    if (Succeeded(result)) result = arguments->WriteString(update.name);
    if (Succeeded(result)) result = arguments->WriteString(update.secondaryName);
    if (Succeeded(result)) result = arguments->WriteUInt32(update.address);
    if (Succeeded(result)) result = arguments->WriteUInt16(update.port);
    if (Succeeded(result) && (update.tag || update.extra)) {
        result = arguments->WriteUInt32(update.tag.value_or(1));
    }
    if (Succeeded(result) && update.extra) result = arguments->WriteString(*update.extra);
    return result;
}

Result EncodeSubscription(const UUID& callbackConnection, IDataStream* arguments) {
    if (arguments == nullptr) return ResultNullPointer;
    return SerializeUuid(arguments, callbackConnection);
}

Result EncodeEnumerationRequest(bool extended, std::uint64_t knownVersion, IDataStream* arguments) {
    if (arguments == nullptr) return ResultNullPointer;
    Result result = arguments->WriteBool(extended);
    if (Succeeded(result)) result = arguments->WriteUInt64(knownVersion);
    return result;
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
    constexpr std::uint32_t SmallestEntry = 16 + 4 + 4 + 4 + 2 + 4;
    decoded.entries.reserve(std::min<std::uint32_t>(count, (size - position) / SmallestEntry));

    for (std::uint32_t i = 0; i < count; ++i) {
        DisplayEntry entry;
        result = ReadUuid(stream, &entry.id);
        // The batch carries the secondary name first, unlike an update.
        if (Succeeded(result)) result = stream->ReadString(&entry.secondaryName);
        if (Succeeded(result)) result = stream->ReadString(&entry.name);
        if (Succeeded(result)) result = stream->ReadUInt32(&entry.address);
        if (Succeeded(result)) result = stream->ReadUInt16(&entry.port);
        if (Succeeded(result)) result = stream->ReadUInt32(&entry.tag);
        if (Succeeded(result) && decoded.extended) result = stream->ReadString(&entry.extra);
        if (Failed(result)) return result;
        decoded.entries.push_back(std::move(entry));
    }
    result = stream->ReadBool(&decoded.last);
    if (Failed(result)) return result;
    *batch = std::move(decoded);
    return ResultOk;
}

bool TableAssembler::Add(DisplayBatch&& batch) {
    if (pending_.empty()) {
        pending_ = std::move(batch.entries);
    } else {
        pending_.insert(pending_.end(), std::make_move_iterator(batch.entries.begin()),
                        std::make_move_iterator(batch.entries.end()));
    }
    if (!batch.last) return false;
    complete_ = std::move(pending_);
    pending_.clear();
    return true;
}

std::vector<DisplayEntry> TableAssembler::Take() { return std::move(complete_); }

}  // namespace brondal::corvane::client
