#include "StreamBuffer.h"

#include <cstddef>
#include <new>

#include "DataStream.h"

namespace brondal {

StreamBuffer* StreamBuffer::New(std::uint8_t* data, std::uint32_t capacity, Storage storage,
                                std::uint32_t inlineBytes) noexcept {
    // Every record, whatever its storage, is a raw block so Destroy has one way to free it.
    // Inline bytes follow the record directly: a 64-byte buffer costs one allocation.
    void* block = ::operator new (sizeof(StreamBuffer) + std::size_t{inlineBytes}, std::nothrow);
    if (block == nullptr) {
        return nullptr;
    }
    if (storage == Storage::Inline) {
        data = static_cast<std::uint8_t*>(block) + sizeof(StreamBuffer);
    }
    return ::new (block) StreamBuffer(data, capacity, storage);
}

StreamBuffer* StreamBuffer::Create(std::uint32_t capacity) noexcept {
    return New(nullptr, capacity, Storage::Inline, capacity);
}

StreamBuffer* StreamBuffer::Attach(std::uint8_t* array, std::uint32_t length) noexcept {
    return New(array, length, Storage::Attached, 0);
}

StreamBuffer* StreamBuffer::CreateGap(std::uint32_t length) noexcept {
    return New(nullptr, length, Storage::None, 0);
}

StreamBuffer* StreamBuffer::Embed(void* where, std::uint32_t capacity,
                                  std::uint16_t blockOffset) noexcept {
    auto* data = static_cast<std::uint8_t*>(where) + sizeof(StreamBuffer);
    return ::new (where) StreamBuffer(data, capacity, Storage::Embedded, blockOffset);
}

void StreamBuffer::Destroy() noexcept {
    if (storage_ == Storage::Attached) {
        delete[] data_;
    }
    if (storage_ == Storage::Embedded) {
        void* block = reinterpret_cast<std::byte*>(this) - blockOffset_;
        this->~StreamBuffer();
        DataStream::FreeBlock(block);
        return;
    }
    this->~StreamBuffer();
    ::operator delete(static_cast<void*>(this));
}

}  // namespace brondal
