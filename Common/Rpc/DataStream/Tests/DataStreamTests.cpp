#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BlockCache.h"
#include "DataStream.h"
#include "IDataStream.h"
#include "RefPtr.h"
#include "Uuid.h"
#include "UuidStream.h"

namespace brondal {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Stream = RefPtr<IDataStream>;

Stream StreamOf(const Bytes& bytes = {}) {
    Stream stream;
    EXPECT_EQ(NewDataStream(stream.Receive()), ResultOk);
    EXPECT_EQ(stream->WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size())), ResultOk);
    return stream;
}

std::size_t ChunkCount(const Stream& s) { return dynamic_cast<DataStream&>(*s).GetChunkCount(); }

// Every byte from offset 0; seals the stream.
Bytes Contents(const Stream& s) {
    std::uint32_t size = 0;
    EXPECT_EQ(s->GetSize(&size), ResultOk);
    Bytes bytes(size);
    EXPECT_EQ(s->SetPosition(0), ResultOk);
    EXPECT_EQ(s->ReadBytes(bytes.data(), size), ResultOk);
    return bytes;
}

std::uint32_t Hash(const Stream& s) {
    std::uint32_t hash = 0;
    EXPECT_EQ(s->GetHash(&hash), ResultOk);
    return hash;
}

std::uint32_t Position(const Stream& s) {
    std::uint32_t position = 0;
    EXPECT_EQ(s->GetPosition(&position), ResultOk);
    return position;
}

// Both extremes of T, each alone in a fresh stream, which then holds nothing more.
template <class T>
void ExpectExtremesRoundTrip(Result (IDataStream::*write)(T), Result (IDataStream::*read)(T*)) {
    for (T value : {std::numeric_limits<T>::lowest(), std::numeric_limits<T>::max()}) {
        Stream s = StreamOf();
        ASSERT_EQ(((*s).*write)(value), ResultOk);
        T back{};
        ASSERT_EQ(((*s).*read)(&back), ResultOk);
        EXPECT_EQ(back, value);
        EXPECT_EQ(((*s).*read)(&back), ResultFail);
    }
}

TEST(DataStreamEncoding, ValuesAreLittleEndianAndRoundTrip) {
    Stream s = StreamOf();
    ASSERT_EQ(s->WriteUInt16(0x1234), ResultOk);
    ASSERT_EQ(s->WriteInt32(-2), ResultOk);
    ASSERT_EQ(s->WriteBool(true), ResultOk);
    ASSERT_EQ(s->WriteFloat(1.0f), ResultOk);
    ASSERT_EQ(s->WriteUInt64(0x0102030405060708u), ResultOk);
    ASSERT_EQ(s->WriteString(""), ResultOk);
    ASSERT_EQ(s->WriteString("hi"), ResultOk);
    EXPECT_EQ(Contents(s),
              (Bytes{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0x80, 0x3F, 8, 7,   6,  5,
                     4,    3,    2,    1,    0,    0,    0, 0, 2, 0,    0,    0, 'h', 'i'}));

    ExpectExtremesRoundTrip(&IDataStream::WriteInt8, &IDataStream::ReadInt8);
    ExpectExtremesRoundTrip(&IDataStream::WriteUInt8, &IDataStream::ReadUInt8);
    ExpectExtremesRoundTrip(&IDataStream::WriteInt16, &IDataStream::ReadInt16);
    ExpectExtremesRoundTrip(&IDataStream::WriteUInt16, &IDataStream::ReadUInt16);
    ExpectExtremesRoundTrip(&IDataStream::WriteInt32, &IDataStream::ReadInt32);
    ExpectExtremesRoundTrip(&IDataStream::WriteUInt32, &IDataStream::ReadUInt32);
    ExpectExtremesRoundTrip(&IDataStream::WriteInt64, &IDataStream::ReadInt64);
    ExpectExtremesRoundTrip(&IDataStream::WriteUInt64, &IDataStream::ReadUInt64);
    ExpectExtremesRoundTrip(&IDataStream::WriteFloat, &IDataStream::ReadFloat);
    ExpectExtremesRoundTrip(&IDataStream::WriteDouble, &IDataStream::ReadDouble);
    ExpectExtremesRoundTrip(&IDataStream::WriteBool, &IDataStream::ReadBool);
    Stream t = StreamOf({0x7F});
    bool flag = false;
    EXPECT_EQ(t->ReadBool(&flag), ResultOk);
    EXPECT_TRUE(flag);
}

