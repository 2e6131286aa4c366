#pragma once

#include <cstdint>

namespace brondal {

// The body of a binary frame while it arrives. Memory follows the bytes that actually came,
// not the length the header announced: a peer that announces 100 MiB and then goes silent
// costs InitialCapacity, not 100 MiB. The capacity doubles as the body fills, never beyond
// the announced length plus Slack, and the finished body is handed out as one new[] array
// that a data stream adopts without copying.
//
// Doubling keeps the copying of a large body below its own length in total; the price is a
// moment during each growth where the old and the new array coexist.
class FrameBodyBuffer {
public:
    // Bodies up to this size (requests, responses, acknowledgements: nearly every frame) are
    // received into the object itself and copied out by the caller, so a frame costs no
    // array of its own; the price is this many bytes per receiver, used or not.
    static constexpr std::uint32_t InlineCapacity = 512;
    // Larger bodies up to this size are allocated once, at their exact size.
    static constexpr std::uint32_t InitialCapacity = 64 * 1024;
    static constexpr std::uint32_t Slack = 16;

    FrameBodyBuffer() = default;
    ~FrameBodyBuffer() { Reset(); }
    FrameBodyBuffer(const FrameBodyBuffer&) = delete;
    FrameBodyBuffer& operator=(const FrameBodyBuffer&) = delete;

    // Starts a body of length bytes, dropping any previous one. Allocates nothing yet.
    void Begin(std::uint32_t length);
    // Makes room for count more bytes at WritePosition(); count must not take the body past
    // its length. False when the memory cannot be had (FailedAllocation() tells the size
    // asked for); the bytes so far are kept.
    bool Reserve(std::uint32_t count);
    std::uint8_t* WritePosition() { return data_ + size_; }
    // Counts bytes written at WritePosition().
    void Commit(std::uint32_t count) { size_ += count; }

    std::uint32_t Length() const { return length_; }
    std::uint32_t Size() const { return size_; }
    // The bytes allocated for the body; none while it is inline.
    std::uint32_t Capacity() const { return capacity_; }
    // Whether the body is in the object itself (then Data() is valid until the next Begin).
    bool IsInline() const { return data_ == inline_; }
    const std::uint8_t* Data() const { return data_; }
    bool IsComplete() const { return size_ == length_; }
    std::uint32_t FailedAllocation() const { return failedAllocation_; }

    // Hands the array (allocated with new[]; null when nothing was allocated) to the caller
    // and forgets it. An inline body is copied into a new array (null when that fails).
    std::uint8_t* Release();
    void Reset();

private:
    std::uint8_t* data_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t length_ = 0;
    std::uint32_t failedAllocation_ = 0;
    std::uint8_t inline_[InlineCapacity];
};

}  // namespace brondal
