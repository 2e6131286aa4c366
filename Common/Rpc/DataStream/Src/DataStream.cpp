#include "DataStream.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <typeinfo>

#include "BlockCache.h"
#include "RefPtr.h"

namespace brondal {

namespace {

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "floating-point values travel as IEEE bytes");

template <class U>
void StoreLittleEndian(std::uint8_t* out, U value) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &value, sizeof(U));
    } else {
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            out[i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
}

template <class U>
U LoadLittleEndian(const std::uint8_t* in) {
    U value;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, in, sizeof(U));
    } else {
        value = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            value |= static_cast<U>(static_cast<U>(in[i]) << (8 * i));
        }
    }
    return value;
}

// Signed integers are the unsigned bit patterns (the conversion is modular), floating-point
// values their IEEE bits, and any non-zero byte is true.
template <class T, class U>
T FromWire(U raw) {
    if constexpr (std::is_same_v<T, bool>) {
        return raw != 0;
    } else if constexpr (std::is_floating_point_v<T>) {
        return std::bit_cast<T>(raw);
    } else {
        return static_cast<T>(raw);
    }
}

}  // namespace

namespace {

// Where the embedded buffer's record sits in a stream's block.
constexpr std::size_t EmbeddedRecordOffset() {
    return (sizeof(DataStream) + alignof(StreamBuffer) - 1) / alignof(StreamBuffer) *
           alignof(StreamBuffer);
}
static_assert(EmbeddedRecordOffset() <= 0xFFFF);

StreamBuffer* EmbeddedRecord(void* block) noexcept {
    return std::launder(
        reinterpret_cast<StreamBuffer*>(static_cast<std::byte*>(block) + EmbeddedRecordOffset()));
}

// Every stream's block: the object, then its first buffer's record and bytes.
constexpr std::size_t StreamBlockSize = std::max(sizeof(DataStream), EmbeddedRecordOffset()) +
                                        StreamBuffer::EmbeddedSize(DataStream::MinBufferCapacity);
using StreamBlocks = BlockCache<StreamBlockSize>;

}  // namespace

void* DataStream::operator new(std::size_t size) {
    // DataStream is final: size is always its own.
    (void)size;
    void* block = StreamBlocks::Take();
    (void)StreamBuffer::Embed(static_cast<std::byte*>(block) + EmbeddedRecordOffset(),
                              MinBufferCapacity,
                              static_cast<std::uint16_t>(EmbeddedRecordOffset()));
    return block;
}

void DataStream::operator delete(void* block) noexcept {
    // The object is gone; its buffer's record frees the block once no chunk uses it.
    EmbeddedRecord(block)->Release();
}

void DataStream::FreeBlock(void* block) noexcept { StreamBlocks::Give(block); }

std::uint32_t DataStream::CachedBlocksForTesting() noexcept { return StreamBlocks::Held(); }

StreamBuffer* DataStream::Embedded() noexcept { return EmbeddedRecord(this); }

DataStream::~DataStream() { ReleaseChunks(); }

void DataStream::ReleaseChunks() noexcept {
    for (const Chunk& chunk : chunks_) {
        chunk.buffer->Release();
    }
    chunks_.clear();
}

std::size_t DataStream::FindChunk(std::uint32_t offset) const {
    if (offset >= size_) {
        return chunks_.size();
    }
    const auto after = std::upper_bound(
        chunks_.begin(), chunks_.end(), offset,
        [](std::uint32_t value, const Chunk& chunk) { return value < chunk.offset; });
    // Chunk 0 starts at 0 <= offset, so there is always one before.
    return static_cast<std::size_t>(after - chunks_.begin()) - 1;
}

// ---- Writing

template <class U>
Result DataStream::WriteFixed(U value) {
    // The hot path of every message: straight into the last buffer when the value fits.
    if (!sealed_ && !chunks_.empty()) {
        Chunk& last = chunks_.back();
        const StreamBuffer& buffer = *last.buffer;
        if (sizeof(U) <= buffer.Capacity() - last.end && sizeof(U) <= MaxSize - size_) {
            StoreLittleEndian(buffer.Data() + last.end, value);
            last.end += sizeof(U);
            size_ += sizeof(U);
            return ResultOk;
        }
    }
    std::uint8_t bytes[sizeof(U)];
    StoreLittleEndian(bytes, value);
    return WriteBytes(bytes, sizeof(U));
}