TEST(DataStreamSealing, ReadSideOperationsSealUntilClear) {
    std::uint32_t value;
    const std::vector<std::function<void(IDataStream*)>> sealers = {
        [&](IDataStream* s) { EXPECT_EQ(s->ReadUInt32(&value), ResultFail); },  // even failing
        [&](IDataStream* s) { s->GetPosition(&value); },
        [&](IDataStream* s) { s->SetPosition(0); },
        [&](IDataStream* s) { s->GetHash(&value); },
    };
    for (const auto& seal : sealers) {
        Stream s = StreamOf({1});
        ASSERT_EQ(s->GetSize(&value), ResultOk);  // does not seal
        ASSERT_EQ(s->WriteUInt8(2), ResultOk);
        seal(s.Get());
        EXPECT_EQ(s->WriteUInt8(3), ResultFail);
        EXPECT_EQ(s->WriteString("x"), ResultFail);
        EXPECT_EQ(s->WriteGap(1), ResultFail);
        EXPECT_EQ(s->AttachBuffer(new std::uint8_t[4], 4), ResultFail);  // and frees the array
        EXPECT_EQ(Contents(s), (Bytes{1, 2}));
        ASSERT_EQ(s->Clear(), ResultOk);
        EXPECT_EQ(s->WriteUInt8(4), ResultOk);
        EXPECT_EQ(Contents(s), Bytes{4});
    }
}

TEST(DataStreamLayout, SmallWritesShareBuffersAndLargeOnesGetTheirOwn) {
    Stream s = StreamOf();
    const Bytes ten(10, 1), hundred(100, 2);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(s->WriteBytes(ten.data(), 10), ResultOk);
    }
    ASSERT_EQ(s->WriteUInt32(1), ResultOk);  // exactly fills the 64 bytes
    EXPECT_EQ(ChunkCount(s), 1u);
    ASSERT_EQ(s->WriteUInt8(1), ResultOk);
    EXPECT_EQ(ChunkCount(s), 2u);

    ASSERT_EQ(s->Clear(), ResultOk);
    ASSERT_EQ(s->WriteBytes(ten.data(), 10), ResultOk);
    ASSERT_EQ(s->WriteBytes(hundred.data(), 100), ResultOk);  // 54 bytes left, not enough
    EXPECT_EQ(ChunkCount(s), 2u);
    ASSERT_EQ(s->WriteUInt8(3), ResultOk);  // the 100-byte buffer is full
    ASSERT_EQ(s->WriteUInt16(0x0504), ResultOk);
    EXPECT_EQ(ChunkCount(s), 3u);
    Bytes expected(113, 2);
    std::fill_n(expected.begin(), 10, 1);
    expected[110] = 3;
    expected[111] = 4;
    expected[112] = 5;
    EXPECT_EQ(Contents(s), expected);
}

// A stream's first buffer is allocated with the stream: bytes others share must outlive
// it, and a cleared stream must never write into that buffer again.
TEST(DataStreamLayout, FirstBufferOutlivesItsStreamAndIsNeverRewritten) {
    Stream first = StreamOf({1, 2, 3}), view;
    ASSERT_EQ(SliceDataStream(first.Get(), 0, 3, view.Receive()), ResultOk);
    ASSERT_EQ(first->Clear(), ResultOk);
    ASSERT_EQ(first->WriteBytes("\x09\x09\x09", 3), ResultOk);
    EXPECT_EQ(Contents(view), (Bytes{1, 2, 3}));
    first.Reset();  // the view alone keeps the block
    EXPECT_EQ(Contents(view), (Bytes{1, 2, 3}));
}

