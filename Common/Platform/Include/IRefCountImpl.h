#pragma once

#include <atomic>
#include <cstdint>

#include "IRefCount.h"

namespace brondal {

// The one implementation of IRefCount that concrete classes mix in (virtually). A new
// object starts at 1: its creator holds the first reference.
//
// The count is a single atomic rather than a value under a per-object lock: the semantics
// stay those of the lock-guarded count (TryAddRef never revives a dead object, Release
// destroys exactly once) and it is several times cheaper (see Bench/PlatformBench.cpp).
class IRefCountImpl : public virtual IRefCount {
public:
    std::int32_t AddRef() override;
    std::int32_t TryAddRef() override;
    std::int32_t Release() override;
    std::int32_t ReleaseNoDelete() override;
    std::int32_t DeleteNow() override;

protected:
    IRefCountImpl() = default;
    ~IRefCountImpl() override = default;

    IRefCountImpl(const IRefCountImpl&) = delete;
    IRefCountImpl& operator=(const IRefCountImpl&) = delete;

private:
    std::atomic<std::int32_t> count_{1};
};

}  // namespace brondal