Result DataStream::WriteInt8(std::int8_t value) {
    return WriteFixed(static_cast<std::uint8_t>(value));
}
Result DataStream::WriteUInt8(std::uint8_t value) { return WriteFixed(value); }
Result DataStream::WriteInt16(std::int16_t value) {
    return WriteFixed(static_cast<std::uint16_t>(value));
}
Result DataStream::WriteUInt16(std::uint16_t value) { return WriteFixed(value); }
Result DataStream::WriteInt32(std::int32_t value) {
    return WriteFixed(static_cast<std::uint32_t>(value));
}
Result DataStream::WriteUInt32(std::uint32_t value) { return WriteFixed(value); }
Result DataStream::WriteInt64(std::int64_t value) {
    return WriteFixed(static_cast<std::uint64_t>(value));
}
Result DataStream::WriteUInt64(std::uint64_t value) { return WriteFixed(value); }
Result DataStream::WriteFloat(float value) {
    return WriteFixed(std::bit_cast<std::uint32_t>(value));
}
Result DataStream::WriteDouble(double value) {
    return WriteFixed(std::bit_cast<std::uint64_t>(value));
}
Result DataStream::WriteBool(bool value) {
    return WriteFixed(static_cast<std::uint8_t>(value ? 1 : 0));
}

Result DataStream::WriteString(const std::string& value) {
    // The prefix must not land without its bytes: check there is room for both first.
    const std::size_t room = MaxSize - size_;
    if (value.size() > room || sizeof(std::uint32_t) > room - value.size()) {
        return ResultFail;
    }
    const auto length = static_cast<std::uint32_t>(value.size());
    const Result result = WriteUInt32(length);
    if (Failed(result)) {
        return result;
    }
    return WriteBytes(value.data(), length);
}

template <class Create>
Result DataStream::AppendBuffer(std::uint32_t length, Create&& create) {
    // Grow the list before making the buffer so that a throwing allocation leaks nothing
    // and the push_back below cannot throw.
    if (chunks_.size() == chunks_.capacity()) {
        chunks_.reserve(std::max<std::size_t>(4, 2 * chunks_.size()));
    }
    StreamBuffer* buffer = create();
    if (buffer == nullptr) {
        return ResultFail;
    }
    chunks_.push_back(Chunk{buffer, size_, 0, length});
    size_ += length;
    return ResultOk;
}

// Out of line on purpose: inlined into the fixed-width writers it makes their fast path
// save and restore registers for a slow path it rarely takes.
[[gnu::noinline]] Result DataStream::WriteBytes(const void* data, std::uint32_t length) {
    if (data == nullptr && length != 0) {
        return ResultNullPointer;
    }
    if (sealed_ || length > MaxSize - size_) {
        return ResultFail;
    }
    if (length == 0) {
        return ResultOk;
    }
    if (!chunks_.empty()) {
        Chunk& last = chunks_.back();
        const StreamBuffer& buffer = *last.buffer;
        if (length <= buffer.Capacity() - last.end) {
            std::memcpy(buffer.Data() + last.end, data, length);
            last.end += length;
            size_ += length;
            return ResultOk;
        }
    }
    // A value never straddles buffers: what does not fit the last one starts a new one, and
    // a large write gets a buffer of exactly its size.
    return AppendBuffer(length, [&]() -> StreamBuffer* {
        StreamBuffer* buffer = nullptr;
        if (!embeddedTaken_ && length <= MinBufferCapacity) {
            embeddedTaken_ = true;
            buffer = Embedded();
            buffer->AddRef();
        } else {
            buffer = StreamBuffer::Create(std::max(MinBufferCapacity, length));
        }
        if (buffer != nullptr) {
            std::memcpy(buffer->Data(), data, length);
        }
        return buffer;
    });
}

Result DataStream::AttachBuffer(std::uint8_t* buffer, std::uint32_t length) {
    std::unique_ptr<std::uint8_t[]> owned(buffer);
    if (buffer == nullptr && length != 0) {
        return ResultNullPointer;
    }
    if (sealed_ || length > MaxSize - size_) {
        return ResultFail;
    }
    if (length == 0) {
        return ResultOk;
    }
    // The chunk fills the buffer, so the next write opens a new one and never touches it.
    return AppendBuffer(length, [&]() -> StreamBuffer* {
        StreamBuffer* attached = StreamBuffer::Attach(owned.get(), length);
        if (attached != nullptr) {
            owned.release();
        }
        return attached;
    });
}