// Stream blocks are kept by the thread that frees them, up to a bound; a block still shared
// by a view is kept only once the view is gone too. Each phase runs on a thread of its own
// so it starts with an empty cache, and the cache is emptied when that thread ends (leak
// checks under AddressSanitizer see the blocks go).
TEST(DataStreamLayout, FreedBlocksAreKeptPerThreadUpToTheBound) {
    constexpr std::uint32_t bound = BlockCache<sizeof(void*)>::MaxBlocks;
    Stream handedOver;
    std::thread([&] {
        Stream first = StreamOf({1, 2, 3}), view;
        ASSERT_EQ(SliceDataStream(first.Get(), 0, 3, view.Receive()), ResultOk);
        first.Reset();
        EXPECT_EQ(DataStream::CachedBlocksForTesting(), 0u);
        view.Reset();  // the view's own block, then the first stream's
        EXPECT_EQ(DataStream::CachedBlocksForTesting(), 2u);
        // A reused block starts as a new stream's would.
        Stream reused = StreamOf({4, 5});
        EXPECT_EQ(DataStream::CachedBlocksForTesting(), 1u);
        EXPECT_EQ(Contents(reused), (Bytes{4, 5}));
        std::vector<Stream> many(bound + 8);
        for (Stream& stream : many)
            stream = StreamOf({6});
        many.clear();
        EXPECT_EQ(DataStream::CachedBlocksForTesting(), bound);
        handedOver = StreamOf({7});
    }).join();
    std::thread([&] {
        handedOver.Reset();
        EXPECT_EQ(DataStream::CachedBlocksForTesting(), 1u);
    }).join();
}

// Appending copies a small gap-free source into the room left in the target's buffer, and
// shares everything else; either way the result reads the same and the target is sealed.
TEST(DataStreamDerived, SmallSourcesAreCopiedOnAppendOthersShared) {
    struct Case {
        Bytes header;
        std::uint32_t payload;
        bool gap;
        std::size_t chunks;
    };
    for (const Case& c : {Case{{7}, 40, false, 1}, Case{{7}, 64, false, 2},
                          Case{{7}, 300, false, 2}, Case{{7}, 4, true, 3}}) {
        Stream target = StreamOf(c.header), source = StreamOf(Bytes(c.payload, 5));
        if (c.gap) {
            ASSERT_EQ(source->WriteGap(2), ResultOk);
        }
        const std::uint32_t hashBefore = Hash(source);
        ASSERT_EQ(AppendDataStream(target.Get(), source.Get()), ResultOk);
        EXPECT_EQ(target->WriteUInt8(0), ResultFail);
        EXPECT_EQ(ChunkCount(target), c.chunks) << c.payload;
        Bytes expected = c.header;
        expected.insert(expected.end(), c.payload, 5);
        if (c.gap) expected.insert(expected.end(), 2, 0);
        EXPECT_EQ(Contents(target), expected);
        // The hash skips a gap: the same over the appended bytes means it stayed one.
        ASSERT_EQ(target->SetPosition(1), ResultOk);
        EXPECT_EQ(Hash(target), hashBefore);
        EXPECT_EQ(Contents(source), Bytes(expected.begin() + 1, expected.end()));
    }
}

TEST(DataStreamReadString, BadLengthsFailWithoutAllocating) {
    Stream s = StreamOf({9});
    ASSERT_EQ(s->WriteUInt32(IDataStream::MaxStringLength + 1), ResultOk);
    ASSERT_EQ(s->WriteUInt32(IDataStream::MaxStringLength), ResultOk);
    ASSERT_EQ(s->WriteBytes("abc", 3), ResultOk);
    ASSERT_EQ(s->SetPosition(1), ResultOk);
    std::string text = "untouched";
    EXPECT_EQ(s->ReadString(&text), ResultFail);  // above the limit: back before the length
    EXPECT_EQ(Position(s), 1u);
    ASSERT_EQ(s->SetPosition(5), ResultOk);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_EQ(s->ReadString(&text), ResultFail);  // truncated: after the length
    getrusage(RUSAGE_SELF, &after);
    // Room for the announced 100 MiB would raise the peak resident size by about that much.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "KiB";
    EXPECT_EQ(Position(s), 9u);
    EXPECT_EQ(text, "untouched");

    // A string spread over chunks, and the same one byte short.
    Stream prefix = StreamOf({3, 0, 0, 0, 'x'}), body = StreamOf({'y', 'z'}), joined, shorter;
    ASSERT_EQ(ConcatenateDataStreams(prefix.Get(), body.Get(), joined.Receive()), ResultOk);
    ASSERT_EQ(joined->ReadString(&text), ResultOk);
    EXPECT_EQ(text, "xyz");
    ASSERT_EQ(SliceDataStream(joined.Get(), 0, 6, shorter.Receive()), ResultOk);
    EXPECT_EQ(shorter->ReadString(&text), ResultFail);
    EXPECT_EQ(Position(shorter), 4u);
    EXPECT_EQ(text, "xyz");
}

