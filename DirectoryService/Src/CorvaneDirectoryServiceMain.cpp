#include "CorvaneDirectoryServiceMain.h"

#include <new>
#include <string>

#include "CatchFrame.h"
#include "DeleteLater.h"
#include "FileStore.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "LogFolderPath.h"

namespace brondal::corvane::server {

namespace {

constexpr const char* LogFilePrefix = "DirectoryService";
constexpr std::uint64_t LogFileMaxSize = 0xa00000;
constexpr std::int32_t DeferredDeletionWaitMs = 10000;

}  // namespace

RefPtr<CorvaneDirectoryServiceMain> CorvaneDirectoryServiceMain::GetInstance() {
    // The creation reference is never given back: the host lives as long as the process, so
    // logging is configured exactly once however often the host is asked for.
    static CorvaneDirectoryServiceMain* const instance = new CorvaneDirectoryServiceMain(
        SystemFolderProvider(), SystemServiceManager(), RequestPort);
    return RefPtr<CorvaneDirectoryServiceMain>(instance);
}

CorvaneDirectoryServiceMain::CorvaneDirectoryServiceMain(FolderProvider& folders,
                                                         ServiceManager& manager,
                                                         std::uint16_t port,
                                                         std::uint32_t bindAddress)
    : ServiceImpl(manager),
      folders_(folders),
      port_(port),
      bindAddress_(bindAddress),
      registryLock_(GetScheduler().CreateMutex()) {
    CATCH_FRAME_BEGIN
    ConfigureLogger(0);
    CATCH_FRAME_END
}

CorvaneDirectoryServiceMain::~CorvaneDirectoryServiceMain() {
    Stop();
    registry_.Reset();
    if (logStore_) {
        RefPtr<ILogger> logger;
        if (Succeeded(GetLogger(logger.Receive()))) logger->RemoveStore(logStore_.Get());
    }
}

Result CorvaneDirectoryServiceMain::ConfigureLogger(std::uint32_t detailLimit) {
    CATCH_FRAME_BEGIN
    const std::string folder =
        LogFolderPath(folders_, "Brondal", "Corvane", "DirectoryService/Logs", true, false);
    if (folder.empty()) return ResultFail;
    RefPtr<ILogStore> store;
    if (Failed(CreateFileStore(folder, LogFilePrefix, LogFileMaxSize, store.Receive()))) {
        return ResultFail;
    }
    RefPtr<ILogger> logger;
    if (Failed(GetLogger(logger.Receive()))) return ResultFail;
    if (Failed(logger->AddStore(store.Get()))) return ResultFail;
    logStore_ = store;
    if (Failed(logger->SetDetailLimit(detailLimit))) return ResultFail;
    return LOG_REPORT(ResultOk);
    CATCH_FRAME_END
}

bool CorvaneDirectoryServiceMain::ThreadFunc() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*registryLock_);
    // A stop that overtook this pass has ended the service already; a registry created now
    // would run on with nobody left to release it.
    if (stopped_) return false;
    registry_ = RefPtr<CorvaneDirectoryService>::Adopt(
        new (std::nothrow) CorvaneDirectoryService(port_, bindAddress_));
    if (!registry_) {
        LOG_SEVERE("Unable to instantiate %s", GetServiceName());
    } else if (Failed(registry_->Initialize())) {
        // Kept all the same: it answers "not initialised" until the service stops.
        LOG_SEVERE("Unable to initialize %s Service", GetServiceName());
    }
    LOG_INFO("%s Started", GetServiceName());
    return false;
    CATCH_FRAME_END
}

void CorvaneDirectoryServiceMain::OnStop() {
    CATCH_FRAME_BEGIN
    RefPtr<CorvaneDirectoryService> registry;
    {
        MutexGuard lock(*registryLock_);
        stopped_ = true;
        registry.Swap(registry_);
    }
    // Outside the lock: the registry's destruction waits for its own thread.
    registry.Reset();
    // The transports hand their connections to the deletion thread; waiting here means
    // that every socket is closed once the service reports itself stopped.
    if (!WaitForDeferredDeletions(DeferredDeletionWaitMs)) {
        LOG_WARNING("Connections still open after %d ms", DeferredDeletionWaitMs);
    }
    LOG_INFO("%s Stopped", GetServiceName());
    CATCH_FRAME_END
}

RefPtr<CorvaneDirectoryService> CorvaneDirectoryServiceMain::GetRegistry() {
    MutexGuard lock(*registryLock_);
    return registry_;
}

}  // namespace brondal::corvane::server