Result DataStream::WriteGap(std::uint32_t length) {
    if (sealed_ || length > MaxSize - size_) {
        return ResultFail;
    }
    if (length == 0) {
        return ResultOk;
    }
    return AppendBuffer(length, [&] { return StreamBuffer::CreateGap(length); });
}

// ---- Reading

template <class U>
Result DataStream::ReadFixed(U* value) {
    if (value == nullptr) {
        return ResultNullPointer;
    }
    sealed_ = true;
    if (cursor_ < chunks_.size()) {
        const Chunk& chunk = chunks_[cursor_];
        const std::uint32_t within = position_ - chunk.offset;
        const std::uint32_t left = chunk.Length() - within;
        const std::uint8_t* data = chunk.buffer->Data();
        if (sizeof(U) <= left && data != nullptr) {
            *value = LoadLittleEndian<U>(data + chunk.begin + within);
            position_ += sizeof(U);
            if (sizeof(U) == left) {
                ++cursor_;
            }
            return ResultOk;
        }
    }
    std::uint8_t bytes[sizeof(U)];
    const Result result = ReadBytes(bytes, sizeof(U));
    if (Failed(result)) {
        return result;
    }
    *value = LoadLittleEndian<U>(bytes);
    return ResultOk;
}

template <class U, class T>
Result DataStream::ReadAs(T* value) {
    if (value == nullptr) {
        return ResultNullPointer;
    }
    U raw;
    const Result result = ReadFixed(&raw);
    if (Succeeded(result)) {
        *value = FromWire<T>(raw);
    }
    return result;
}

Result DataStream::ReadUInt8(std::uint8_t* value) { return ReadFixed(value); }
Result DataStream::ReadUInt16(std::uint16_t* value) { return ReadFixed(value); }
Result DataStream::ReadUInt32(std::uint32_t* value) { return ReadFixed(value); }
Result DataStream::ReadUInt64(std::uint64_t* value) { return ReadFixed(value); }
Result DataStream::ReadInt8(std::int8_t* value) { return ReadAs<std::uint8_t>(value); }
Result DataStream::ReadInt16(std::int16_t* value) { return ReadAs<std::uint16_t>(value); }
Result DataStream::ReadInt32(std::int32_t* value) { return ReadAs<std::uint32_t>(value); }
Result DataStream::ReadInt64(std::int64_t* value) { return ReadAs<std::uint64_t>(value); }
Result DataStream::ReadFloat(float* value) { return ReadAs<std::uint32_t>(value); }
Result DataStream::ReadDouble(double* value) { return ReadAs<std::uint64_t>(value); }
Result DataStream::ReadBool(bool* value) { return ReadAs<std::uint8_t>(value); }

Result DataStream::ReadString(std::string* value) {
    if (value == nullptr) {
        return ResultNullPointer;
    }
    const std::uint32_t start = position_;
    const std::size_t startCursor = cursor_;
    std::uint32_t length;
    const Result result = ReadUInt32(&length);
    if (Failed(result)) {
        return result;
    }
    if (length > MaxStringLength) {
        position_ = start;
        cursor_ = startCursor;
        return ResultFail;
    }
    // The length comes off the wire: never allocate for bytes that are not there. The
    // position stays after the prefix, as a failed read of the bytes would leave it.
    if (length > size_ - position_) {
        return ResultFail;
    }
    if (cursor_ < chunks_.size()) {
        const Chunk& chunk = chunks_[cursor_];
        const std::uint32_t within = position_ - chunk.offset;
        const std::uint32_t left = chunk.Length() - within;
        const std::uint8_t* data = chunk.buffer->Data();
        if (length <= left && data != nullptr) {
            value->assign(reinterpret_cast<const char*>(data + chunk.begin + within), length);
            position_ += length;
            if (length == left) {
                ++cursor_;
            }
            return ResultOk;
        }
    }
    // Enough bytes remain, so reading straight into the caller's string cannot fail.
    value->resize(length);
    return ReadBytes(value->data(), length);
}

Result DataStream::ReadBytes(void* destination, std::uint32_t count) {
    if (destination == nullptr && count != 0) {
        return ResultNullPointer;
    }
    sealed_ = true;
    // Checked up front, so a failing read leaves the destination untouched too.
    if (count > size_ - position_) {
        return ResultFail;
    }
    cursor_ = CopyRange(cursor_, position_, count, static_cast<std::uint8_t*>(destination));
    position_ += count;
    return ResultOk;
}