TEST(DataStreamPosition, BoundsFailedReadsAndNullArguments) {
    Stream s = StreamOf({1, 2, 3, 4, 5});
    EXPECT_EQ(s->SetPosition(6), ResultInvalidArgument);
    EXPECT_EQ(s->WriteUInt8(6), ResultOk);  // the refused SetPosition did not seal
    EXPECT_EQ(s->SetPosition(6), ResultOk);
    EXPECT_EQ(Hash(s), 0u);

    ASSERT_EQ(s->SetPosition(3), ResultOk);
    std::uint32_t value = 7;
    EXPECT_EQ(s->ReadUInt32(&value), ResultFail);
    EXPECT_EQ(value, 7u);
    std::uint8_t buffer[3];
    EXPECT_EQ(s->ReadBytes(buffer, 4), ResultFail);
    EXPECT_EQ(Position(s), 3u);
    EXPECT_EQ(s->ReadBytes(buffer, 3), ResultOk);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{4, 5, 6}));

    EXPECT_EQ(s->ReadBytes(nullptr, 1), ResultNullPointer);
    EXPECT_EQ(s->WriteBytes(nullptr, 1), ResultNullPointer);
    EXPECT_EQ(s->ReadUInt32(nullptr), ResultNullPointer);
    EXPECT_EQ(s->ReadString(nullptr), ResultNullPointer);
    EXPECT_EQ(NewDataStream(nullptr), ResultNullPointer);
}

TEST(DataStreamGapsAndAttach, GapsReadAsZeroAndHashSkipsThem) {
    Stream s = StreamOf({'z', 'a'});
    ASSERT_EQ(s->WriteGap(5), ResultOk);
    ASSERT_EQ(s->WriteBytes("bc", 2), ResultOk);
    ASSERT_EQ(s->SetPosition(1), ResultOk);
    EXPECT_EQ(Hash(s), 136518u);  // "abc"
    std::uint32_t value = 0;
    ASSERT_EQ(s->ReadUInt32(&value), ResultOk);
    EXPECT_EQ(value, std::uint32_t{'a'});
    EXPECT_EQ(Contents(s), (Bytes{'z', 'a', 0, 0, 0, 0, 0, 'b', 'c'}));
}

TEST(DataStreamGapsAndAttach, AttachedArraysAreChunksAndEmptyAppendsAddNone) {
    Stream s = StreamOf();
    ASSERT_EQ(s->AttachBuffer(new std::uint8_t[3]{1, 2, 3}, 3), ResultOk);
    ASSERT_EQ(s->WriteUInt8(4), ResultOk);  // never into the attached array
    EXPECT_EQ(s->AttachBuffer(new std::uint8_t[8], 0), ResultOk);
    EXPECT_EQ(s->AttachBuffer(nullptr, 0), ResultOk);
    EXPECT_EQ(s->AttachBuffer(nullptr, 2), ResultNullPointer);
    EXPECT_EQ(s->WriteGap(0), ResultOk);
    EXPECT_EQ(ChunkCount(s), 2u);
    EXPECT_EQ(Contents(s), (Bytes{1, 2, 3, 4}));
}

