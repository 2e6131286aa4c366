#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace brondal {

// The storage behind one or more data stream chunks: a byte array (or none, for a gap) and
// its capacity. Chunks of any number of streams, on any threads, share one buffer; the
// record and its array are freed together when the last chunk lets go.
//
// The buffer does not know which bytes are in use: the chunks' [begin, end) windows do.
// Bytes are written only by the one stream that owns the buffer's unfilled tail, and only
// past every window handed out so far, so sharing needs no lock.
class StreamBuffer {
public:
    // A buffer with capacity bytes of its own, allocated in one block with the record.
    // Null when the memory is not available.
    static StreamBuffer* Create(std::uint32_t capacity) noexcept;
    // A full buffer over array (allocated with new[]), freed with delete[] with the record.
    // Null when the record cannot be allocated; the caller still owns array then.
    static StreamBuffer* Attach(std::uint8_t* array, std::uint32_t length) noexcept;
    // A full buffer of length bytes without storage.
    static StreamBuffer* CreateGap(std::uint32_t length) noexcept;
    // The bytes an embedded buffer of capacity bytes takes, its record included.
    static constexpr std::size_t EmbeddedSize(std::uint32_t capacity) noexcept {
        return sizeof(StreamBuffer) + capacity;
    }
    // A buffer built at where, inside a data stream's block (DataStream::operator new), that
    // starts blockOffset bytes before where; capacity bytes follow the record. The stream's
    // hold is the first reference: when the stream and every chunk have let go, the record
    // hands the whole block to DataStream::FreeBlock. So a stream and its first buffer cost
    // one allocation, and the buffer may outlive the stream.
    static StreamBuffer* Embed(void* where, std::uint32_t capacity,
                               std::uint16_t blockOffset) noexcept;

    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;

    void AddRef() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
    void Release() noexcept {
        // References are only ever copied from one already held, so a count of 1 is the
        // caller's own and cannot change under it: the last holder skips the atomic
        // decrement (the acquire still orders the other holders' earlier releases first).
        if (count_.load(std::memory_order_acquire) == 1 ||
            count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            Destroy();
        }
    }

    // Null for a gap.
    std::uint8_t* Data() const noexcept { return data_; }
    std::uint32_t Capacity() const noexcept { return capacity_; }

private:
    enum class Storage : std::uint8_t { Inline, Attached, None, Embedded };

    StreamBuffer(std::uint8_t* data, std::uint32_t capacity, Storage storage,
                 std::uint16_t blockOffset = 0) noexcept
        : capacity_(capacity), storage_(storage), blockOffset_(blockOffset), data_(data) {}
    ~StreamBuffer() = default;

    static StreamBuffer* New(std::uint8_t* data, std::uint32_t capacity, Storage storage,
                             std::uint32_t inlineBytes) noexcept;
    void Destroy() noexcept;

    std::atomic<std::uint32_t> count_{1};
    const std::uint32_t capacity_;
    const Storage storage_;
    // Embedded only: how far before the record its block starts.
    const std::uint16_t blockOffset_;
    std::uint8_t* const data_;
};

}  // namespace brondal