std::size_t DataStream::CopyRange(std::size_t index, std::uint32_t position, std::uint32_t count,
                                  std::uint8_t* out) const {
    while (count != 0) {
        const Chunk& chunk = chunks_[index];
        const std::uint32_t within = position - chunk.offset;
        const std::uint32_t left = chunk.Length() - within;
        const std::uint32_t take = std::min(left, count);
        if (const std::uint8_t* data = chunk.buffer->Data()) {
            std::memcpy(out, data + chunk.begin + within, take);
        } else {
            std::memset(out, 0, take);
        }
        out += take;
        position += take;
        count -= take;
        if (take == left) {
            ++index;
        }
    }
    return index;
}

// ---- Position and whole-stream operations

Result DataStream::GetSize(std::uint32_t* size) {
    if (size == nullptr) {
        return ResultNullPointer;
    }
    *size = size_;
    return ResultOk;
}

Result DataStream::GetPosition(std::uint32_t* position) {
    if (position == nullptr) {
        return ResultNullPointer;
    }
    // A query: threads that only look at a stream no one writes any more (a delivered frame
    // several listeners slice) may ask at once, so the flag is written the first time only.
    if (!sealed_) sealed_ = true;
    *position = position_;
    return ResultOk;
}

Result DataStream::SetPosition(std::uint32_t position) {
    if (position > size_) {
        return ResultInvalidArgument;
    }
    sealed_ = true;
    position_ = position;
    cursor_ = FindChunk(position);
    return ResultOk;
}

Result DataStream::GetHash(std::uint32_t* hash) {
    if (hash == nullptr) {
        return ResultNullPointer;
    }
    if (!sealed_) sealed_ = true;  // a query, as GetPosition
    std::uint32_t h = 0;
    ForEachRange([&h](const std::uint8_t* data, std::uint32_t length) {
        if (data == nullptr) {
            return;
        }
        for (std::uint32_t i = 0; i < length; ++i) {
            h = h * 37u + data[i];
        }
    });
    *hash = h;
    return ResultOk;
}

Result DataStream::Clear() {
    ReleaseChunks();
    size_ = 0;
    position_ = 0;
    cursor_ = 0;
    sealed_ = false;
    return ResultOk;
}

// ---- Streams made from streams

const DataStream* DataStream::From(const IDataStream* stream) {
    return stream != nullptr && typeid(*stream) == typeid(DataStream)
               ? static_cast<const DataStream*>(stream)
               : nullptr;
}

Result DataStream::Concatenate(IDataStream* const* sources, std::size_t count,
                               IDataStream** result) {
    if (result == nullptr) {
        return ResultNullPointer;
    }
    std::uint64_t totalSize = 0;
    std::size_t totalChunks = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const DataStream* stream = From(sources[i]);
        if (stream == nullptr) {
            return ResultInvalidArgument;
        }
        totalSize += stream->size_;
        totalChunks += stream->chunks_.size();
    }
    if (totalSize > MaxSize) {
        return ResultInvalidArgument;
    }
    auto joined = RefPtr<DataStream>::Adopt(new DataStream);
    joined->sealed_ = true;
    joined->chunks_.reserve(totalChunks);
    for (std::size_t i = 0; i < count; ++i) {
        // Checked above.
        const auto& stream = static_cast<const DataStream&>(*sources[i]);
        for (const Chunk& chunk : stream.chunks_) {
            chunk.buffer->AddRef();
            joined->chunks_.push_back(
                Chunk{chunk.buffer, joined->size_ + chunk.offset, chunk.begin, chunk.end});
        }
        joined->size_ += stream.size_;
    }
    *result = joined.Detach();
    return ResultOk;
}

Result DataStream::Slice(IDataStream* source, std::uint32_t start, std::uint32_t end,
                         IDataStream** result) {
    if (result == nullptr) {
        return ResultNullPointer;
    }
    const DataStream* stream = From(source);
    if (stream == nullptr || end < start || end > stream->size_) {
        return ResultInvalidArgument;
    }
    auto slice = RefPtr<DataStream>::Adopt(new DataStream);
    slice->sealed_ = true;
    // start < end <= size here, so every chunk taken overlaps the range: no empty chunks.
    if (start < end) {
        const std::size_t first = stream->FindChunk(start);
        std::size_t last = first;
        while (last < stream->chunks_.size() && stream->chunks_[last].offset < end) {
            ++last;
        }
        slice->chunks_.reserve(last - first);
        for (std::size_t i = first; i < last; ++i) {
            const Chunk& chunk = stream->chunks_[i];
            const std::uint32_t chunkEnd = chunk.LogicalEnd();
            const std::uint32_t begin =
                chunk.begin + (std::max(start, chunk.offset) - chunk.offset);
            const std::uint32_t finish = chunk.end - (chunkEnd - std::min(chunkEnd, end));
            chunk.buffer->AddRef();
            slice->chunks_.push_back(Chunk{chunk.buffer, slice->size_, begin, finish});
            slice->size_ += finish - begin;
        }
    }
    *result = slice.Detach();
    return ResultOk;
}

