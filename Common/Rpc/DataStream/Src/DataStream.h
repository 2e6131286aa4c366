#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "InlineVector.h"
#include "StreamBuffer.h"

namespace brondal {

// The data stream: chunks laid end to end from logical offset 0, each a window
// [begin, end) on a shared StreamBuffer. Concatenation and slicing copy chunk records and
// never bytes, so a message can be framed, split and forwarded without copying its payload.
//
// Writes extend only the last chunk, and only while the stream is unsealed. Every other
// chunk on that buffer was copied from this stream earlier (streams made by concatenation
// or slicing are sealed), so it ends at or before the last chunk's end: bytes written past
// it are invisible to everyone else and sharing needs no lock.
//
// Sizes are 32-bit: an append that would take the size past 0xFFFFFFFF fails with
// ResultFail, a concatenation that would with ResultInvalidArgument; nothing changes.
// Appending zero bytes (including a zero-length AttachBuffer or WriteGap) adds no chunk.
class DataStream final : public IDataStream, public IRefCountImpl {
public:
    static constexpr std::uint32_t MaxSize = 0xFFFFFFFFu;
    // Small writes share buffers of this size; a larger write gets a buffer of its own size.
    static constexpr std::uint32_t MinBufferCapacity = 64;
    // The most bytes Append copies instead of sharing the source's buffers.
    static constexpr std::uint32_t MaxCopiedOnAppend = 256;

    // Every stream is allocated with room for its first buffer (see Embedded): a stream
    // of a few small values, such as a layer's header, costs one allocation. The buffer
    // has MinBufferCapacity bytes, as a first buffer would have had anyway.
    static void* operator new(std::size_t size);
    static void operator delete(void* block) noexcept;
    // Frees a stream's block once its object and its embedded buffer are both gone (from
    // the buffer's record). Blocks are kept per thread for the next streams (BlockCache).
    static void FreeBlock(void* block) noexcept;
    // The freed blocks the calling thread keeps, for tests.
    static std::uint32_t CachedBlocksForTesting() noexcept;

    DataStream() = default;

    // The bodies of the free functions declared with IDataStream.
    [[nodiscard]] static Result Concatenate(IDataStream* const* sources, std::size_t count,
                                            IDataStream** result);
    [[nodiscard]] static Result Slice(IDataStream* source, std::uint32_t start, std::uint32_t end,
                                      IDataStream** result);
    [[nodiscard]] static Result Append(IDataStream* target, IDataStream* source);
    [[nodiscard]] static Result CopyOut(IDataStream* source, std::uint32_t start,
                                        std::uint32_t count, std::uint8_t* out);

    [[nodiscard]] Result GetSize(std::uint32_t* size) override;

    Result WriteInt8(std::int8_t value) override;
    Result WriteUInt8(std::uint8_t value) override;
    Result WriteInt16(std::int16_t value) override;
    Result WriteUInt16(std::uint16_t value) override;
    Result WriteInt32(std::int32_t value) override;
    Result WriteUInt32(std::uint32_t value) override;
    Result WriteInt64(std::int64_t value) override;
    Result WriteUInt64(std::uint64_t value) override;
    [[nodiscard]] Result WriteFloat(float value) override;
    [[nodiscard]] Result WriteDouble(double value) override;
    [[nodiscard]] Result WriteBool(bool value) override;
    [[nodiscard]] Result WriteString(const std::string& value) override;
    [[nodiscard]] Result WriteBytes(const void* data, std::uint32_t length) override;
    [[nodiscard]] Result AttachBuffer(std::uint8_t* buffer, std::uint32_t length) override;
    [[nodiscard]] Result WriteGap(std::uint32_t length) override;

    Result ReadInt8(std::int8_t* value) override;
    Result ReadUInt8(std::uint8_t* value) override;
    Result ReadInt16(std::int16_t* value) override;
    Result ReadUInt16(std::uint16_t* value) override;
    Result ReadInt32(std::int32_t* value) override;
    Result ReadUInt32(std::uint32_t* value) override;
    Result ReadInt64(std::int64_t* value) override;
    Result ReadUInt64(std::uint64_t* value) override;
    [[nodiscard]] Result ReadFloat(float* value) override;
    [[nodiscard]] Result ReadDouble(double* value) override;
    [[nodiscard]] Result ReadBool(bool* value) override;
    [[nodiscard]] Result ReadString(std::string* value) override;
    [[nodiscard]] Result ReadBytes(void* destination, std::uint32_t count) override;