TEST(DataStreamGapsAndAttach, SizeNeverPassesThirtyTwoBits) {
    Stream s = StreamOf();
    ASSERT_EQ(s->WriteGap(0xFFFFFFF0u), ResultOk);
    ASSERT_EQ(s->WriteUInt64(1), ResultOk);
    EXPECT_EQ(s->WriteUInt64(2), ResultFail);       // the buffer has room, the size has not
    EXPECT_EQ(s->WriteString("abcd"), ResultFail);  // the prefix alone would fit
    EXPECT_EQ(s->WriteGap(8), ResultFail);
    EXPECT_EQ(s->AttachBuffer(new std::uint8_t[8], 8), ResultFail);
    ASSERT_EQ(s->WriteString("abc"), ResultOk);
    std::uint32_t size = 0;
    ASSERT_EQ(s->GetSize(&size), ResultOk);
    EXPECT_EQ(size, 0xFFFFFFFFu);

    Stream one = StreamOf({1}), joined;
    EXPECT_EQ(ConcatenateDataStreams(s.Get(), one.Get(), joined.Receive()), ResultInvalidArgument);
    EXPECT_EQ(joined, nullptr);
    EXPECT_EQ(AppendDataStream(one.Get(), s.Get()), ResultInvalidArgument);
    EXPECT_EQ(Contents(one), Bytes{1});
    ASSERT_EQ(s->SetPosition(0xFFFFFFF8u), ResultOk);
    std::string text;
    ASSERT_EQ(s->ReadString(&text), ResultOk);
    EXPECT_EQ(text, "abc");
}

// Another implementation of the interface, which concatenation and slicing refuse.
class ForeignStream final : public IDataStream, public IRefCountImpl {
public:
    Result GetSize(std::uint32_t*) override { return ResultNotImplemented; }
    Result WriteInt8(std::int8_t) override { return ResultNotImplemented; }
    Result WriteUInt8(std::uint8_t) override { return ResultNotImplemented; }
    Result WriteInt16(std::int16_t) override { return ResultNotImplemented; }
    Result WriteUInt16(std::uint16_t) override { return ResultNotImplemented; }
    Result WriteInt32(std::int32_t) override { return ResultNotImplemented; }
    Result WriteUInt32(std::uint32_t) override { return ResultNotImplemented; }
    Result WriteInt64(std::int64_t) override { return ResultNotImplemented; }
    Result WriteUInt64(std::uint64_t) override { return ResultNotImplemented; }
    Result WriteFloat(float) override { return ResultNotImplemented; }
    Result WriteDouble(double) override { return ResultNotImplemented; }
    Result WriteBool(bool) override { return ResultNotImplemented; }
    Result WriteString(const std::string&) override { return ResultNotImplemented; }
    Result WriteBytes(const void*, std::uint32_t) override { return ResultNotImplemented; }
    Result AttachBuffer(std::uint8_t* b, std::uint32_t) override {
        delete[] b;
        return ResultNotImplemented;
    }
    Result WriteGap(std::uint32_t) override { return ResultNotImplemented; }
    Result ReadInt8(std::int8_t*) override { return ResultNotImplemented; }
    Result ReadUInt8(std::uint8_t*) override { return ResultNotImplemented; }
    Result ReadInt16(std::int16_t*) override { return ResultNotImplemented; }
    Result ReadUInt16(std::uint16_t*) override { return ResultNotImplemented; }
    Result ReadInt32(std::int32_t*) override { return ResultNotImplemented; }
    Result ReadUInt32(std::uint32_t*) override { return ResultNotImplemented; }
    Result ReadInt64(std::int64_t*) override { return ResultNotImplemented; }
    Result ReadUInt64(std::uint64_t*) override { return ResultNotImplemented; }
    Result ReadFloat(float*) override { return ResultNotImplemented; }
    Result ReadDouble(double*) override { return ResultNotImplemented; }
    Result ReadBool(bool*) override { return ResultNotImplemented; }
    Result ReadString(std::string*) override { return ResultNotImplemented; }
    Result ReadBytes(void*, std::uint32_t) override { return ResultNotImplemented; }
    Result GetPosition(std::uint32_t*) override { return ResultNotImplemented; }
    Result SetPosition(std::uint32_t) override { return ResultNotImplemented; }
    Result GetHash(std::uint32_t*) override { return ResultNotImplemented; }
    Result Clear() override { return ResultNotImplemented; }
};

