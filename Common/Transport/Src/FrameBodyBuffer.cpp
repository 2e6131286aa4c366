#include "FrameBodyBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace brondal {

void FrameBodyBuffer::Begin(std::uint32_t length) {
    Reset();
    length_ = length;
}

bool FrameBodyBuffer::Reserve(std::uint32_t count) {
    const std::uint64_t needed = std::uint64_t{size_} + count;
    if (length_ <= InlineCapacity) {
        data_ = inline_;
        return true;
    }
    if (needed <= capacity_) return true;

    const std::uint64_t limit = std::uint64_t{length_} + Slack;
    std::uint64_t grown = capacity_ == 0 ? InitialCapacity : std::uint64_t{capacity_} * 2;
    grown = std::min(std::max(grown, needed), limit);

    // Not value-initialised: every byte handed out is received first.
    std::uint8_t* larger = new (std::nothrow) std::uint8_t[grown];
    if (larger == nullptr) {
        failedAllocation_ = static_cast<std::uint32_t>(grown);
        return false;
    }
    if (size_ > 0) std::memcpy(larger, data_, size_);
    delete[] data_;
    data_ = larger;
    capacity_ = static_cast<std::uint32_t>(grown);
    return true;
}

std::uint8_t* FrameBodyBuffer::Release() {
    std::uint8_t* data = data_;
    if (IsInline()) {
        data = new (std::nothrow) std::uint8_t[length_];
        if (data != nullptr) std::memcpy(data, inline_, size_);
    }
    data_ = nullptr;
    capacity_ = 0;
    size_ = 0;
    length_ = 0;
    return data;
}

void FrameBodyBuffer::Reset() {
    if (IsInline()) data_ = nullptr;
    delete[] Release();
}

}  // namespace brondal
