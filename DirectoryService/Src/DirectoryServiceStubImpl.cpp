#include "DirectoryServiceStubImpl.h"

#include <string>
#include <utility>

#include "CatchFrame.h"
#include "CorvaneDirectoryService.h"
#include "LogCall.h"
#include "Scheduler.h"
#include "UuidStream.h"

namespace brondal::corvane::server {

namespace {

// DeserializeUuid succeeds on a short stream and keeps the members it could not read; an
// identifier cut short must fail here instead, or a truncated subscription would name a
// connection that does not exist and still be answered with success.
Result ReadUuid(IDataStream* stream, UUID* id) {
    std::uint32_t size = 0;
    std::uint32_t position = 0;
    if (Failed(stream->GetSize(&size)) || Failed(stream->GetPosition(&position)) ||
        size - position < 16) {
        return ResultFail;
    }
    return DeserializeUuid(stream, id);
}

}  // namespace

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
            if (const Result read = ReadUuid(arguments, &callbackConnection); Failed(read)) {
                return read;
            }
            return registry.AddNotify(connectionId, callbackConnection,
                                      CorvaneDirectoryService::DirectoryObjectId);
        }
        case MethodRemoveNotify:
            (void)registry.RemoveNotify(connectionId);
            return ResultOk;
        case MethodRequestEnumeration: {
            // Missing values request the full table in the plain form.
            // (A failed read leaves its value as it was.)
            bool extended = false;
            std::uint64_t knownVersion = 0;
            (void)arguments->ReadBool(&extended);
            (void)arguments->ReadUInt64(&knownVersion);
            std::uint64_t version = 0;
            const Result result =
                registry.RequestDisplayEnumeration(connectionId, extended, knownVersion, &version);
            if (Failed(result)) return result;
            if (const Result written = reply->WriteUInt64(version); Failed(written)) return written;
            return result;
        }
        case MethodUpdateDisplay: {
            UUID displayId;
            std::string displayName;
            std::string secondaryName;
            std::uint32_t address = 0;
            std::uint16_t port = 0;
            Result read = ReadUuid(arguments, &displayId);
            if (Succeeded(read)) read = arguments->ReadString(&displayName);
            if (Succeeded(read)) read = arguments->ReadString(&secondaryName);
            if (Succeeded(read)) read = arguments->ReadUInt32(&address);
            if (Succeeded(read)) read = arguments->ReadUInt16(&port);
            if (Failed(read)) return read;
            // Older displays send only the five values above.
            std::uint32_t tag = 1;
            std::string extra;
            (void)arguments->ReadUInt32(&tag);
            (void)arguments->ReadString(&extra);
            return registry.UpdateDisplay(displayId, std::move(displayName),
                                          std::move(secondaryName), address, port, tag,
                                          std::move(extra));
        }
        default:
            return ResultOk;
    }
}

}  // namespace brondal::corvane::server