TEST(DataStreamDerived, ConcatenationJoinsInOrderAndLeavesSourcesAlone) {
    Stream a = StreamOf({1, 2, 3}), b = StreamOf({4, 5, 6, 7, 8}), joined;
    std::uint8_t first = 0;
    ASSERT_EQ(b->ReadUInt8(&first), ResultOk);
    ASSERT_EQ(ConcatenateDataStreams(a.Get(), b.Get(), joined.Receive()), ResultOk);
    EXPECT_EQ(joined->WriteUInt8(0), ResultFail);  // born sealed
    EXPECT_EQ(Position(joined), 0u);
    EXPECT_EQ(Contents(joined), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(Position(b), 1u);
    EXPECT_EQ(a->WriteUInt8(9), ResultOk);  // extends the shared buffer past the joined view
    EXPECT_EQ(Contents(a), (Bytes{1, 2, 3, 9}));
    EXPECT_EQ(Contents(joined), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    // Appending seals the header's stream, so its writes cannot land in the tail of the
    // buffer it now shares with the source, and the source's later writes stay its own.
    Stream header = StreamOf({9}), source = StreamOf({4, 5});
    ASSERT_EQ(AppendDataStream(header.Get(), source.Get()), ResultOk);
    EXPECT_EQ(header->WriteUInt8(0), ResultFail);
    EXPECT_EQ(source->WriteUInt8(6), ResultOk);
    EXPECT_EQ(Contents(header), (Bytes{9, 4, 5}));
    EXPECT_EQ(AppendDataStream(header.Get(), header.Get()), ResultInvalidArgument);
}

TEST(DataStreamDerived, ForeignStreamsAndBadRangesAreRefused) {
    Stream a = StreamOf({1, 2, 3}), out;
    auto foreign = Stream::Adopt(new ForeignStream);
    EXPECT_EQ(ConcatenateDataStreams(a.Get(), foreign.Get(), out.Receive()), ResultInvalidArgument);
    EXPECT_EQ(ConcatenateDataStreams({a.Get(), nullptr}, out.Receive()), ResultInvalidArgument);
    EXPECT_EQ(SliceDataStream(foreign.Get(), 0, 0, out.Receive()), ResultInvalidArgument);
    EXPECT_EQ(SliceDataStream(a.Get(), 2, 1, out.Receive()), ResultInvalidArgument);
    EXPECT_EQ(SliceDataStream(a.Get(), 0, 4, out.Receive()), ResultInvalidArgument);
    EXPECT_EQ(AppendDataStream(a.Get(), foreign.Get()), ResultInvalidArgument);
    EXPECT_EQ(AppendDataStream(foreign.Get(), a.Get()), ResultInvalidArgument);
    std::uint8_t byte = 0;
    EXPECT_EQ(CopyDataStreamBytes(foreign.Get(), 0, 0, &byte), ResultInvalidArgument);
    EXPECT_EQ(CopyDataStreamBytes(a.Get(), 2, 2, &byte), ResultInvalidArgument);
    EXPECT_EQ(CopyDataStreamBytes(a.Get(), 4, 0, &byte), ResultInvalidArgument);
    EXPECT_EQ(out, nullptr);
    for (std::uint32_t at : {0u, 2u, 3u}) {
        ASSERT_EQ(SliceDataStream(a.Get(), at, at, out.Receive()), ResultOk);
        EXPECT_EQ(ChunkCount(out), 0u);
    }
}

// Random writes, slices, concatenations, clears and releases, checked against byte vectors.
// Under AddressSanitizer this also checks that shared buffers live exactly as long as needed.
TEST(DataStreamModel, RandomOperationsMatchAByteModel) {
    struct Model {
        Stream stream;
        Bytes bytes;
        std::vector<bool> gap;
        bool sealed = false;
    };
    const unsigned seed = 20240611;
    std::mt19937 random(seed);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    auto verify = [&](Model& m) {
        const auto size = static_cast<std::uint32_t>(m.bytes.size());
        // A copy of any range, as a writer puts a message on the wire, moves nothing.
        const std::uint32_t before = Position(m.stream);
        const auto from = static_cast<std::uint32_t>(pick(size + 1));
        Bytes copy(pick(size - from + 1));
        ASSERT_EQ(CopyDataStreamBytes(m.stream.Get(), from, static_cast<std::uint32_t>(copy.size()),
                                      copy.data()),
                  ResultOk);
        ASSERT_EQ(copy, Bytes(m.bytes.begin() + from, m.bytes.begin() + from + copy.size()));
        ASSERT_EQ(Position(m.stream), before);
        const auto position = static_cast<std::uint32_t>(pick(size + 1));
        ASSERT_EQ(m.stream->SetPosition(position), ResultOk);
        m.sealed = true;
        std::uint32_t hash = 0;
        for (std::uint32_t i = position; i < size; ++i) {
            hash = m.gap[i] ? hash : hash * 37 + m.bytes[i];
        }
        ASSERT_EQ(Hash(m.stream), hash);
        Bytes read(pick(size - position + 1));
        ASSERT_EQ(m.stream->ReadBytes(read.data(), static_cast<std::uint32_t>(read.size())),
                  ResultOk);
        const auto at = m.bytes.begin() + position + static_cast<std::ptrdiff_t>(read.size());
        ASSERT_EQ(read, Bytes(m.bytes.begin() + position, at));
        // A fixed-width value wherever it falls, often across chunks.
        std::uint64_t value = 0, expected = 0;
        if (m.bytes.end() - at >= 8) {
            ASSERT_EQ(m.stream->ReadUInt64(&value), ResultOk);
            for (int i = 7; i >= 0; --i) {
                expected = expected << 8 | at[i];
            }
            ASSERT_EQ(value, expected);
        }
    };

    std::vector<Model> models;
    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step);
        const std::size_t op = models.size() < 3 ? 0 : pick(20);
        if (op == 0) {
            models.push_back(Model{StreamOf(), {}, {}, false});
        } else if (op < 12) {
            Model& m = models[pick(models.size())];
            Bytes bytes(pick(8) == 0 ? pick(300) : pick(12));
            std::generate(bytes.begin(), bytes.end(), [&] { return std::uint8_t(random()); });
            const auto n = static_cast<std::uint32_t>(bytes.size());
            Result result;
            const std::size_t kind = pick(4);
            if (kind == 0) {
                result = m.stream->WriteGap(n);
                std::fill(bytes.begin(), bytes.end(), 0);
            } else if (kind == 1) {
                auto* array = new std::uint8_t[n];
                std::copy(bytes.begin(), bytes.end(), array);
                result = m.stream->AttachBuffer(array, n);
            } else if (kind == 2 && n >= 2) {
                bytes.resize(2);
                result =
                    m.stream->WriteUInt16(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
            } else {
                result = m.stream->WriteBytes(bytes.data(), n);
            }
            ASSERT_EQ(result, m.sealed ? ResultFail : ResultOk);
            if (!m.sealed) {
                m.bytes.insert(m.bytes.end(), bytes.begin(), bytes.end());
                m.gap.insert(m.gap.end(), bytes.size(), kind == 0);
            }
        } else if (op < 14) {
            const Model& from = models[pick(models.size())];
            const std::size_t a = pick(from.bytes.size() + 1), b = pick(from.bytes.size() + 1);
            const auto start = static_cast<std::ptrdiff_t>(std::min(a, b));
            const auto end = static_cast<std::ptrdiff_t>(std::max(a, b));
            Model slice{nullptr, Bytes(from.bytes.begin() + start, from.bytes.begin() + end),
                        std::vector<bool>(from.gap.begin() + start, from.gap.begin() + end), true};
            ASSERT_EQ(SliceDataStream(from.stream.Get(), static_cast<std::uint32_t>(start),
                                      static_cast<std::uint32_t>(end), slice.stream.Receive()),
                      ResultOk);
            models.push_back(std::move(slice));
        } else if (op < 16) {
            Model joined{nullptr, {}, {}, true};
            std::vector<IDataStream*> sources;
            for (std::size_t i = pick(4); i > 0; --i) {
                const Model& source = models[pick(models.size())];
                sources.push_back(source.stream.Get());
                joined.bytes.insert(joined.bytes.end(), source.bytes.begin(), source.bytes.end());
                joined.gap.insert(joined.gap.end(), source.gap.begin(), source.gap.end());
            }
            ASSERT_EQ(ConcatenateDataStreams(sources, joined.stream.Receive()), ResultOk);
            models.push_back(std::move(joined));
        } else if (op < 18) {
            verify(models[pick(models.size())]);
        } else if (op == 18) {
            Model& m = models[pick(models.size())];
            ASSERT_EQ(m.stream->Clear(), ResultOk);
            m = Model{m.stream, {}, {}, false};
        } else {
            models.erase(models.begin() + static_cast<std::ptrdiff_t>(pick(models.size())));
        }
    }
    for (Model& m : models) {
        verify(m);
        ASSERT_EQ(Contents(m.stream), m.bytes);
    }
}

// The identifier's serial form, with the stream it is written to.
const UUID SampleId(0x7a49fb65, 0x09ab, 0x11de, 0x8c300800200c9a66);

TEST(UuidSerial, WritesSixteenLittleEndianBytesAndReadsThemBack) {
    Stream stream = StreamOf();
    ASSERT_EQ(SerializeUuid(stream.Get(), SampleId), ResultOk);
    const Bytes expected = {0x65, 0xfb, 0x49, 0x7a, 0xab, 0x09, 0xde, 0x11,
                            0x8c, 0x30, 0x08, 0x00, 0x20, 0x0c, 0x9a, 0x66};
    EXPECT_EQ(Contents(stream), expected);

    ASSERT_EQ(stream->SetPosition(0), ResultOk);
    UUID read;
    EXPECT_EQ(DeserializeUuid(stream.Get(), &read), ResultOk);
    EXPECT_EQ(read, SampleId);

    EXPECT_EQ(SerializeUuid(nullptr, SampleId), ResultNullPointer);
    EXPECT_EQ(DeserializeUuid(nullptr, &read), ResultNullPointer);
}

TEST(UuidSerial, WritingToASealedStreamFails) {
    Stream stream = StreamOf();
    std::uint32_t position = 0;
    ASSERT_EQ(stream->GetPosition(&position), ResultOk);  // Seals the stream.
    EXPECT_TRUE(Failed(SerializeUuid(stream.Get(), SampleId)));
    std::uint32_t size = 1;
    EXPECT_EQ(stream->GetSize(&size), ResultOk);
    EXPECT_EQ(size, 0u);
}

TEST(UuidSerial, ShortStreamSucceedsAndKeepsTheUnreadMembers) {
    Stream stream = StreamOf();
    ASSERT_EQ(stream->WriteUInt32(0x01020304), ResultOk);
    ASSERT_EQ(stream->WriteUInt16(0x0506), ResultOk);
    ASSERT_EQ(stream->WriteUInt8(0x07), ResultOk);  // Too short for Data3.

    UUID uuid = SampleId;
    EXPECT_EQ(DeserializeUuid(stream.Get(), &uuid), ResultOk);
    // Data3 could not be read; the single byte left then went to Data4[0].
    UUID expected = SampleId;
    expected.Data1 = 0x01020304;
    expected.Data2 = 0x0506;
    expected.Data4[0] = 0x07;
    EXPECT_EQ(uuid, expected);

    // The strict read of the same bytes fails, reads nothing and leaves the identifier;
    // whole, it reads what the serial form wrote.
    ASSERT_EQ(stream->SetPosition(0), ResultOk);
    uuid = SampleId;
    EXPECT_EQ(DeserializeWholeUuid(stream.Get(), &uuid), ResultFail);
    EXPECT_EQ(uuid, SampleId);
    std::uint32_t position = 1;
    ASSERT_EQ(stream->GetPosition(&position), ResultOk);
    EXPECT_EQ(position, 0u);
    Stream whole = StreamOf();
    ASSERT_EQ(SerializeUuid(whole.Get(), expected), ResultOk);
    EXPECT_EQ(DeserializeWholeUuid(whole.Get(), &uuid), ResultOk);
    EXPECT_EQ(uuid, expected);
}

}  // namespace
}  // namespace brondal
