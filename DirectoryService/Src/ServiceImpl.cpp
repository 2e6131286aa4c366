#include "ServiceImpl.h"

#include <string>
#include <utility>

#include "CatchFrame.h"
#include "LockGuard.h"
#include "LogCall.h"

namespace brondal {

ServiceImpl::ServiceImpl(ServiceManager& manager)
    : stopEvent_(GetScheduler().CreateEvent(true, false)),
      statusLock_(GetScheduler().CreateMutex()),
      channelLock_(GetScheduler().CreateMutex()),
      manager_(manager),
      controlLock_(GetScheduler().CreateMutex()) {
    status_.serviceType = service::TypeOwnOrSharedProcess;
    status_.currentState = service::StateStartPending;
    status_.controlsAccepted = service::ControlStop;
}

ServiceImpl::~ServiceImpl() {
    // The watcher calls into this object and the thread's stop hook uses the stop event.
    stopWatch_.reset();
    Stop();
}

bool ServiceImpl::OnThreadStop() {
    SignalStop();
    return true;
}

bool ServiceImpl::RunAsService() {
    CATCH_FRAME_BEGIN
    std::string reason;
    connection_ = manager_.Connect(&reason);
    if (!connection_) {
        LOG_SEVERE("Unable to run %s as a service: %s", GetServiceName(), reason.c_str());
        return false;
    }
    return ServiceMain();
    CATCH_FRAME_END
}

bool ServiceImpl::ServiceMain() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*controlLock_);
    const bool registered = RegisterControlHandler();
    if (registered) Start(Scheduler::Infinite);
    lock.Unlock();
    bool succeeded = false;
    if (registered) {
        WaitForStop();
        succeeded = FinishRun();
    }
    // The watcher may still be inside the stop control, collecting the service thread: this
    // waits for it, so that no thread of the run outlives it.
    stopWatch_.reset();
    MutexGuard channel(*channelLock_);
    statusChannel_.reset();
    return succeeded;
    CATCH_FRAME_END
}

bool ServiceImpl::FinishRun() {
    if (!startFailed_.load()) return true;
    DeliverStopRequest();
    return false;
}

bool ServiceImpl::RegisterControlHandler() {
    CATCH_FRAME_BEGIN
    std::string reason = "not connected to the service manager";
    const bool connected = static_cast<bool>(connection_);
    {
        MutexGuard channel(*channelLock_);
        statusChannel_ = std::move(connection_);
    }
    if (connected) {
        stopWatch_ = manager_.WatchStopRequests([this] { DeliverStopRequest(); }, &reason);
    }
    if (!stopWatch_) {
        LOG_SEVERE("Unable to register the control handler of %s: %s", GetServiceName(),
                   reason.c_str());
        MutexGuard channel(*channelLock_);
        statusChannel_.reset();
        return false;
    }
    MutexGuard status(*statusLock_);
    status_ = ServiceStatus{};
    status_.serviceType = service::TypeOwnProcess;
    status_.controlsAccepted = service::AcceptAllControls;
    // Starting, until the service's work reports itself up: a manager that took the
    // registration for readiness would count a service that fails to come up as running.
    status_.currentState = service::StateStartPending;
    return ReportStatus();
    CATCH_FRAME_END
}

bool ServiceImpl::ReportRunning(std::string_view text) {
    CATCH_FRAME_BEGIN
    MutexGuard status(*statusLock_);
    const std::uint32_t state = status_.currentState;
    if (startFailed_.load() || state == service::StateStopPending ||
        state == service::StateStopped) {
        return false;
    }
    // A pause or continue that came while starting has said the rest already.
    if (state == service::StateStartPending) {
        status_.currentState = service::StateRunning;
        status_.checkPoint = 0;
        status_.waitHint = 0;
        ReportStatus();
    }
    // Under the status lock, so that it cannot follow the report of a stop.
    ReportStatusText(text);
    return true;
    CATCH_FRAME_END
}

