#pragma once

#include <cstdint>

#include "IRefCount.h"
#include "ResultCodes.h"

namespace brondal {

// A periodic timer. Callbacks run on a timer thread, never overlap, and an expiry that
// falls due while the previous callback still runs is skipped. Releasing the last
// reference stops the timer and waits for a running callback to return, so the callback
// object may be destroyed right afterwards. Never release a timer from its own callback.
class ITimer : public virtual IRefCount {
public:
    class ITimerCallback {
    public:
        virtual void TimerCallback() = 0;

    protected:
        ~ITimerCallback() = default;
    };

    // First expiry after dueTimeMs, then every periodMs (0: fire once). The timer does not
    // hold a reference on the callback. ResultAlreadyInitialized on a second Start,
    // ResultInvalidArgument for a null callback, ResultFail when the system refuses.
    [[nodiscard]] virtual Result Start(std::uint32_t periodMs, ITimerCallback* callback,
                                       std::uint32_t dueTimeMs) = 0;
};

}  // namespace brondal
