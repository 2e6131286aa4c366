#pragma once

#include <cstddef>
#include <utility>

namespace brondal {

// A counted reference: holds one AddRef on its object and gives it back with Release.
//   RefPtr<IDataStream> s;  NewDataStream(s.Receive());   // adopts the factory's reference
//   RefPtr<IDataStream> t(s.Get());                        // takes a reference of its own
template <class T>
class RefPtr {
public:
    RefPtr() = default;
    RefPtr(std::nullptr_t) {}
    explicit RefPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    RefPtr(const RefPtr& o) : RefPtr(o.p_) {}
    RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    RefPtr(const RefPtr<U>& o) : RefPtr(static_cast<T*>(o.Get())) {}
    ~RefPtr() { Reset(); }

    RefPtr& operator=(const RefPtr& o) {
        RefPtr(o).Swap(*this);
        return *this;
    }
    RefPtr& operator=(RefPtr&& o) noexcept {
        RefPtr(std::move(o)).Swap(*this);
        return *this;
    }

    // Takes over a reference the caller already owns (no AddRef).
    static RefPtr Adopt(T* p) {
        RefPtr r;
        r.p_ = p;
        return r;
    }
    // Gives up the reference without releasing it.
    T* Detach() { return std::exchange(p_, nullptr); }
    void Reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    // Releases what is held and returns the slot for an out parameter that hands out a
    // reference (the factory's convention).
    T** Receive() {
        Reset();
        return &p_;
    }
    // Copies the pointer to an out parameter with a reference added for the receiver.
    void CopyTo(T** out) const {
        if (p_) p_->AddRef();
        *out = p_;
    }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void Swap(RefPtr& o) noexcept { std::swap(p_, o.p_); }

    friend bool operator==(const RefPtr& a, const RefPtr& b) { return a.p_ == b.p_; }
    friend bool operator==(const RefPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

}  // namespace brondal
