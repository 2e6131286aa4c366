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
// method (DirectoryMethod, with the protocol's decoders), calls the registry and encodes
// the reply. Holds no lock; the registry serialises its table.
class DirectoryServiceStubImpl final : public IRpc::IStub, public IRefCountImpl {
public:
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
