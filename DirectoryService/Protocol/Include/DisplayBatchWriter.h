#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "DirectoryProtocol.h"
#include "DisplayRecord.h"
#include "IDataStream.h"
#include "RefPtr.h"
#include "ResultCodes.h"

namespace brondal::corvane {

// The argument stream of the display-batch callback, encoded as the stream's own writes
// would lay it out (little-endian integers, strings with a 32-bit byte count) but in one
// pass into one exactly sized buffer, which the stream then takes over without copying.
// Batches are made one per turn of the callback thread, which serves every subscriber, so
// their cost is paid by all of them.
//
// Layout: [marker (36 bytes, no length) + form version UInt16] in the extended form when
// the batch has entries; count UInt32; count entries of displayId (serial form),
// secondaryName, displayName, address UInt32, port UInt16, tag UInt32 and, extended, extra;
// the end flag as one byte.
class DisplayBatchWriter {
public:
    explicit DisplayBatchWriter(bool extended) : extended_(extended) {}

    // Encoded bytes of one entry.
    std::size_t EntrySize(const DisplayRecord& record) const {
        std::size_t size =
            DisplayEntryFixedBytes + record.secondaryName.size() + record.displayName.size();
        if (extended_) size += sizeof(std::uint32_t) + record.extra.size();
        return size;
    }
    // Encoded bytes of a batch whose entries take entryBytes.
    std::size_t BatchSize(std::uint32_t count, std::size_t entryBytes) const {
        return HeadSize(count) + sizeof(std::uint32_t) + entryBytes + 1;
    }

    // A new stream holding the batch of the count records from first (an iterator over
    // DisplayRecord, pointers to them, or map entries whose second is one); entryBytes is
    // the sum of their EntrySize. ResultFail when the batch would not fit a stream.
    template <class Iterator>
    [[nodiscard]] Result Write(Iterator first, std::uint32_t count, std::size_t entryBytes,
                               bool last, RefPtr<IDataStream>* batch) const {
        const std::size_t size = BatchSize(count, entryBytes);
        if (size > MaxBatchBytes) return ResultFail;
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]);
        std::uint8_t* out = buffer.get();
        if (HeadSize(count) != 0) {
            out = PutBytes(out, ExtendedBatchMarker.data(), ExtendedBatchMarker.size());
            out = PutLittleEndian(out, ExtendedFormVersion);
        }
        out = PutLittleEndian(out, count);
        for (std::uint32_t i = 0; i < count; ++i, ++first)
            out = PutEntry(out, RecordOf(*first));
        *out++ = last ? 1 : 0;

        RefPtr<IDataStream> stream;
        Result result = NewDataStream(stream.Receive());
        if (Failed(result)) return result;
        result = stream->AttachBuffer(buffer.release(), static_cast<std::uint32_t>(size));
        if (Failed(result)) return result;
        *batch = std::move(stream);
        return ResultOk;
    }

private:
    static constexpr std::size_t MaxBatchBytes = 0xFFFFFFFFu;

    // The empty table's batch goes without the head even in the extended form.
    std::size_t HeadSize(std::uint32_t count) const {
        return extended_ && count != 0 ? ExtendedBatchMarker.size() + sizeof(std::uint16_t) : 0;
    }

    static const DisplayRecord& RecordOf(const DisplayRecord& record) { return record; }
    static const DisplayRecord& RecordOf(const DisplayRecord* record) { return *record; }
    template <class Key>
    static const DisplayRecord& RecordOf(const std::pair<Key, DisplayRecord>& entry) {
        return entry.second;
    }

    template <class T>
    static std::uint8_t* PutLittleEndian(std::uint8_t* out, T value) {
        for (std::size_t i = 0; i < sizeof(T); ++i)
            *out++ = static_cast<std::uint8_t>(value >> (8 * i));
        return out;
    }
    static std::uint8_t* PutBytes(std::uint8_t* out, const void* data, std::size_t length) {
        if (length != 0) std::memcpy(out, data, length);
        return out + length;
    }
    static std::uint8_t* PutString(std::uint8_t* out, const std::string& text) {
        out = PutLittleEndian(out, static_cast<std::uint32_t>(text.size()));
        return PutBytes(out, text.data(), text.size());
    }
    std::uint8_t* PutEntry(std::uint8_t* out, const DisplayRecord& record) const {
        const UUID& id = record.displayId;
        out = PutLittleEndian(out, id.Data1);
        out = PutLittleEndian(out, id.Data2);
        out = PutLittleEndian(out, id.Data3);
        out = PutBytes(out, id.Data4.data(), id.Data4.size());
        out = PutString(out, record.secondaryName);
        out = PutString(out, record.displayName);
        out = PutLittleEndian(out, record.address);
        out = PutLittleEndian(out, record.port);
        out = PutLittleEndian(out, record.tag);
        if (extended_) out = PutString(out, record.extra);
        return out;
    }

    const bool extended_;
};

}  // namespace brondal::corvane
