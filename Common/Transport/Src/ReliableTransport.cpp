#include "ReliableTransport.h"

#include "Network.h"
#include "RefPtr.h"
#include "TransportAdapter.h"

namespace brondal {

Result CreateReliableTransport(std::uint32_t bindAddress, std::uint16_t port,
                               ITransport** transport) {
    if (transport == nullptr) return ResultNullPointer;
    RefPtr<ITransport> inner;
    const Result result = GetDefaultNetwork().CreateInstance(bindAddress, port, inner.Receive());
    if (Failed(result)) return result;
    // A new object carries its first reference, which goes to the caller.
    *transport = new TransportAdapter(inner.Get(), bindAddress, port);
    return ResultOk;
}

}  // namespace brondal
