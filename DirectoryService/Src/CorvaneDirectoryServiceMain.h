#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "ConsoleStore.h"
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
//
// While it runs (either way), Warning and Severe records also go to the console (standard
// error), with the priority prefixes of the service manager's log when standard error is
// that log; once the registry is up, one line there says where it listens and logs. The
// service manager hears of it as running only then, and sees its occupancy with every
// statistics line; a registry that cannot be brought up ends the run with the reason.
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
    // bindAddress, 0: every interface), with console as its console; the process's host is
    // GetInstance's, tests make their own. Count 1, for the caller.
    CorvaneDirectoryServiceMain(FolderProvider& folders, ServiceManager& manager,
                                std::uint16_t port, std::uint32_t bindAddress = 0,
                                std::FILE* console = stderr);

    // Both with the console attached to the logger for the run.
    bool RunAsService() override;
    bool RunAsExecutable() override;

    // Creates and initialises the registry, once, and reports how that went.
    bool ThreadFunc() override;
    const char* GetServiceName() override { return ServiceName; }
    const char* GetDisplayName() override { return GetServiceName(); }
    const char* GetDescription() override { return Description; }
    // Releases the registry.
    void OnStop() override;

    // The registry while the service runs; empty before the first pass and after the stop.
    RefPtr<CorvaneDirectoryService> GetRegistry();

    // What the service manager shows: "Listening on ports 53200 and 53201: 3 displays, 2
    // subscribers, 4 connections".
    std::string StatusText(const CorvaneDirectoryService::Occupancy& occupancy) const;
    // The console's line once the service is up: where it listens and logs, and (in the
    // foreground) how to stop it.
    std::string StartLine(bool foreground) const;

private:
    ~CorvaneDirectoryServiceMain() override;

    // Runs the run mode (the base's RunAsService or RunAsExecutable) with the console
    // store attached to the logger.
    template <typename Run>
    bool RunWithConsole(bool foreground, Run run);
    // The registry failed to come up: says why and ends the run.
    void StartFailed(const std::string& reason);

    // Points the process logger at this host's log files. Each step runs only when the one
    // before succeeded; a failure leaves logging as it was.
    Result ConfigureLogger(std::uint32_t detailLimit);

    RefPtr<CorvaneDirectoryService> registry_;

    FolderProvider& folders_;
    ServiceManager& serviceManager_;
    const std::uint16_t port_;
    const std::uint32_t bindAddress_;
    std::FILE* const console_;
    // The file store this host added to the logger, taken out again when the host ends.
    RefPtr<ILogStore> logStore_;
    // Where logStore_ writes; empty when logging could not be configured.
    std::string logFolder_;
    // Set before a run starts the host thread and kept to the host's end (the thread may
    // still announce while the run returns); attached to the logger only during the run.
    RefPtr<ConsoleStore> consoleStore_;
    bool foreground_ = false;
    // Guards registry_ and stopped_: the stop control runs on another thread than the pass
    // that creates the registry, and may come while that pass is still running.
    std::unique_ptr<Scheduler::Mutex> registryLock_;
    bool stopped_ = false;
};

}  // namespace brondal::corvane::server
