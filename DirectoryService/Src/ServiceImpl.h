#pragma once

#include <cstdint>
#include <memory>

#include "IRefCountImpl.h"
#include "IService.h"
#include "Scheduler.h"
#include "ServiceManager.h"

namespace brondal {

// The service base: the stop event, the status record and its reports, and the dispatch of
// controls. A derived service supplies its names, its work (ThreadFunc) and the On* hooks it
// cares about; the rest do nothing.
//
// Life of a run: the service thread starts, WaitForStop blocks the caller, and the stop
// control ends it: OnStop, then the thread is stopped, whose stop hook sets the stop event.
// On POSIX systems the stop control is every SIGINT or SIGTERM, in both run modes.
class ServiceImpl : public IService, public virtual IRefCountImpl {
public:
    bool ThreadFunc() override { return false; }
    bool OnThreadStart() override { return true; }
    bool OnThreadStop() override;

    bool RunAsService() override;
    bool RunAsExecutable() override;
    bool RegisterControlHandler() override;
    void WaitForStop() override;
    void SignalStop() override;
    void HandleControl(std::uint32_t control, std::uint32_t eventType, void* eventData) override;

    void OnStop() override {}
    void OnPause() override {}
    void OnContinue() override {}
    void OnInterrogate() override {}
    void OnShutdown() override {}
    void OnTimeChange() override {}
    void OnHardwareProfileChange(std::uint32_t, void*) override {}
    void OnPowerEvent(std::uint32_t) override {}
    void OnSessionChange(std::uint32_t, void*) override {}
    void OnPreShutdown(std::uint32_t, void*) override {}
    void OnTriggerEvent(void*) override {}
    void OnOtherControl(std::uint32_t, void*) override {}

protected:
    explicit ServiceImpl(ServiceManager& manager);
    ~ServiceImpl() override;

    // WaitForStop with a bound: true when the stop event was set within timeoutMs.
    bool WaitForStop(std::int32_t timeoutMs);

private:
    // What the service manager's dispatcher runs once the manager is connected.
    void ServiceMain();
    // A stop request from the manager (SIGTERM) or from a person (SIGINT), on the watcher's
    // thread.
    void DeliverStopRequest();
    // Sends the status record to the manager; false without a status channel (running as a
    // plain process) or when the manager was not reached.
    bool ReportStatus();

    std::unique_ptr<Scheduler::Event> stopEvent_;
    ServiceStatus status_;
    // The status handle: set by RegisterControlHandler while running as a service.
    std::unique_ptr<ServiceStatusChannel> statusChannel_;

    ServiceManager& manager_;
    // Connected by RunAsService, taken over as the status channel at registration.
    std::unique_ptr<ServiceStatusChannel> connection_;
    std::unique_ptr<StopRequestWatch> stopWatch_;
    // Serialises the controls with each other and with the start of a run: a stop request
    // waits until the service thread has started, so that a stop can never come before the
    // start it is meant to undo. Also guards status_ from the moment stop requests flow.
    std::unique_ptr<Scheduler::Mutex> controlLock_;
};

}  // namespace brondal
