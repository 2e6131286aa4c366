#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <memory_resource>
#include <vector>

#include "RefPtr.h"

namespace brondal {

// The listeners alive at one moment, each with a reference held until this goes: what a
// delivery calls once the lock that guards the listener set is let go. A listener whose
// last reference is already gone (TryAddRef fails) is left out. A few listeners (there is
// nearly always one) fit inside the object, so a message costs no allocation for them.
template <class T>
class LiveListeners {
public:
    template <class Range>
    explicit LiveListeners(const Range& listeners) : live_(&arena_) {
        live_.reserve(std::size(listeners));
        for (T* listener : listeners) {
            if (listener->TryAddRef() != 0) live_.push_back(RefPtr<T>::Adopt(listener));
        }
    }
    LiveListeners(const LiveListeners&) = delete;
    LiveListeners& operator=(const LiveListeners&) = delete;

    auto begin() const { return live_.begin(); }
    auto end() const { return live_.end(); }

private:
    alignas(std::max_align_t) std::array<std::byte, 4 * sizeof(RefPtr<T>)> storage_;
    std::pmr::monotonic_buffer_resource arena_{storage_.data(), storage_.size()};
    std::pmr::vector<RefPtr<T>> live_;
};

}  // namespace brondal
