// The data stream against a plain byte-array model of the value encoding: streams written
// by a script of typed writes, raw bytes, adopted buffers and gaps, joined by concatenation
// and cut by slicing, then every typed read, ReadString, ReadBytes, positioning, hashing and
// writing after a read. Each operation's result, value and position must be the model's,
// and writing to one stream or clearing it must never change the bytes another stream
// shares with it.
//
// Input: a part count, then per part an operation count and its operations; a slice
// (flag, start, end) of the joined parts; then operations until the input ends, each on the
// joined (or sliced) stream or on the first part.
#include <bit>
#include <cstring>
#include <string>

#include "FuzzStreams.h"
#include "FuzzSupport.h"

namespace brondal::fuzz {
namespace {

// A stream as the encoding defines it: bytes (gap bytes read as zero and are left out of the
// hash), a position, and whether a read-side operation sealed it.
struct Model {
    Bytes bytes;
    std::vector<bool> gap;
    std::uint32_t position = 0;
    bool sealed = false;

    std::uint32_t Left() const { return static_cast<std::uint32_t>(bytes.size()) - position; }
    void Append(const Bytes& more, bool isGap = false) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        gap.insert(gap.end(), more.size(), isGap);
    }
    // Bytes [start, end) of another stream's model, gaps kept.
    void Append(const Model& other, std::size_t start, std::size_t end) {
        bytes.insert(bytes.end(), other.bytes.begin() + static_cast<std::ptrdiff_t>(start),
                     other.bytes.begin() + static_cast<std::ptrdiff_t>(end));
        gap.insert(gap.end(), other.gap.begin() + static_cast<std::ptrdiff_t>(start),
                   other.gap.begin() + static_cast<std::ptrdiff_t>(end));
    }
    template <class U>
    void AppendValue(U value) {
        Bytes le(sizeof(U));
        for (std::size_t i = 0; i < sizeof(U); ++i)
            le[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
        Append(le);
    }
    // The little-endian value at the position, if it is there.
    template <class U>
    bool Value(U* value) const {
        if (Left() < sizeof(U)) return false;
        std::uint64_t raw = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i)
            raw |= std::uint64_t{bytes[position + i]} << (8 * i);
        *value = static_cast<U>(raw);
        return true;
    }
    std::uint32_t Hash() const {
        std::uint32_t h = 0;
        for (std::size_t i = position; i < bytes.size(); ++i)
            if (!gap[i]) h = h * 37u + bytes[i];
        return h;
    }
};

struct Tracked {
    RefPtr<IDataStream> stream;
    Model model;
};

Tracked NewTracked() {
    Tracked tracked;
    NewDataStream(tracked.stream.Receive());
    return tracked;
}

template <class U, class T>
void CheckRead(Tracked& t, Result (IDataStream::*read)(T*)) {
    T value{};
    const Result result = (t.stream.Get()->*read)(&value);
    U expected = 0;
    t.model.sealed = true;
    const bool there = t.model.Value(&expected);
    FUZZ_CHECK(result == (there ? ResultOk : ResultFail));
    if (!there) return;
    if constexpr (std::is_same_v<T, bool>) {
        FUZZ_CHECK(value == (expected != 0));
    } else {
        static_assert(sizeof(T) == sizeof(U));
        FUZZ_CHECK(std::bit_cast<U>(value) == expected);
    }
    t.model.position += sizeof(U);
}

template <class U, class T>
void CheckWrite(Tracked& t, Result (IDataStream::*write)(T), U raw) {
    T value;
    if constexpr (std::is_same_v<T, bool>) {
        value = (raw & 1) != 0;
        raw = value ? 1 : 0;
    } else {
        value = std::bit_cast<T>(raw);
    }
    FUZZ_CHECK((t.stream.Get()->*write)(value) == (t.model.sealed ? ResultFail : ResultOk));
    if (!t.model.sealed) t.model.AppendValue(raw);
}

void CheckBytesWrite(Tracked& t, const Bytes& bytes, int how) {
    Result result;
    if (how == 0) {
        result = t.stream->WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    } else if (how == 1) {
        auto* array = new std::uint8_t[bytes.size()];
        if (!bytes.empty()) std::memcpy(array, bytes.data(), bytes.size());
        result = t.stream->AttachBuffer(array, static_cast<std::uint32_t>(bytes.size()));
    } else {
        result = t.stream->WriteGap(static_cast<std::uint32_t>(bytes.size()));
    }
    FUZZ_CHECK(result == (t.model.sealed ? ResultFail : ResultOk));
    if (!t.model.sealed) t.model.Append(how == 2 ? Bytes(bytes.size(), 0) : bytes, how == 2);
}

void CheckReadString(Tracked& t) {
    std::string value = "unchanged";
    const Result result = t.stream->ReadString(&value);
    Model& m = t.model;
    m.sealed = true;
    std::uint32_t length = 0;
    if (!m.Value(&length)) {
        FUZZ_CHECK(result == ResultFail && value == "unchanged");
        return;
    }
    if (length > IDataStream::MaxStringLength) {
        // The position goes back before the length.
        FUZZ_CHECK(result == ResultFail && value == "unchanged");
        return;
    }
    m.position += 4;
    if (length > m.Left()) {
        FUZZ_CHECK(result == ResultFail && value == "unchanged");
        return;
    }
    FUZZ_CHECK(result == ResultOk && value == std::string(m.bytes.begin() + m.position,
                                                          m.bytes.begin() + m.position + length));
    m.position += length;
}

void Operate(Tracked& t, std::uint8_t operation, FuzzInput& input) {
    Model& m = t.model;
    switch (operation % 29) {
        // clang-format off
        case 0: CheckWrite(t, &IDataStream::WriteUInt8, input.Take<std::uint8_t>()); break;
        case 1: CheckWrite(t, &IDataStream::WriteUInt16, input.Take<std::uint16_t>()); break;
        case 2: CheckWrite(t, &IDataStream::WriteUInt32, input.Take<std::uint32_t>()); break;
        case 3: CheckWrite(t, &IDataStream::WriteUInt64, input.Take<std::uint64_t>()); break;
        case 4: CheckWrite(t, &IDataStream::WriteInt16, input.Take<std::uint16_t>()); break;
        case 5: CheckWrite(t, &IDataStream::WriteInt64, input.Take<std::uint64_t>()); break;
        case 6: CheckWrite(t, &IDataStream::WriteDouble, input.Take<std::uint64_t>()); break;
        case 7: CheckWrite(t, &IDataStream::WriteBool, input.Take<std::uint8_t>()); break;
        case 8: CheckRead<std::uint8_t>(t, &IDataStream::ReadUInt8); break;
        case 9: CheckRead<std::uint8_t>(t, &IDataStream::ReadInt8); break;
        case 10: CheckRead<std::uint16_t>(t, &IDataStream::ReadUInt16); break;
        case 11: CheckRead<std::uint16_t>(t, &IDataStream::ReadInt16); break;
        case 12: CheckRead<std::uint32_t>(t, &IDataStream::ReadInt32); break;
        case 13: CheckRead<std::uint32_t>(t, &IDataStream::ReadFloat); break;
        case 14: CheckRead<std::uint64_t>(t, &IDataStream::ReadUInt64); break;
        case 15: CheckRead<std::uint64_t>(t, &IDataStream::ReadDouble); break;
        case 16: CheckRead<std::uint8_t>(t, &IDataStream::ReadBool); break;
        // clang-format on
        case 17:
            CheckReadString(t);
            break;
        case 18: {
            // A string the stream encodes itself, or raw bytes, a buffer or a gap.
            const std::uint8_t how = input.Byte() % 4;
            const Bytes bytes = input.Sized();
            if (how == 3) {
                const std::string text(bytes.begin(), bytes.end());
                FUZZ_CHECK(t.stream->WriteString(text) == (m.sealed ? ResultFail : ResultOk));
                if (!m.sealed) {
                    m.AppendValue(static_cast<std::uint32_t>(bytes.size()));
                    m.Append(bytes);
                }
            } else {
                CheckBytesWrite(t, bytes, how);
            }
            break;
        }
        case 19: {
            const std::uint32_t count = input.Below(0xffff);
            Bytes out(count, 0xcc);
            const Result result = t.stream->ReadBytes(out.data(), count);
            m.sealed = true;
            if (count > m.Left()) {
                // A failed read leaves the destination as it was.
                FUZZ_CHECK(result == ResultFail && out == Bytes(count, 0xcc));
            } else {
                FUZZ_CHECK(result == ResultOk &&
                           std::equal(out.begin(), out.end(), m.bytes.begin() + m.position));
                m.position += count;
            }
            break;
        }
        case 20: {
            const std::uint32_t to = input.Below(static_cast<std::uint32_t>(m.bytes.size()) + 1);
            const Result result = t.stream->SetPosition(to);
            FUZZ_CHECK(result == (to > m.bytes.size() ? ResultInvalidArgument : ResultOk));
            if (Succeeded(result)) {
                m.position = to;
                m.sealed = true;
            }
            break;
        }
        case 21: {
            std::uint32_t position = 0;
            std::uint32_t size = 0;
            FUZZ_CHECK(t.stream->GetPosition(&position) == ResultOk && position == m.position);
            FUZZ_CHECK(t.stream->GetSize(&size) == ResultOk && size == m.bytes.size());
            m.sealed = true;
            break;
        }
        case 22: {
            std::uint32_t hash = 0;
            FUZZ_CHECK(t.stream->GetHash(&hash) == ResultOk && hash == m.Hash());
            m.sealed = true;
            break;
        }
        case 23:
            FUZZ_CHECK(t.stream->Clear() == ResultOk);
            m = Model();
            break;
        // clang-format off
        case 24: CheckRead<std::uint32_t>(t, &IDataStream::ReadUInt32); break;
        case 25: CheckRead<std::uint64_t>(t, &IDataStream::ReadInt64); break;
        case 26: CheckWrite(t, &IDataStream::WriteInt8, input.Take<std::uint8_t>()); break;
        case 27: CheckWrite(t, &IDataStream::WriteInt32, input.Take<std::uint32_t>()); break;
        case 28: CheckWrite(t, &IDataStream::WriteFloat, input.Take<std::uint32_t>()); break;
            // clang-format on
    }
}

// Every byte of the stream, read through a slice of its own, as the model holds them.
void CheckContent(Tracked& t) {
    std::uint32_t size = 0;
    t.stream->GetSize(&size);
    FUZZ_CHECK(size == t.model.bytes.size());
    RefPtr<IDataStream> whole;
    FUZZ_CHECK(SliceDataStream(t.stream.Get(), 0, size, whole.Receive()) == ResultOk);
    FUZZ_CHECK(RestOf(whole.Get()) == t.model.bytes);
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    // Operation codes of Operate, each followed by its arguments.
    enum : std::uint8_t {
        WriteU8 = 0,
        WriteU16 = 1,
        WriteU32 = 2,
        WriteU64 = 3,
        WriteF64 = 6,
        WriteBool = 7,
        ReadU8 = 8,
        ReadU16 = 10,
        ReadI32 = 12,
        ReadU64 = 14,
        ReadF64 = 15,
        ReadBool = 16,
        ReadStr = 17,
        WriteRun = 18,
        ReadRun = 19,
        Seek = 20,
        Where = 21,
        Hash = 22,
        Clear = 23,
        OnFirstPart = 0x80,
    };
    enum : std::uint8_t { RunBytes = 0, RunBuffer = 1, RunGap = 2, RunString = 3 };
    auto noSlice = [](SeedWriter& seed) {
        seed.Byte(0).Put<std::uint16_t>(0).Put<std::uint16_t>(0);
    };

    // One part: every kind of write, then the reads in the same order.
    SeedWriter typed;
    typed.Byte(0).Byte(9);
    typed.Byte(WriteU8).Byte(0xab).Byte(WriteU16).Put<std::uint16_t>(0x1234);
    typed.Byte(WriteU32)
        .Put<std::uint32_t>(0xfffffffe)
        .Byte(WriteU64)
        .Put<std::uint64_t>(0x0102030405060708);
    typed.Byte(WriteF64).Put<std::uint64_t>(0x400921fb54442d18).Byte(WriteBool).Byte(1);
    typed.Byte(WriteRun).Byte(RunString).Sized(Bytes{'h', 'i'});
    typed.Byte(WriteRun).Byte(RunGap).Sized(Bytes(3, 0));
    typed.Byte(WriteRun).Byte(RunBuffer).Sized(Bytes(70, 7));
    noSlice(typed);
    typed.Byte(ReadU8).Byte(ReadU16).Byte(ReadI32).Byte(ReadU64).Byte(ReadF64).Byte(ReadBool);
    typed.Byte(ReadStr).Byte(ReadRun).Put<std::uint16_t>(3).Byte(Hash).Byte(Seek).Byte(5);
    typed.Byte(Where).Byte(WriteU8).Byte(1).Byte(Clear).Byte(WriteU8).Byte(2).Byte(ReadU8);

    // Three parts joined and sliced in the middle; reads across the joins, and writes to
    // the first part after it was joined and cleared.
    SeedWriter joined;
    joined.Byte(2);
    for (std::uint8_t part = 1; part <= 3; ++part)
        joined.Byte(2)
            .Byte(WriteRun)
            .Byte(RunBytes)
            .Sized(Bytes(40, part))
            .Byte(WriteU32)
            .Put<std::uint32_t>(7);
    joined.Byte(1).Put<std::uint16_t>(30).Put<std::uint16_t>(120);
    joined.Byte(ReadU64).Byte(ReadU64).Byte(OnFirstPart | Clear).Byte(OnFirstPart | WriteU64);
    joined.Put<std::uint64_t>(~0ull)
        .Byte(OnFirstPart | WriteRun)
        .Byte(RunBuffer)
        .Sized(Bytes(9, 9));
    joined.Byte(ReadStr).Byte(Hash).Byte(ReadRun).Put<std::uint16_t>(20).Byte(Seek).Byte(89);
    joined.Byte(OnFirstPart | Where).Byte(ReadI32);

    // Length prefixes that run past the end or over the limit.
    SeedWriter strings;
    strings.Byte(0).Byte(3).Byte(WriteU32).Put<std::uint32_t>(IDataStream::MaxStringLength + 1);
    strings.Byte(WriteU32).Put<std::uint32_t>(10).Byte(WriteRun).Byte(RunBytes).Sized(
        Bytes{'a', 'b'});
    noSlice(strings);
    strings.Byte(ReadStr)
        .Byte(ReadI32)
        .Byte(ReadStr)
        .Byte(ReadStr)
        .Byte(ReadRun)
        .Put<std::uint16_t>(2);
    strings.Byte(Where);

    return {
        {"typed", typed.Get()}, {"joined-and-sliced", joined.Get()}, {"strings", strings.Get()}};
}

void FuzzOne(FuzzInput& input) {
    std::vector<Tracked> parts(input.Byte() % 4 + 1);
    for (Tracked& part : parts) {
        part = NewTracked();
        for (std::uint8_t ops = input.Byte(); ops > 0; --ops)
            Operate(part, input.Byte(), input);
    }
    // Joined from the start of each part, whatever its position; the parts keep theirs.
    std::vector<IDataStream*> sources;
    Tracked joined = NewTracked();
    joined.model.sealed = true;
    for (Tracked& part : parts) {
        sources.push_back(part.stream.Get());
        joined.model.Append(part.model, 0, part.model.bytes.size());
    }
    FUZZ_CHECK(ConcatenateDataStreams(sources, joined.stream.Receive()) == ResultOk);
    for (Tracked& part : parts) {
        std::uint32_t position = 0;
        part.stream->GetPosition(&position);
        FUZZ_CHECK(position == part.model.position);
        part.model.sealed = true;
    }
    const bool slice = input.Bool();
    const std::uint32_t start = input.Take<std::uint16_t>();
    const std::uint32_t end = input.Take<std::uint16_t>();
    if (slice) {
        Tracked cut = NewTracked();
        const bool valid = start <= end && end <= joined.model.bytes.size();
        FUZZ_CHECK(SliceDataStream(joined.stream.Get(), start, end, cut.stream.Receive()) ==
                   (valid ? ResultOk : ResultInvalidArgument));
        if (valid) {
            cut.model.Append(joined.model, start, end);
            cut.model.sealed = true;
            joined = std::move(cut);
        }
    }
    while (!input.Empty()) {
        // The high bit picks the first part: sealed by the check above until a Clear makes
        // it writable again, and its writes must stay invisible to the joined stream.
        const std::uint8_t operation = input.Byte();
        Operate((operation & 0x80) != 0 ? parts.front() : joined, operation & 0x7f, input);
    }
    CheckContent(joined);
    for (Tracked& part : parts)
        CheckContent(part);
}

}  // namespace brondal::fuzz
