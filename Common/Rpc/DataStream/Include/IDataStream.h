#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "IRefCount.h"
#include "ResultCodes.h"

namespace brondal {

// The byte container and value encoding of every message: little-endian fixed-width
// integers, one-byte booleans, strings as an unsigned 32-bit byte count and the bytes; no
// tags, no alignment. A reader must know the order and types of what it reads.
//
// Writes append at the end. The first read-side operation (any read, GetPosition,
// SetPosition, GetHash) seals the stream: later writes fail with ResultFail until Clear.
// Out values are written only on success; a null out pointer gives ResultNullPointer. A
// stream holds at most 0xFFFFFFFF bytes: an append beyond that fails with ResultFail and
// changes nothing. One thread at a time uses a stream; only its reference count is
// thread-safe (streams made from it by concatenation or slicing may live on other threads).
class IDataStream : public virtual IRefCount {
public:
    // Strings longer than this are refused by ReadString (100 MiB).
    static constexpr std::uint32_t MaxStringLength = 104857600;

    [[nodiscard]] virtual Result GetSize(std::uint32_t* size) = 0;

    virtual Result WriteInt8(std::int8_t value) = 0;
    virtual Result WriteUInt8(std::uint8_t value) = 0;
    virtual Result WriteInt16(std::int16_t value) = 0;
    virtual Result WriteUInt16(std::uint16_t value) = 0;
    virtual Result WriteInt32(std::int32_t value) = 0;
    virtual Result WriteUInt32(std::uint32_t value) = 0;
    virtual Result WriteInt64(std::int64_t value) = 0;
    virtual Result WriteUInt64(std::uint64_t value) = 0;
    [[nodiscard]] virtual Result WriteFloat(float value) = 0;
    [[nodiscard]] virtual Result WriteDouble(double value) = 0;
    [[nodiscard]] virtual Result WriteBool(bool value) = 0;
    [[nodiscard]] virtual Result WriteString(const std::string& value) = 0;
    [[nodiscard]] virtual Result WriteBytes(const void* data, std::uint32_t length) = 0;
    // Appends a heap array (allocated with new[]) as a chunk of its own without copying;
    // the stream owns it from then on, also when the call fails. Length 0 appends nothing.
    [[nodiscard]] virtual Result AttachBuffer(std::uint8_t* buffer, std::uint32_t length) = 0;
    // Appends length bytes that have no storage; they read as zero and the hash skips them.
    // Length 0 appends nothing.
    [[nodiscard]] virtual Result WriteGap(std::uint32_t length) = 0;

    virtual Result ReadInt8(std::int8_t* value) = 0;
    virtual Result ReadUInt8(std::uint8_t* value) = 0;
    virtual Result ReadInt16(std::int16_t* value) = 0;
    virtual Result ReadUInt16(std::uint16_t* value) = 0;
    virtual Result ReadInt32(std::int32_t* value) = 0;
    virtual Result ReadUInt32(std::uint32_t* value) = 0;
    virtual Result ReadInt64(std::int64_t* value) = 0;
    virtual Result ReadUInt64(std::uint64_t* value) = 0;
    [[nodiscard]] virtual Result ReadFloat(float* value) = 0;
    [[nodiscard]] virtual Result ReadDouble(double* value) = 0;
    [[nodiscard]] virtual Result ReadBool(bool* value) = 0;
    // ResultFail when the length is above MaxStringLength (the position goes back before the
    // length) or fewer bytes than it announces remain (the position stays after the length;
    // nothing is allocated for the missing bytes).
    [[nodiscard]] virtual Result ReadString(std::string* value) = 0;
    // Copies exactly count bytes from the position, or fails with ResultFail leaving the
    // position and the destination as they were.
    [[nodiscard]] virtual Result ReadBytes(void* destination, std::uint32_t count) = 0;

    [[nodiscard]] virtual Result GetPosition(std::uint32_t* position) = 0;
    // ResultInvalidArgument beyond the size; position == size is allowed.
    [[nodiscard]] virtual Result SetPosition(std::uint32_t position) = 0;
    // h = h * 37 + byte over the bytes from the position to the end (gaps skipped).
    [[nodiscard]] virtual Result GetHash(std::uint32_t* hash) = 0;
    // Drops all content; the stream is empty, at position 0 and writable again.
    [[nodiscard]] virtual Result Clear() = 0;
};

// A new, empty, writable stream with one reference for the caller.
[[nodiscard]] Result NewDataStream(IDataStream** stream);

// A new sealed stream holding the sources' bytes in order, sharing their buffers (no byte
// is copied). ResultInvalidArgument when a source is not a stream of this implementation or
// the total would exceed 0xFFFFFFFF bytes. The sources' positions and seals are untouched.
[[nodiscard]] Result ConcatenateDataStreams(const std::vector<IDataStream*>& sources,
                                            IDataStream** result);
[[nodiscard]] Result ConcatenateDataStreams(IDataStream* first, IDataStream* second,
                                            IDataStream** result);

// Appends source's bytes to target, sharing source's buffers, and seals target: how a
// header written into a new stream goes before its message without a third stream. A
// source of a few hundred bytes or less (without gaps) that fits the room left in target's
// last buffer is copied there instead, which is cheaper than sharing. ResultInvalidArgument when
// either is not a stream of this implementation, both are the same stream, or the total would
// exceed 0xFFFFFFFF bytes; target is unchanged then. Target's position and source's position and
// seal are untouched.
[[nodiscard]] Result AppendDataStream(IDataStream* target, IDataStream* source);

// A new sealed stream holding source bytes [start, end), sharing the source's buffers.
// ResultInvalidArgument when end < start or end is beyond the source's size.
[[nodiscard]] Result SliceDataStream(IDataStream* source, std::uint32_t start, std::uint32_t end,
                                     IDataStream** result);

// Copies source bytes [start, start + count) to out (zeros for a gap) without touching the
// source's position or seal and without allocating: how a writer puts a message on the
// wire. ResultInvalidArgument when the range is beyond the size or the source is not a
// stream of this implementation; out is untouched then.
[[nodiscard]] Result CopyDataStreamBytes(IDataStream* source, std::uint32_t start,
                                         std::uint32_t count, std::uint8_t* out);

}  // namespace brondal
