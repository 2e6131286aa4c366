#include "RandomUuid.h"

#include <rpc.h>
#include "SystemHeaders.h"

#include <cstdio>
#include <cstdlib>

namespace brondal::platform {

void GenerateRandomUuid(UUID* out) {
    if (out == nullptr) return;
    ::UUID made{};
    // RPC_S_UUID_LOCAL_ONLY would mean a sequential, machine-local value, which is exactly
    // the guessable kind; anything but RPC_S_OK is refused.
    if (::UuidCreate(&made) != RPC_S_OK) {
        std::fputs("No random identifier could be made; ending the process\n", stderr);
        std::abort();
    }
    out->Data1 = made.Data1;
    out->Data2 = made.Data2;
    out->Data3 = made.Data3;
    for (int i = 0; i < 8; ++i)
        out->Data4[i] = made.Data4[i];
}

}  // namespace brondal::platform
