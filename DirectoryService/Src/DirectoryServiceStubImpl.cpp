#include "DirectoryServiceStubImpl.h"

#include <string>
#include <utility>

#include "CatchFrame.h"
#include "CorvaneDirectoryService.h"
#include "DirectoryProtocol.h"
#include "LogCall.h"
#include "Scheduler.h"

namespace brondal::corvane::server {

DirectoryServiceStubImpl::DirectoryServiceStubImpl(RegistryLink* registry) : registry_(registry) {}

Result DirectoryServiceStubImpl::GetObjectId(UUID* objectId) {
    CATCH_FRAME_BEGIN
    if (objectId == nullptr) return ResultNullPointer;
    GetScheduler().NewUuid(objectId);
    return ResultOk;
    CATCH_FRAME_END
}

Result DirectoryServiceStubImpl::ExecuteStub(IRpc* /*rpc*/, UUID connectionId,
                                             const UUID& /*objectId*/, std::int32_t method,
                                             IDataStream* arguments, IDataStream* reply) {
    CATCH_FRAME_BEGIN
    if (arguments == nullptr || reply == nullptr) {
        return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    }
    RegistryLink::Access registry(*registry_);
    // The registry is being torn down: from here on it serves nobody.
    if (!registry) return LOG_REPORT_ERROR(ResultNotInitialized, "Not initialized.");
    return LOG_REPORT(Dispatch(*registry, connectionId, method, arguments, reply));
    CATCH_FRAME_END
}

Result DirectoryServiceStubImpl::Dispatch(CorvaneDirectoryService& registry,
                                          const UUID& connectionId, std::int32_t method,
                                          IDataStream* arguments, IDataStream* reply) {
    switch (method) {
        case MethodAddNotify: {
            UUID callbackConnection;
            if (const Result read = DecodeSubscription(arguments, &callbackConnection);
                Failed(read)) {
                return read;
            }
            return registry.AddNotify(connectionId, callbackConnection,
                                      CorvaneDirectoryService::DirectoryObjectId);
        }
        case MethodRemoveNotify:
            (void)registry.RemoveNotify(connectionId);
            return ResultOk;
        case MethodRequestEnumeration: {
            bool extended = false;
            std::uint64_t knownVersion = 0;
            DecodeEnumerationRequest(arguments, &extended, &knownVersion);
            std::uint64_t version = 0;
            const Result result =
                registry.RequestDisplayEnumeration(connectionId, extended, knownVersion, &version);
            if (Failed(result)) return result;
            if (const Result written = EncodeEnumerationReply(version, reply); Failed(written)) {
                return written;
            }
            return result;
        }
        case MethodUpdateDisplay: {
            DisplayRecord display;
            if (const Result read = DecodeDisplayUpdate(arguments, &display); Failed(read)) {
                return read;
            }
            return registry.UpdateDisplay(display.displayId, std::move(display.displayName),
                                          std::move(display.secondaryName), display.address,
                                          display.port, display.tag, std::move(display.extra));
        }
        default:
            return ResultOk;
    }
}

}  // namespace brondal::corvane::server