Result DataStream::Append(IDataStream* target, IDataStream* source) {
    const DataStream* from = From(source);
    auto* to = const_cast<DataStream*>(From(target));
    if (to == nullptr || from == nullptr || to == from || from->size_ > MaxSize - to->size_) {
        return ResultInvalidArgument;
    }
    // A small source that fits the unwritten tail of the target's last buffer is copied
    // there: an unsealed stream's last buffer is its own to write (see the class comment).
    // A few bytes copied cost less than a reference taken now and dropped later, on any
    // thread, for each of the source's buffers; and a message that passes several layers,
    // each adding a header, would pay that at every one.
    if (!to->sealed_ && !to->chunks_.empty() && from->size_ <= MaxCopiedOnAppend) {
        Chunk& last = to->chunks_.back();
        std::uint8_t* data = last.buffer->Data();
        // A gap stays a gap (the hash skips it), so a source with one is shared; the room
        // is checked first, as it is cheaper and most often decides.
        if (data != nullptr && from->size_ <= last.buffer->Capacity() - last.end &&
            std::all_of(from->chunks_.begin(), from->chunks_.end(),
                        [](const Chunk& c) { return c.buffer->Data() != nullptr; })) {
            if (from->size_ != 0) {
                (void)from->CopyRange(0, 0, from->size_, data + last.end);
            }
            last.end += from->size_;
            to->size_ += from->size_;
            to->sealed_ = true;
            return ResultOk;
        }
    }
    // Sealed first: the target's last chunk may now be on the source's buffer, whose tail
    // is the source's to write.
    to->chunks_.reserve(to->chunks_.size() + from->chunks_.size());
    to->sealed_ = true;
    for (const Chunk& chunk : from->chunks_) {
        chunk.buffer->AddRef();
        to->chunks_.push_back(
            Chunk{chunk.buffer, to->size_ + chunk.offset, chunk.begin, chunk.end});
    }
    to->size_ += from->size_;
    return ResultOk;
}

Result DataStream::CopyOut(IDataStream* source, std::uint32_t start, std::uint32_t count,
                           std::uint8_t* out) {
    const DataStream* stream = From(source);
    if (stream == nullptr || start > stream->size_ || count > stream->size_ - start) {
        return ResultInvalidArgument;
    }
    if (count == 0) {
        return ResultOk;
    }
    if (out == nullptr) {
        return ResultNullPointer;
    }
    (void)stream->CopyRange(stream->FindChunk(start), start, count, out);
    return ResultOk;
}

Result NewDataStream(IDataStream** stream) {
    if (stream == nullptr) {
        return ResultNullPointer;
    }
    *stream = new DataStream;
    return ResultOk;
}

Result ConcatenateDataStreams(const std::vector<IDataStream*>& sources, IDataStream** result) {
    return DataStream::Concatenate(sources.data(), sources.size(), result);
}

Result ConcatenateDataStreams(IDataStream* first, IDataStream* second, IDataStream** result) {
    // Keep both alive for the call even if another holder releases them meanwhile.
    const RefPtr<IDataStream> holdFirst(first);
    const RefPtr<IDataStream> holdSecond(second);
    IDataStream* const both[] = {first, second};
    return DataStream::Concatenate(both, 2, result);
}

Result SliceDataStream(IDataStream* source, std::uint32_t start, std::uint32_t end,
                       IDataStream** result) {
    return DataStream::Slice(source, start, end, result);
}

Result AppendDataStream(IDataStream* target, IDataStream* source) {
    return DataStream::Append(target, source);
}

Result CopyDataStreamBytes(IDataStream* source, std::uint32_t start, std::uint32_t count,
                           std::uint8_t* out) {
    return DataStream::CopyOut(source, start, count, out);
}

}  // namespace brondal