    [[nodiscard]] Result GetPosition(std::uint32_t* position) override;
    [[nodiscard]] Result SetPosition(std::uint32_t position) override;
    [[nodiscard]] Result GetHash(std::uint32_t* hash) override;
    [[nodiscard]] Result Clear() override;

    // Calls visit(const std::uint8_t* data, std::uint32_t length) for each contiguous range
    // from the position to the end, in order; data is null for a gap (length zero bytes).
    // Neither seals nor moves the position, so a writer can hand a finished message to the
    // socket as it is. The bytes stay valid and unchanged while any stream sharing them
    // lives, even if this stream is written to or cleared.
    template <class Visit>
    void ForEachRange(Visit&& visit) const;

    // How the bytes are laid out, for tests and diagnostics.
    std::size_t GetChunkCount() const { return chunks_.size(); }

private:
    // Holds one reference to buffer. Trivially copyable on purpose: the chunk list grows
    // by memcpy and the stream adds and drops the references itself.
    struct Chunk {
        StreamBuffer* buffer;
        std::uint32_t offset;  // logical offset of begin
        std::uint32_t begin;
        std::uint32_t end;

        std::uint32_t Length() const { return end - begin; }
        std::uint32_t LogicalEnd() const { return offset + (end - begin); }
    };

    ~DataStream() override;

    // The stream as this class, or null when it is another implementation. DataStream is
    // final, so comparing the dynamic type is exact, and much cheaper than a dynamic_cast
    // across the reference-count base (this runs several times per message).
    static const DataStream* From(const IDataStream* stream);

    template <class U>
    [[nodiscard]] Result WriteFixed(U value);
    template <class U>
    [[nodiscard]] Result ReadFixed(U* value);
    // Reads the unsigned wire form U and converts it to T.
    template <class U, class T>
    [[nodiscard]] Result ReadAs(T* value);

    // Appends a chunk for a buffer allocated by create(); ResultFail when it cannot be had.
    template <class Create>
    [[nodiscard]] Result AppendBuffer(std::uint32_t length, Create&& create);
    void ReleaseChunks() noexcept;
    // The buffer allocated with this stream, after the object in the same block. It is
    // handed to at most one write in the stream's life: once its bytes are in a chunk,
    // other streams may share them, and only the tail past them could be written again.
    StreamBuffer* Embedded() noexcept;
    // Copies count bytes (zeros for a gap) from offset position, which chunk index holds;
    // the index of the chunk holding the offset after them. The range is checked by the caller.
    std::size_t CopyRange(std::size_t index, std::uint32_t position, std::uint32_t count,
                          std::uint8_t* out) const;
    // The index of the chunk holding offset, or chunks_.size() when offset is the size.
    std::size_t FindChunk(std::uint32_t offset) const;

    std::uint32_t size_ = 0;
    std::uint32_t position_ = 0;
    // The index of the chunk holding position_ (chunks_.size() at the end), so sequential
    // reads never search. Unsealed streams are at position 0, which chunk 0 holds however
    // many chunks writes add, so appends never have to update it.
    std::size_t cursor_ = 0;
    bool sealed_ = false;
    bool embeddedTaken_ = false;
    // Sorted by offset, contiguous, no chunk empty: a sorted vector is the ordered map from
    // offset to chunk, with binary search for lookups and no per-node allocation. Six chunks
    // inline cover a layered message (a header per layer joined to a payload of one or two
    // chunks) without allocating; last, so the fields above share the object's first lines.
    InlineVector<Chunk, 6> chunks_;
};

template <class Visit>
void DataStream::ForEachRange(Visit&& visit) const {
    std::uint32_t skip = cursor_ < chunks_.size() ? position_ - chunks_[cursor_].offset : 0;
    for (std::size_t i = cursor_; i < chunks_.size(); ++i) {
        const Chunk& chunk = chunks_[i];
        const std::uint8_t* data = chunk.buffer->Data();
        visit(data != nullptr ? data + chunk.begin + skip : nullptr, chunk.Length() - skip);
        skip = 0;
    }
}

}  // namespace brondal
