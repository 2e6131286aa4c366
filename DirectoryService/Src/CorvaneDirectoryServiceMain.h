#pragma once

#include <cstdint>
#include <memory>

#include "CorvaneDirectoryService.h"
#include "FolderProvider.h"
#include "ILogger.h"
#include "RefPtr.h"
#include "ResultCodes.h"
#include "Scheduler.h"
#include "ServiceImpl.h"
#include "ServiceManager.h"

namespace brondal::corvane::server {

// The host of the directory: the service that configures logging, creates the display
// registry on its thread and releases it when stopped.
class CorvaneDirectoryServiceMain final : public ServiceImpl {
public:
    static constexpr const char* ServiceName = "Corvane Directory Service";
    static constexpr const char* Description = "Provides Corvane Display Name Resolution";
    // The program's file name, which installation puts after the folder.
    static constexpr const char* ExecutableName = "CorvaneDirectoryService";
    // The registry's request port; it takes the next one for callbacks.
    static constexpr std::uint16_t RequestPort = 53200;

    // The process's host, created on the first call (configuring logging with it); every
    // call returns a new reference to the same object.
    static RefPtr<CorvaneDirectoryServiceMain> GetInstance();

    // A host that logs under folders' base folder and creates its registry on port (and
    // bindAddress, 0: every interface); the process's host is GetInstance's, tests make their
    // own. Count 1, for the caller.
    CorvaneDirectoryServiceMain(FolderProvider& folders, ServiceManager& manager,
                                std::uint16_t port, std::uint32_t bindAddress = 0);

    // Creates and initialises the registry, once.
    bool ThreadFunc() override;
    const char* GetServiceName() override { return ServiceName; }
    const char* GetDisplayName() override { return GetServiceName(); }
    const char* GetDescription() override { return Description; }
    // Releases the registry.
    void OnStop() override;

    // The registry while the service runs; empty before the first pass and after the stop.
    RefPtr<CorvaneDirectoryService> GetRegistry();

private:
    ~CorvaneDirectoryServiceMain() override;

    // Points the process logger at this host's log files. Each step runs only when the one
    // before succeeded; a failure leaves logging as it was.
    Result ConfigureLogger(std::uint32_t detailLimit);

    RefPtr<CorvaneDirectoryService> registry_;

    FolderProvider& folders_;
    const std::uint16_t port_;
    const std::uint32_t bindAddress_;
    // The file store this host added to the logger, taken out again when the host ends.
    RefPtr<ILogStore> logStore_;
    // Guards registry_ and stopped_: the stop control runs on another thread than the pass
    // that creates the registry, and may come while that pass is still running.
    std::unique_ptr<Scheduler::Mutex> registryLock_;
    bool stopped_ = false;
};

}  // namespace brondal::corvane::server
