#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "IRefCountImpl.h"
#include "IService.h"
#include "Scheduler.h"
#include "ServiceManager.h"

namespace brondal {

// The service base: the stop event, the status record and its reports, and the dispatch of
// controls. A derived service supplies its names, its work (ThreadFunc) and the On* hooks it
// cares about; the rest do nothing.
//
// Life of a run: the service registers as starting, its thread starts, WaitForStop blocks
// the caller, and the stop control ends it: OnStop, then the thread is stopped, whose stop
// hook sets the stop event. The thread's work tells how the start went: ReportRunning once
// it is up, or ReportStartFailed, after which the run winds down through the stop control
// and ends with false. On POSIX systems the stop control is every SIGINT or SIGTERM, in
// both run modes.
//
// Lock order: controlLock_, statusLock_, channelLock_. The controls' hooks (OnStop and the
// like) run under controlLock_ and the stop control waits for the service thread there, so
// what the service thread reports (ReportRunning, ReportStartFailed, ReportStatusText)
// takes only the two later locks, which are never held while anything is waited for.
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

    // The service's work is up: reports it running (the manager takes the start as
    // complete only now), then text as what it is doing. False, and nothing reported, when
    // the service is no longer starting (a stop came first).
    bool ReportRunning(std::string_view text);
    // The service's work could not be brought up: tells the manager why, and ends the run,
    // which winds down through the stop control and returns false.
    void ReportStartFailed(std::string_view reason);
    // What the service is doing, for the manager to show; nothing while no manager listens.
    void ReportStatusText(std::string_view text);

private:
    // What the service manager's dispatcher runs once the manager is connected. False when
    // the run failed.
    bool ServiceMain();
    // After the stop event: a failed start has stopped nothing yet, so the stop control
    // runs now (unless a stop request ran it already). False when the start failed.
    bool FinishRun();
    std::shared_ptr<ServiceStatusChannel> StatusChannel();
    // A stop request from the manager (SIGTERM) or from a person (SIGINT), on the watcher's
    // thread.
    void DeliverStopRequest();
    // Sends the status record to the manager, with statusLock_ held; false without a status
    // channel (running as a plain process) or when the manager was not reached.
    bool ReportStatus();
    // Enters state and reports it.
    bool EnterState(std::uint32_t state);
    std::uint32_t CurrentState();

    std::unique_ptr<Scheduler::Event> stopEvent_;
    // Under statusLock_, with the report that tells the manager of it.
    ServiceStatus status_;
    std::unique_ptr<Scheduler::Mutex> statusLock_;
    // The status handle: set by RegisterControlHandler while running as a service, under
    // channelLock_, and taken out under it, so that a status text from another thread
    // never meets a channel being destroyed.
    std::shared_ptr<ServiceStatusChannel> statusChannel_;
    std::unique_ptr<Scheduler::Mutex> channelLock_;
    std::atomic<bool> startFailed_{false};

    ServiceManager& manager_;
    // Connected by RunAsService, taken over as the status channel at registration.
    std::unique_ptr<ServiceStatusChannel> connection_;
    std::unique_ptr<StopRequestWatch> stopWatch_;
    // Serialises the controls with each other and with the start of a run: a stop request
    // waits until the service thread has started, so that a stop can never come before the
    // start it is meant to undo.
    std::unique_ptr<Scheduler::Mutex> controlLock_;
};

}  // namespace brondal
