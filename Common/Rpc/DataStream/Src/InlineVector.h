#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

namespace brondal {

// A vector of trivially copyable values whose first InlineCount elements live inside the
// object: a data stream of a few chunks, the common message, then costs no allocation for
// its chunk list. Growth copies with memcpy and never runs element constructors.
template <class T, std::size_t InlineCount>
class InlineVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    InlineVector() = default;
    InlineVector(const InlineVector&) = delete;
    InlineVector& operator=(const InlineVector&) = delete;
    ~InlineVector() {
        if (data_ != Inline()) {
            ::operator delete(data_);
        }
    }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }

    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }

    // Throws std::bad_alloc and leaves the contents as they were when memory runs out.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) {
            return;
        }
        T* grown = static_cast<T*>(::operator new(capacity * sizeof(T)));
        if (size_ != 0) {
            std::memcpy(static_cast<void*>(grown), data_, size_ * sizeof(T));
        }
        if (data_ != Inline()) {
            ::operator delete(data_);
        }
        data_ = grown;
        capacity_ = capacity;
    }
    void push_back(const T& value) {
        if (size_ == capacity_) {
            reserve(std::max<std::size_t>(2 * capacity_, 4));
        }
        data_[size_++] = value;
    }
    // Keeps the capacity: a stream that is cleared and refilled does not reallocate.
    void clear() { size_ = 0; }

private:
    T* Inline() { return std::launder(reinterpret_cast<T*>(inline_)); }

    // The bookkeeping first: it is read on every access, the inline elements only by the
    // first few.
    T* data_ = Inline();
    std::size_t size_ = 0;
    std::size_t capacity_ = InlineCount;
    alignas(T) unsigned char inline_[InlineCount * sizeof(T)];
};

}  // namespace brondal
