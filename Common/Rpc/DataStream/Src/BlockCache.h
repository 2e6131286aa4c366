#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRONDAL_BLOCK_CACHE_POISON 1
#endif
#endif
#if !defined(BRONDAL_BLOCK_CACHE_POISON) && defined(__SANITIZE_ADDRESS__)
#define BRONDAL_BLOCK_CACHE_POISON 1
#endif
#if defined(BRONDAL_BLOCK_CACHE_POISON)
#include <sanitizer/asan_interface.h>
#endif

namespace brondal {

// Blocks of Size bytes that a thread let go, kept for its next allocations of that size.
// A message costs a dozen stream blocks on each side of a layered request, allocated and
// freed in bursts larger than the allocator's own per-thread cache, so most of them went
// through its slower shared path; a cache of our own takes and gives one in a few
// instructions.
//
// Each thread has its own list and never locks: a block freed on another thread than the
// one that took it joins the freeing thread's list. A thread keeps at most MaxBlocks
// (MaxBlocks * Size bytes); beyond that, and once the thread is ending, blocks go back to
// the allocator. Its list is emptied when the thread ends, so nothing is held for a thread
// that is gone. Under AddressSanitizer a cached block is poisoned but for its link, so a
// use after release is still caught.
template <std::size_t Size>
class BlockCache {
    static_assert(Size >= sizeof(void*));

public:
    static constexpr std::uint32_t MaxBlocks = 32;

    // A block of Size bytes, aligned as ::operator new aligns; throws std::bad_alloc as it.
    static void* Take() {
        State& state = state_;
        if (void* block = state.head) {
#if defined(BRONDAL_BLOCK_CACHE_POISON)
            ASAN_UNPOISON_MEMORY_REGION(block, Size);
#endif
            state.head = *static_cast<void**>(block);
            --state.count;
            return block;
        }
        return ::operator new(Size);
    }

    // A block from Take, on any thread.
    static void Give(void* block) noexcept {
        State& state = state_;
        if (state.count >= MaxBlocks || state.closed) {
            ::operator delete(block);
            return;
        }
        if (!state.registered) {
            state.registered = true;
            // The reaper's first use registers its destructor with the thread's exit.
            reaper_.Touch();
        }
        *static_cast<void**>(block) = state.head;
#if defined(BRONDAL_BLOCK_CACHE_POISON)
        ASAN_POISON_MEMORY_REGION(static_cast<std::byte*>(block) + sizeof(void*),
                                  Size - sizeof(void*));
#endif
        state.head = block;
        ++state.count;
    }

    // The blocks the calling thread holds, for tests.
    static std::uint32_t Held() noexcept { return state_.count; }

private:
    // Trivially destructible, so it stays usable after the reaper ran: a stream released by
    // a later thread-exit destructor finds the list closed and frees its block at once.
    struct State {
        void* head = nullptr;
        std::uint32_t count = 0;
        bool registered = false;
        bool closed = false;
    };
    struct Reaper {
        void Touch() noexcept {}
        ~Reaper() {
            State& state = state_;
            state.closed = true;
            while (void* block = state.head) {
#if defined(BRONDAL_BLOCK_CACHE_POISON)
                ASAN_UNPOISON_MEMORY_REGION(block, Size);
#endif
                state.head = *static_cast<void**>(block);
                ::operator delete(block);
            }
            state.count = 0;
        }
    };

    static inline constinit thread_local State state_{};
    static inline thread_local Reaper reaper_;
};

}  // namespace brondal
