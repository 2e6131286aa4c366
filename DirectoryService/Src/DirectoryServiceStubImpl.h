#pragma once

#include <cstdint>

#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "IRpc.h"
#include "RefPtr.h"
#include "RegistryLink.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal::corvane::server {

// The directory's face on the request engine: decodes the arguments of each request
// method, calls the registry and encodes the reply.
//
//   0  subscribe: callback connection (UUID)                    -> nothing
//   1  unsubscribe                                              -> nothing, always 0
//   2  enumerate: extended (bool), knownVersion (UInt64)        -> version (UInt64)
//   3  nothing                                                  -> 0
//   4  update: id, displayName, secondaryName, address, port,
//      tag (optional, 1), extra (optional, empty)               -> nothing
//   other method numbers succeed with an empty reply.
//
// Trailing arguments that are missing take their defaults, so older peers that send fewer
// values keep working. Holds no lock; the registry serialises its table.
class DirectoryServiceStubImpl final : public IRpc::IStub, public IRefCountImpl {
public:
    enum Method : std::int32_t {
        MethodAddNotify = 0,
        MethodRemoveNotify = 1,
        MethodRequestEnumeration = 2,
        MethodNone = 3,
        MethodUpdateDisplay = 4,
    };

    explicit DirectoryServiceStubImpl(RegistryLink* registry);

    IRpc::ICallGuard* GetCallGuard() override { return nullptr; }
    [[nodiscard]] Result ExecuteStub(IRpc* rpc, UUID connectionId, const UUID& objectId,
                                     std::int32_t method, IDataStream* arguments,
                                     IDataStream* reply) override;
    // A new identifier each time; registration does not use it.
    [[nodiscard]] Result GetObjectId(UUID* objectId) override;
    // Ready from construction.
    [[nodiscard]] Result Initialize() { return ResultOk; }

private:
    ~DirectoryServiceStubImpl() override = default;

    [[nodiscard]] Result Dispatch(CorvaneDirectoryService& registry, const UUID& connectionId,
                                  std::int32_t method, IDataStream* arguments, IDataStream* reply);

    const RefPtr<RegistryLink> registry_;
};

}  // namespace brondal::corvane::server
