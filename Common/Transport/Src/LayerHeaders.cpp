#include "LayerHeaders.h"

#include "UuidStream.h"

namespace brondal {

namespace {

// Runs the writes in order and stops at the first failure.
template <class... Writes>
Result All(Writes&&... writes) {
    Result result = ResultOk;
    ((result = Succeeded(result) ? writes() : result), ...);
    return result;
}

}  // namespace

Result WriteUserMessageHeader(IDataStream* out, const UUID& channel) {
    if (out == nullptr) return ResultNullPointer;
    return All([&] { return out->WriteUInt8(UserMessageKind); },
               [&] { return SerializeUuid(out, channel); });
}

Result ReadUserMessageHeader(IDataStream* in, UUID* channel) {
    if (in == nullptr || channel == nullptr) return ResultNullPointer;
    UUID value;
    Result result = DeserializeUuid(in, &value);
    if (Succeeded(result)) *channel = value;
    return result;
}

Result WriteFragmentHeader(IDataStream* out, bool last) {
    if (out == nullptr) return ResultNullPointer;
    return All([&] { return out->WriteUInt8(FragmentKind); }, [&] { return out->WriteBool(last); });
}

Result ReadFragmentHeader(IDataStream* in, bool* last) {
    if (in == nullptr || last == nullptr) return ResultNullPointer;
    return in->ReadBool(last);
}

Result WritePacedDataHeader(IDataStream* out, std::int64_t sentMs) {
    if (out == nullptr) return ResultNullPointer;
    return All([&] { return out->WriteUInt8(PacedDataKind); },
               [&] { return out->WriteInt64(sentMs); });
}

Result ReadPacedDataHeader(IDataStream* in, std::int64_t* sentMs) {
    if (in == nullptr || sentMs == nullptr) return ResultNullPointer;
    return in->ReadInt64(sentMs);
}

Result WritePacedAck(IDataStream* out, const PacedAck& ack) {
    if (out == nullptr) return ResultNullPointer;
    return All([&] { return out->WriteUInt8(PacedAckKind); },
               [&] { return out->WriteInt64(ack.delay); },
               [&] { return out->WriteInt64(ack.bytes); });
}

Result ReadPacedAck(IDataStream* in, PacedAck* ack) {
    if (in == nullptr || ack == nullptr) return ResultNullPointer;
    PacedAck value;
    Result result = All([&] { return in->ReadInt64(&value.delay); },
                        [&] { return in->ReadInt64(&value.bytes); });
    if (Succeeded(result)) *ack = value;
    return result;
}

Result WriteHello(IDataStream* out, const Hello& hello) {
    if (out == nullptr) return ResultNullPointer;
    return All([&] { return out->WriteUInt8(HelloKind); },
               [&] { return SerializeUuid(out, hello.connectionId); },
               [&] { return SerializeUuid(out, hello.sessionId); },
               [&] { return out->WriteBool(hello.reconnect); });
}

Result ReadHello(IDataStream* in, Hello* hello) {
    if (in == nullptr || hello == nullptr) return ResultNullPointer;
    Hello value;
    Result result = All([&] { return DeserializeUuid(in, &value.connectionId); },
                        [&] { return DeserializeUuid(in, &value.sessionId); },
                        [&] { return in->ReadBool(&value.reconnect); });
    if (Succeeded(result)) *hello = value;
    return result;
}

Result WriteSequencedDataHeader(IDataStream* out, std::uint64_t sequence) {
    if (out == nullptr) return ResultNullPointer;
    return All([&] { return out->WriteUInt8(SequencedDataKind); },
               [&] { return out->WriteUInt64(sequence); });
}

Result ReadSequencedDataHeader(IDataStream* in, std::uint64_t* sequence) {
    if (in == nullptr || sequence == nullptr) return ResultNullPointer;
    return in->ReadUInt64(sequence);
}

Result WriteSequenceAck(IDataStream* out, std::uint64_t sequence) {
    if (out == nullptr) return ResultNullPointer;
    return All([&] { return out->WriteUInt8(SequenceAckKind); },
               [&] { return out->WriteUInt64(sequence); });
}

Result ReadSequenceAck(IDataStream* in, std::uint64_t* sequence) {
    if (in == nullptr || sequence == nullptr) return ResultNullPointer;
    return in->ReadUInt64(sequence);
}

}  // namespace brondal
