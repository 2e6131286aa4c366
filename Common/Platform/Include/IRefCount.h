#pragma once

#include <cstdint>

namespace brondal {

// The intrusive reference count shared by every interface object. Interfaces derive from
// it virtually so that an object implementing several of them has exactly one count.
// Every operation returns the count after it.
class IRefCount {
public:
    virtual std::int32_t AddRef() = 0;
    // Takes a reference only if the object is not already dying (count 0); returns 0 then.
    virtual std::int32_t TryAddRef() = 0;
    // Destroys the object when the count drops from 1 to 0.
    virtual std::int32_t Release() = 0;
    // Drops a reference but never destroys; pair with DeleteNow.
    virtual std::int32_t ReleaseNoDelete() = 0;
    // Destroys the object whatever its count.
    virtual std::int32_t DeleteNow() = 0;

protected:
    virtual ~IRefCount() = default;
};

}  // namespace brondal