void ServiceImpl::ReportStartFailed(std::string_view reason) {
    CATCH_FRAME_BEGIN
    // Before the stop event: the run reads it once the event lets it go on.
    startFailed_.store(true);
    ReportStatusText(reason);
    SignalStop();
    CATCH_FRAME_END
}

void ServiceImpl::ReportStatusText(std::string_view text) {
    if (const std::shared_ptr<ServiceStatusChannel> channel = StatusChannel()) {
        channel->Describe(text);
    }
}

std::shared_ptr<ServiceStatusChannel> ServiceImpl::StatusChannel() {
    MutexGuard channel(*channelLock_);
    return statusChannel_;
}

bool ServiceImpl::RunAsExecutable() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*controlLock_);
    std::string reason;
    stopWatch_ = manager_.WatchStopRequests([this] { DeliverStopRequest(); }, &reason);
    // Without the watch nothing could stop the run cleanly: SIGINT and SIGTERM stay blocked.
    if (!stopWatch_) {
        LOG_SEVERE("Unable to run %s: %s", GetServiceName(), reason.c_str());
        return false;
    }
    Start(Scheduler::Infinite);
    lock.Unlock();
    WaitForStop();
    const bool succeeded = FinishRun();
    stopWatch_.reset();
    return succeeded;
    CATCH_FRAME_END
}

void ServiceImpl::WaitForStop() { stopEvent_->Wait(Scheduler::Infinite); }

bool ServiceImpl::WaitForStop(std::int32_t timeoutMs) { return stopEvent_->Wait(timeoutMs); }

void ServiceImpl::SignalStop() { stopEvent_->Set(); }

void ServiceImpl::DeliverStopRequest() {
    CATCH_FRAME_BEGIN
    MutexGuard lock(*controlLock_);
    // A service manager sends no control to a stopped service; a second Ctrl-C finds
    // nothing left to stop.
    if (CurrentState() == service::StateStopped) return;
    HandleControl(service::ControlStop, 0, nullptr);
    CATCH_FRAME_END
}

bool ServiceImpl::ReportStatus() {
    const std::shared_ptr<ServiceStatusChannel> channel = StatusChannel();
    return channel && channel->Report(status_);
}

bool ServiceImpl::EnterState(std::uint32_t state) {
    MutexGuard status(*statusLock_);
    status_.currentState = state;
    return ReportStatus();
}

std::uint32_t ServiceImpl::CurrentState() {
    MutexGuard status(*statusLock_);
    return status_.currentState;
}

void ServiceImpl::HandleControl(std::uint32_t control, std::uint32_t eventType, void* eventData) {
    CATCH_FRAME_BEGIN
    switch (control) {
        case service::ControlStop:
            EnterState(service::StateStopPending);
            OnStop();
            EnterState(service::StateStopped);
            Stop();
            break;
        case service::ControlPause:
            OnPause();
            EnterState(service::StatePaused);
            break;
        case service::ControlContinue:
            OnContinue();
            EnterState(service::StateRunning);
            break;
        case service::ControlInterrogate:
            OnInterrogate();
            break;
        case service::ControlShutdown:
            // The system is going down with the process: nothing is reported and the work
            // is not wound down, only the thread is stopped.
            OnShutdown();
            Stop();
            break;
        case service::ControlHardwareProfileChange:
            OnHardwareProfileChange(eventType, eventData);
            break;
        case service::ControlPowerEvent:
            OnPowerEvent(eventType);
            break;
        case service::ControlSessionChange:
            OnSessionChange(eventType, eventData);
            break;
        case service::ControlPreShutdown:
            OnPreShutdown(eventType, eventData);
            break;
        case service::ControlTimeChange:
            OnTimeChange();
            break;
        case service::ControlTriggerEvent:
            OnTriggerEvent(eventData);
            break;
        default:
            OnOtherControl(eventType, eventData);
            break;
    }
    CATCH_FRAME_END
}

}  // namespace brondal
