#include "CorvaneDirectoryServiceMain.h"

#include <new>
#include <string>

#include "CatchFrame.h"
#include "DeleteLater.h"
#include "FileStore.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "LogFolderPath.h"
#include "ProcessLimits.h"

namespace brondal::corvane::server {

namespace {

constexpr const char* LogFilePrefix = "DirectoryService";
constexpr std::uint64_t LogFileMaxSize = 0xa00000;
constexpr std::int32_t DeferredDeletionWaitMs = 10000;

// "1 display", "3 displays".
std::string Counted(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

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
                                                         std::uint32_t bindAddress,
                                                         std::FILE* console)
    : ServiceImpl(manager),
      folders_(folders),
      serviceManager_(manager),
      port_(port),
      bindAddress_(bindAddress),
      console_(console),
      registryLock_(GetScheduler().CreateMutex()) {
    CATCH_FRAME_BEGIN(void) ConfigureLogger(0);
    CATCH_FRAME_END
}

CorvaneDirectoryServiceMain::~CorvaneDirectoryServiceMain() {
    Stop();
    registry_.Reset();
    if (logStore_) {
        RefPtr<ILogger> logger;
        if (Succeeded(GetLogger(logger.Receive()))) (void)logger->RemoveStore(logStore_.Get());
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
    logFolder_ = folder;
    if (Failed(logger->SetDetailLimit(detailLimit))) return ResultFail;
    return LOG_REPORT(ResultOk);
    CATCH_FRAME_END
}

template <typename Run>
bool CorvaneDirectoryServiceMain::RunWithConsole(bool foreground, Run run) {
    CATCH_FRAME_BEGIN
    // Both set before the run starts the host thread, which reads them.
    foreground_ = foreground;
    consoleStore_ = RefPtr<ConsoleStore>::Adopt(
        new ConsoleStore(console_, serviceManager_.StandardErrorIsManagerLog()));
    RefPtr<ILogger> logger;
    if (Succeeded(GetLogger(logger.Receive()))) (void)logger->AddStore(consoleStore_.Get());
    const bool succeeded = run();
    if (logger) (void)logger->RemoveStore(consoleStore_.Get());
    return succeeded;
    CATCH_FRAME_END
}

bool CorvaneDirectoryServiceMain::RunAsService() {
    return RunWithConsole(false, [this] { return ServiceImpl::RunAsService(); });
}

bool CorvaneDirectoryServiceMain::RunAsExecutable() {
    return RunWithConsole(true, [this] { return ServiceImpl::RunAsExecutable(); });
}

bool CorvaneDirectoryServiceMain::ThreadFunc() {
    CATCH_FRAME_BEGIN
    std::string failure;
    CorvaneDirectoryService::Occupancy occupancy;
    {
        MutexGuard lock(*registryLock_);
        // A stop that overtook this pass has ended the service already; a registry created
        // now would run on with nobody left to release it.
        if (stopped_) return false;
        // Every display and client holds a connection (a descriptor) of its own.
        if (const auto limit = RaiseOpenFileLimit()) {
            LOG_INFO("Open-file limit %llu (was %llu)",
                     static_cast<unsigned long long>(limit->after),
                     static_cast<unsigned long long>(limit->before));
        }
        registry_ = RefPtr<CorvaneDirectoryService>::Adopt(
            new (std::nothrow) CorvaneDirectoryService(port_, bindAddress_));
        if (!registry_) {
            LOG_SEVERE("Unable to instantiate %s", GetServiceName());
            failure = std::string("Unable to instantiate ") + GetServiceName();
        } else {
            // The host outlives its registry, which is released before the host goes.
            registry_->SetOccupancyListener([this](const CorvaneDirectoryService::Occupancy& o) {
                ReportStatusText(StatusText(o));
            });
            if (Failed(registry_->Initialize())) {
                // Kept until the stop, which the failed start brings about at once.
                LOG_SEVERE("Unable to initialize %s Service", GetServiceName());
                failure = registry_->GetInitializeFailure();
                if (failure.empty()) failure = "Unable to initialize the directory";
            } else {
                LOG_INFO("%s Started", GetServiceName());
                occupancy = registry_->GetOccupancy();
            }
        }
    }
    // Outside registryLock_: a stop control holds the control lock while it waits for it.
    if (!failure.empty()) {
        StartFailed(failure);
    } else if (ReportRunning(StatusText(occupancy)) && consoleStore_) {
        consoleStore_->Announce(StartLine(foreground_));
    }
    return false;
    CATCH_FRAME_END
}

void CorvaneDirectoryServiceMain::StartFailed(const std::string& reason) {
    const std::string text = std::string(GetServiceName()) + " not started: " + reason;
    // On the console only: the log files already hold the failure as it happened.
    if (consoleStore_) {
        (void)consoleStore_->Write(LogSevere, __FILE__, __PRETTY_FUNCTION__, 0, 0, __LINE__, text);
    }
    ReportStartFailed("Not started: " + reason);
}

std::string CorvaneDirectoryServiceMain::StatusText(
    const CorvaneDirectoryService::Occupancy& occupancy) const {
    return "Listening on ports " + std::to_string(port_) + " and " +
           std::to_string(static_cast<std::uint16_t>(port_ + 1)) + ": " +
           Counted(occupancy.displays, "display") + ", " +
           Counted(occupancy.subscribers, "subscriber") + ", " +
           Counted(occupancy.connections, "connection");
}

std::string CorvaneDirectoryServiceMain::StartLine(bool foreground) const {
    std::string line = std::string(ServiceName) + " running: requests on port " +
                       std::to_string(port_) + ", callbacks on port " +
                       std::to_string(static_cast<std::uint16_t>(port_ + 1)) + ", log folder " +
                       (logFolder_.empty() ? "unavailable" : logFolder_);
    if (foreground) line += "; Ctrl-C stops it";
    return line;
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
